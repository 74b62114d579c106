// The ombrel-bridge program as a browser runs it: a child process with pipes
// for standard input and output. Whatever arrives, it answers each frame or
// ends cleanly; it never dies of its input, and its standard output carries
// nothing but frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bridge/host/codec.h"
#include "bridge/tests/host_pipes.h"
#include "platform/tests/scoped_env.h"
#include "sign/tests/sign_testing.h"

extern char** environ;

namespace {

using nlohmann::json;
using signtest::StandIn;
using signtest::Tokens;
using watchtest::ScopedEnv;  // it also unsets, with nullptr

using bridgetest::frame;

class Host : public bridgetest::Host {
public:
    explicit Host(std::vector<std::string> args = {"chrome-extension://test/"})
        : bridgetest::Host(OMBREL_BRIDGE, std::move(args)) {}
};

class HostProcess : public ::testing::Test {
protected:
    HostProcess()
        : standIn_(Tokens::get().one()),
          system_("QD_BRIDGE_SYSTEM_ORIGINS", (standIn_.dir() + "/allowed-origins").c_str()),
          noDisplay_("DISPLAY", ""),
          noWayland_("WAYLAND_DISPLAY", ""),
          noPlatform_("QT_QPA_PLATFORM", ""),
          runtime_("XDG_RUNTIME_DIR", standIn_.dir().c_str()) {
        std::ofstream(standIn_.dir() + "/allowed-origins") << "https://bank.example\n";
    }
    json request(const char* op, const std::string& name) {
        return json{{"id", 1}, {"origin", "https://bank.example"}, {op, name}};
    }

