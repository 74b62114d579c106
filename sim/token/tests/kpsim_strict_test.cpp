// The strict simulator's session model: handles a process holds, the
// transaction one handle holds, what `keysim status` reports of both, and
// the nocert0 fault. Each case says which careless client it would catch.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sim/token/keysim_testing.h"
#include "sim/token/keystore.h"
#include "sim/token/tests/library.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using kpsim::testing::SimulatedKeys;
using kpsimtest::Library;

using namespace kpsimtest::status;

class Strict : public testing::Test {
protected:
    void SetUp() override {
        keys_.keysim({"create", "--demo", "a"});  // plugged in
    }
    KPHANDLE connect(const char* reader = "USBQdvKey a") {
        KPHANDLE h = nullptr;
        EXPECT_EQ(lib_.KpConnectDev(reader, &h), 0u);
        return h;
    }
    std::string status() { return keys_.keysim({"status"}).out; }

    SimulatedKeys keys_;  // strict by default
    Library lib_;
};

// A client that goes on using a handle after KpDisconnectDev (or releases
// it twice) gets an error, never an answer: every call of the contract that
// takes a handle.
TEST_F(Strict, EveryCallOnAReleasedHandleFails) {
    KPHANDLE h = connect();
    ASSERT_EQ(lib_.KpDisconnectDev(h), 0u);
    uint32_t value = 0;
    char buffer[256];
    unsigned char cert[4096];
    uint32_t len = sizeof buffer;
    uint32_t certLen = sizeof cert;
    const struct {
        const char* call;
        uint32_t status;
    } rows[] = {
        {"KpBeginTransaction", lib_.KpBeginTransaction(h)},
        {"KpEndTransaction", lib_.KpEndTransaction(h)},
        {"KpReadPCODE", lib_.KpReadPCODE(h, &value, nullptr)},
        {"KpReadDSN", lib_.KpReadDSN(h, buffer, &len)},
        {"KpListContainers", lib_.KpListContainers(h, buffer, &len, &value)},
        {"KpReadCert", lib_.KpReadCert(h, "x", 2, cert, &certLen)},
        {"KpChangeUserPin", lib_.KpChangeUserPin(h, "12345678", "87654321", &value)},
        {"KpGetUserPinRetryNum", lib_.KpGetUserPinRetryNum(h, &value)},
        {"KpGetChangePINFlage", lib_.KpGetChangePINFlage(h, &value)},
        {"KpGetKeyType", lib_.KpGetKeyType(h, &value)},
        {"KpDisconnectDev", lib_.KpDisconnectDev(h)},
    };
    for (const auto& row : rows) EXPECT_EQ(row.status, kReleased) << row.call;
    EXPECT_EQ(keys_.leftOpen(), "");
    // The PIN was not changed through the released handle.
    KPHANDLE fresh = connect();
    EXPECT_EQ(lib_.KpGetUserPinRetryNum(fresh, &value), 0u);
    EXPECT_EQ(value, 6u);
    EXPECT_EQ(lib_.KpDisconnectDev(fresh), 0u);
}

// A client that leaks handles runs out: 8 at once are fine, the 9th connect
// fails, and one released makes room again.
TEST_F(Strict, AProcessHoldsAtMostEightHandles) {
    std::vector<KPHANDLE> handles;
    for (int i = 0; i < 8; ++i) handles.push_back(connect());
    KPHANDLE ninth = nullptr;
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey a", &ninth), kTooManyHandles);
    EXPECT_EQ(ninth, nullptr);
    // Handles are distinct: releasing one leaves the other seven working.
    ASSERT_EQ(lib_.KpDisconnectDev(handles.back()), 0u);
    handles.pop_back();
    uint32_t pcode = 0;
    for (KPHANDLE h : handles) EXPECT_EQ(lib_.KpReadPCODE(h, &pcode, nullptr), 0u);
    handles.push_back(connect());
    for (KPHANDLE h : handles) EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
    EXPECT_EQ(keys_.leftOpen(), "");
}

