// The signing plug-in's side of the plug-in frame: its content object is the
// signing service; it draws nothing and only acknowledges the events a
// browser insists on.
#include <cstdio>
#include <new>
#include <string>

#include "ScriptableObject.h"
#include "bridge/host/origins.h"
#include "plugin.h"
#include "sign/PKCS11Impl.h"

namespace {

// Any page that loads the plug-in could list the key's certificates and ask
// the user to sign. Where the browser tells the page's origin, only the
// origins the signing bridge allows (its allow-list files) get the service;
// an opaque origin ("null") never does. A browser that does not tell leaves
// every page the service, as before.
bool pageMaySign(NPP instance) {
    char* reported = nullptr;
    if (NPN_GetValue(instance, NPNVdocumentOrigin, &reported) != NPERR_NO_ERROR || reported == nullptr)
        return true;
    const std::string origin(reported);
    NPN_MemFree(reported);
    const auto decision = bridge::AllowList().decide(origin);
    if (!decision.allowed) std::fprintf(stderr, "ombrel: %s\n", decision.detail.c_str());
    return decision.allowed;
}

}  // namespace

// A page that may not sign gets no service: every script call then answers
// no value and false, as for an instance without one.
PluginContent* PluginContentCreate(nsPluginCreateData* data) {
    try {
        return pageMaySign(data->instance) ? new PKCS11Impl() : nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void PluginContentDestroy(PluginContent* service) { delete service; }

void PluginContentSetWindow(PluginContent*, NPWindow*) {}

// The signing service keeps nothing of the browser's.
void PluginContentDetach(PluginContent*) {}

int16_t PluginContentHandleEvent(PluginContent*, NPCocoaEvent* event) {
    switch (event->type) {
    case NPCocoaEventDrawRect:
    case NPCocoaEventMouseDown:
    case NPCocoaEventMouseMoved:
    case NPCocoaEventFocusChanged:
        return 1;
    default:
        return 0;
    }
}

NPClass* PluginScriptableClass() { return &sScriptableObject_NPClass; }
