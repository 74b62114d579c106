// Crash safety of the state: a writer killed at any point leaves the old or
// the new state, never half of a change, and the next writer carries on.
// The writer pauses at a chosen point through the KEYSIM_TEST_PAUSE hook.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "sim/token/keysim_testing.h"
#include "sim/token/keystore.h"
#include "token/Func_init.h"

namespace {

using kpsim::testing::ScopedEnv;
using kpsim::testing::SimulatedKeys;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Temporary files of writers in the folder.
std::vector<std::string> tempFiles(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("keys.json.tmp.", 0) == 0) found.push_back(entry.path());
    }
    return found;
}

template <typename Ready>
bool waitFor(Ready ready) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

pid_t spawnKeysim(const std::vector<std::string>& args) {
    std::vector<std::string> all{kpsim::testing::keysimPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    return pid;
}

void kill9(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

kpsim::Key keyA(const SimulatedKeys& keys) {
    kpsim::State state;
    std::string error;
    EXPECT_TRUE(kpsim::Store(keys.dir()).load(&state, &error)) << error;
    kpsim::Key* a = state.findByName("a");
    return a != nullptr ? *a : kpsim::Key{};
}

class CrashSafety : public testing::Test {
protected:
    void SetUp() override {
        keys_.keysim({"create", "a"});
        keys_.keysim({"plug", "a"});
        before_ = readFile(keys_.statePath());
    }
    // Lenient: a strict connect writes the state too, and would stop at the
    // pause meant for the write under test.
    SimulatedKeys keys_{SimulatedKeys::Mode::kLenient};
    std::string before_;
};

TEST_F(CrashSafety, KilledWhileWritingTheTemporaryFileLeavesTheOldState) {
    pid_t writer;
    {
        ScopedEnv pause("KEYSIM_TEST_PAUSE", "midwrite:20000");
        writer = spawnKeysim({"set", "a", "pin", "99999999"});
    }
    ASSERT_TRUE(waitFor([&] {
        auto temps = tempFiles(keys_.dir());
        std::error_code ec;
        return !temps.empty() && std::filesystem::file_size(temps[0], ec) > 0 && !ec;
    }));
    kill9(writer);
    EXPECT_EQ(readFile(keys_.statePath()), before_);
    EXPECT_EQ(keyA(keys_).pin, "12345678");

    // The lock died with the writer; the next writer clears its leftover.
    keys_.keysim({"set", "a", "pin", "11111111"});
    EXPECT_EQ(keyA(keys_).pin, "11111111");
    EXPECT_TRUE(tempFiles(keys_.dir()).empty());
}

TEST_F(CrashSafety, KilledBeforeTheRenameLeavesTheOldState) {
    pid_t writer;
    {
        ScopedEnv pause("KEYSIM_TEST_PAUSE", "rename:20000");
        writer = spawnKeysim({"set", "a", "pin", "99999999"});
    }
    ASSERT_TRUE(waitFor([&] {
        auto temps = tempFiles(keys_.dir());
        return !temps.empty() && readFile(temps[0]).find("99999999") != std::string::npos &&
               readFile(temps[0]).back() == '\n';
    }));
    kill9(writer);
    EXPECT_EQ(readFile(keys_.statePath()), before_);
    EXPECT_EQ(keyA(keys_).pin, "12345678");
}

TEST_F(CrashSafety, KilledAfterTheRenameLeavesTheNewState) {
    pid_t writer;
    {
        ScopedEnv pause("KEYSIM_TEST_PAUSE", "renamed:20000");
        writer = spawnKeysim({"set", "a", "pin", "99999999"});
    }
    ASSERT_TRUE(waitFor([&] { return readFile(keys_.statePath()).find("99999999") != std::string::npos; }));
    kill9(writer);
    EXPECT_EQ(keyA(keys_).pin, "99999999");
    keys_.keysim({"set", "a", "tries", "3"});
    EXPECT_EQ(keyA(keys_).tries, 3u);
}

TEST_F(CrashSafety, ReadersSeeTheOldStateWhileAWriterIsMidway) {
    pid_t writer;
    {
        ScopedEnv pause("KEYSIM_TEST_PAUSE", "midwrite:20000");
        writer = spawnKeysim({"set", "a", "serial", "NEWSERIAL"});
    }
    ASSERT_TRUE(waitFor([&] { return !tempFiles(keys_.dir()).empty(); }));
    auto list = kpsim::testing::runKeysim({"list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out.find("NEWSERIAL"), std::string::npos);
    kill9(writer);
}

// The library itself as the writer: a wrong old PIN (tries 6 -> 5) killed
// before its rename.
TEST_F(CrashSafety, LibraryWriterKilledMidwayLeavesTheOldState) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("KEYSIM_TEST_PAUSE", "rename:20000", 1);
        void* lib = dlopen(kpsim::testing::libraryPath().c_str(), RTLD_NOW);
        if (lib == nullptr) _exit(3);
        auto connect = reinterpret_cast<decltype(&KpConnectDev)>(dlsym(lib, "KpConnectDev"));
        auto change = reinterpret_cast<decltype(&KpChangeUserPin)>(dlsym(lib, "KpChangeUserPin"));
        KPHANDLE h = nullptr;
        uint32_t retry = 0;
        if (connect("USBQdvKey a", &h) != 0) _exit(4);
        change(h, "wrong", "87654321", &retry);
        _exit(0);
    }
    ASSERT_TRUE(waitFor([&] {
        auto temps = tempFiles(keys_.dir());
        return !temps.empty() && readFile(temps[0]).find("\"tries\": 5") != std::string::npos &&
               readFile(temps[0]).back() == '\n';
    }));
    kill9(child);
    EXPECT_EQ(keyA(keys_).tries, 6u);
    EXPECT_EQ(readFile(keys_.statePath()), before_);
}

}  // namespace
