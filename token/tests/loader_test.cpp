// Loader and wrappers, for both static libraries: the library
// absent, present, lacking a function; Func_Init twice and with an empty path.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/token/keysim_gtest.h"
#include "token/Func_init.h"
#include "token/Func_init_list.h"

namespace {

using kpsim::testing::ScopedEnv;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Calls a function with value-initialised arguments of its own types.
template <typename... Args>
uint32_t callWithZeros(uint32_t (*fn)(Args...)) {
    return fn(Args{}...);
}

struct Wrapper {
    const char* name;
    uint32_t (*call)();
    bool contract;
};

#define QD_TEST_WRAPPER(name, params, args) \
    {#name, [] { return callWithZeros(&::name); }, KP_IS_MARKED(CONTRACT, name) == 1},
const std::vector<Wrapper> kWrappers = {KP_FUNCTION_LIST(QD_TEST_WRAPPER)};

bool isLoaded(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (h == nullptr) return false;
    dlclose(h);
    return true;
}

class Loader : public testing::Test {
protected:
    void SetUp() override { Func_Finalize(); }
    void TearDown() override { Func_Finalize(); }
};

TEST_F(Loader, ListHasTheNinetyFourFunctionsWithTheSystemsSpelling) {
    ASSERT_EQ(kWrappers.size(), 94u);
    int contract = 0;
    for (const auto& w : kWrappers) contract += w.contract;
    EXPECT_EQ(contract, 13);
    EXPECT_STREQ(kWrappers.front().name, "KpListReaders");
    EXPECT_STREQ(kWrappers.back().name, "KpTransmit");
    std::vector<std::string> names;
    for (const auto& w : kWrappers) names.push_back(w.name);
    for (const char* odd : {"KpGetChangePINFlage", "Kp33ImprotRSA", "HWSM2ImportKeyPair"})
        EXPECT_NE(std::find(names.begin(), names.end(), odd), names.end()) << odd;
}

TEST_F(Loader, AbsentLibraryPrintsTheLoaderErrorAndIsTriedAgain) {
    ScopedEnv env("QD_TOKEN_LIBRARY", "/nonexistent/libUSBQdvKey_20244.so");
    CaptureStdout();
    EXPECT_FALSE(IsInitedOK());
    std::string first = GetCapturedStdout();
    EXPECT_EQ(
        first,
        "/nonexistent/libUSBQdvKey_20244.so: cannot open shared object file: No such file or directory\n");
    EXPECT_FALSE(glb_bInited);
    EXPECT_EQ(hDylib, nullptr);

    CaptureStdout();
    EXPECT_FALSE(IsInitedOK());
    EXPECT_EQ(GetCapturedStdout(), first);  // tried again, failed again
}

TEST_F(Loader, FuncInitReturnsOneWhenTheLibraryIsMissing) {
    CaptureStdout();
    EXPECT_EQ(Func_Init("/nonexistent/lib.so"), 1);
    EXPECT_EQ(GetCapturedStdout(),
              "/nonexistent/lib.so: cannot open shared object file: No such file or directory\n");
    EXPECT_FALSE(glb_bInited);
}

TEST_F(Loader, EveryWrapperFailsWithoutLoadingWhenNotLoaded) {
    ScopedEnv env("QD_TOKEN_LIBRARY", kpsim::testing::libraryPath());
    for (const auto& w : kWrappers) {
        CaptureStdout();
        EXPECT_EQ(w.call(), 0xFFFFFFFFu) << w.name;
        std::string expected = "Load dylib file Failed.\n";
#ifdef QD_TEST_MANAGER
        if (std::string(w.name) == "KpListReaders") expected = "Load dylib file Failed,hDylib = 0.\n";
#endif
        EXPECT_EQ(GetCapturedStdout(), expected) << w.name;
    }
    EXPECT_FALSE(glb_bInited);  // a wrapper never loads the library itself
    EXPECT_FALSE(isLoaded(kpsim::testing::libraryPath()));
}

TEST_F(Loader, PresentLibraryAnswersEveryWrapperByName) {
    ASSERT_EQ(Func_Init(kpsim::testing::libraryPath().c_str()), 0);
    EXPECT_TRUE(glb_bInited);
    EXPECT_NE(hDylib, nullptr);
    EXPECT_TRUE(IsInitedOK());
    // The functions outside the contract reach the simulator, which answers
    // "not supported": each name was found, none printed anything.
    for (const auto& w : kWrappers) {
        if (w.contract) continue;
        CaptureStdout();
        EXPECT_EQ(w.call(), 0x88000001u) << w.name;
        EXPECT_EQ(GetCapturedStdout(), "") << w.name;
    }
}

TEST_F(Loader, ArgumentsAndStatusPassThroughUnchanged) {
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "k"});
    keys.keysim({"set", "k", "pcode", "4242"});
    keys.keysim({"set", "k", "keytype", "9"});
    keys.keysim({"plug", "k"});
    ASSERT_EQ(Func_Init(nullptr), 0);
    KPHANDLE h = nullptr;
    ASSERT_EQ(KpConnectDev("USBQdvKey k", &h), 0u);
    uint32_t pcode = 0, reserved = 0, type = 0;
    EXPECT_EQ(KpReadPCODE(h, &pcode, &reserved), 0u);
    EXPECT_EQ(pcode, 4242u);
    EXPECT_EQ(KpGetKeyType(h, &type), 0u);
    EXPECT_EQ(type, 9u);
    EXPECT_EQ(KpDisconnectDev(h), 0u);
    EXPECT_EQ(KpConnectDev("no such reader", &h), 0x88000002u);  // the library's own status
}

