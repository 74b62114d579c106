// qd-keyinfo, end to end against the simulated keys.
#include <gtest/gtest.h>

#include "sim/token/keysim_gtest.h"

namespace {

using kpsim::testing::runProgram;

TEST(QdKeyinfo, ShowsTheDemoKey) {
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "--demo", "demo"});
    keys.keysim({"plug", "demo"});
    auto r = runProgram(QD_KEYINFO_PATH, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(KpListReaders, PCODE 20244 only): 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[1] USBQdvKey demo"), std::string::npos);
    EXPECT_NE(r.out.find("PCODE:               20244"), std::string::npos);
    EXPECT_NE(r.out.find("Serial (DSN):        QD20244"), std::string::npos);
    EXPECT_NE(r.out.find("User PIN tries left: 6"), std::string::npos);
    EXPECT_NE(r.out.find("Containers:          2"), std::string::npos);
    EXPECT_NE(r.out.find("CN = 张三"), std::string::npos);
    EXPECT_NE(r.out.find("OU = 上海某某贸易有限公司, serialNumber"), std::string::npos);
}

TEST(QdKeyinfo, ForeignKeyIsReported) {
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "x"});
    keys.keysim({"set", "x", "pcode", "1"});
    keys.keysim({"plug", "x"});
    auto r = runProgram(QD_KEYINFO_PATH, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("another product code"), std::string::npos) << r.out;
}

TEST(QdKeyinfo, ListsWithoutTheirEndingShowWhatTheKeyManagerShows) {
    // The reader and container lists end in a junk name without its NUL.
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "--demo", "cut"});
    keys.keysim({"set", "cut", "fault", "unterminated"});
    auto r = runProgram(QD_KEYINFO_PATH, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(KpListReaders, PCODE 20244 only): 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[1] USBQdvKey cut\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[2]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Containers:          2\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\n        XXXX"), std::string::npos) << r.out;  // no junk container
}

TEST(QdKeyinfo, UsageGoesToStandardErrorUnlessAskedFor) {
    auto help = runProgram(QD_KEYINFO_PATH, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: qd-keyinfo", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    auto bogus = runProgram(QD_KEYINFO_PATH, {"--bogus"});
    EXPECT_EQ(bogus.status, 2);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(bogus.err.rfind("qd-keyinfo: unknown option \"--bogus\"\nusage: qd-keyinfo", 0), 0u)
        << bogus.err;
    auto huge = runProgram(QD_KEYINFO_PATH, {std::string(100000, 'x')});
    EXPECT_EQ(huge.status, 2);
    EXPECT_LT(huge.err.find('\n'), 200u) << "the first line repeats the whole argument";
}

TEST(QdKeyinfo, MissingLibraryExitsNonZeroWithAClearMessage) {
    kpsim::testing::CheckedKeys keys;
    kpsim::testing::ScopedEnv env("QD_TOKEN_LIBRARY", "/nonexistent/libUSBQdvKey_20244.so");
    auto r = runProgram(QD_KEYINFO_PATH, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qd-keyinfo: cannot load the token device library /nonexistent/libUSBQdvKey_20244.so "
                     "(set QD_TOKEN_LIBRARY)\n");
}

}  // namespace
