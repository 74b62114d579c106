// Workspace services on Linux: fork/exec for launching, /proc for finding
// the running copies of a program.
#include "platform/workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "platform/paths.h"

namespace platform {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string errnoText(const std::string& call, int error) {
    return call + " failed: " + std::strerror(error);
}

// Writes errno to the parent and leaves; async-signal-safe.
[[noreturn]] void failChild(int reportFd, int status) {
    int error = errno;
    [[maybe_unused]] ssize_t n = ::write(reportFd, &error, sizeof error);
    ::_exit(status);
}

// Between fork and exec only async-signal-safe calls: the parent may have
// other threads holding locks that the child would never see released.
[[noreturn]] void execDetached(const char* path, char* const argv[], int reportFd, int nullFd) {
    // The launched program must not inherit the caller's blocked or handled
    // signals (the agent blocks SIGINT in its threads).
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        sigaction(sig, &dfl, nullptr);  // fails harmlessly for SIGKILL, SIGSTOP
    }
    if (nullFd >= 0) {
        ::dup2(nullFd, STDIN_FILENO);
    }
    // None of the caller's other descriptors (USB monitors, event fds) leak in.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        struct rlimit limit {};
        const int top = (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536)
                            ? static_cast<int>(limit.rlim_cur)
                            : 65536;
        for (int fd = 3; fd < top; ++fd) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ::execv(path, argv);
    failChild(reportFd, 127);
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

}  // namespace

