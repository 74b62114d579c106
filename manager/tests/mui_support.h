// Helpers for the window tests and the arrival benchmark: a fresh simulator
// state folder per run, the keysim command, and waiting while the event loop
// runs. No test framework in here (the benchmark uses it too).
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace muitest {

// A temporary KEYSIM_DIR for the life of the object (the previous value comes
// back afterwards).
class SimDir {
public:
    SimDir();
    ~SimDir();
    SimDir(const SimDir&) = delete;
    SimDir& operator=(const SimDir&) = delete;
    QString path() const { return m_dir.path(); }
    bool ok() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious = false;
};

// Runs build/bin/keysim with args; returns its exit status (-1 when it could
// not run). Standard output goes to *out when given; failures are echoed.
int keysim(const QStringList& args, QString* out = nullptr);

// Runs the event loop until cond() holds or ms have passed; returns cond().
bool waitFor(const std::function<bool()>& cond, int ms = 10000);

}  // namespace muitest
