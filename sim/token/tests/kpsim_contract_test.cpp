// The simulated token library, loaded by path as the programs load the real
// one: exports, the library contract, PIN changes, faults, damaged state.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "sim/token/keysim_testing.h"
#include "sim/token/tests/library.h"
#include "token/Func_init.h"
#include "token/Func_init_list.h"

namespace {

using Clock = std::chrono::steady_clock;
using kpsim::testing::SimulatedKeys;
using kpsimtest::callWithZeros;
using kpsimtest::Library;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using namespace kpsimtest::status;

class Simulator : public testing::Test {
protected:
    void createKey(const std::string& name, bool plug = true) {
        keys_.keysim({"create", name});
        if (plug) keys_.keysim({"plug", name});
    }
    void set(const std::string& name, const std::string& field, const std::string& value) {
        keys_.keysim({"set", name, field, value});
    }
    KPHANDLE connect(const std::string& name) {
        KPHANDLE h = nullptr;
        EXPECT_EQ(lib_.KpConnectDev(("USBQdvKey " + name).c_str(), &h), 0u);
        return h;
    }
    uint32_t tries(KPHANDLE h) {
        uint32_t n = 99;
        EXPECT_EQ(lib_.KpGetUserPinRetryNum(h, &n), 0u);
        return n;
    }
    std::string state() const {
        std::ifstream in(keys_.statePath());
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    SimulatedKeys keys_;
    Library lib_;
};

TEST_F(Simulator, ExportsAllNinetyFourFunctions) {
    int found = 0;
#define KPSIM_TEST_FOUND(name, params, args) found += lib_.symbol(#name) != nullptr;
    KP_FUNCTION_LIST(KPSIM_TEST_FOUND)
    EXPECT_EQ(found, 94);
    EXPECT_EQ(lib_.symbol("Func_Init"), nullptr);  // nothing else
    EXPECT_EQ(lib_.symbol("KpGetChangePINFlag"), nullptr);
}

TEST_F(Simulator, FunctionsOutsideTheContractAreNotSupported) {
#define KPSIM_TEST_UNSUPPORTED(name, params, args)                   \
    if (!KP_IS_MARKED(CONTRACT, name)) {                             \
        EXPECT_EQ(callWithZeros(lib_.name), kNotSupported) << #name; \
    }
    KP_FUNCTION_LIST(KPSIM_TEST_UNSUPPORTED)
}

TEST_F(Simulator, ListsOnlyPluggedKeysInCreationOrder) {
    createKey("b");
    createKey("a", false);
    createKey("c");
    char names[256];
    std::memset(names, 0x55, sizeof names);
    uint32_t len = sizeof names, count = 0;
    ASSERT_EQ(lib_.KpListReaders(names, &len, &count), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(names, len), std::string("USBQdvKey b\0USBQdvKey c\0\0", 25));
    EXPECT_EQ(static_cast<unsigned char>(names[len]), 0x55);
}

TEST_F(Simulator, ListWithoutKeysIsEmpty) {
    char names[16] = {};
    uint32_t len = sizeof names, count = 7;
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), 0u);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(count, 0u);
}

TEST_F(Simulator, ListSizeQueryAndTooSmallBuffer) {
    createKey("a");
    uint32_t len = 0, count = 0;
    EXPECT_EQ(lib_.KpListReaders(nullptr, &len, &count), 0u);
    EXPECT_EQ(len, 13u);
    char names[8];
    std::memset(names, 0x55, sizeof names);
    len = sizeof names;
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), kBufferTooSmall);
    EXPECT_EQ(len, 13u);
    EXPECT_EQ(names[0], 0x55);
    EXPECT_EQ(lib_.KpListReaders(names, nullptr, &count), kBadParam);
}

TEST_F(Simulator, ConnectOnlyToPluggedKnownReaders) {
    createKey("a");
    createKey("b", false);
    KPHANDLE h = nullptr;
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey b", &h), kNoDevice);
    EXPECT_EQ(lib_.KpConnectDev("nobody", &h), kNoDevice);
    EXPECT_EQ(lib_.KpConnectDev(nullptr, &h), kBadParam);
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey a", &h), 0u);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(lib_.KpBeginTransaction(h), 0u);
    EXPECT_EQ(lib_.KpEndTransaction(h), 0u);
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
}