    StandIn standIn_;
    // runtime_: the hosts take their turns apart from other test runs'.
    ScopedEnv system_, noDisplay_, noWayland_, noPlatform_, runtime_;
};

TEST_F(HostProcess, AnswersEachFrameAndEndsCleanlyWhenTheBrowserCloses) {
    Host host;
    EXPECT_EQ(host.ask(request("call", "getVersion")), (json{{"id", 1}, {"result", "1.0.0.28"}}));
    auto set = request("set", "CN");
    set["value"] = "80F00D2048";
    EXPECT_EQ(host.ask(set)["result"], nullptr);
    auto data = request("set", "SignData");
    data["value"] = "abc";
    host.ask(data);
    EXPECT_EQ(
        host.ask(request("get", "SignData"))["result"].get<std::string>().rfind("UD65001:00000003abc", 0),
        0u);
    EXPECT_EQ(host.finish(), 0);
    EXPECT_TRUE(host.rest().empty());
}

TEST_F(HostProcess, SurvivesHostileInputAnsweringEachFrame) {
    Host host;
    const std::vector<std::string> frames = {
        frame(""),
        frame("{not json"),
        frame(std::string(1000, '[')),
        frame(std::string(200000, '[') + std::string(200000, ']')),
        frame(std::string(500000, '{')),
        frame("\"" + std::string(100000, '\\') + "\""),
        frame(std::string("{\"id\":1,\0\"x\":2}", 15)),
        frame(R"({"id":1e999,"origin":"https://bank.example","call":"getVersion"})"),
        frame(R"({"id":1,"origin":"https://bank.example","call":"VerifySignature","args":[1,2,3]})"),
        frame(std::string(bridge::kMaxMessage + 1, ' ')),
        frame(std::string(3 * bridge::kMaxMessage, 'z')),
    };
    for (const auto& f : frames) {
        host.send(f);
        const json reply = host.reply();
        ASSERT_TRUE(reply.is_object() && reply.contains("error")) << f.substr(4, 60) << " -> " << reply;
    }
    // Still in step: the next good request gets its own answer.
    EXPECT_EQ(host.ask(request("call", "getProviderName"))["result"], "dorn");
    EXPECT_EQ(host.finish(), 0) << host.errors();
}

// A FIFO where the user's allow-list belongs: the host reads the lists at
// every request and must not wait for a writer that never comes.
TEST_F(HostProcess, AFifoInPlaceOfTheUsersAllowListIsNotWaitedOn) {
    const std::string config = standIn_.dir() + "/config";
    std::filesystem::create_directories(config + "/ombrel-bridge");
    ASSERT_EQ(::mkfifo((config + "/ombrel-bridge/allowed-origins").c_str(), 0600), 0);
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    Host host;
    EXPECT_EQ(host.ask(request("call", "getVersion")), (json{{"id", 1}, {"result", "1.0.0.28"}}));
    auto other = request("call", "getVersion");
    other["origin"] = "https://other.example";
    EXPECT_EQ(host.ask(other)["error"]["code"], "not-allowed");
    EXPECT_EQ(host.finish(), 0) << host.errors();
}

// Any site can make its page ask: the refusal it reads names nothing of
// this machine, the host's diagnostics name the lists to add it to, and the
// host ends by itself instead of waiting for the page to go.
TEST_F(HostProcess, ARefusedPageLearnsNothingOfTheMachineAndTheHostEnds) {
    Host host;
    auto other = request("call", "getVersion");
    other["origin"] = "https://other.example";
    EXPECT_EQ(host.ask(other), (json{{"id", 1},
                                     {"error",
                                      {{"code", "not-allowed"},
                                       {"message",
                                        "origin https://other.example is not allowed to use the "
                                        "signing service"}}}}));
    EXPECT_EQ(host.finish(false), 0);
    EXPECT_NE(host.errors().find(standIn_.dir() + "/allowed-origins (every user)"), std::string::npos)
        << host.errors();
}

TEST_F(HostProcess, AFrameCutShortEndsTheHostWithOneLine) {
    for (const std::string& tail : {frame("{}", 100), std::string("\x01\x00", 2)}) {
        Host host;
        host.send(tail);
        EXPECT_EQ(host.finish(), 1);
        EXPECT_EQ(host.errors(), "ombrel-bridge: the browser's message was cut short\n");
        EXPECT_TRUE(host.rest().empty());
    }
}

TEST_F(HostProcess, WhatAModulePrintsNeverReachesTheBrowser) {
    ScopedEnv module("QD_PKCS11_MODULE", CHATTY_MODULE);
    Host host;
    EXPECT_EQ(host.ask(request("call", "getCertList")), (json{{"id", 1}, {"result", "E:1000"}}));
    EXPECT_EQ(host.finish(), 0);
    EXPECT_TRUE(host.rest().empty()) << host.rest();
    EXPECT_NE(host.errors().find("hello on standard output"), std::string::npos) << host.errors();
}

TEST_F(HostProcess, WithNoScreenForThePinWindowSigningFailsAtTheLogin) {
    // No test PIN: the module asks through the PIN prompt library, which has
    // nothing to show a window on.
    ScopedEnv pin("QDPKCS11_TEST_PIN", nullptr);
    ScopedEnv carrow("QD_CARROW_LIBRARY", CARROW_LIBRARY);
    Host host;
    auto cn = request("set", "CN");
    cn["value"] = "80F00D2048";
    host.ask(cn);
    auto data = request("set", "SignData");
    data["value"] = "abc";
    host.ask(data);
    EXPECT_EQ(host.ask(request("get", "SignData"))["result"], "E:1000");
    // The prompt declines at once: the module logs in with no PIN, which the token refuses.
    const std::string reason = host.ask(request("call", "LastError"))["result"];
    EXPECT_EQ(reason.rfind("C_Login failed:", 0), 0u) << reason;
    EXPECT_EQ(host.finish(), 0) << host.errors();
    EXPECT_TRUE(standIn_.tornDown());
}

// Two pages signing at once on one key: two hosts over one token, each
// signing in turn as fast as its page asks. SoftHSM2 rewrites the token's
// files at every login, as a key's module may touch the key, so the two must
// take turns; every signature succeeds.
TEST_F(HostProcess, TwoHostsSigningAtOnceOnOneTokenBothGetEverySignature) {
    ScopedEnv noCounters("QDPKCS11_STATE", nullptr);  // one counters file would be two writers' race
    constexpr int kRounds = 40;
    std::vector<std::string> failures[2];
    auto page = [&](int which) {
        Host host;
        auto cn = request("set", "CN");
        cn["value"] = "80F00D2048";
        host.ask(cn);
        auto data = request("set", "SignData");
        data["value"] = "page " + std::to_string(which);
        host.ask(data);
        for (int round = 0; round < kRounds; ++round) {
            const json signedData = host.ask(request("get", "SignData"));
            const std::string text = signedData.value("result", std::string());
            if (text.rfind("UD65001:", 0) != 0)
                failures[which].push_back(signedData.dump() + " " +
                                          host.ask(request("call", "LastError")).dump());
        }
        host.finish();
    };
    std::thread first(page, 0), second(page, 1);
    first.join();
    second.join();
    for (const auto& list : failures) {
        EXPECT_TRUE(list.empty()) << list.size() << " of " << kRounds
                                  << " failed, the first: " << list.front();
    }
}

TEST_F(HostProcess, FromATerminalItSaysWhatStartsIt) {
    const int tty = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(tty, 0);
    ASSERT_EQ(::grantpt(tty), 0);
    ASSERT_EQ(::unlockpt(tty), 0);
    const int follower = ::open(::ptsname(tty), O_RDWR | O_NOCTTY);
    ASSERT_GE(follower, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, follower, 0);
    char* argv[] = {const_cast<char*>(OMBREL_BRIDGE), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, OMBREL_BRIDGE, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(follower);
    ::close(tty);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
