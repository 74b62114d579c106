// What every program of the suite answers before it does anything else:
// --help (or -h) prints its usage, --version the suite's version, both on
// standard output, and the program ends with status 0. A program checks each
// argument at an option position (not one that is an option's value) with
// askedFor(), and on Help or Version returns answer()'s status at once, before
// it reads input, loads a library, opens a display or watches the bus.
//
// No state, never throws.
#pragma once

#include <string_view>

namespace platform {

// The suite's version ("1.0"), the project's version in the build.
const char* suiteVersion() noexcept;

enum class Asked { Nothing, Help, Version };

// "--help" and "-h" ask for the usage, "--version" for the version.
Asked askedFor(std::string_view argument) noexcept;

// Prints `usage` (Help) or "<program> <suite version>" (Version) to standard
// output. Returns the exit status: 0, or 1 when standard output could not be
// written (a full disk or a closed pipe must not look like success).
int answer(Asked asked, std::string_view program, std::string_view usage) noexcept;

}  // namespace platform