TEST_F(Simulator, HandleGoesStaleWhenTheKeyIsPulledOutEvenIfPluggedAgain) {
    createKey("a");
    KPHANDLE h = connect("a");
    keys_.keysim({"unplug", "a"});
    uint32_t pcode = 0;
    EXPECT_EQ(lib_.KpReadPCODE(h, &pcode, nullptr), kNoDevice);
    keys_.keysim({"plug", "a"});
    EXPECT_EQ(lib_.KpReadPCODE(h, &pcode, nullptr), kNoDevice);
    EXPECT_EQ(pcode, 0u);  // left alone on failure
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
    KPHANDLE fresh = connect("a");
    EXPECT_EQ(lib_.KpReadPCODE(fresh, &pcode, nullptr), 0u);
    EXPECT_EQ(lib_.KpGetKeyType(reinterpret_cast<KPHANDLE>(0x1234), &pcode), kNoDevice);
}

TEST_F(Simulator, ReadsTheKeysAttributes) {
    createKey("a");
    set("a", "pcode", "0x4F14");
    set("a", "serial", "QD20244000000042");
    set("a", "keytype", "1");
    set("a", "changepin", "1");
    set("a", "tries", "4");
    KPHANDLE h = connect("a");
    uint32_t pcode = 0, second = 77;
    EXPECT_EQ(lib_.KpReadPCODE(h, &pcode, &second), 0u);
    EXPECT_EQ(pcode, 0x4F14u);
    EXPECT_EQ(second, 0u);
    char dsn[64];
    std::memset(dsn, 0x55, sizeof dsn);
    uint32_t len = sizeof dsn;
    EXPECT_EQ(lib_.KpReadDSN(h, dsn, &len), 0u);
    EXPECT_EQ(len, 16u);
    EXPECT_STREQ(dsn, "QD20244000000042");
    uint32_t value = 0;
    EXPECT_EQ(lib_.KpGetKeyType(h, &value), 0u);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(lib_.KpGetChangePINFlage(h, &value), 0u);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(tries(h), 4u);
    // The serial's 16 bytes and its NUL: 17 fit exactly, 16 are one short.
    for (const uint32_t capacity : {17u, 16u, 8u}) {
        std::memset(dsn, 0x55, sizeof dsn);
        len = capacity;
        EXPECT_EQ(lib_.KpReadDSN(h, dsn, &len), capacity >= 17 ? 0u : kBufferTooSmall) << capacity;
        EXPECT_EQ(len, 16u) << capacity;
        if (capacity >= 17) {
            EXPECT_STREQ(dsn, "QD20244000000042");
        }
    }
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0u);
}

TEST_F(Simulator, StateChangesAreSeenByTheNextCall) {
    createKey("a");
    KPHANDLE h = connect("a");
    EXPECT_EQ(tries(h), 6u);
    set("a", "tries", "2");  // another process
    EXPECT_EQ(tries(h), 2u);
}

TEST_F(Simulator, ContainersAndCertificates) {
    keys_.keysim({"create", "--demo", "d"});
    KPHANDLE h = connect("d");
    char names[1024] = {};
    uint32_t len = sizeof names, count = 0;
    ASSERT_EQ(lib_.KpListContainers(h, names, &len, &count), 0u);
    EXPECT_EQ(count, 2u);
    std::string first(names);
    std::string second(names + first.size() + 1);
    EXPECT_EQ(len, first.size() + second.size() + 3);
    for (const std::string& container : {first, second}) {
        for (uint32_t spec : {KP_KEYSPEC_SIGN, KP_KEYSPEC_ENC}) {
            unsigned char cert[4096];
            uint32_t certLen = sizeof cert;
            EXPECT_EQ(lib_.KpReadCert(h, container.c_str(), spec, cert, &certLen), 0u);
            EXPECT_GT(certLen, 900u);
            EXPECT_LT(certLen, 1200u);
            EXPECT_EQ(cert[0], 0x30);  // DER SEQUENCE
            uint32_t small = 16;
            EXPECT_EQ(lib_.KpReadCert(h, container.c_str(), spec, cert, &small), kBufferTooSmall);
            EXPECT_EQ(small, certLen);
        }
    }
    unsigned char cert[4096];
    uint32_t certLen = sizeof cert;
    EXPECT_EQ(lib_.KpReadCert(h, "no such container", KP_KEYSPEC_SIGN, cert, &certLen), kNotFound);
    EXPECT_EQ(certLen, 0u);
    certLen = sizeof cert;
    EXPECT_EQ(lib_.KpReadCert(h, first.c_str(), 3, cert, &certLen), kBadParam);

    keys_.keysim({"drop", "d", first, "enc"});
    certLen = sizeof cert;
    EXPECT_EQ(lib_.KpReadCert(h, first.c_str(), KP_KEYSPEC_ENC, cert, &certLen), kNotFound);
    EXPECT_EQ(certLen, 0u);
}

