// The frame's browser-side wrappers, linked into the test with a plug-in's
// objects: version gates, the reported version and a browser table shorter
// than ours.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>

#include "identity.h"
#include "np_entry.h"
#include "pluginbase.h"
#include "sim/browser/npbrowser.h"

namespace {

std::unique_ptr<npbrowser::Browser> attached(npbrowser::Settings s) {
    auto b = std::make_unique<npbrowser::Browser>(s);
    std::string error;
    EXPECT_TRUE(b->attach(NP_Initialize, NP_GetEntryPoints, NP_Shutdown, NP_GetValue, &error)) << error;
    return b;
}

TEST(VersionGates, StreamsNeedMinorEightAndNotificationsNine) {
    struct Row {
        uint16_t minor;
        bool streams, notifications;
    } rows[] = {{7, false, false}, {8, true, false}, {9, true, true}, {27, true, true}};
    for (const auto& row : rows) {
        npbrowser::Settings s;
        s.version = row.minor;
        auto b = attached(s);
        NPStream* stream = nullptr;
        char buffer[4] = {};
        EXPECT_EQ(NPN_Write(nullptr, nullptr, 4, buffer), row.streams ? 4 : -1) << row.minor;
        const NPError streamRefused = row.streams ? NPERR_GENERIC_ERROR : NPERR_INCOMPATIBLE_VERSION_ERROR;
        EXPECT_EQ(NPN_NewStream(nullptr, nullptr, "_blank", &stream), streamRefused) << row.minor;
        EXPECT_EQ(NPN_DestroyStream(nullptr, nullptr, NPRES_DONE),
                  row.streams ? NPERR_NO_ERROR : NPERR_INCOMPATIBLE_VERSION_ERROR);
        const NPError notifyRefused =
            row.notifications ? NPERR_GENERIC_ERROR : NPERR_INCOMPATIBLE_VERSION_ERROR;
        EXPECT_EQ(NPN_GetURLNotify(nullptr, "about:blank", nullptr, nullptr), notifyRefused) << row.minor;
        EXPECT_EQ(NPN_PostURLNotify(nullptr, "about:blank", nullptr, 0, "", 0, nullptr),
                  row.notifications ? NPERR_GENERIC_ERROR : NPERR_INCOMPATIBLE_VERSION_ERROR);
        // A refused call never reaches the browser.
        EXPECT_EQ(b->calls("write"), row.streams ? 1 : 0);
        EXPECT_EQ(b->calls("newstream"), row.streams ? 1 : 0);
        EXPECT_EQ(b->calls("destroystream"), row.streams ? 1 : 0);
        EXPECT_EQ(b->calls("geturlnotify"), row.notifications ? 1 : 0);
        // Calls without a gate always reach it.
        EXPECT_EQ(NPN_GetURL(nullptr, "about:blank", nullptr), NPERR_GENERIC_ERROR);
        EXPECT_EQ(b->calls("geturl"), 1);
    }
}

TEST(VersionGates, VersionReportsThePluginsMinorAndTheBrowsers) {
    npbrowser::Settings s;
    s.version = 19;
    auto b = attached(s);
    int pluginMajor = -1, pluginMinor = -1, browserMajor = -1, browserMinor = -1;
    NPN_Version(&pluginMajor, &pluginMinor, &browserMajor, &browserMinor);
    EXPECT_EQ(pluginMajor, 0);
    EXPECT_EQ(pluginMinor, kPluginIdentity.apiMinor);
    EXPECT_EQ(browserMajor, 0);
    EXPECT_EQ(browserMinor, 19);
}

TEST(ScriptCalls, WrappersReachThePagesObjectsAndReportTheirAnswers) {
    auto b = attached({});
    auto page = b->newInstance("x", {}, nullptr);
    ASSERT_NE(page, nullptr);
    int calls = 0;
    NPObject* function = page->newListener("f", [&] { ++calls; });
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    NPVariant arg;
    INT32_TO_NPVARIANT(7, arg);
    EXPECT_TRUE(NPN_InvokeDefault(page->npp(), function, &arg, 1, &result));
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(page->listenerCalls().size(), 1u);
    EXPECT_EQ(page->listenerCalls()[0].args[0].describe(), "7");
    // The host's function object has no methods or properties: the wrappers
    // pass the refusal on instead of reporting success.
    NPIdentifier name = NPN_GetStringIdentifier("call");
    EXPECT_FALSE(NPN_Invoke(page->npp(), function, name, &arg, 1, &result));
    EXPECT_FALSE(NPN_GetProperty(page->npp(), function, name, &result));
    EXPECT_EQ(calls, 1);
    char* text = NPN_UTF8FromIdentifier(name);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "call");
    NPN_MemFree(text);
    EXPECT_EQ(NPN_RetainObject(function), function);
    EXPECT_EQ(function->referenceCount, 2u);
    NPN_ReleaseObject(function);
    EXPECT_EQ(function->referenceCount, 1u);
}

TEST(BrowserTable, OnlyWhatTheBrowsersTableHoldsIsCopiedAndJavaNever) {
    npbrowser::Settings s;
    s.tableSize = offsetof(NPNetscapeFuncs, memfree) + sizeof(void*);  // up to memfree, whole entries only
    auto b = attached(s);
    EXPECT_NE(NPNFuncs.memalloc, nullptr);
    EXPECT_NE(NPNFuncs.memfree, nullptr);
    EXPECT_EQ(NPNFuncs.memflush, nullptr);
    EXPECT_EQ(NPNFuncs.getvalue, nullptr);
    EXPECT_EQ(NPNFuncs.size, s.tableSize);
    // Missing entries answer as failures instead of calling through null.
    NPBool yes = 1;
    EXPECT_EQ(NPN_GetValue(nullptr, NPNVsupportsCocoaBool, &yes), NPERR_GENERIC_ERROR);
    NPRect r{};
    NPN_InvalidateRect(nullptr, &r);
    EXPECT_EQ(NPN_CreateObject(nullptr, nullptr), nullptr);
    EXPECT_EQ(b->calls("invalidaterect"), 0);
    // A browser without the negotiation answers gets no instance.
    NPError rc = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(b->newInstance("x", {}, &rc), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "no supportsCoreGraphics\n");
    EXPECT_EQ(rc, NPERR_INCOMPATIBLE_VERSION_ERROR);

    npbrowser::Settings full;
    b.reset();
    b = attached(full);
    EXPECT_EQ(NPNFuncs.getJavaEnv, nullptr);
    EXPECT_EQ(NPNFuncs.getJavaPeer, nullptr);
    EXPECT_NE(NPNFuncs.setexception, nullptr);
}

}  // namespace
