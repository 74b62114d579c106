// Launching and terminating through the workspace layer, with a stand-in
// program that records what happens to it.
#include "platform/workspace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Launch {
    int pid = 0, ppid = 0, sid = 0;
    std::string signals;
    std::string program;  // as launched (argv[0])
};

class WorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/workspace-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        log_ = dir_ / "standin.log";
        setenv("STANDIN_LOG", log_.c_str(), 1);
        // A private copy: cases running side by side never count or signal
        // each other's programs.
        standin_ = (dir_ / "kelvane").string();
        fs::copy_file(STANDIN_EXECUTABLE, standin_);
    }
    void TearDown() override {
        // Whatever a failed case left running.
        for (const Launch& l : launches()) kill(l.pid, SIGKILL);
        fs::remove_all(dir_);
    }

    std::vector<std::string> lines(const std::string& prefix) const {
        std::vector<std::string> found;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }
    std::vector<Launch> launches() const {
        std::vector<Launch> all;
        for (const auto& line : lines("launch ")) {
            std::istringstream in(line.substr(7));
            Launch l;
            in >> l.pid >> l.ppid >> l.sid >> l.signals >> l.program;
            all.push_back(l);
        }
        return all;
    }
    // Waits (generously) until the log holds `count` lines starting with prefix.
    bool waitFor(const std::string& prefix, size_t count) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (lines(prefix).size() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    static bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

    fs::path dir_;
    fs::path log_;
    std::string standin_;
};

TEST_F(WorkspaceTest, LaunchIsDetachedReapedAndFreeOfTheCallersSignalMask) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::string error;
    const bool launched = platform::launchApplication(standin_, &error);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(launched) << error;

    ASSERT_TRUE(waitFor("launch ", 1));
    const Launch l = launches().at(0);
    EXPECT_NE(l.ppid, getpid());   // not our child: nothing to reap later
    EXPECT_NE(l.sid, getsid(0));   // its own session: our terminal's signals miss it
    EXPECT_EQ(l.signals, "clear");
    EXPECT_TRUE(noChildLeft());    // the middle child was reaped

    EXPECT_EQ(platform::terminateApplications(standin_), 1);
    ASSERT_TRUE(waitFor("term ", 1));
    EXPECT_EQ(lines("term ").at(0), "term " + std::to_string(l.pid));
}

TEST_F(WorkspaceTest, LaunchFailuresAreReportedAndLeaveNoChild) {
    std::string error;
    EXPECT_FALSE(platform::launchApplication("/nonexistent/kelvane", &error));
    EXPECT_NE(error.find("/nonexistent/kelvane"), std::string::npos) << error;

    std::ofstream(dir_ / "not-executable") << "data";
    error.clear();
    EXPECT_FALSE(platform::launchApplication((dir_ / "not-executable").string(), &error));
    EXPECT_FALSE(error.empty());

    EXPECT_FALSE(platform::launchApplication("", &error));
    EXPECT_TRUE(noChildLeft());
}

TEST_F(WorkspaceTest, TerminateReachesEveryCopyOfThatProgramOnly) {
    // Another program (a copy at another path) must survive; a link to the
    // program and a program replaced on disk while running must still match.
    const fs::path other = dir_ / "other";
    const fs::path replaced = dir_ / "replaced";
    const fs::path link = dir_ / "link";
    fs::copy_file(standin_, other);
    fs::copy_file(standin_, replaced);
    fs::create_symlink(standin_, link);

    EXPECT_EQ(platform::terminateApplications(standin_), 0);
    for (const auto& path : {fs::path(standin_), fs::path(standin_), other, replaced})
        ASSERT_TRUE(platform::launchApplication(path.string()));
    ASSERT_TRUE(waitFor("launch ", 4));
    fs::remove(replaced);
    fs::copy_file(standin_, replaced);

    EXPECT_EQ(platform::terminateApplications(link.string()), 2);
    ASSERT_TRUE(waitFor("term ", 2));
    int otherPid = 0;
    for (const Launch& l : launches())
        if (l.program == other.string()) otherPid = l.pid;
    ASSERT_NE(otherPid, 0);
    EXPECT_EQ(kill(otherPid, 0), 0) << "the other program was terminated too";

    EXPECT_EQ(platform::terminateApplications(replaced.string()), 1);
    EXPECT_EQ(platform::terminateApplications(other.string()), 1);
    ASSERT_TRUE(waitFor("term ", 4));
}

TEST_F(WorkspaceTest, ManagerFormsFollowTheEnvironment) {
    setenv("QD_MANAGER_EXECUTABLE", standin_.c_str(), 1);
    ASSERT_TRUE(platform::launchManager());
    ASSERT_TRUE(waitFor("launch ", 1));
    EXPECT_EQ(platform::terminateManagers(), 1);
    EXPECT_TRUE(waitFor("term ", 1));
    unsetenv("QD_MANAGER_EXECUTABLE");
}

}  // namespace
