// The key agent as a process on the simulated bus (agent_harness.h).
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "agent/Qd_Intefs.h"
#include "agent/marrowby.h"
#include "agent/tests/agent_harness.h"
#include "platform/workspace.h"
#include "token/Func_init.h"

namespace {

using namespace agenttest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

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
    std::ifstream err(dir_ / "agent.err");
    const std::string errors((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    EXPECT_EQ(errors.find("marrowby:"), std::string::npos)
        << "launches that worked were reported: " << errors;
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

// A key manager that cannot be started: the agent says so on standard error
// and goes on as if it had been (the next removal is seen); a launch that
// works says nothing there.
TEST_F(AgentTest, AManagerThatCannotStartIsLoggedAndTheAgentGoesOn) {
    const std::string missing = (dir_ / "missing" / "kelvane").string();
    setenv("QD_MANAGER_EXECUTABLE", missing.c_str(), 1);
    makeKey("bank");
    startAgent();
    waitUntilWatching();
    keysim({"plug", "bank"});
    const std::string expected = "marrowby: launch " + missing + " failed: No such file or directory";
    auto errors = [this] {
        std::ifstream in(dir_ / "agent.err");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const auto deadline = std::chrono::steady_clock::now() + standintest::kPatience;
    while (errors().find(expected) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_NE(errors().find(expected), std::string::npos) << errors();
    keysim({"unplug", "bank"});
    EXPECT_TRUE(waitForOutput("DeviceDisappeared", 3));
}

// Each arrival's decision thread leaves nothing behind once it is done: a
// thread nobody joins or detaches would keep its stack mapped, several
// megabytes per plug, for the life of the agent.
TEST_F(AgentTest, ArrivalsLeaveNoThreadBehind) {
    makeKey("foreign", 4711);
    startAgent();
    waitUntilWatching();
    auto mappedKb = [this] {
        std::ifstream status("/proc/" + std::to_string(agent_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
        return -1L;
    };
    // The first decision's stack may stay cached for the next ones.
    size_t appeared = 2;
    long first = 0;
    for (int plug = 0; plug < 8; ++plug) {
        keysim({"plug", "foreign"});
        ASSERT_TRUE(waitForOutput("DeviceAppeared", ++appeared));
        std::this_thread::sleep_for(agent::kSettleDelay + 200ms);  // the decision is done
        keysim({"unplug", "foreign"});
        ASSERT_TRUE(waitForOutput("DeviceDisappeared", appeared));
        if (plug == 0) first = mappedKb();
    }
    ASSERT_GT(first, 0);
    EXPECT_LT(mappedKb() - first, 4 * 1024) << "kB mapped after 7 more arrivals";
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

// Every fault the simulated key offers, met on a real arrival: the agent
// starts the manager exactly when the key answers its PCODE by the end of the
// settle delay, and goes on watching either way. A key not ready for 280 ms
// is ready when the 0.3 s delay ends (the read comes at least that long after
// the plug); one not ready for 500 ms still refuses then (200 ms of margin
// for the agent's own reaction), and the agent does not try again.
TEST_F(AgentTest, EveryKeyFaultOnArrivalLaunchesExactlyWhenThePcodeAnswersInTime) {
    struct Row {
        const char* fault;
        bool launches;
    };
    const Row rows[] = {
        {"none", true},
        {"nocert0", true},  // the agent reads no certificate
        {"overlong", true},
        {"unterminated", true},
        {"slow:50", true},
        {"notready:280", true},
        {"notready:500", false},
        {"status:0xE0001234", false},   // the list, and every call after it, fails
        {"connect:0xE0005678", false},  // listed, but the connect fails
    };
    startAgent();
    waitUntilWatching();
    size_t appeared = 2, gone = 2, launches = 0;
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        const std::string name = "k" + std::to_string(index);
        // Both kinds of key, in turn.
        makeKey(name, agent::kBankPcode, index % 2 ? agent::kVendor2 : agent::kVendor1);
        ++index;
        keysim({"set", name, "fault", row.fault});
        keysim({"plug", name});
        ASSERT_TRUE(waitForOutput("DeviceAppeared", ++appeared)) << output();
        if (row.launches) {
            ASSERT_TRUE(waitForManager("launch ", ++launches));
        } else {
            // Long enough for a late read or a second try to launch.
            ASSERT_EQ(launchesOnceQuiet(), launches);
        }
        keysim({"unplug", name});
        ASSERT_TRUE(waitForOutput("DeviceDisappeared", ++gone));
        if (row.launches) {
            ASSERT_TRUE(waitForManager("term ", launches));
        }
    }
    EXPECT_EQ(launchesOnceQuiet(), launches);
    EXPECT_EQ(countEqual(splitLines(output()), "DeviceAppeared"), appeared);
}

// Which USB devices are keys: exactly vendor 0xD449 or 0x6A9F with product 4.
// Every neighbour of those ids, and a key wrong in both at once, neither
// arrives nor leaves nor launches, though each carries the bank's PCODE (a
// decision on any of them would launch). A key deleted from the simulator
// while plugged in leaves as if pulled out.
TEST_F(AgentTest, OnlyTheTwoWatchedVendorsWithProductFourAreKeys) {
    struct Ids {
        unsigned vendor, product;
    };
    const Ids foreign[] =
        {
            {0xD448, 4}, {0xD44A, 4},      {0x6A9E, 4}, {0x6AA0, 4},      {0xD449, 3},
            {0xD449, 5}, {0x6A9F, 3},      {0x6A9F, 5}, {0xD449, 0x0104}, {0x0000, 4},
            {0xFFFF, 4}, {0xD449, 0xFFFF}, {4, 0xD449},  // the two ids swapped
            {0xD448, 5},                                 // both wrong
        };
    startAgent();
    waitUntilWatching();
    std::vector<std::string> names;
    for (const Ids& ids : foreign) {
        const std::string name = "f" + std::to_string(names.size());
        makeKey(name, agent::kBankPcode, ids.vendor);
        keysim({"set", name, "product", std::to_string(ids.product)});
        keysim({"plug", name});
        names.push_back(name);
    }
    // Watched keys after them: the very next arrivals are theirs.
    makeKey("one");
    makeKey("two", agent::kBankPcode, agent::kVendor2);
    keysim({"plug", "one"});
    ASSERT_TRUE(waitForManager("launch ", 1));
    keysim({"unplug", "one"});
    ASSERT_TRUE(waitForManager("term ", 1));
    keysim({"plug", "two"});
    ASSERT_TRUE(waitForManager("launch ", 2));
    for (const std::string& name : names) keysim({"unplug", name});
    keysim({"remove", "two"});
    ASSERT_TRUE(waitForManager("term ", 2));
    std::this_thread::sleep_for(kQuietPeriod);
    const auto lines = splitLines(output());
    EXPECT_EQ(countEqual(lines, "DeviceAppeared"), 4u) << output();
    EXPECT_EQ(countEqual(lines, "DeviceDisappeared"), 4u) << output();
    EXPECT_EQ(managerLog("launch ").size(), 2u);
}

// The reader list the agent reads into its 1024-byte buffer, the bank's key
// listed first and keys the agent does not watch making the list long (reader
// names are at most 255 bytes): a list of exactly 1024 bytes (names, their
// NULs and the final empty name) launches; at 1025 the library answers that
// the buffer is too small and writes nothing, so no name is found and nothing
// launches (the agent looks at no status); the shortest reader name launches.
TEST_F(AgentTest, ReaderListUpToTheBufferLaunchesAndOneByteMoreDoesNot) {
    makeKey("bank");
    keysim({"set", "bank", "reader", std::string(255, 'b')});
    const size_t fillers[] = {255, 255, 254};  // 255 + 255 + 255 + 254 + 4 NULs + 1 = 1024
    for (size_t i = 0; i < 3; ++i) {
        const std::string name = "filler" + std::to_string(i);
        makeKey(name, agent::kBankPcode, 0x1234);
        keysim({"set", name, "reader", std::string(fillers[i], static_cast<char>('x' + i))});
        keysim({"plug", name});
    }
    startAgent();
    waitUntilWatching();

    keysim({"plug", "bank"});
    ASSERT_TRUE(waitForManager("launch ", 1)) << "a list of exactly 1024 bytes";
    keysim({"unplug", "bank"});
    ASSERT_TRUE(waitForManager("term ", 1));

    keysim({"set", "filler2", "reader", std::string(255, 'z')});
    keysim({"plug", "bank"});
    ASSERT_TRUE(waitForOutput("DeviceAppeared", 4));
    EXPECT_EQ(launchesOnceQuiet(), 1u) << "a list of 1025 bytes";
    keysim({"unplug", "bank"});
    ASSERT_TRUE(waitForOutput("DeviceDisappeared", 4));

    for (const char* name : {"filler0", "filler1", "filler2"}) keysim({"unplug", name});
    keysim({"set", "bank", "reader", "b"});
    keysim({"plug", "bank"});
    ASSERT_TRUE(waitForManager("launch ", 2)) << "a one-byte reader name";
}

// A key that hangs inside the token library holds up its own decision only:
// its removal is seen and asks the running manager to quit at once, and
// SIGINT still ends the agent with status 0 while the call hangs.
TEST_F(AgentTest, AHungKeyHoldsUpNeitherItsRemovalNorTheInterrupt) {
    makeKey("hung");
    keysim({"set", "hung", "fault", "slow:8000"});
    startAgent();
    waitUntilWatching();
    ASSERT_TRUE(platform::launchManager());
    ASSERT_TRUE(waitForManager("launch ", 1));

    keysim({"plug", "hung"});
    ASSERT_TRUE(waitForOutput("DeviceAppeared", 3));
    // The decision is inside the reader list now, for 8 s.
    std::this_thread::sleep_for(agent::kSettleDelay + 300ms);
    auto start = std::chrono::steady_clock::now();
    keysim({"unplug", "hung"});
    ASSERT_TRUE(waitForManager("term ", 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "the removal waited for the hung call";

    start = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(agent_, SIGINT), 0);
    int status = -1;
    pid_t done = 0;
    while ((done = waitpid(agent_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() - start < 3s)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(done, agent_) << "SIGINT waited for the hung call";
    agent_ = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(managerLog("launch ").size(), 1u);
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
