// Workspace services: what the key agent needs of the desktop to start the
// key manager and to ask running key managers to quit.
//
// launchApplication starts a program detached from the caller (its own
// session, reaped at once, so no zombie is left behind and it outlives the
// caller); terminateApplications sends SIGTERM to every process of the
// calling user whose executable (/proc/PID/exe) is the given program, the
// caller excepted. The *Manager forms use platform::managerExecutable()
// (QD_MANAGER_EXECUTABLE, else <bundle>/bin/kelvane).
//
// Thread safety: all four may be called from any thread; they keep no state.
// launchApplication forks, so only async-signal-safe work runs between fork
// and exec; it is safe in a multithreaded process.
#pragma once

#include <string>

namespace platform {

// Starts `executable` with no arguments and the caller's environment, its
// signal mask emptied and signal handlers reset. Returns true when the
// program has been executed; false with a one-line diagnostic in *error
// (when error is not null) when it could not be started.
[[nodiscard]] bool launchApplication(const std::string& executable, std::string* error = nullptr);

// Sends SIGTERM to every process of the caller's user whose executable is
// `executable` (compared after resolving symbolic links, so a link to the
// program finds it too). Returns the number of processes signalled.
int terminateApplications(const std::string& executable);

[[nodiscard]] bool launchManager(std::string* error = nullptr);
int terminateManagers();

}  // namespace platform
