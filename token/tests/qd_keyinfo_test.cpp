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

// Every fault setting of the simulator against qd-keyinfo: it says what it
// could not read, exits 1 only when no reader could be listed at all, and
// leaves no handle open (CheckedKeys).
struct FaultRow {
    const char* fault;
    int status;
    const char* shown;  // what the report must hold
};

class QdKeyinfoFaults : public testing::TestWithParam<FaultRow> {};

TEST_P(QdKeyinfoFaults, EveryFaultIsReportedAndNothingIsLeftOpen) {
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "--demo", "demo"});
    keys.keysim({"set", "demo", "fault", GetParam().fault});
    keys.keysim({"unplug", "demo"});
    keys.keysim({"plug", "demo"});
    auto r = runProgram(QD_KEYINFO_PATH, {});
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_NE(r.out.find(GetParam().shown), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, QdKeyinfoFaults,
    testing::Values(FaultRow{"none", 0, "Containers:          2\n"},
                    FaultRow{"nocert0", 0, "signing (2):     none (status 0x00000000)\n"},
                    FaultRow{"overlong", 0, "more than the 4096-byte buffer\n"},
                    FaultRow{"unterminated", 0, "Containers:          2\n"},
                    FaultRow{"status:0xE0001234", 1, "listing failed (status 0xE0001234)\n"},
                    FaultRow{"connect:0xE0005678", 1, "listing failed (status 0xE0005678)\n"},
                    FaultRow{"slow:20", 0, "Containers:          2\n"},
                    FaultRow{"notready:60000", 1, "listing failed (status 0x88000007)\n"}),
    [](const auto& info) { return std::to_string(info.index); });

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