TEST_F(Simulator, KeyWithoutContainersListsNone) {
    createKey("a");
    KPHANDLE h = connect("a");
    char names[64] = {};
    uint32_t len = sizeof names, count = 9;
    EXPECT_EQ(lib_.KpListContainers(h, names, &len, &count), 0u);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(count, 0u);
}

// ---- PIN change ----

class PinChange : public Simulator {
protected:
    void SetUp() override {
        createKey("a");
        set("a", "button", "press:0");
        h_ = connect("a");
    }
    uint32_t change(const char* oldPin, const char* newPin, uint32_t* retry) {
        return lib_.KpChangeUserPin(h_, oldPin, newPin, retry);
    }
    KPHANDLE h_ = nullptr;
};

TEST_F(PinChange, CorrectOldPinChangesThePin) {
    uint32_t retry = 1;
    EXPECT_EQ(change("12345678", "87654321", &retry), 0u);
    EXPECT_EQ(retry, 1u);  // untouched on success
    EXPECT_EQ(change("12345678", "11111111", &retry), KP_STATUS_PIN_INCORRECT);
    EXPECT_EQ(change("87654321", "11111111", &retry), 0u);
}

TEST_F(PinChange, WrongOldPinCountsDownAndCorrectChangeResets) {
    uint32_t retry = 0;
    EXPECT_EQ(change("00000000", "87654321", &retry), KP_STATUS_PIN_INCORRECT);
    EXPECT_EQ(retry, 5u);
    EXPECT_EQ(change("00000000", "87654321", &retry), KP_STATUS_PIN_INCORRECT);
    EXPECT_EQ(retry, 4u);
    EXPECT_EQ(tries(h_), 4u);
    EXPECT_EQ(change("12345678", "87654321", &retry), 0u);
    EXPECT_EQ(tries(h_), 6u);
}

TEST_F(PinChange, LocksAtZeroTries) {
    set("a", "tries", "2");
    uint32_t retry = 9;
    EXPECT_EQ(change("0", "87654321", &retry), KP_STATUS_PIN_INCORRECT);
    EXPECT_EQ(retry, 1u);
    EXPECT_EQ(change("0", "87654321", &retry), KP_STATUS_PIN_INCORRECT);
    EXPECT_EQ(retry, 0u);
    EXPECT_EQ(tries(h_), 0u);
    retry = 9;
    EXPECT_EQ(change("12345678", "87654321", &retry), KP_STATUS_PIN_LOCKED);  // even the right PIN
    EXPECT_EQ(retry, 9u);
}

TEST_F(PinChange, BadArguments) {
    uint32_t retry = 0;
    EXPECT_EQ(change(nullptr, "1", &retry), kBadParam);
    EXPECT_EQ(change("12345678", "", &retry), kBadParam);
    EXPECT_EQ(change("12345678", "\xff\xfe", &retry), kBadParam);  // not UTF-8
    EXPECT_EQ(lib_.KpChangeUserPin(reinterpret_cast<KPHANDLE>(1), "12345678", "1", &retry), kNoDevice);
    EXPECT_EQ(tries(h_), 6u);
    EXPECT_EQ(change("12345678", "87654321", &retry), 0u);  // the old PIN is still in force
}

