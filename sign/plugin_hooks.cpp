// The signing plug-in's side of the plug-in frame: its content object is the
// signing service; it draws nothing and only acknowledges the events a
// browser insists on.
#include "plugin_hooks.h"

#include <cstdio>
#include <memory>
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

class SigningContent final : public PluginContent {
public:
    int16_t handleEvent(NPCocoaEvent* event) override {
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
    // It keeps nothing of the browser's: no window, nothing to detach.

    PKCS11Impl service;
};

}  // namespace

// A page that may not sign gets no service: every script call then answers
// no value and false, as for an instance without one.
std::unique_ptr<PluginContent> PluginContentCreate(nsPluginCreateData* data) {
    try {
        return pageMaySign(data->instance) ? std::make_unique<SigningContent>() : nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

NPClass* PluginScriptableClass() { return &sScriptableObject_NPClass; }

PKCS11Impl* GetService(NPP npp) {
    auto* content = static_cast<SigningContent*>(PluginContentOf(npp));
    return content == nullptr ? nullptr : &content->service;
}
