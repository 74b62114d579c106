// The key agent as a process on the simulated bus, with the simulated token
// library and a stand-in key manager (a private copy per test, so that tests
// running side by side never signal each other's) that logs "launch <pid> ..."
// and "term <pid>".
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

#include "agent/Qd_Intefs.h"
#include "agent/marrowby.h"
#include "platform/tests/standin_harness.h"
#include "platform/workspace.h"
#include "sim/token/keysim_gtest.h"
#include "token/Func_init.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using standintest::kPatience;
// How long to wait for something that must NOT happen after a plug: the
// settle delay plus ample time for a decision thread to launch.
constexpr auto kQuietPeriod = agent::kSettleDelay + 1200ms;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t countEqual(const std::vector<std::string>& lines, const std::string& text) {
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
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    void waitUntilWatching() {
        ASSERT_TRUE(waitForOutput("DeviceDisappeared", 2)) << output();
    }

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

TEST_F(AgentTest, KeyPresentAtStartLaunchesNothingAndLaterArrivalsLaunchOnceEach) {
    makeKey("present");
    keysim({"plug", "present"});
    startAgent();
    waitUntilWatching();
    // Start-up prints exactly this much, whichever watch went first.
    const auto start = splitLines(output());
    EXPECT_EQ(start.size(), 6u) << output();
    EXPECT_EQ(countEqual(start, "Begin"), 2u);
    EXPECT_EQ(countEqual(start, "DeviceAppeared"), 2u);
    EXPECT_EQ(countEqual(start, "DeviceDisappeared"), 2u);

    // Out and in again: now it is an arrival.
    keysim({"unplug", "present"});
    ASSERT_TRUE(waitForOutput("DeviceDisappeared", 3));
    keysim({"plug", "present"});
    ASSERT_TRUE(waitForOutput("DeviceAppeared", 3));
    ASSERT_TRUE(waitForManager("launch ", 1));

    // Its removal asks that manager to quit.
    keysim({"unplug", "present"});
    ASSERT_TRUE(waitForManager("term ", 1));
    EXPECT_EQ(folder_.terms().at(0), folder_.launches().at(0).pid);

    // A bank key of the second kind is watched too.
    makeKey("second", 20244, agent::kVendor2);
    keysim({"plug", "second"});
    ASSERT_TRUE(waitForOutput("DeviceAppeared", 4));
    ASSERT_TRUE(waitForManager("launch ", 2));

    EXPECT_EQ(launchesOnceQuiet(), 2u) << "one launch per arrival, none for the key present at start";
}

TEST_F(AgentTest, ManagersQuitAtStartAndAtEveryRemovalButOnlyPcode20244Launches) {
    makeKey("foreign", 12345);
    makeKey("bank");
    // A manager running when the agent starts is asked to quit.
    ASSERT_TRUE(platform::launchManager());
    ASSERT_TRUE(waitForManager("launch ", 1));
    startAgent();
    ASSERT_TRUE(waitForManager("term ", 1));
    waitUntilWatching();

    keysim({"plug", "foreign"});
    ASSERT_TRUE(waitForOutput("DeviceAppeared", 3));
    EXPECT_EQ(launchesOnceQuiet(), 1u);

    // Pulling the foreign key out still asks running managers to quit.
    ASSERT_TRUE(platform::launchManager());
    ASSERT_TRUE(waitForManager("launch ", 2));
    keysim({"unplug", "foreign"});
    ASSERT_TRUE(waitForManager("term ", 2));

    // The bank key alone launches (and only it).
    keysim({"plug", "bank"});
    ASSERT_TRUE(waitForManager("launch ", 3));
    EXPECT_EQ(launchesOnceQuiet(), 3u);
}

// A manager that an administrator starts through a wrapper script still quits
// when its key is pulled out: the agent finds it by the lock it holds.
TEST_F(AgentTest, ManagerStartedThroughAWrapperIsAskedToQuit) {
    const fs::path wrapper = dir_ / "start-kelvane";
    std::ofstream(wrapper) << "#!/bin/sh\n'" << folder_.standin() << "' \"$@\"\n";
    fs::permissions(wrapper, fs::perms::owner_all);
    setenv("QD_MANAGER_EXECUTABLE", wrapper.c_str(), 1);
    makeKey("bank");
    startAgent();
    waitUntilWatching();
    keysim({"plug", "bank"});
    ASSERT_TRUE(waitForManager("launch ", 1));
    keysim({"unplug", "bank"});
    ASSERT_TRUE(waitForManager("term ", 1)) << "the wrapped manager was not asked to quit";
    EXPECT_EQ(folder_.terms().at(0), folder_.launches().at(0).pid);
}

// A key that answers only a while after it was plugged in: the settle delay
// before the PCODE read is what lets it launch the manager.
TEST_F(AgentTest, SettleDelayCoversAKeyThatIsNotReadyAtOnce) {
    makeKey("slow");
    keysim({"set", "slow", "fault", "notready:150"});
    makeKey("slower", 20244, agent::kVendor2);
    keysim({"set", "slower", "fault", "notready:3000"});
    startAgent();
    waitUntilWatching();

    // Ready well before the delay is over: launched.
    keysim({"plug", "slow"});
    ASSERT_TRUE(waitForManager("launch ", 1));
    keysim({"unplug", "slow"});
    ASSERT_TRUE(waitForManager("term ", 1));

    // Still not answering when the delay is over: its PCODE reads as 0.
    keysim({"plug", "slower"});
    ASSERT_TRUE(waitForOutput("DeviceAppeared", 4));
    EXPECT_EQ(launchesOnceQuiet(), 1u);
}

TEST_F(AgentTest, MissingTokenLibraryNeverLaunches) {
    setenv("QD_TOKEN_LIBRARY", (dir_ / "absent.so").c_str(), 1);
    makeKey("bank");
    startAgent();
    waitUntilWatching();
    std::ifstream err(dir_ / "agent.err");
    const std::string errors((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    EXPECT_NE(errors.find("load dylib fail!"), std::string::npos) << errors;

    keysim({"plug", "bank"});
    ASSERT_TRUE(waitForOutput("DeviceAppeared", 3));
    EXPECT_EQ(launchesOnceQuiet(), 0u);
    // The watch goes on.
    keysim({"unplug", "bank"});
    EXPECT_TRUE(waitForOutput("DeviceDisappeared", 3));
}

TEST_F(AgentTest, IdlesWithoutProcessorTimeAndSigintEndsWithStatusZero) {
    startAgent();
    waitUntilWatching();

    // Processor time over a second of idling, in clock ticks (utime + stime).
    auto cpuTicks = [this] {
        std::ifstream stat("/proc/" + std::to_string(agent_) + "/stat");
        std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(content.substr(content.rfind(')') + 2));
        std::string skip;
        for (int i = 3; i < 14; ++i) fields >> skip;
        long utime = 0, stime = 0;
        fields >> utime >> stime;
        return utime + stime;
    };
    const long before = cpuTicks();
    std::this_thread::sleep_for(1s);
    EXPECT_LE(cpuTicks() - before, 10) << "the agent spends processor time while idle";

    ASSERT_EQ(kill(agent_, SIGINT), 0);
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    pid_t done = 0;
    while ((done = waitpid(agent_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(done, agent_) << "the agent did not end on SIGINT";
    agent_ = -1;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string& out = output();
    EXPECT_TRUE(out.size() > 13 && out.compare(out.size() - 13, 13, "\nInterrupted\n") == 0) << out;
}

// The PCODE read itself, in this process through the plain binding.
TEST_F(AgentTest, FirstReaderPcodeReadsZeroOnEveryFailure) {
    EXPECT_EQ(Qd_Intefs().getPcode(), 0u);  // library not loaded yet
    ASSERT_EQ(Func_Init(kpsim::testing::libraryPath().c_str()), 0);
    EXPECT_EQ(Qd_Intefs().getPcode(), 0u);  // no key
    makeKey("foreign", 4711);
    keysim({"plug", "foreign"});
    EXPECT_EQ(Qd_Intefs().getPcode(), 4711u);
    keysim({"unplug", "foreign"});
    makeKey("bank");
    keysim({"plug", "bank"});
    EXPECT_EQ(agent::readFirstReaderPcode(), agent::kBankPcode);
}

// The PCODE read against every fault setting of the simulator: a key that
// answers reads its PCODE, one that does not reads 0, and no row leaves a
// handle open (TearDown checks).
struct PcodeFault {
    const char* fault;
    uint32_t pcode;
};

class AgentPcodeFaults : public AgentTest, public ::testing::WithParamInterface<PcodeFault> {};

TEST_P(AgentPcodeFaults, ReadsThePcodeOfAKeyThatAnswersAndZeroOtherwise) {
    ASSERT_EQ(Func_Init(kpsim::testing::libraryPath().c_str()), 0);
    makeKey("bank");
    keysim({"set", "bank", "fault", GetParam().fault});
    keysim({"plug", "bank"});
    EXPECT_EQ(agent::readFirstReaderPcode(), GetParam().pcode);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AgentPcodeFaults,
    ::testing::Values(PcodeFault{"none", agent::kBankPcode}, PcodeFault{"nocert0", agent::kBankPcode},
                      PcodeFault{"overlong", agent::kBankPcode},
                      PcodeFault{"unterminated", agent::kBankPcode}, PcodeFault{"slow:20", agent::kBankPcode},
                      PcodeFault{"status:0xE0001234", 0}, PcodeFault{"connect:0xE0005678", 0},
                      PcodeFault{"notready:60000", 0}),
    [](const auto& info) { return std::to_string(info.index); });

}  // namespace
