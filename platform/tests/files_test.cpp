#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/log.h"

namespace {

class SmallFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("files-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    std::filesystem::path dir_;
};

TEST_F(SmallFiles, OnlyRegularFilesWithinTheLimitAreRead) {
    std::ofstream(path("key.hex")) << "C0FFEE\n";
    std::ofstream(path("big")) << std::string(101, 'x');
    std::ofstream(path("full")) << std::string(100, 'x');
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    struct Case {
        std::string file;
        const char* expect;  // content, or the error after "cannot read FILE: "
        bool ok;
    } cases[] = {
        {path("key.hex"), "C0FFEE\n", true},
        {path("big"), "larger than 100 bytes", false},
        {path("full"),
         "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
         "x",
         true},  // exactly the limit
        {dir_.string(), "Is a directory", false},
        {path("fifo"), "not a regular file", false},  // and no wait for a writer
        {"/dev/zero", "not a regular file", false},
        {"/proc/self/mem", "Input/output error", false},
        {path("missing"), "No such file or directory", false},
    };
    for (const auto& c : cases) {
        std::string content = "untouched", error;
        EXPECT_EQ(platform::readSmallFile(c.file, 100, &content, &error), c.ok) << c.file;
        if (c.ok) {
            EXPECT_EQ(content, c.expect);
        } else {
            EXPECT_EQ(error, "cannot read " + c.file + ": " + c.expect);
            EXPECT_EQ(content, "untouched") << c.file;
        }
    }
    // /proc files claim a size of 0: the limit holds on what is read.
    std::string content, error;
    EXPECT_FALSE(platform::readSmallFile("/proc/self/maps", 10, &content, &error));
    EXPECT_EQ(error, "cannot read /proc/self/maps: larger than 10 bytes");
    EXPECT_TRUE(platform::readSmallFile("/proc/self/maps", 1 << 20, &content, &error)) << error;
    EXPECT_NE(content.find("r"), std::string::npos);
}

// The limit at its edges, for a regular file (held to it by its size) and a
// /proc file that claims a size of 0 (held to it by what is read).
TEST_F(SmallFiles, LimitHoldsAtItsEdges) {
    std::ofstream(path("empty"));
    std::ofstream(path("one")) << "x";
    struct Case {
        std::string file;
        size_t limit;
        bool ok;
    } cases[] = {
        {path("empty"), 0, true},
        {path("one"), 0, false},
        {path("one"), 1, true},
        {"/proc/sys/kernel/ostype", 6, true},  // "Linux\n", exactly the limit
        {"/proc/sys/kernel/ostype", 5, false},
        {"/proc/sys/kernel/ostype", 0, false},
    };
    for (const auto& c : cases) {
        std::string content = "untouched", error;
        EXPECT_EQ(platform::readSmallFile(c.file, c.limit, &content, &error), c.ok)
            << c.file << " " << c.limit;
        if (c.ok) {
            EXPECT_EQ(content.size(), c.limit) << c.file;
        } else {
            EXPECT_EQ(error, "cannot read " + c.file + ": larger than " + std::to_string(c.limit) + " bytes");
            EXPECT_EQ(content, "untouched");
        }
    }
}

// A program started with standard input closed gets descriptor 0 for the
// first file it opens: that is a file like any other.
TEST_F(SmallFiles, ReadsWithStandardInputClosed) {
    std::ofstream(path("key.hex")) << "C0FFEE";
    const int savedStdin = ::dup(0);  // -1: closed already
    if (savedStdin >= 0) ::close(0);
    std::string content, error;
    const bool ok = platform::readSmallFile(path("key.hex"), 100, &content, &error);
    const bool zeroFreeAgain = ::fcntl(0, F_GETFD) == -1;
    if (savedStdin >= 0) {
        ::dup2(savedStdin, 0);
        ::close(savedStdin);
    }
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(content, "C0FFEE");
    EXPECT_TRUE(zeroFreeAgain) << "descriptor 0 was left open";
}

TEST(Quoted, LongValuesAreCutWithTheirSize) {
    EXPECT_EQ(platform::quoted("abc"), "\"abc\"");
    EXPECT_EQ(platform::quoted(std::string(64, 'a')), "\"" + std::string(64, 'a') + "\"");
    EXPECT_EQ(platform::quoted(std::string(65, 'a')), "\"" + std::string(64, 'a') + "...\" (65 bytes)");
    EXPECT_EQ(platform::quoted(std::string(100000, 'a')),
              "\"" + std::string(64, 'a') + "...\" (100000 bytes)");
    // Never half of a character: "é" is two bytes and would straddle byte 4.
    EXPECT_EQ(platform::quoted("abcé123", 4), "\"abc...\" (8 bytes)");
    EXPECT_EQ(platform::quoted("éabc", 1), "\"...\" (5 bytes)");
}

}  // namespace
