// Signing operations of one user take turns at the key: each host holds a
// lock file of the user's from the moment the engine loads the PKCS#11 module
// until it has unloaded it. Two pages signing at once otherwise meet inside
// the token's module (SoftHSM2 rewrites a token's files at every login; a
// key's module may hold its device), and one of them fails now and then
// ("C_Login failed:General error", "Not found UKey").
//
// The lock is flock(2) on $XDG_RUNTIME_DIR/ombrel-bridge.lock, else on
// /tmp/ombrel-bridge-<uid>/lock, in a folder that must be the user's own
// and closed to others (0700): a lock file others can open is a lock others
// can hold forever. A host that exits, however it ends, releases it.
//
// Threads: one Turns per thread. Nothing throws but std::bad_alloc.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>

namespace bridge {

// The lock file's path for this user (see above).
std::string turnsLockPath();

// How long a host waits for its turn: QD_BRIDGE_LOCK_WAIT seconds (tests), else
// 90 s, time for another page's user to type the PIN and press the key's button.
std::chrono::milliseconds turnsWait();

class Turns {
public:
    Turns(std::string lockPath, std::chrono::milliseconds wait) : path_(std::move(lockPath)), wait_(wait) {}

    // Held while it lives; moving hands it on.
    class Turn {
    public:
        explicit Turn(int fd) : fd_(fd) {}
        Turn(Turn&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
        Turn& operator=(Turn&& other) noexcept;
        ~Turn();

    private:
        int fd_;
    };

    // TimedOut: another host held the lock all along the wait. NoLockFile:
    // the lock cannot be used (its folder is not the user's own and private,
    // or a call failed); the caller then goes on without its turn rather
    // than let another user stop every signing by making that folder first.
    enum class Failure { TimedOut, NoLockFile };
    // Waits up to the bound for the turn. Nothing on failure: *failure says
    // which, and *why is one line for this machine's diagnostics.
    std::optional<Turn> take(Failure* failure, std::string* why) const;

private:
    std::string path_;
    std::chrono::milliseconds wait_;
};

}  // namespace bridge
