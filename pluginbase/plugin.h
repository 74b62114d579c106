// nsPluginInstance: the one instance class of both plug-ins. It keeps the
// browser's instance handle, the initialised flag, the last window, the
// instance's scriptable object and the plug-in's own content object (the
// password field's edit control, or the signing service), which the plug-in
// makes through the hooks below.
#pragma once

#include <memory>

#include "pluginbase.h"

// What a plug-in keeps per instance. The frame owns it: made with the
// instance, deleted with it after the scriptable object is released.
class PluginContent {
public:
    virtual ~PluginContent() = default;
    // The browser's window record for the instance (it stays the browser's).
    virtual void setWindow(NPWindow*) {}
    // The instance has ended for the browser: the instance handle and the
    // window record it was given must not be used again.
    virtual void detach() {}
    // A Cocoa event (never null): non-zero when handled.
    virtual int16_t handleEvent(NPCocoaEvent* event) = 0;
};

class nsPluginInstance final : public nsPluginInstanceBase {
public:
    explicit nsPluginInstance(nsPluginCreateData* data);
    ~nsPluginInstance();
    nsPluginInstance(const nsPluginInstance&) = delete;
    nsPluginInstance& operator=(const nsPluginInstance&) = delete;

    bool init(NPWindow* aWindow) override;
    void shut() override;
    bool isInitialized() override;
    NPError SetWindow(NPP instance, NPWindow* pNPWindow) override;
    int16_t HandleEvent(NPP instance, void* event) override;
    NPError GetValue(NPPVariable variable, void* value) override;

    // The scriptable object, made when missing and retained once for the
    // caller; null when it cannot be made.
    NPObject* GetScriptableObject();
    // The plug-in's content object (null when the plug-in made none).
    PluginContent* content() const { return mContent.get(); }
    // Null once NPP_Destroy has come (the browser frees the handle).
    NPP instance() const { return mInstance; }
    // Lets go of the browser's handle and window record, here, in the
    // scriptable object and in the content.
    void detach();

private:
    NPObject* ensureScriptableObject();

    NPP mInstance;
    bool mInitialized = false;
    NPWindow* mWindow = nullptr;
    NPObject* mScriptableObject = nullptr;
    std::unique_ptr<PluginContent> mContent;
};

// Hooks each plug-in implements, found when the plug-in is linked.
// The instance's content; null leaves the instance without one, and its
// script calls then answer no value and false.
std::unique_ptr<PluginContent> PluginContentCreate(nsPluginCreateData* data);
// The class record of the plug-in's scriptable object.
NPClass* PluginScriptableClass();

// The content object behind a script object's instance handle, or null when
// the instance or its content is missing.
PluginContent* PluginContentOf(NPP npp);
