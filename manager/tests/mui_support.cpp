#include "mui_support.h"

#include <QProcess>
#include <QTest>

#include <cstdio>
#include <cstdlib>

#ifndef QD_KEYSIM
#error "QD_KEYSIM must name the keysim command"
#endif

namespace muitest {

SimDir::SimDir() {
    if (const char* prev = std::getenv("KEYSIM_DIR")) {
        m_hadPrevious = true;
        m_previous = prev;
    }
    ::setenv("KEYSIM_DIR", m_dir.path().toLocal8Bit().constData(), 1);
}

SimDir::~SimDir() {
    if (m_hadPrevious) {
        ::setenv("KEYSIM_DIR", m_previous.constData(), 1);
    } else {
        ::unsetenv("KEYSIM_DIR");
    }
}

int keysim(const QStringList& args, QString* out) {
    QProcess p;
    p.start(QStringLiteral(QD_KEYSIM), args);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "keysim %s did not finish\n", qPrintable(args.join(' ')));
        return -1;
    }
    if (out) *out = QString::fromUtf8(p.readAllStandardOutput());
    if (p.exitCode() != 0) {
        std::fprintf(stderr, "keysim %s: %s\n", qPrintable(args.join(' ')),
                     p.readAllStandardError().constData());
    }
    return p.exitCode();
}

bool waitFor(const std::function<bool()>& cond, int ms) {
    return QTest::qWaitFor(cond, ms);
}

}  // namespace muitest
