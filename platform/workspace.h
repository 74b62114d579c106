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
// A running key manager also holds a ManagerLock: a file named after its
// process in platform::managerLockDir(), holding its PID under an exclusive
// lock while the process lives. terminateManagers() signals the holders of
// those locks first, so a manager started through a wrapper (a script as
// QD_MANAGER_EXECUTABLE, whose /proc/PID/exe is the shell or the real
// program) is found too; the executable match stays as the fallback.
//
// Thread safety: the functions may be called from any thread; they keep no state.
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

// Launches managerExecutable(). When the session has a systemd user manager
// (its socket $XDG_RUNTIME_DIR/systemd/private answers) and systemd-run is in
// PATH, the key manager runs in a transient scope of its own
// (systemd-run --user --scope), out of the agent's unit: stopping or
// restarting the agent leaves it running. Otherwise as launchApplication.
[[nodiscard]] bool launchManager(std::string* error = nullptr);
// SIGTERM to every process that holds a manager lock, then to every process
// whose executable is managerExecutable() and that was not signalled yet.
// Stale lock files (their process gone) are removed. Returns the number of
// processes signalled.
int terminateManagers();

// The running key manager's lock (see above). Construct it once, early, in
// the manager's main thread and keep it for the life of the process; the
// descriptor is close-on-exec, so programs the manager starts do not hold it.
class ManagerLock {
public:
    ManagerLock();
    ~ManagerLock();  // removes the file, then releases the lock
    ManagerLock(const ManagerLock&) = delete;
    ManagerLock& operator=(const ManagerLock&) = delete;

    // Whether the lock is held; when not, error() is a one-line diagnostic
    // (the manager still runs: the agent then finds it by its executable).
    bool held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
    std::string error_;
};

}  // namespace platform
