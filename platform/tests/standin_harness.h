// Test support for the workspace layer and the key agent (header-only; link
// the CMake target `workspace_testing`, which also builds the stand-in key
// manager before the test).
//
// A StandinFolder is a private folder holding a copy of the stand-in key
// manager named kelvane, its log and the manager lock folder, so that cases
// running side by side never count or signal each other's programs. While it
// lives, STANDIN_LOG and QD_MANAGER_LOCK_DIR point into it.
#pragma once

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef STANDIN_EXECUTABLE
#error "link the CMake target workspace_testing"
#endif

namespace standintest {

// Generous: only what never happens waits this long.
inline constexpr std::chrono::seconds kPatience{10};

// One "launch" line of the stand-in's log.
struct Launch {
    int pid = 0, ppid = 0, sid = 0;
    std::string signals;  // "clear" or "masked": the signal mask it started with
    std::string program;  // as launched (argv[0])
    std::string lock;     // "locked", "nolock" or "lockfailed"
};

class StandinFolder {
public:
    StandinFolder() {
        char pattern[] = "/tmp/standin-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        std::filesystem::copy_file(STANDIN_EXECUTABLE, standin());
        ::setenv("STANDIN_LOG", log().c_str(), 1);
        ::setenv("QD_MANAGER_LOCK_DIR", lockDir().c_str(), 1);
    }
    ~StandinFolder() {
        // Whatever a failed case left running.
        for (const Launch& l : launches()) ::kill(l.pid, SIGKILL);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        ::unsetenv("STANDIN_LOG");
        ::unsetenv("QD_MANAGER_LOCK_DIR");
    }
    StandinFolder(const StandinFolder&) = delete;
    StandinFolder& operator=(const StandinFolder&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::string standin() const { return (dir_ / "kelvane").string(); }
    std::string log() const { return (dir_ / "standin.log").string(); }
    std::string lockDir() const { return (dir_ / "locks").string(); }

    // Log lines starting with prefix, in order.
    std::vector<std::string> lines(const std::string& prefix) const {
        std::vector<std::string> found;
        std::ifstream in(log());
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }
    std::vector<Launch> launches() const {
        std::vector<Launch> all;
        for (const auto& line : lines("launch ")) {
            std::istringstream in(line.substr(7));
            Launch l;
            in >> l.pid >> l.ppid >> l.sid >> l.signals >> l.program >> l.lock;
            all.push_back(l);
        }
        return all;
    }
    // PIDs of the "term" lines, in order.
    std::vector<int> terms() const {
        std::vector<int> pids;
        for (const auto& line : lines("term ")) pids.push_back(std::atoi(line.c_str() + 5));
        return pids;
    }
    // Waits until the log holds `count` lines starting with prefix.
    bool waitFor(const std::string& prefix, size_t count) const {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (lines(prefix).size() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    std::filesystem::path dir_;
};

}  // namespace standintest