// Exclusive use: a second handle's begin waits for the first one's end
// (not failing at once, not passing through).
TEST_F(Strict, BeginWaitsForAnotherHandlesTransactionToEnd) {
    KPHANDLE first = connect();
    KPHANDLE second = connect();
    ASSERT_EQ(lib_.KpBeginTransaction(first), 0u);
    const auto start = Clock::now();
    auto ender = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(400ms);
        return lib_.KpEndTransaction(first);
    });
    EXPECT_EQ(lib_.KpBeginTransaction(second), 0u);
    EXPECT_GE(Clock::now() - start, 400ms);
    EXPECT_EQ(ender.get(), 0u);
    EXPECT_NE(status().find("holds the transaction"), std::string::npos) << status();
    EXPECT_EQ(lib_.KpEndTransaction(second), 0u);
    EXPECT_EQ(lib_.KpDisconnectDev(first), 0u);
    EXPECT_EQ(lib_.KpDisconnectDev(second), 0u);
    EXPECT_EQ(keys_.leftOpen(), "");
}

// A transaction never ended blocks every other client: after the wait limit
// its begin fails.
TEST_F(Strict, BeginFailsAfterTheWaitLimit) {
    keys_.keysim({"strict", "on", "--wait", "300"});
    KPHANDLE first = connect();
    KPHANDLE second = connect();
    ASSERT_EQ(lib_.KpBeginTransaction(first), 0u);
    const auto start = Clock::now();
    EXPECT_EQ(lib_.KpBeginTransaction(second), kBusy);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 3000ms);
    // The failed begin holds nothing: ending it is an error, and the first
    // handle's transaction is still the one open.
    EXPECT_EQ(lib_.KpEndTransaction(second), kTransactionState);
    const std::string listed = keys_.leftOpen();
    EXPECT_NE(listed.find("holds the transaction"), std::string::npos) << listed;
    EXPECT_EQ(lib_.KpEndTransaction(first), 0u);
    EXPECT_EQ(lib_.KpDisconnectDev(first), 0u);
    EXPECT_EQ(lib_.KpDisconnectDev(second), 0u);
    EXPECT_EQ(keys_.leftOpen(), "");
}

// Begin twice on one handle and end without a begin are client mistakes.
TEST_F(Strict, TransactionsDoNotNest) {
    KPHANDLE h = connect();
    EXPECT_EQ(lib_.KpEndTransaction(h), kTransactionState);
    EXPECT_EQ(lib_.KpBeginTransaction(h), 0u);
    EXPECT_EQ(lib_.KpBeginTransaction(h), kTransactionState);
    EXPECT_EQ(lib_.KpEndTransaction(h), 0u);
    EXPECT_EQ(lib_.KpEndTransaction(h), kTransactionState);
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
}

// What `keysim status` reports, and that --clean fails on each kind of
// leftover: an open handle, an open transaction, a release inside one.
TEST_F(Strict, StatusListsHandlesTransactionsAndMisuse) {
    EXPECT_EQ(status(), "strict on (transactions wait up to 3000 ms)\nno open handles\n");
    EXPECT_EQ(kpsim::testing::runKeysim({"status", "--clean"}).status, 0);
    KPHANDLE h = connect();
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(status(),
              "strict on (transactions wait up to 3000 ms)\nhandle 1: key \"a\", process " + pid + "\n");
    EXPECT_EQ(kpsim::testing::runKeysim({"status", "--clean"}).status, 3);
    ASSERT_EQ(lib_.KpBeginTransaction(h), 0u);
    EXPECT_NE(status().find("handle 1: key \"a\", process " + pid + ", holds the transaction\n"),
              std::string::npos);
    keys_.keysim({"unplug", "a"});
    EXPECT_NE(status().find(", holds the transaction, stale (key pulled out)\n"), std::string::npos)
        << status();
    // Released inside its transaction: released, but remembered.
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
    const std::string after = keys_.leftOpen();
    EXPECT_NE(after.find("no open handles\nnote: handle 1 of process " + pid +
                         " was released inside its transaction on key \"a\"\n"),
              std::string::npos)
        << after;
    // Off forgets.
    keys_.keysim({"strict", "off"});
    EXPECT_EQ(status(), "strict off\nno open handles\n");
}

