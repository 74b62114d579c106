// The key agent as a process, for the agent's test programs: the simulated
// token library, a stand-in key manager (a private copy per test, so that
// tests running side by side never signal each other's) that logs
// "launch <pid> ..." and "term <pid>", and the agent's standard output.
// The USB bus is the simulated one unless a test program sets another.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/marrowby.h"
#include "platform/tests/standin_harness.h"
#include "sim/token/keysim_gtest.h"

extern char** environ;

namespace agenttest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using standintest::kPatience;
// How long to wait for something that must NOT happen after a plug: the
// settle delay plus ample time for a decision thread to launch.
inline constexpr auto kQuietPeriod = agent::kSettleDelay + 1200ms;

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline size_t countEqual(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KEYSIM_DIR", (dir_ / "keys").c_str(), 1);
        fs::create_directory(dir_ / "keys");
        fs::permissions(dir_ / "keys", fs::perms::owner_all);
        kpsim::testing::writeStrictState((dir_ / "keys").string());
        setenv("QD_USB_BACKEND", "sim", 1);
        setenv("QD_TOKEN_LIBRARY", kpsim::testing::libraryPath().c_str(), 1);
        setenv("QD_MANAGER_EXECUTABLE", folder_.standin().c_str(), 1);
    }

    void TearDown() override {
        if (agent_ > 0) {
            kill(agent_, SIGKILL);
            waitpid(agent_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        // The agent reads the PCODE and lets go at once: nothing stays open.
        kpsim::testing::expectNothingLeftOpen();
    }

    static void keysim(std::initializer_list<std::string> args) {
        const auto r = kpsim::testing::runKeysim(args);
        ASSERT_EQ(r.status, 0) << "keysim " << *args.begin() << ": " << r.err;
    }
    // A key of the given PCODE and vendor, not yet plugged in.
    static void makeKey(const std::string& name, unsigned pcode = 20244, unsigned vendor = agent::kVendor1) {
        keysim({"create", name});
        keysim({"set", name, "pcode", std::to_string(pcode)});
        keysim({"set", name, "vendor", std::to_string(vendor)});
    }

    void startAgent() {
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        const std::string err = (dir_ / "agent.err").string();
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        char* argv[] = {const_cast<char*>("marrowby"), nullptr};
        const int rc = posix_spawn(&agent_, MARROWBY_EXECUTABLE, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        out_ = pipeFds[0];
        ASSERT_EQ(rc, 0);
    }

    // Everything the agent printed on standard output so far.
    const std::string& output() {
        char buffer[4096];
        pollfd p{out_, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0) break;
            text_.append(buffer, static_cast<size_t>(n));
        }
        return text_;
    }
    bool waitForOutput(const std::string& line, size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (countEqual(splitLines(output()), line) < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    // Both watches armed (each arming ends with its removal call), and keys
    // plugged in from now on count as arrivals.
    void waitUntilWatching() { ASSERT_TRUE(waitForOutput("DeviceDisappeared", 2)) << output(); }

    std::vector<std::string> managerLog(const std::string& prefix) const { return folder_.lines(prefix); }
    bool waitForManager(const std::string& prefix, size_t count) const {
        return folder_.waitFor(prefix, count);
    }
    // How many managers were launched once every arrival so far has had its
    // time to launch one (the settle delay and a margin).
    size_t launchesOnceQuiet() const {
        std::this_thread::sleep_for(kQuietPeriod);
        return managerLog("launch ").size();
    }

    standintest::StandinFolder folder_;
    const fs::path dir_ = folder_.dir();
    pid_t agent_ = -1;
    int out_ = -1;
    std::string text_;
};

}  // namespace agenttest
