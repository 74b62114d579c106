// Workspace services on Linux: fork/exec for launching, /proc for finding
// the running copies of a program.
#include "platform/workspace.h"

#include "platform/paths.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
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

bool launchApplication(const std::string& executable, std::string* error) {
    auto fail = [error](std::string message) {
        if (error) *error = std::move(message);
        return false;
    };
    if (executable.empty()) {
        return fail("launch: no executable given");
    }
    // Everything the children need is made before fork.
    std::vector<char> path(executable.begin(), executable.end());
    path.push_back('\0');
    char* const argv[] = {path.data(), nullptr};
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
        execDetached(path.data(), argv, writer.get(), nullFd.get());
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

int terminateApplications(const std::string& executable) {
    const std::string target = resolved(executable);
    const uid_t me = ::getuid();
    const pid_t self = ::getpid();
    std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
    if (!proc) {
        return 0;
    }
    int signalled = 0;
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
        if (exe == target && ::kill(static_cast<pid_t>(pid), SIGTERM) == 0) {
            ++signalled;
        }
    }
    return signalled;
}

bool launchManager(std::string* error) {
    return launchApplication(managerExecutable(), error);
}

int terminateManagers() {
    return terminateApplications(managerExecutable());
}

}  // namespace platform