// A key pulled out during a transaction: the client's end is an error
// (no key), but it did end it, so nothing is left open.
TEST_F(Strict, EndOnAKeyPulledOutClosesTheTransaction) {
    KPHANDLE h = connect();
    ASSERT_EQ(lib_.KpBeginTransaction(h), 0u);
    keys_.keysim({"unplug", "a"});
    keys_.keysim({"plug", "a"});
    EXPECT_EQ(lib_.KpEndTransaction(h), kNoDevice);
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
    EXPECT_EQ(keys_.leftOpen(), "");
    // The new plug's transactions never waited for the old one.
    KPHANDLE fresh = connect();
    EXPECT_EQ(lib_.KpBeginTransaction(fresh), 0u);
    EXPECT_EQ(lib_.KpEndTransaction(fresh), 0u);
    EXPECT_EQ(lib_.KpDisconnectDev(fresh), 0u);
}

// A process that dies inside a transaction does not block the key for
// ever (its session ends with it), but its handle stays reported.
TEST_F(Strict, ATransactionOfAProcessThatEndedIsReleased) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        KPHANDLE h = nullptr;
        char ok = lib_.KpConnectDev("USBQdvKey a", &h) == 0 && lib_.KpBeginTransaction(h) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    ASSERT_EQ(ok, 'y');
    waitpid(child, nullptr, 0);
    KPHANDLE h = connect();
    const auto start = Clock::now();
    EXPECT_EQ(lib_.KpBeginTransaction(h), 0u);
    EXPECT_LT(Clock::now() - start, 2000ms);
    EXPECT_EQ(lib_.KpEndTransaction(h), 0u);
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
    const std::string left = keys_.leftOpen();
    EXPECT_NE(left.find("process " + std::to_string(child) + ", process gone"), std::string::npos) << left;
    EXPECT_NE(left.find("note: process " + std::to_string(child) + " ended inside the transaction"),
              std::string::npos)
        << left;
}

// Lenient mode is the old behaviour: no records, released handles answer.
TEST(Lenient, KeepsNoSessions) {
    SimulatedKeys keys(SimulatedKeys::Mode::kLenient);
    keys.keysim({"create", "a"});
    keys.keysim({"plug", "a"});
    Library lib;
    KPHANDLE h = nullptr;
    ASSERT_EQ(lib.KpConnectDev("USBQdvKey a", &h), 0u);
    ASSERT_EQ(lib.KpDisconnectDev(h), 0u);
    uint32_t pcode = 0;
    EXPECT_EQ(lib.KpReadPCODE(h, &pcode, nullptr), 0u);
    EXPECT_EQ(lib.KpBeginTransaction(h), 0u);
    EXPECT_EQ(lib.KpBeginTransaction(h), 0u);
    EXPECT_EQ(keys.keysim({"status"}).out, "strict off\nno open handles\n");
    EXPECT_EQ(keys.leftOpen(), "");
}

