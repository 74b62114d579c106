// Test support for every room that tests against the simulated keys
// (header-only; link the CMake target `kpsim_testing`, which also builds
// keysim and libUSBQdvKey_20244.so before the test).
//
//   kpsim::testing::SimulatedKeys keys;          // fresh KEYSIM_DIR, QD_TOKEN_LIBRARY -> simulator
//   keys.keysim({"create", "--demo", "demo"});    // throws on a non-zero exit
//   auto r = kpsim::testing::runKeysim({"set", "demo", "pin", "x"});  // r.status, r.out, r.err
//
// SimulatedKeys sets the environment of the process (KEYSIM_DIR,
// QD_TOKEN_LIBRARY, QD_USB_BACKEND=sim) and restores it when it goes; use
// one at a time, from the test's main thread, before starting other threads.
// Its keys start in strict mode (`keysim strict on`: handles and transactions
// are tracked); keys.leftOpen() says what a client left open, and
// CheckedKeys (keysim_gtest.h) fails the test on it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace kpsim::testing {

#ifndef KPSIM_KEYSIM_PATH
#error "link the CMake target kpsim_testing"
#endif

inline std::string keysimPath() { return KPSIM_KEYSIM_PATH; }
inline std::string libraryPath() { return KPSIM_LIBRARY_PATH; }

struct CommandResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program with arguments (no shell), collecting its output.
inline CommandResult runProgram(const std::string& program, const std::vector<std::string>& args) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<std::string> argvStrings;
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    }
    CommandResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

inline CommandResult runKeysim(const std::vector<std::string>& args) {
    return runProgram(keysimPath(), args);
}

// What is left open on the simulated keys of $KEYSIM_DIR (handles,
// transactions, notes of misuse, as `keysim status` lists them); empty when
// nothing is.
inline std::string leftOpen() {
    CommandResult r = runKeysim({"status", "--clean"});
    if (r.status == 0) return {};
    if (r.status == 3) return r.out;
    return "keysim status failed (" + std::to_string(r.status) + "): " + r.err;
}

// Starts a state folder in strict mode without running keysim: the state
// file as `keysim strict on` leaves it in an empty folder.
inline void writeStrictState(const std::string& dir) {
    const std::string path = dir + "/keys.json";
    const std::string text =
        "{\"format\": \"keysim-1\", \"next_id\": 1, \"keys\": [], \"strict\": true, "
        "\"transaction_wait_ms\": 3000, \"next_handle\": 1, \"handles\": [], \"notes\": []}\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written) throw std::runtime_error("cannot write " + path);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh state folder for one test, removed afterwards; strict unless asked.
class SimulatedKeys {
public:
    enum class Mode { kStrict, kLenient };
    explicit SimulatedKeys(Mode mode = Mode::kStrict)
        : dir_(makeTempDir()),
          keysimDir_("KEYSIM_DIR", dir_),
          library_("QD_TOKEN_LIBRARY", libraryPath()),
          usb_("QD_USB_BACKEND", "sim") {
        if (mode == Mode::kStrict) writeStrictState(dir_);
    }
    ~SimulatedKeys() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    SimulatedKeys(const SimulatedKeys&) = delete;
    SimulatedKeys& operator=(const SimulatedKeys&) = delete;

    const std::string& dir() const { return dir_; }
    std::string statePath() const { return dir_ + "/keys.json"; }

    // What clients left open on these keys (empty: nothing).
    std::string leftOpen() const { return kpsim::testing::leftOpen(); }

    // Runs keysim; throws with its error text when it fails.
    CommandResult keysim(const std::vector<std::string>& args) const {
        CommandResult r = runKeysim(args);
        if (r.status != 0) {
            std::string line;
            for (const auto& a : args) line += " " + a;
            throw std::runtime_error("keysim" + line + " failed (" + std::to_string(r.status) +
                                     "): " + r.err);
        }
        return r;
    }

private:
    static std::string makeTempDir() {
        std::string base = std::filesystem::temp_directory_path().string() + "/keysim-test-XXXXXX";
        if (mkdtemp(base.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return base;
    }

    std::string dir_;
    ScopedEnv keysimDir_;
    ScopedEnv library_;
    ScopedEnv usb_;
};

}  // namespace kpsim::testing
