#include "mui_support.h"

#include <QTest>
#include <cstdio>
#include <string>
#include <vector>

namespace muitest {

int keysim(const QStringList& args, QString* out) {
    std::vector<std::string> argv;
    argv.reserve(static_cast<size_t>(args.size()));
    for (const QString& a : args) argv.push_back(a.toStdString());
    const kpsim::testing::CommandResult r = kpsim::testing::runKeysim(argv);
    if (out) *out = QString::fromStdString(r.out);
    if (r.status != 0) {
        std::fprintf(stderr, "keysim %s: %s\n", qPrintable(args.join(' ')), r.err.c_str());
    }
    return r.status;
}

bool waitFor(const std::function<bool()>& cond, int ms) { return QTest::qWaitFor(cond, ms); }

}  // namespace muitest