TEST_F(PinChange, ButtonPressedAfterADelay) {
    set("a", "button", "press:0.3");
    auto start = Clock::now();
    EXPECT_EQ(change("12345678", "87654321", nullptr), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(PinChange, ButtonNeverPressedTimesOut) {
    set("a", "button", "never:0.2");
    auto start = Clock::now();
    EXPECT_EQ(change("12345678", "87654321", nullptr), KP_STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(change("12345678", "87654321", nullptr), KP_STATUS_TIMEOUT);  // PIN unchanged
}

TEST_F(PinChange, Cancelled) {
    set("a", "button", "cancel");
    EXPECT_EQ(change("12345678", "87654321", nullptr), KP_STATUS_CANCELLED);
    set("a", "button", "cancel:0.1");
    EXPECT_EQ(change("12345678", "87654321", nullptr), KP_STATUS_CANCELLED);
}

TEST_F(PinChange, ForcedStatus) {
    set("a", "button", "status:0x88000044");
    EXPECT_EQ(change("12345678", "87654321", nullptr), KP_STATUS_DEVICE_ERROR);
    set("a", "button", "press:0");
    EXPECT_EQ(change("12345678", "87654321", nullptr), 0u);  // the old PIN was still in force
}

TEST_F(PinChange, WrongOldPinFailsAtOnceWhateverTheButton) {
    set("a", "button", "never:30");
    auto start = Clock::now();
    uint32_t retry = 0;
    EXPECT_EQ(change("bad", "87654321", &retry), KP_STATUS_PIN_INCORRECT);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

// Waits until the key says a PIN change is waiting for the button.
bool waitUntilWaiting(const SimulatedKeys& keys) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        auto r = kpsim::testing::runKeysim({"show", "a"});
        if (r.out.find("(a PIN change is waiting)") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    (void)keys;
    return false;
}

TEST_F(PinChange, WaitsForKeysimPress) {
    set("a", "button", "wait:20");
    auto r = kpsim::testing::runKeysim({"press", "a"});
    EXPECT_EQ(r.status, 2);  // nothing waits yet
    EXPECT_EQ(r.err, "keysim: key \"a\" is not waiting for a button press\n");

    auto result = std::async(std::launch::async, [&] { return change("12345678", "87654321", nullptr); });
    ASSERT_TRUE(waitUntilWaiting(keys_));
    keys_.keysim({"press", "a"});
    EXPECT_EQ(result.get(), 0u);
    EXPECT_NE(kpsim::testing::runKeysim({"show", "a"}).out.find("user PIN:        87654321"),
              std::string::npos);
}

TEST_F(PinChange, WaitWithoutPressTimesOut) {
    set("a", "button", "wait:0.3");
    EXPECT_EQ(change("12345678", "87654321", nullptr), KP_STATUS_TIMEOUT);
    EXPECT_EQ(kpsim::testing::runKeysim({"show", "a"}).out.find("waiting"), std::string::npos);
}

TEST_F(PinChange, KeyPulledOutWhileWaiting) {
    set("a", "button", "wait:20");
    auto result = std::async(std::launch::async, [&] { return change("12345678", "87654321", nullptr); });
    ASSERT_TRUE(waitUntilWaiting(keys_));
    keys_.keysim({"unplug", "a"});
    EXPECT_EQ(result.get(), kNoDevice);
}

TEST_F(PinChange, OtherCallsGoOnWhileTheButtonIsAwaited) {
    // The change waits for a press that only comes after the other calls:
    // were the lock held meanwhile, keysim set would block until the time-out.
    set("a", "button", "wait:30");
    auto result = std::async(std::launch::async, [&] { return change("12345678", "87654321", nullptr); });
    ASSERT_TRUE(waitUntilWaiting(keys_));
    EXPECT_EQ(tries(h_), 6u);
    keys_.keysim({"set", "a", "keytype", "3"});  // takes the lock
    uint32_t type = 0;
    EXPECT_EQ(lib_.KpGetKeyType(h_, &type), 0u);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    keys_.keysim({"press", "a"});
    EXPECT_EQ(result.get(), 0u);
}

// ---- faults ----

TEST_F(Simulator, FaultOverlongReportsMoreThanItWrites) {
    createKey("a");
    set("a", "fault", "overlong");
    char names[64];
    std::memset(names, 0x55, sizeof names);
    uint32_t len = 8, count = 0;
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), 0u);
    EXPECT_EQ(len, 13u + 512u);
    EXPECT_EQ(std::string(names, 8), "USBQdvKe");
    EXPECT_EQ(static_cast<unsigned char>(names[8]), 0x55);  // nothing past the capacity

    KPHANDLE h = connect("a");
    char dsn[64];
    std::memset(dsn, 0x55, sizeof dsn);
    len = 4;
    EXPECT_EQ(lib_.KpReadDSN(h, dsn, &len), 0u);
    EXPECT_GT(len, 4u);
    EXPECT_EQ(static_cast<unsigned char>(dsn[4]), 0x55);
}

TEST_F(Simulator, FaultUnterminatedFillsTheBufferWithoutFinalEmptyName) {
    createKey("a");
    set("a", "fault", "unterminated");
    char names[64];
    std::memset(names, 0x55, sizeof names);
    uint32_t len = 40, count = 0;
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), 0u);
    EXPECT_EQ(len, 40u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(std::string(names, 12), std::string("USBQdvKey a\0", 12));
    EXPECT_EQ(std::string(names + 12, 28), std::string(28, 'X'));
    EXPECT_EQ(static_cast<unsigned char>(names[40]), 0x55);

    KPHANDLE h = connect("a");
    char dsn[32];
    std::memset(dsn, 0x55, sizeof dsn);
    len = 20;
    EXPECT_EQ(lib_.KpReadDSN(h, dsn, &len), 0u);
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(std::memchr(dsn, 0, 20), nullptr);
    EXPECT_EQ(static_cast<unsigned char>(dsn[20]), 0x55);
}

TEST_F(Simulator, FaultStatusFailsEveryCallOnTheKey) {
    createKey("a");
    KPHANDLE h = connect("a");
    set("a", "fault", "status:0xE0001234");
    uint32_t len = 64, count = 0, value = 0;
    char names[64];
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), 0xE0001234u);
    KPHANDLE h2 = nullptr;
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey a", &h2), 0xE0001234u);
    EXPECT_EQ(lib_.KpReadPCODE(h, &value, nullptr), 0xE0001234u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(lib_.KpGetUserPinRetryNum(h, &value), 0xE0001234u);
    EXPECT_EQ(lib_.KpChangeUserPin(h, "12345678", "1", &value), 0xE0001234u);
    EXPECT_EQ(lib_.KpDisconnectDev(h), 0xE0001234u);
}

