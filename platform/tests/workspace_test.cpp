// Launching and terminating through the workspace layer, with a stand-in
// program that records what happens to it.
#include "platform/workspace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scoped_env.h"
#include "standin_harness.h"

namespace fs = std::filesystem;

namespace {

using standintest::Launch;

class WorkspaceTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("QD_MANAGER_EXECUTABLE"); }

    static bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }
    bool waitFor(const std::string& prefix, size_t count) const { return folder_.waitFor(prefix, count); }
    std::vector<std::string> lines(const std::string& prefix) const { return folder_.lines(prefix); }
    std::vector<Launch> launches() const { return folder_.launches(); }

    standintest::StandinFolder folder_;
    const fs::path dir_ = folder_.dir();
    const std::string standin_ = folder_.standin();
};

TEST_F(WorkspaceTest, LaunchIsDetachedReapedAndFreeOfTheCallersSignalMask) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::string error;
    const pid_t caller = getpid();
    const bool launched = platform::launchApplication(standin_, &error);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // The caller comes back from the launch, not one of its children (the
    // caller ending there would look like a pass: see workspace.cmake).
    ASSERT_EQ(getpid(), caller) << "the launch returned in another process";
    ASSERT_TRUE(launched) << error;

    ASSERT_TRUE(waitFor("launch ", 1));
    const Launch l = launches().at(0);
    EXPECT_NE(l.ppid, getpid());  // not our child: nothing to reap later
    EXPECT_NE(l.sid, getsid(0));  // its own session: our terminal's signals miss it
    EXPECT_EQ(l.signals, "clear");
    EXPECT_TRUE(noChildLeft());  // the middle child was reaped

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
    EXPECT_EQ(launches().at(0).lock, "locked");
    // Found by its lock and by its executable: signalled once.
    EXPECT_EQ(platform::terminateManagers(), 1);
    EXPECT_TRUE(waitFor("term ", 1));
}

// A manager started through a wrapper is neither the wrapper's executable nor
// the one the agent knows: only its lock finds it.
TEST_F(WorkspaceTest, ManagerBehindAWrapperIsFoundByItsLock) {
    for (const char* how : {"exec ", ""}) {  // replaced by the manager, or its parent
        SCOPED_TRACE(how);
        const std::string wrapper = (dir_ / "start-manager").string();
        std::ofstream(wrapper) << "#!/bin/sh\n" << how << "'" << standin_ << "'\n";
        fs::permissions(wrapper, fs::perms::owner_all);
        setenv("QD_MANAGER_EXECUTABLE", wrapper.c_str(), 1);
        const size_t before = launches().size();
        ASSERT_TRUE(platform::launchManager());
        ASSERT_TRUE(waitFor("launch ", before + 1));
        const Launch l = launches().back();
        EXPECT_EQ(platform::terminateApplications(wrapper), 0)
            << "the wrapper's name matches nothing running";
        EXPECT_EQ(platform::terminateManagers(), 1);
        ASSERT_TRUE(waitFor("term ", before + 1));
        EXPECT_EQ(folder_.terms().back(), l.pid);
    }
}

TEST_F(WorkspaceTest, ManagerWithoutALockIsStillFoundByItsExecutable) {
    setenv("STANDIN_NO_LOCK", "1", 1);
    setenv("QD_MANAGER_EXECUTABLE", standin_.c_str(), 1);
    const bool launched = platform::launchManager();
    unsetenv("STANDIN_NO_LOCK");
    ASSERT_TRUE(launched);
    ASSERT_TRUE(waitFor("launch ", 1));
    EXPECT_EQ(launches().at(0).lock, "nolock");
    EXPECT_EQ(platform::terminateManagers(), 1);
    EXPECT_TRUE(waitFor("term ", 1));
}

