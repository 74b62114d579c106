// The password field's side of the plug-in frame: its content object is the
// edit control, which also gets the window, and every Cocoa event goes to it.
#include "plugin_hooks.h"

#include <memory>

#include "CPluginImplement.h"
#include "ScriptablePluginObject.h"
#include "plugin.h"

namespace {

class FieldContent final : public PluginContent {
public:
    explicit FieldContent(nsPluginCreateData* data) : field(data) {}

    void setWindow(NPWindow* window) override { field.setWindow(window); }
    void detach() override { field.detach(); }

    int16_t handleEvent(NPCocoaEvent* event) override {
        switch (event->type) {
            case NPCocoaEventDrawRect:
                field.handleDraw(event);
                return 1;
            case NPCocoaEventMouseDown:
                field.handleMouseDown(event);
                return 1;
            case NPCocoaEventMouseMoved:
                field.handleMouseMoved(event);
                return 1;
            case NPCocoaEventKeyDown:
                return field.handleTextFieldKeyDown(event);
            case NPCocoaEventFocusChanged:
                field.handleFocusChanged(event);
                return 1;
            default:
                return 0;
        }
    }

    CPluginImplement field;
};

}  // namespace

std::unique_ptr<PluginContent> PluginContentCreate(nsPluginCreateData* data) {
    return std::make_unique<FieldContent>(data);
}

NPClass* PluginScriptableClass() { return &sScriptablePluginObject_NPClass; }

CPluginImplement* GetImplement(NPP npp) {
    auto* content = static_cast<FieldContent*>(PluginContentOf(npp));
    return content == nullptr ? nullptr : &content->field;
}
