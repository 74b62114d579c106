// Marrowby, the key agent. Takes no arguments but --help and --version;
// otherwise ends only by a signal.
#include <cstdio>

#include "agent/marrowby.h"
#include "platform/cli.h"
#include "platform/log.h"

namespace {

const char* const kUsage =
    "usage: marrowby [--help | --version]\n"
    "\n"
    "The key agent: watches the USB bus for the bank's keys (vendor 0xD449 or\n"
    "0x6A9F, product 4), starts the key manager when a key of PCODE 20244 is\n"
    "plugged in and asks running key managers to quit when a key is pulled out.\n"
    "It runs until interrupted (SIGINT); the login session starts it.\n"
    "\n"
    "Environment: QD_TOKEN_LIBRARY (token library), QD_MANAGER_EXECUTABLE (the key\n"
    "manager), QD_BUNDLE_DIR, QD_USB_BACKEND (udev or sim), QD_MANAGER_LOCK_DIR.\n"
    "See marrowby(1).\n";

}  // namespace

int main(int argc, char** argv) {
    // Whatever else is asked, the agent does not start watching.
    for (int i = 1; i < argc; ++i) {
        if (const platform::Asked asked = platform::askedFor(argv[i]); asked != platform::Asked::Nothing)
            return platform::answer(asked, "marrowby", kUsage);
    }
    if (argc > 1) {
        std::fprintf(stderr, "marrowby: unexpected argument %s\n%s", platform::quoted(argv[1]).c_str(),
                     kUsage);
        return 2;
    }
    agent::runAgent();
}