TEST_F(Loader, LackingFunctionFailsOnlyItsWrapper) {
    ASSERT_EQ(Func_Init(KPTEST_PARTIAL_LIBRARY), 0);
    KPHANDLE h = nullptr;
    CaptureStdout();
    EXPECT_EQ(KpConnectDev("reader", &h), 0xFFFFFFFFu);
    EXPECT_EQ(GetCapturedStdout(), "get api KpConnectDev failed");
    CaptureStdout();
    EXPECT_EQ(Kp33ImprotRSA(nullptr, nullptr, 0, nullptr, 0, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(GetCapturedStdout(), "get api Kp33ImprotRSA failed");

    // The others keep working; the status comes back unchanged.
    uint32_t type = 0;
    CaptureStdout();
    EXPECT_EQ(KpGetKeyType(nullptr, &type), 0u);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(KpBeginTransaction(nullptr), 0x0BADF00Du);
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(Loader, LackingListReaders) {
    ASSERT_EQ(Func_Init(KPTEST_PARTIAL_LIBRARY), 0);
    char names[64] = {};
    uint32_t len = sizeof names, count = 0;
    CaptureStdout();
    EXPECT_EQ(KpListReaders(names, &len, &count), 0xFFFFFFFFu);
#ifdef QD_TEST_MANAGER
    EXPECT_EQ(GetCapturedStdout(), "get api KpListReaders failed,KpListReaders = 0.");
#else
    EXPECT_EQ(GetCapturedStdout(), "get api KpListReaders failed");
#endif
    EXPECT_EQ(len, sizeof names);
}

TEST_F(Loader, SecondFuncInitUnloadsTheFirstLibrary) {
    ASSERT_EQ(Func_Init(KPTEST_PARTIAL_LIBRARY), 0);
    ASSERT_TRUE(isLoaded(KPTEST_PARTIAL_LIBRARY));
    ASSERT_EQ(Func_Init(kpsim::testing::libraryPath().c_str()), 0);
    EXPECT_FALSE(isLoaded(KPTEST_PARTIAL_LIBRARY));
    EXPECT_TRUE(glb_bInited);
    uint32_t type = 0;
    EXPECT_EQ(KpGetKeyType(nullptr, &type), 0x88000002u);  // now the simulator answers
}

TEST_F(Loader, FailedSecondFuncInitLeavesNothingLoaded) {
    ASSERT_EQ(Func_Init(KPTEST_PARTIAL_LIBRARY), 0);
    CaptureStdout();
    EXPECT_EQ(Func_Init("/nonexistent/lib.so"), 1);
    GetCapturedStdout();
    EXPECT_FALSE(glb_bInited);
    EXPECT_EQ(hDylib, nullptr);
    EXPECT_FALSE(isLoaded(KPTEST_PARTIAL_LIBRARY));
}

TEST_F(Loader, EmptyOrNullPathUsesTheTokenLibraryPath) {
    ScopedEnv env("QD_TOKEN_LIBRARY", kpsim::testing::libraryPath());
    ASSERT_EQ(Func_Init(""), 0);
    EXPECT_TRUE(isLoaded(kpsim::testing::libraryPath()));
    Func_Finalize();
    EXPECT_FALSE(isLoaded(kpsim::testing::libraryPath()));
    ASSERT_EQ(Func_Init(nullptr), 0);
    EXPECT_TRUE(isLoaded(kpsim::testing::libraryPath()));
}

TEST_F(Loader, EmptyPathWithoutOverrideUsesTheFixedPath) {
    const char* fixed = "/usr/local/lib/libUSBQdvKey_20244.so";
    if (access(fixed, F_OK) == 0) GTEST_SKIP() << fixed << " exists on this machine";
    ScopedEnv env("QD_TOKEN_LIBRARY", "");  // empty counts as unset
    CaptureStdout();
    EXPECT_EQ(Func_Init(""), 1);
    EXPECT_EQ(GetCapturedStdout(),
              std::string(fixed) + ": cannot open shared object file: No such file or directory\n");
}

TEST_F(Loader, FinalizeUnloads) {
    ASSERT_EQ(Func_Init(kpsim::testing::libraryPath().c_str()), 0);
    Func_Finalize();
    EXPECT_FALSE(glb_bInited);
    EXPECT_EQ(hDylib, nullptr);
    CaptureStdout();
    EXPECT_EQ(KpGetKeyType(nullptr, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(GetCapturedStdout(), "Load dylib file Failed.\n");
    Func_Finalize();  // twice is harmless
}

}  // namespace
