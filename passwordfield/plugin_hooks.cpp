// The password field's side of the plug-in frame: its content object is the
// edit control, which also gets the window, and every Cocoa event goes to it.
#include "CPluginImplement.h"
#include "ScriptablePluginObject.h"
#include "plugin.h"

PluginContent* PluginContentCreate(nsPluginCreateData* data) { return new CPluginImplement(data); }

void PluginContentDestroy(PluginContent* content) { delete content; }

void PluginContentSetWindow(PluginContent* content, NPWindow* window) { content->setWindow(window); }

void PluginContentDetach(PluginContent* content) { content->detach(); }

int16_t PluginContentHandleEvent(PluginContent* field, NPCocoaEvent* event) {
    switch (event->type) {
    case NPCocoaEventDrawRect:
        field->handleDraw(event);
        return 1;
    case NPCocoaEventMouseDown:
        field->handleMouseDown(event);
        return 1;
    case NPCocoaEventMouseMoved:
        field->handleMouseMoved(event);
        return 1;
    case NPCocoaEventKeyDown:
        return field->handleTextFieldKeyDown(event);
    case NPCocoaEventFocusChanged:
        field->handleFocusChanged(event);
        return 1;
    default:
        return 0;
    }
}

NPClass* PluginScriptableClass() { return &sScriptablePluginObject_NPClass; }
