// Stands in for the key manager in tests: holds the manager lock as the key
// manager does (unless STANDIN_NO_LOCK is set), appends "launch <pid> <ppid>
// <sid> <mask> <argv0> <lock>" to $STANDIN_LOG when started and "term <pid>"
// when asked to terminate, and otherwise waits. It ends by itself after a
// minute so that a failed test leaves nothing running. Ending by SIGTERM
// leaves its lock file behind, as a manager that was killed would.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/workspace.h"

namespace {

int logFd = -1;

void append(const char* line) {
    if (logFd >= 0) {
        // One write per line with O_APPEND: lines of several copies never mix.
        [[maybe_unused]] ssize_t n = write(logFd, line, std::strlen(line));
    }
}

void onTerm(int) {
    char line[64];
    std::snprintf(line, sizeof line, "term %d\n", static_cast<int>(getpid()));
    append(line);
    _exit(0);
}

}  // namespace

int main(int, char** argv) {
    if (const char* path = std::getenv("STANDIN_LOG")) {
        logFd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    struct sigaction action {};
    action.sa_handler = onTerm;
    sigaction(SIGTERM, &action, nullptr);

    const bool lock = std::getenv("STANDIN_NO_LOCK") == nullptr;
    static platform::ManagerLock* held = lock ? new platform::ManagerLock : nullptr;

    // Report whether a signal mask came along from the launcher.
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    char line[512];
    std::snprintf(line, sizeof line, "launch %d %d %d %s %s %s\n", static_cast<int>(getpid()),
                  static_cast<int>(getppid()), static_cast<int>(getsid(0)),
                  sigismember(&blocked, SIGTERM) || sigismember(&blocked, SIGINT) ? "masked" : "clear",
                  argv[0],
                  held == nullptr ? "nolock"
                  : held->held()  ? "locked"
                                  : "lockfailed");
    append(line);
    alarm(60);
    for (;;) {
        pause();
    }
}