// Lock files are trusted only while held, and only for the process they name.
TEST_F(WorkspaceTest, LockFilesNobodyHoldsOrThatDisagreeAreNotSignalled) {
    // A live process that holds no lock (the manager name points elsewhere).
    setenv("STANDIN_NO_LOCK", "1", 1);
    ASSERT_TRUE(platform::launchApplication(standin_));
    unsetenv("STANDIN_NO_LOCK");
    ASSERT_TRUE(waitFor("launch ", 1));
    const int live = launches().at(0).pid;
    setenv("QD_MANAGER_EXECUTABLE", "/nonexistent/kelvane", 1);

    // Left behind by a manager that died, naming a process that lives.
    fs::create_directories(folder_.lockDir());
    fs::permissions(folder_.lockDir(), fs::perms::owner_all);
    const fs::path stale = fs::path(folder_.lockDir()) / ("manager-" + std::to_string(live) + ".lock");
    std::ofstream(stale) << live << "\n";
    EXPECT_EQ(platform::terminateManagers(), 0);
    EXPECT_FALSE(fs::exists(stale)) << "a stale lock file is removed";

    // Held, but its content names another process than its name.
    {
        platform::ManagerLock mine;  // this process's own lock is never signalled
        ASSERT_TRUE(mine.held()) << mine.error();
        const fs::path other = fs::path(folder_.lockDir()) / ("manager-" + std::to_string(live) + ".lock");
        fs::rename(mine.path(), other);
        EXPECT_EQ(platform::terminateManagers(), 0);
        fs::rename(other, mine.path());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(lines("term ").empty());
    EXPECT_EQ(kill(live, 0), 0);
}

// Which files of the lock folder are taken for lock files: "manager-", one
// to nine digits, ".lock". Nobody holds any of these files, so asking the
// managers to quit removes exactly those taken for lock files (never one
// naming this process) and signals nobody.
TEST_F(WorkspaceTest, OnlyLockNamesOfOneToNineDigitsAreLockFiles) {
    setenv("QD_MANAGER_EXECUTABLE", "/nonexistent/kelvane", 1);
    fs::create_directories(folder_.lockDir());
    fs::permissions(folder_.lockDir(), fs::perms::owner_all);
    const struct {
        std::string name;
        bool lockFile;
    } rows[] = {
        {"manager-1.lock", true},                                  // the shortest
        {"manager-999999999.lock", true},                          // nine digits, the longest
        {"manager-1000000000.lock", false},                        // ten
        {"manager-.lock", false},                                  // none
        {"manager-x23.lock", false},                               // not a digit at the first place
        {"manager-12x.lock", false},                               // nor at the last
        {"manager-0.lock", false},                                 // no process 0
        {"manager-" + std::to_string(getpid()) + ".lock", false},  // this process
        {"Manager-12.lock", false},
        {"manager-12.lockx", false},
        {"manager-12.loc", false},
        {"Manager-12.loc", false},            // prefix and suffix both wrong
        {"manager-1234567890x.lock", false},  // too long and not digits
    };
    for (const auto& row : rows) std::ofstream(fs::path(folder_.lockDir()) / row.name) << "1\n";
    EXPECT_EQ(platform::terminateManagers(), 0);
    for (const auto& row : rows)
        EXPECT_EQ(fs::exists(fs::path(folder_.lockDir()) / row.name), !row.lockFile) << row.name;
}

TEST_F(WorkspaceTest, ManagerLockLivesWithItsObjectInAPrivateFolder) {
    std::string path;
    {
        platform::ManagerLock lock;
        ASSERT_TRUE(lock.held()) << lock.error();
        path = lock.path();
        EXPECT_EQ(path, folder_.lockDir() + "/manager-" + std::to_string(getpid()) + ".lock");
        std::ifstream in(path);
        int pid = 0;
        in >> pid;
        EXPECT_EQ(pid, getpid());
        EXPECT_EQ(fs::status(folder_.lockDir()).permissions() & fs::perms::all, fs::perms::owner_all);
    }
    EXPECT_FALSE(fs::exists(path));

    // Taken as descriptor 0 (a program started without standard input), it
    // goes with its object all the same.
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);
    {
        platform::ManagerLock lock;
        EXPECT_TRUE(lock.held()) << lock.error();
        path = lock.path();
    }
    const bool removed = !fs::exists(path);
    const bool zeroFree = fcntl(0, F_GETFD) == -1;
    dup2(savedStdin, 0);
    close(savedStdin);
    EXPECT_TRUE(removed);
    EXPECT_TRUE(zeroFree) << "the lock's descriptor was not closed";

    // A folder others may write to is refused, with a reason.
    fs::permissions(folder_.lockDir(), fs::perms::all);
    platform::ManagerLock refused;
    EXPECT_FALSE(refused.held());
    EXPECT_NE(refused.error().find(folder_.lockDir()), std::string::npos) << refused.error();

    // A folder that cannot be made: the reason is the making, not what follows.
    std::ofstream(dir_ / "plain") << "x";
    watchtest::ScopedEnv under("QD_MANAGER_LOCK_DIR", (dir_ / "plain" / "locks").c_str());
    platform::ManagerLock unmade;
    EXPECT_FALSE(unmade.held());
    EXPECT_EQ(unmade.error().rfind("mkdir ", 0), 0u) << unmade.error();
}

// Where the key manager runs: a scope of its own when the session's systemd
// user manager answers and systemd-run is found, else started directly.
// A recording systemd-run stands in for the real one (it runs the command as
// the real one does, by exec); a socket stands in for the manager.
struct ScopeCase {
    const char* name;
    // "listening", "stale" (file, nobody listening), "none", "toolong" (a
    // runtime folder whose socket path no unix address holds), "longest" (a
    // listening socket whose path is the longest a unix address holds with
    // its NUL, 107 bytes), "onemore" (108 bytes: Linux binds it without the
    // NUL, and it is not used)
    const char* socket;
    bool runInPath;
    bool viaScope;
};

