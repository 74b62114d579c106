// nsPluginInstance: the one instance class of a plug-in. It keeps the
// browser's instance handle, the initialised flag, the last window, the
// instance's scriptable object and the plug-in's own content object (the
// password field's edit control, or the signing service), which the plug-in
// supplies through the hooks below.
#pragma once

#include "pluginbase.h"
#include "pluginconfig.h"

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
    // The plug-in's content object (null when it could not be made).
    PluginContent* PLUGIN_CONTENT_GETTER() const { return mContent; }
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
    PluginContent* mContent = nullptr;
};

// Hooks each plug-in implements for its content object and script class.
PluginContent* PluginContentCreate(nsPluginCreateData* data);
void PluginContentDestroy(PluginContent* content);
void PluginContentSetWindow(PluginContent* content, NPWindow* window);
// The instance has ended for the browser: the content must not use the
// instance handle or the window record it was given again.
void PluginContentDetach(PluginContent* content);
// The result of a Cocoa event: non-zero when handled.
int16_t PluginContentHandleEvent(PluginContent* content, NPCocoaEvent* event);
NPClass* PluginScriptableClass();

// The content object behind a script object's instance handle, or null when
// the instance or its content is missing.
PluginContent* PluginContentOf(NPP npp);
