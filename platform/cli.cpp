#include "platform/cli.h"

#include <cstdio>

#ifndef QD_SUITE_VERSION
#error "QD_SUITE_VERSION comes from the project's version (platform/CMakeLists.txt)"
#endif

namespace platform {

const char* suiteVersion() noexcept { return QD_SUITE_VERSION; }

Asked askedFor(std::string_view argument) noexcept {
    if (argument == "--help" || argument == "-h") return Asked::Help;
    if (argument == "--version") return Asked::Version;
    return Asked::Nothing;
}

int answer(Asked asked, std::string_view program, std::string_view usage) noexcept {
    if (asked == Asked::Help) {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
    } else {
        std::printf("%.*s %s\n", static_cast<int>(program.size()), program.data(), suiteVersion());
    }
    // The output is the answer: a write that failed is a failure.
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace platform
