#include "bridge/host/turns.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace bridge {
namespace {

constexpr std::chrono::milliseconds kDefaultWait{90'000};
// How often a waiting host tries again: short against a signing of a few ms.
constexpr std::chrono::milliseconds kRetry{10};

// The lock's folder is used only when it is this user's own and nobody else
// may enter it: someone who could would hold the lock forever, or put a link
// where the lock file goes. The one below /tmp is made by whoever comes first.
bool privateFolder(const std::string& folder, std::string* why) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = "cannot make " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        *why = "cannot read " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        *why = folder + " is not a folder of this user's that only this user may enter";
        return false;
    }
    return true;
}

}  // namespace

std::string turnsLockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/ombrel-bridge.lock";
    return "/tmp/ombrel-bridge-" + std::to_string(::geteuid()) + "/lock";
}

std::chrono::milliseconds turnsWait() {
    const char* text = std::getenv("QD_BRIDGE_LOCK_WAIT");
    if (text == nullptr || *text == '\0') return kDefaultWait;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (*end != '\0' || !(seconds >= 0) || seconds > 3600) return kDefaultWait;
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

Turns::Turn::~Turn() {
    if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

Turns::Turn& Turns::Turn::operator=(Turn&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

std::optional<Turns::Turn> Turns::take(Failure* failure, std::string* why) const {
    *failure = Failure::NoLockFile;
    const auto slash = path_.rfind('/');
    if (!privateFolder(slash == std::string::npos || slash == 0 ? "/" : path_.substr(0, slash), why))
        return std::nullopt;
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        *why = "cannot open the lock file " + path_ + ": " + std::strerror(errno);
        return std::nullopt;
    }
    Turn turn(fd);
    const auto deadline = std::chrono::steady_clock::now() + wait_;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return turn;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *why = "cannot lock " + path_ + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(kRetry);
    }
    *failure = Failure::TimedOut;
    char waited[32];
    std::snprintf(waited, sizeof waited, "%g", static_cast<double>(wait_.count()) / 1000);
    *why = "another signing held " + path_ + " for longer than " + waited + " s";
    return std::nullopt;
}

}  // namespace bridge