TEST_F(Simulator, FaultConnectFailsOnlyTheConnect) {
    createKey("a");
    set("a", "fault", "connect:0x0BADC0DE");
    char names[64];
    uint32_t len = 64, count = 0;
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), 0u);
    EXPECT_EQ(count, 1u);
    KPHANDLE h = nullptr;
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey a", &h), 0x0BADC0DEu);
}

TEST_F(Simulator, FaultSlowDelaysEveryCall) {
    createKey("a");
    set("a", "fault", "slow:150");
    auto start = Clock::now();
    KPHANDLE h = connect("a");
    uint32_t pcode = 0;
    EXPECT_EQ(lib_.KpReadPCODE(h, &pcode, nullptr), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(Simulator, FaultNotReadyRefusesConnectionsForAWhileAfterEachPlug) {
    createKey("a", false);
    set("a", "fault", "notready:60000");
    keys_.keysim({"plug", "a"});
    const auto plugged = Clock::now();
    char names[64];
    uint32_t len = sizeof names, count = 0;
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), 0u);  // listed at once
    EXPECT_EQ(count, 1u);
    KPHANDLE h = nullptr;
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey a", &h), kNotReady);
    // The time counts from the plug: a shorter setting is over already.
    set("a", "fault", "notready:1");
    std::this_thread::sleep_until(plugged + std::chrono::milliseconds(5));
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey a", &h), 0u);
    // Plugged in again, it is not ready again (a second after the first plug).
    std::this_thread::sleep_until(plugged + std::chrono::milliseconds(1000));
    set("a", "fault", "notready:800");
    keys_.keysim({"unplug", "a"});
    keys_.keysim({"plug", "a"});
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey a", &h), kNotReady);
}