TEST(StrictCommand, BadUsageChangesNothing) {
    SimulatedKeys keys;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"strict"},
                                               {"strict", "maybe"},
                                               {"strict", "off", "--wait", "5"},
                                               {"strict", "on", "--wait"},
                                               {"strict", "on", "--wait", "600001"},
                                               {"strict", "on", "--wait", "x"},
                                               {"status", "--dirty"}}) {
        const auto r = kpsim::testing::runKeysim(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
    EXPECT_EQ(keys.keysim({"status"}).out, "strict on (transactions wait up to 3000 ms)\nno open handles\n");
    keys.keysim({"strict", "on", "--wait", "600000"});
    EXPECT_EQ(keys.keysim({"status"}).out,
              "strict on (transactions wait up to 600000 ms)\nno open handles\n");
}

// nocert0: a certificate that is there answers success with length 0 and
// nothing written.
TEST_F(Strict, NoCert0AnswersSuccessWithLengthZero) {
    keys_.keysim({"set", "a", "fault", "nocert0"});
    KPHANDLE h = connect();
    char names[512];
    uint32_t len = sizeof names, count = 0;
    ASSERT_EQ(lib_.KpListContainers(h, names, &len, &count), 0u);
    ASSERT_GT(count, 0u);
    unsigned char cert[4096];
    std::memset(cert, 0x55, sizeof cert);
    for (uint32_t spec : {1u, 2u}) {
        uint32_t certLen = sizeof cert;
        EXPECT_EQ(lib_.KpReadCert(h, names, spec, cert, &certLen), 0u);
        EXPECT_EQ(certLen, 0u);
    }
    EXPECT_EQ(cert[0], 0x55);
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
}

// Serials run to 0xFFFFF, then start again at 1, skipping those still in
// use (a reused serial would let a stale handle act for a new one).
TEST_F(Strict, HandleSerialsWrapAroundAndSkipThoseInUse) {
    KPHANDLE first = connect();  // serial 1
    std::string error;
    ASSERT_TRUE(kpsim::Store::fromEnvironment().update(
        [](kpsim::State& state, std::string*) {
            state.nextHandle = 0xFFFFF;
            return true;
        },
        &error))
        << error;
    KPHANDLE last = connect();
    KPHANDLE wrapped = connect();
    const std::string listed = status();
    EXPECT_NE(listed.find("handle 1048575: "), std::string::npos) << listed;
    EXPECT_NE(listed.find("handle 2: "), std::string::npos) << listed;
    for (KPHANDLE h : {first, last, wrapped}) EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
    EXPECT_EQ(keys_.leftOpen(), "");
}

// The newest 16 notes are kept: the 17th release inside a transaction drops
// the first note, not the last.
TEST_F(Strict, KeepsTheNewestSixteenNotes) {
    for (int i = 0; i < 17; ++i) {
        KPHANDLE h = connect();
        ASSERT_EQ(lib_.KpBeginTransaction(h), 0u);
        ASSERT_EQ(lib_.KpDisconnectDev(h), 0u);
    }
    const std::string left = keys_.leftOpen();
    size_t notes = 0;
    for (size_t at = left.find("note: "); at != std::string::npos; at = left.find("note: ", at + 1)) ++notes;
    EXPECT_EQ(notes, 16u) << left;
    EXPECT_EQ(left.find("note: handle 1 of"), std::string::npos) << left;
    EXPECT_NE(left.find("note: handle 2 of"), std::string::npos) << left;
    EXPECT_NE(left.find("note: handle 17 of"), std::string::npos) << left;
}

// Session records in the state file are checked like every other field: at
// the largest values accepted they are read, one more is damage.
TEST(StrictState, RecordsAtTheirLimitsAreReadAndOneMoreIsDamage) {
    SimulatedKeys keys;
    auto handle = [](unsigned serial) {
        return "{\"serial\": " + std::to_string(serial) +
               ", \"key_id\": 1, \"plug_count\": 1, \"pid\": 1, \"transaction\": false, \"since\": 0}";
    };
    auto state = [](const std::string& wait, const std::string& next, const std::string& handles) {
        return "{\"format\": \"keysim-1\", \"next_id\": 1, \"keys\": [], \"strict\": true, "
               "\"transaction_wait_ms\": " +
               wait + ", \"next_handle\": " + next + ", \"handles\": [" + handles + "], \"notes\": []}\n";
    };
    const struct {
        const char* label;
        std::string text;
        int status;  // of `keysim status --clean`: 3 read (a handle open), 1 damage
    } rows[] = {
        {"largest values", state("600000", "1048575", handle(1048575)), 3},
        {"smallest serial", state("0", "1", handle(1)), 3},
        {"serial 0", state("3000", "1", handle(0)), 1},
        {"serial past 0xFFFFF", state("3000", "1", handle(1048576)), 1},
        {"serial twice", state("3000", "1", handle(5) + ", " + handle(5)), 1},
        {"next_handle 0", state("3000", "0", ""), 1},
        {"next_handle past 0xFFFFF", state("3000", "1048576", ""), 1},
        {"wait past 600000", state("600001", "1", ""), 1},
        {"serial 0 and next_handle 0 at once", state("3000", "0", handle(0)), 1},
    };
    for (const auto& row : rows) {
        std::FILE* f = std::fopen(keys.statePath().c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(row.text.c_str(), f);
        std::fclose(f);
        const auto r = kpsim::testing::runKeysim({"status", "--clean"});
        EXPECT_EQ(r.status, row.status) << row.label << ": " << r.err;
        if (row.status == 1) {
            EXPECT_NE(r.err.find("damaged state file"), std::string::npos) << row.label;
        }
    }
}

}  // namespace