class ManagerScopeTest : public WorkspaceTest, public ::testing::WithParamInterface<ScopeCase> {
protected:
    // A unix socket at $runtime/systemd/private, listening or left closed.
    void makeManagerSocket(bool listening) { makeManagerSocket(listening, runtime_); }
    void makeManagerSocket(bool listening, const fs::path& runtime) {
        fs::create_directories(runtime / "systemd");
        const std::string path = (runtime / "systemd" / "private").string();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LE(path.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, path.data(), path.size());
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener_, 0);
        ASSERT_EQ(bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        if (listening) {
            ASSERT_EQ(listen(listener_, 4), 0);
        } else {
            close(listener_);
            listener_ = -1;
        }
    }
    void TearDown() override {
        if (listener_ >= 0) close(listener_);
        WorkspaceTest::TearDown();
    }
    std::string recorded() const {
        std::ifstream in(record_);
        std::string line;
        std::getline(in, line);
        return line;
    }
    void writeFakeRun() {
        fs::create_directories(bin_);
        const fs::path run = bin_ / "systemd-run";
        std::ofstream(run) << "#!/bin/sh\n"
                           << "echo \"$*\" > '" << record_.string() << "'\n"
                           << "while [ \"$1\" != -- ]; do shift; done\nshift\nexec \"$@\"\n";
        fs::permissions(run, fs::perms::owner_all);
    }

    const fs::path runtime_ = dir_ / "runtime";
    const fs::path bin_ = dir_ / "bin";
    const fs::path record_ = dir_ / "systemd-run.args";
    int listener_ = -1;
};

TEST_P(ManagerScopeTest, KeyManagerLeavesTheAgentsUnitOnlyThroughAnAnsweringManager) {
    const ScopeCase& c = GetParam();
    const std::string socket = c.socket;
    // The runtime folder, padded so that its socket path has the length asked.
    const size_t socketPathSize = socket == "longest" ? 107 : socket == "onemore" ? 108 : 0;
    const size_t fixed = runtime_.string().size() + std::string("//systemd/private").size();
    const std::string runtimeDir = socket == "toolong" ? runtime_.string() + "/" + std::string(120, 'r')
                                   : socketPathSize
                                       ? runtime_.string() + "/" + std::string(socketPathSize - fixed, 'r')
                                       : runtime_.string();
    if (socket == "listening" || socket == "stale" || socketPathSize)
        makeManagerSocket(socket != "stale", runtimeDir);
    if (c.runInPath) writeFakeRun();
    fs::create_directories(bin_);
    fs::create_directories(dir_ / "empty");
    // systemd-run is found in the second folder of PATH.
    const std::string searchPath = (dir_ / "empty").string() + ":" + bin_.string();
    watchtest::ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.c_str()), path("PATH", searchPath.c_str());
    setenv("QD_MANAGER_EXECUTABLE", standin_.c_str(), 1);

    std::string error;
    ASSERT_TRUE(platform::launchManager(&error)) << error;
    ASSERT_TRUE(waitFor("launch ", 1));
    const Launch l = launches().at(0);
    EXPECT_EQ(l.program, standin_);
    if (c.viaScope) {
        const std::string args = recorded();
        EXPECT_EQ(args.rfind("--user --scope ", 0), 0u) << args;
        EXPECT_NE(args.find(" -- " + standin_), std::string::npos) << args;
        EXPECT_EQ(args.substr(args.size() - standin_.size()), standin_) << args;
    } else {
        EXPECT_FALSE(fs::exists(record_)) << "systemd-run ran: " << recorded();
    }
    // Found and asked to quit as before (systemd-run became the manager).
    EXPECT_EQ(platform::terminateManagers(), 1);
    EXPECT_TRUE(waitFor("term ", 1));
    EXPECT_EQ(folder_.terms().at(0), l.pid);
}

INSTANTIATE_TEST_SUITE_P(Sessions, ManagerScopeTest,
                         ::testing::Values(ScopeCase{"ManagerAnswers", "listening", true, true},
                                           ScopeCase{"ManagerSocketStale", "stale", true, false},
                                           ScopeCase{"NoManager", "none", true, false},
                                           ScopeCase{"RuntimeFolderTooLong", "toolong", true, false},
                                           ScopeCase{"SocketPathOfTheLongestAddress", "longest", true, true},
                                           ScopeCase{"SocketPathOneByteLonger", "onemore", true, false},
                                           ScopeCase{"NoSystemdRun", "listening", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A missing key manager is reported as such, not as systemd-run's failure
// on its own output, and systemd-run is not started for it.
TEST_F(ManagerScopeTest, MissingKeyManagerFailsBeforeTheScope) {
    makeManagerSocket(true);
    writeFakeRun();
    watchtest::ScopedEnv runtime("XDG_RUNTIME_DIR", runtime_.c_str()), path("PATH", bin_.c_str());
    setenv("QD_MANAGER_EXECUTABLE", (dir_ / "missing" / "kelvane").c_str(), 1);
    std::string error;
    EXPECT_FALSE(platform::launchManager(&error));
    EXPECT_EQ(error,
              "launch " + (dir_ / "missing" / "kelvane").string() + " failed: No such file or directory");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(fs::exists(record_));
    EXPECT_TRUE(noChildLeft());
}

}  // namespace
