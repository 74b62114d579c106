// Helpers for the window tests and the arrival benchmark: the keysim command
// (simulated keys live in a kpsim::testing::SimulatedKeys folder) and waiting
// while the event loop runs. No test framework in here (the benchmark uses
// it too).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

#include "platform/tests/qstring_print.h"
#include "sim/token/keysim_testing.h"

namespace muitest {

// Runs keysim with args; returns its exit status. Standard output goes to
// *out when given; a failure's error text is echoed to stderr.
int keysim(const QStringList& args, QString* out = nullptr);

// Runs the event loop until cond() holds or ms have passed; returns cond().
bool waitFor(const std::function<bool()>& cond, int ms = 10000);

}  // namespace muitest