// ---- damaged state ----

class DamagedState : public Simulator, public testing::WithParamInterface<const char*> {};

TEST_P(DamagedState, GivesAOneLineDiagnosticAndAFailureStatus) {
    {
        std::ofstream out(keys_.statePath(), std::ios::binary);
        out << GetParam();
    }
    char names[64] = {};
    uint32_t len = sizeof names, count = 0;
    CaptureStderr();
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), kStateError);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("libUSBQdvKey_20244 (sim): " + keys_.statePath() + ": damaged state file: ", 0), 0u)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    KPHANDLE h = nullptr;
    CaptureStderr();
    EXPECT_EQ(lib_.KpConnectDev("USBQdvKey a", &h), kStateError);
    GetCapturedStderr();

    auto r = kpsim::testing::runKeysim({"list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("damaged state file"), std::string::npos);
}

const char* const kValid =
    R"({"format":"keysim-1","next_id":2,"keys":[{"name":"a","id":1,"reader":"USBQdvKey a","pcode":20244,)"
    R"("serial":"S1","keytype":2,"changepin":0,"pin":"1","tries":6,"max_tries":6,"vendor":54345,"product":4,)"
    R"("plugged":true,"plug_count":1,"button":"press:0","fault":"none","waiting":false,"press_count":0,)"
    R"("containers":[]}]})";

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedState,
    testing::Values(
        "", "not json", "{\"format\":\"keysim-1\"", "[1,2,3]", "{\"format\":\"other\"}",
        R"({"format":"keysim-1","next_id":1,"keys":{}})",
        R"({"format":"keysim-1","next_id":2,"keys":[{"name":"a"}]})",
        R"({"format":"keysim-1","next_id":2,"keys":[{"name":"a","id":"1"}]})",
        R"({"format":"keysim-1","next_id":2,"keys":[{"name":"a","id":1,"reader":"r","pcode":-5}]})",
        R"({"format":"keysim-1","next_id":2,"keys":[{"name":"a","id":1,"reader":"r","pcode":99999999999}]})",
        "\xff\xfe\x00garbage"),
    [](const testing::TestParamInfo<const char*>& info) { return "File" + std::to_string(info.index); });

TEST_F(Simulator, ValidHandWrittenStateIsRead) {
    {
        std::ofstream out(keys_.statePath(), std::ios::binary);
        out << kValid;
    }
    char names[64] = {};
    uint32_t len = sizeof names, count = 0;
    EXPECT_EQ(lib_.KpListReaders(names, &len, &count), 0u);
    EXPECT_EQ(count, 1u);
}

TEST_F(Simulator, InvalidFieldValuesInTheFileAreDamage) {
    for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"\"tries\":6", "\"tries\":7"},
             {"\"button\":\"press:0\"", "\"button\":\"jump\""},
             {"\"fault\":\"none\"", "\"fault\":\"status:12\""},
             {"\"containers\":[]", "\"containers\":[{\"name\":\"c\",\"sign\":\"!!!!\"}]"},
             {"\"containers\":[]", "\"containers\":{}"},  // not a list, though empty
             {",\"containers\":[]", ""},                  // missing
             {"\"vendor\":54345", "\"vendor\":65536"},
             {"\"next_id\":2", "\"next_id\":1"}}) {
        std::string text = kValid;
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
        {
            std::ofstream out(keys_.statePath(), std::ios::binary);
            out << text;
        }
        char names[64] = {};
        uint32_t len = sizeof names, count = 0;
        CaptureStderr();
        EXPECT_EQ(lib_.KpListReaders(names, &len, &count), kStateError) << to;
        EXPECT_NE(GetCapturedStderr().find("damaged state file"), std::string::npos) << to;
    }
}

}  // namespace
