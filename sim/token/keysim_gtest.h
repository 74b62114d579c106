// GoogleTest side of keysim_testing.h: simulated keys that fail the running
// test when a client leaves a handle or a transaction open on them.
//
//   kpsim::testing::CheckedKeys keys;   // strict; checked when it goes
//
// The check runs when the object goes, at the end of the test (a member of
// a fixture: after TearDown), so every path of the test is covered.
#pragma once

#include <gtest/gtest.h>

#include "sim/token/keysim_testing.h"

namespace kpsim::testing {

// Adds a failure to the running test naming what was left open.
inline void expectNothingLeftOpen(const char* when = "at the end of the test") {
    const std::string left = leftOpen();
    if (!left.empty()) ADD_FAILURE() << "the simulated key was left in use " << when << ":\n" << left;
}

class CheckedKeys : public SimulatedKeys {
public:
    CheckedKeys() = default;
    ~CheckedKeys() { expectNothingLeftOpen(); }
    CheckedKeys(const CheckedKeys&) = delete;
    CheckedKeys& operator=(const CheckedKeys&) = delete;
};

}  // namespace kpsim::testing
