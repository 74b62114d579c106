// The plug-in library's entry points: the browser's table is copied once,
// the plug-in's table is filled with the NPP_ gate.
#include "np_entry.h"

#include <cstddef>
#include <cstring>

#include "identity.h"
#include "npp_gate.h"
#include "pluginbase.h"

#define NP_EXPORT(type) extern "C" __attribute__((visibility("default"))) type

NPNetscapeFuncs NPNFuncs;

namespace {

// Copies the entries from geturl through setexception, as far as the
// browser's own table reaches (its size field); what it lacks stays null, and
// the wrappers answer a failure for it. The two Java entries are never kept.
void copyBrowserTable(const NPNetscapeFuncs* from) {
    std::memset(&NPNFuncs, 0, sizeof NPNFuncs);
    const size_t copyEnd = offsetof(NPNetscapeFuncs, setexception) + sizeof NPNFuncs.setexception;
    const size_t firstEntry = offsetof(NPNetscapeFuncs, geturl);
    size_t available = from->size;
    if (available > copyEnd) available = copyEnd;
    if (available > firstEntry) {
        // Whole entries only.
        const size_t entries = (available - firstEntry) / sizeof(void*);
        std::memcpy(reinterpret_cast<char*>(&NPNFuncs) + firstEntry,
                    reinterpret_cast<const char*>(from) + firstEntry, entries * sizeof(void*));
    }
    NPNFuncs.size = from->size;
    NPNFuncs.version = from->version;
    NPNFuncs.getJavaEnv = nullptr;
    NPNFuncs.getJavaPeer = nullptr;
}

}  // namespace

// The Linux form passes the plug-in's table too; it is ignored, since the
// browser also calls NP_GetEntryPoints.
NP_EXPORT(NPError) NP_Initialize(NPNetscapeFuncs* pFuncs, NPPluginFuncs* /*ignored*/) {
    if (pFuncs == nullptr) return NPERR_INVALID_FUNCTABLE_ERROR;
    if ((pFuncs->version >> 8) > NP_VERSION_MAJOR) return NPERR_INCOMPATIBLE_VERSION_ERROR;
    copyBrowserTable(pFuncs);
    return NS_PluginInitialize();
}

NP_EXPORT(NPError) NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
    if (pFuncs == nullptr) return NPERR_INVALID_FUNCTABLE_ERROR;
    // size and javaClass stay as the browser filled them.
    pFuncs->version = static_cast<uint16_t>((NP_VERSION_MAJOR << 8) | kPluginIdentity.apiMinor);
    pFuncs->newp = NPP_New;
    pFuncs->destroy = NPP_Destroy;
    pFuncs->setwindow = NPP_SetWindow;
    pFuncs->newstream = NPP_NewStream;
    pFuncs->destroystream = NPP_DestroyStream;
    pFuncs->asfile = NPP_StreamAsFile;
    pFuncs->writeready = NPP_WriteReady;
    pFuncs->write = NPP_Write;
    pFuncs->print = NPP_Print;
    pFuncs->event = NPP_HandleEvent;
    pFuncs->urlnotify = NPP_URLNotify;
    pFuncs->getvalue = NPP_GetValue;
    pFuncs->setvalue = NPP_SetValue;
    return NPERR_NO_ERROR;
}

NP_EXPORT(NPError) NP_Shutdown() {
    NS_PluginShutdown();
    return NPERR_NO_ERROR;
}

NP_EXPORT(NPError) NP_GetValue(void* /*future*/, NPPVariable variable, void* value) {
    if (value == nullptr) return NPERR_INVALID_PARAM;
    switch (variable) {
        case NPPVpluginNameString:
            *static_cast<const char**>(value) = kPluginIdentity.name;
            return NPERR_NO_ERROR;
        case NPPVpluginDescriptionString:
            return NPERR_NO_ERROR;
        case NPPVpluginNeedsXEmbed:
            if (kPluginIdentity.needsXEmbed) *static_cast<NPBool*>(value) = 1;
            return NPERR_NO_ERROR;
        default:
            return NPERR_INVALID_PARAM;
    }
}

// Mangled on purpose: browsers look this one up as a C++ symbol.
__attribute__((visibility("default"))) const char* NPP_GetMIMEDescription() {
    return kPluginIdentity.mimeDescription;
}
