// The plug-in frame as a browser meets it: the built plug-in library loaded
// by path, its entry points, negotiation, gates and scriptable object.
// PLUGIN_PATH comes from the build, one test binary per plug-in; what the
// plug-in should answer, from its identity record linked in.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "identity.h"
#include "sim/browser/npbrowser.h"

namespace {

using npbrowser::Answer;
using npbrowser::Browser;
using npbrowser::Settings;

std::unique_ptr<Browser> loaded(Settings settings = {}) {
    auto b = std::make_unique<Browser>(settings);
    std::string error;
    EXPECT_TRUE(b->load(PLUGIN_PATH, &error)) << error;
    return b;
}

std::string mimeType() { return kPluginIdentity.mimeType; }

TEST(Entry, InitializeAndGetEntryPointsCheckTheirTables) {
    void* lib = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto init = reinterpret_cast<NP_InitializeFunc>(dlsym(lib, "NP_Initialize"));
    auto entry = reinterpret_cast<NP_GetEntryPointsFunc>(dlsym(lib, "NP_GetEntryPoints"));
    auto value = reinterpret_cast<NP_GetValueFunc>(dlsym(lib, "NP_GetValue"));
    auto shutdown = reinterpret_cast<NP_ShutdownFunc>(dlsym(lib, "NP_Shutdown"));
    ASSERT_TRUE(init && entry && value && shutdown);

    EXPECT_EQ(init(nullptr, nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
    EXPECT_EQ(entry(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
    NPNetscapeFuncs browser{};
    browser.size = sizeof browser;
    browser.version = 0x0100 | 27;  // a browser of major version 1
    EXPECT_EQ(init(&browser, nullptr), NPERR_INCOMPATIBLE_VERSION_ERROR);
    browser.version = 27;
    EXPECT_EQ(init(&browser, nullptr), NPERR_NO_ERROR);

    NPPluginFuncs funcs;
    std::memset(&funcs, 0xAB, sizeof funcs);
    funcs.size = 1234;
    void* const javaClass = funcs.javaClass;
    EXPECT_EQ(entry(&funcs), NPERR_NO_ERROR);
    EXPECT_EQ(funcs.version, kPluginIdentity.apiMinor);
    EXPECT_EQ(funcs.size, 1234);  // left as the browser filled it
    EXPECT_EQ(funcs.javaClass, javaClass);
    for (void* p : {(void*)funcs.newp, (void*)funcs.destroy, (void*)funcs.setwindow, (void*)funcs.newstream,
                    (void*)funcs.destroystream, (void*)funcs.asfile, (void*)funcs.writeready,
                    (void*)funcs.write, (void*)funcs.print, (void*)funcs.event, (void*)funcs.urlnotify,
                    (void*)funcs.getvalue, (void*)funcs.setvalue})
        EXPECT_NE(p, reinterpret_cast<void*>(0xABABABABABABABABull));

    // Plug-in values without an instance.
    const char* name = nullptr;
    EXPECT_EQ(value(nullptr, NPPVpluginNameString, nullptr), NPERR_INVALID_PARAM);
    EXPECT_EQ(value(nullptr, NPPVpluginNameString, &name), NPERR_NO_ERROR);
    EXPECT_STREQ(name, kPluginIdentity.name);
    const char* description = "untouched";
    EXPECT_EQ(value(nullptr, NPPVpluginDescriptionString, &description), NPERR_NO_ERROR);
    EXPECT_STREQ(description, "untouched");
    NPBool xembed = 7;
    EXPECT_EQ(value(nullptr, NPPVpluginNeedsXEmbed, &xembed), NPERR_NO_ERROR);
    EXPECT_EQ(xembed, kPluginIdentity.needsXEmbed ? 1 : 7);
    EXPECT_EQ(value(nullptr, NPPVpluginScriptableNPObject, &name), NPERR_INVALID_PARAM);
    EXPECT_EQ(shutdown(), NPERR_NO_ERROR);

    using MimeFn = const char* (*)();
    auto mime = reinterpret_cast<MimeFn>(dlsym(lib, "_Z22NPP_GetMIMEDescriptionv"));
    ASSERT_NE(mime, nullptr);
    EXPECT_STREQ(mime(), kPluginIdentity.mimeDescription);
    dlclose(lib);
}

TEST(Entry, NegotiationRefusesBrowsersWithoutTheModels) {
    struct Row {
        Answer coreGraphics, cocoa;
        NPError result;
        const char* line;
        int cocoaAsked;
    } rows[] = {
        {Answer::No, Answer::Yes, NPERR_INCOMPATIBLE_VERSION_ERROR, "no supportsCoreGraphics\n", 0},
        {Answer::CallFails, Answer::Yes, NPERR_INCOMPATIBLE_VERSION_ERROR, "no supportsCoreGraphics\n", 0},
        {Answer::Yes, Answer::No, NPERR_INCOMPATIBLE_VERSION_ERROR, "no supportsCocoa\n", 1},
        {Answer::Yes, Answer::CallFails, NPERR_INCOMPATIBLE_VERSION_ERROR, "no supportsCocoa\n", 1},
        {Answer::Yes, Answer::Yes, NPERR_NO_ERROR, "", 1},
    };
    for (const auto& row : rows) {
        Settings s;
        s.coreGraphics = row.coreGraphics;
        s.cocoa = row.cocoa;
        auto b = loaded(s);
        NPError rc = -1;
        ::testing::internal::CaptureStdout();
        auto in = b->newInstance(mimeType(), {{"width", "100"}, {"height", "20"}}, &rc);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.line);
        EXPECT_EQ(rc, row.result);
        EXPECT_EQ(in != nullptr, row.result == NPERR_NO_ERROR);
        EXPECT_EQ(b->questions(NPNVsupportsCocoaBool), row.cocoaAsked);
        if (in) {
            EXPECT_EQ(in->drawingModel(), NPDrawingModelCoreGraphics);
            EXPECT_EQ(in->eventModel(), NPEventModelCocoa);
        }
    }
}

TEST(Gates, CallsWithoutAnInstanceOrObjectNeverReachThePlugIn) {
    auto b = loaded();
    const NPPluginFuncs& f = b->pluginFuncs();
    NPP_t empty{};  // an instance without an object
    NPWindow window{};
    NPStream stream{};
    uint16_t stype = 0;
    void* value = nullptr;
    EXPECT_EQ(f.newp(nullptr, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.destroy(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.destroy(&empty, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(f.setwindow(nullptr, &window), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.setwindow(&empty, nullptr), NPERR_GENERIC_ERROR);
    EXPECT_EQ(f.setwindow(&empty, &window), NPERR_GENERIC_ERROR);
    EXPECT_EQ(f.newstream(nullptr, nullptr, &stream, 0, &stype), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.newstream(&empty, nullptr, &stream, 0, &stype), NPERR_GENERIC_ERROR);
    EXPECT_EQ(f.destroystream(nullptr, &stream, NPRES_DONE), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.destroystream(&empty, &stream, NPRES_DONE), NPERR_GENERIC_ERROR);
    EXPECT_EQ(f.writeready(nullptr, &stream), 0x0FFFFFFF);
    EXPECT_EQ(f.write(&empty, &stream, 0, 77, nullptr), 77);
    EXPECT_EQ(f.event(&empty, nullptr), 0);
    EXPECT_EQ(f.getvalue(nullptr, NPPVpluginNameString, &value), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.getvalue(&empty, NPPVpluginNameString, &value), NPERR_GENERIC_ERROR);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(f.setvalue(nullptr, NPNVprivateModeBool, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.setvalue(&empty, NPNVprivateModeBool, nullptr), NPERR_GENERIC_ERROR);
    f.asfile(&empty, &stream, "x");
    f.print(&empty, nullptr);
    f.urlnotify(&empty, "x", NPRES_DONE, nullptr);
}

TEST(Gates, InstanceAnswersItsNameAndStreamsByTheBaseRules) {
    auto b = loaded();
    auto in = b->newInstance(mimeType(), {{"width", "100"}, {"height", "20"}}, nullptr);
    ASSERT_NE(in, nullptr);
    const NPPluginFuncs& f = b->pluginFuncs();
    const char* name = nullptr;
    EXPECT_EQ(f.getvalue(in->npp(), NPPVpluginNameString, &name), NPERR_GENERIC_ERROR);
    EXPECT_STREQ(name, kPluginIdentity.name);  // stored, although the instance answers 1
    name = nullptr;
    EXPECT_EQ(f.getvalue(in->npp(), NPPVpluginDescriptionString, &name), NPERR_GENERIC_ERROR);
    EXPECT_STREQ(name, kPluginIdentity.name);
    NPBool xembed = 7;
    EXPECT_EQ(f.getvalue(in->npp(), NPPVpluginNeedsXEmbed, &xembed), NPERR_GENERIC_ERROR);
    EXPECT_EQ(xembed, kPluginIdentity.needsXEmbed ? 1 : 7);

    NPStream stream{};
    uint16_t stype = 0;
    EXPECT_EQ(f.newstream(in->npp(), nullptr, &stream, 0, &stype), NPERR_NO_ERROR);
    EXPECT_EQ(f.destroystream(in->npp(), &stream, NPRES_DONE), NPERR_NO_ERROR);
    EXPECT_EQ(f.writeready(in->npp(), &stream), 0x0FFFFFFF);
    EXPECT_EQ(f.write(in->npp(), &stream, 0, 99, nullptr), 99);
    EXPECT_EQ(f.setvalue(in->npp(), NPNVprivateModeBool, nullptr), NPERR_NO_ERROR);

    // The window: a record without a native window is passed on; the first
    // with one initialises the instance.
    NPWindow noNative{};
    EXPECT_EQ(in->setWindowRecord(&noNative), NPERR_NO_ERROR);
    EXPECT_EQ(in->setWindow(100, 20), NPERR_NO_ERROR);
    EXPECT_EQ(f.destroy(in->npp(), nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(in->npp()->pdata, nullptr);
}

TEST(Scriptable, OneObjectRetainedOncePerRequestAndFreedWithTheInstance) {
    auto b = loaded();
    const long created = npbrowser::ledger().objectsCreated;
    auto in = b->newInstance(mimeType(), {{"width", "100"}, {"height", "20"}}, nullptr);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(npbrowser::ledger().objectsCreated, created + 1);  // made with the instance
    NPObject* first = in->scriptableObject();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->referenceCount, 2u);  // the instance's and ours
    NPObject* second = in->scriptableObject();
    EXPECT_EQ(second, first);
    EXPECT_EQ(first->referenceCount, 3u);
    EXPECT_EQ(first->_class->structVersion, 3u);
    EXPECT_NE(first->_class->allocate, nullptr);

    // Getting the object with nowhere to put it leaves no reference behind.
    EXPECT_EQ(b->pluginFuncs().getvalue(in->npp(), NPPVpluginScriptableNPObject, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(first->referenceCount, 3u);

    in->destroy();
    EXPECT_EQ(first->referenceCount, 2u);  // the instance let go of its own
    EXPECT_TRUE(npbrowser::isLiveObject(first));
    in.reset();  // the host releases its two
    EXPECT_FALSE(npbrowser::isLiveObject(first));
    EXPECT_EQ(npbrowser::ledger().memAllocated, 0);
}

TEST(Scriptable, ScriptCallsAfterTheInstanceEndedFailCleanly) {
    auto b = loaded();
    auto in = b->newInstance(mimeType(), {{"width", "100"}, {"height", "20"}}, nullptr);
    ASSERT_NE(in, nullptr);
    NPObject* object = in->scriptableObject();
    ASSERT_NE(object, nullptr);
    in->destroy();  // the page still holds the object
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    NPIdentifier version = b->browserFuncs().getstringidentifier("getVersion");
    EXPECT_FALSE(object->_class->invoke(object, version, nullptr, 0, &result));
    EXPECT_EQ(result.type, NPVariantType_Void);
    EXPECT_FALSE(object->_class->getProperty(object, version, &result));
    NPVariant value;
    INT32_TO_NPVARIANT(3, value);
    EXPECT_FALSE(object->_class->setProperty(object, version, &value));
    // A browser that hands no object gets a failed call, not a crash.
    EXPECT_FALSE(object->_class->invoke(nullptr, version, nullptr, 0, &result));
    EXPECT_FALSE(object->_class->invokeDefault(nullptr, nullptr, 0, &result));
    EXPECT_FALSE(object->_class->getProperty(nullptr, version, &result));
    EXPECT_FALSE(object->_class->setProperty(nullptr, version, &value));
}

}  // namespace
