// The signing plug-in's side of the plug-in frame: its content object is the
// signing service; it draws nothing and only acknowledges the events a
// browser insists on.
#include "ScriptableObject.h"
#include "plugin.h"
#include "sign/PKCS11Impl.h"

PluginContent* PluginContentCreate(nsPluginCreateData*) { return new PKCS11Impl(); }

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