namespace {

bool failWith(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

// Starts args[0] with the arguments that follow (see launchApplication).
bool launchArgs(const std::vector<std::string>& args, std::string* error) {
    auto fail = [error](std::string message) { return failWith(error, std::move(message)); };
    const std::string& executable = args.at(0);
    if (executable.empty()) {
        return fail("launch: no executable given");
    }
    // Everything the children need is made before fork.
    std::vector<std::vector<char>> texts;
    for (const std::string& arg : args) texts.emplace_back(arg.c_str(), arg.c_str() + arg.size() + 1);
    std::vector<char*> argv;
    for (auto& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    Fd nullFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return fail(errnoText("pipe2", errno));
    }
    Fd reader(report[0]);
    Fd writer(report[1]);

    // Double fork: the middle child starts a new session, forks the program
    // and leaves at once; we reap it, and the program, re-parented to init
    // (or the session's subreaper), never becomes our zombie.
    const pid_t middle = ::fork();
    if (middle < 0) {
        return fail(errnoText("fork", errno));
    }
    if (middle == 0) {
        ::setsid();
        const pid_t program = ::fork();
        if (program < 0) {
            failChild(writer.get(), 1);
        }
        if (program > 0) {
            ::_exit(0);
        }
        execDetached(argv[0], argv.data(), writer.get(), nullFd.get());
    }
    writer.reset();
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes on a successful exec; a failure sends its errno first.
    int childError = 0;
    ssize_t got;
    while ((got = ::read(reader.get(), &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof childError)) {
        return fail(errnoText("launch " + executable, childError));
    }
    return true;
}

// Whether this session has a systemd user manager: its private socket,
// through which systemd-run --user reaches it, answers.
bool userManagerAnswers() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') return false;
    const std::string path = std::string(runtime) + "/systemd/private";
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd.get() >= 0 &&
           ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// `name` in a folder of PATH, as a shell would find it; empty when absent.
std::string inPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (folder.empty()) continue;
        const std::string candidate = std::string(folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

}  // namespace

bool launchApplication(const std::string& executable, std::string* error) {
    return launchArgs({executable}, error);
}

namespace {

// Name of a manager's lock file: manager-<pid>.lock.
constexpr std::string_view kLockPrefix = "manager-";
constexpr std::string_view kLockSuffix = ".lock";

std::string lockFileName(pid_t pid) {
    return std::string(kLockPrefix) + std::to_string(pid) + std::string(kLockSuffix);
}

// The PID a lock file's name gives; 0 for any other name.
pid_t pidOfLockName(std::string_view name) {
    if (!name.starts_with(kLockPrefix) || !name.ends_with(kLockSuffix)) return 0;
    const std::string digits(
        name.substr(kLockPrefix.size(), name.size() - kLockPrefix.size() - kLockSuffix.size()));
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<pid_t>(std::strtol(digits.c_str(), nullptr, 10));
}

// The lock folder, made private when missing. A folder that someone else
// owns or may write to is not ours to trust: its files could name any process.
bool openLockFolder(const std::string& dir, bool create, std::string* error) {
    if (create && !makePrivateFolder(dir, error)) return false;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        *error = errnoText("lstat " + dir, errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 022) != 0) {
        *error = "lock folder " + dir + " is not a private folder of this user";
        return false;
    }
    return true;
}

// SIGTERM to the process holding each manager lock in dir; the PIDs go into
// *signalled. A file nobody holds any more is removed.
int terminateLockHolders(const std::string& dir, std::set<pid_t>* signalled) {
    std::string error;
    if (!openLockFolder(dir, false, &error)) return 0;  // no folder: no manager took a lock
    std::unique_ptr<DIR, DirCloser> folder(::opendir(dir.c_str()));
    if (!folder) return 0;
    const uid_t me = ::getuid();
    int count = 0;
    while (dirent* entry = ::readdir(folder.get())) {
        const pid_t pid = pidOfLockName(entry->d_name);
        if (pid <= 0 || pid == ::getpid()) continue;
        Fd fd(::openat(::dirfd(folder.get()), entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me) continue;
        if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
            // Nobody holds it: its manager is gone. Remove the name only while
            // it still is this file (a new manager may have taken the name).
            struct stat now {};
            if (::fstatat(::dirfd(folder.get()), entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
                ::unlinkat(::dirfd(folder.get()), entry->d_name, 0);
            }
            continue;
        }
        if (errno != EWOULDBLOCK) continue;
        // Held: the file names its holder. Trust the name only when the
        // content agrees with it.
        char text[32] = {};
        const ssize_t n = ::pread(fd.get(), text, sizeof text - 1, 0);
        if (n <= 0 || std::strtol(text, nullptr, 10) != pid) continue;
        if (signalled->count(pid) == 0 && ::kill(pid, SIGTERM) == 0) {
            signalled->insert(pid);
            ++count;
        }
    }
    return count;
}

int terminateByExecutable(const std::string& executable, std::set<pid_t>* signalled) {
    const std::string target = resolved(executable);
    const uid_t me = ::getuid();
    const pid_t self = ::getpid();
    std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
    if (!proc) {
        return 0;
    }
    int count = 0;
    while (dirent* entry = ::readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        const std::string base = std::string("/proc/") + entry->d_name;
        struct stat st {};
        if (::stat(base.c_str(), &st) != 0 || st.st_uid != me) {
            continue;
        }
        char link[PATH_MAX];
        const ssize_t n = ::readlink((base + "/exe").c_str(), link, sizeof link - 1);
        if (n <= 0) {
            continue;  // gone, a zombie, or a kernel thread
        }
        std::string exe(link, static_cast<size_t>(n));
        // A program replaced on disk while running still counts as itself.
        static constexpr std::string_view kDeleted = " (deleted)";
        if (exe.size() > kDeleted.size() && exe.ends_with(kDeleted)) {
            exe.resize(exe.size() - kDeleted.size());
        }
        if (exe == target && signalled->count(static_cast<pid_t>(pid)) == 0 &&
            ::kill(static_cast<pid_t>(pid), SIGTERM) == 0) {
            signalled->insert(static_cast<pid_t>(pid));
            ++count;
        }
    }
    return count;
}

}  // namespace

int terminateApplications(const std::string& executable) {
    std::set<pid_t> signalled;
    return terminateByExecutable(executable, &signalled);
}

bool launchManager(std::string* error) {
    const std::string manager = managerExecutable();
    // Under a systemd user manager the key manager gets a scope of its own:
    // in the agent's unit it would be stopped with the agent, in the middle
    // of a PIN change. systemd-run --scope executes the program itself, so
    // the process is the key manager, found as before.
    const std::string run = userManagerAnswers() ? inPath("systemd-run") : std::string();
    if (run.empty()) {
        return launchApplication(manager, error);
    }
    // systemd-run would report a missing program only on its own output.
    if (manager.empty() || ::access(manager.c_str(), X_OK) != 0) {
        return failWith(
            error, manager.empty() ? "launch: no executable given" : errnoText("launch " + manager, errno));
    }
    return launchArgs({run, "--user", "--scope", "--quiet", "--collect",
                       "--description=Key manager " + manager, "--", manager},
                      error);
}

int terminateManagers() {
    std::set<pid_t> signalled;
    const int byLock = terminateLockHolders(managerLockDir(), &signalled);
    return byLock + terminateByExecutable(managerExecutable(), &signalled);
}

ManagerLock::ManagerLock() {
    const std::string dir = managerLockDir();
    if (!openLockFolder(dir, true, &error_)) return;
    const pid_t pid = ::getpid();
    // Locked before it gets its name, so a lock file under its name is
    // always held by a live process or left by a dead one.
    const std::string temporary = dir + "/." + lockFileName(pid) + ".new";
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0) {
        error_ = errnoText("open " + temporary, errno);
        return;
    }
    const std::string text = std::to_string(pid) + "\n";
    const std::string path = dir + "/" + lockFileName(pid);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error_ = errnoText("flock " + temporary, errno);
    } else if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        error_ = errnoText("write " + temporary, errno);
    } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error_ = errnoText("rename " + temporary, errno);
    } else {
        fd_ = fd.release();
        path_ = path;
        return;
    }
    ::unlink(temporary.c_str());
}

ManagerLock::~ManagerLock() {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
}

}  // namespace platform
