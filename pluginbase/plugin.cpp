#include "plugin.h"

#include <new>

#include "ScriptableBase.h"

nsPluginInstanceBase* NS_NewPluginInstance(nsPluginCreateData* aCreateDataStruct) {
    if (aCreateDataStruct == nullptr) return nullptr;
    return new (std::nothrow) nsPluginInstance(aCreateDataStruct);
}

void NS_DestroyPluginInstance(nsPluginInstanceBase* aPlugin) {
    delete static_cast<nsPluginInstance*>(aPlugin);
}

void NS_DetachPluginInstance(nsPluginInstanceBase* aPlugin) {
    if (aPlugin != nullptr) static_cast<nsPluginInstance*>(aPlugin)->detach();
}

NPError NS_PluginInitialize() { return NPERR_NO_ERROR; }
void NS_PluginShutdown() {}

nsPluginInstance::nsPluginInstance(nsPluginCreateData* data)
    : mInstance(data->instance), mContent(PluginContentCreate(data)) {
    ensureScriptableObject();
}

nsPluginInstance::~nsPluginInstance() {
    if (mScriptableObject != nullptr) NPN_ReleaseObject(mScriptableObject);
    // mContent goes after this body: after the object is let go of.
}

bool nsPluginInstance::init(NPWindow* aWindow) {
    mWindow = aWindow;
    mInitialized = true;
    return true;
}

void nsPluginInstance::shut() { mInitialized = false; }

void nsPluginInstance::detach() {
    mInstance = nullptr;
    mWindow = nullptr;
    // The object is ours (made with our class), and the page may keep it.
    if (mScriptableObject != nullptr)
        static_cast<ScriptablePluginObjectBase*>(mScriptableObject)->forgetInstance();
    if (mContent != nullptr) mContent->detach();
}

bool nsPluginInstance::isInitialized() { return mInitialized; }

NPError nsPluginInstance::SetWindow(NPP, NPWindow* pNPWindow) {
    mWindow = pNPWindow;
    if (mContent != nullptr) mContent->setWindow(pNPWindow);
    return NPERR_NO_ERROR;
}

int16_t nsPluginInstance::HandleEvent(NPP, void* event) {
    if (mContent == nullptr || event == nullptr) return 0;
    return mContent->handleEvent(static_cast<NPCocoaEvent*>(event));
}

NPObject* nsPluginInstance::ensureScriptableObject() {
    if (mScriptableObject == nullptr)
        mScriptableObject = NPN_CreateObject(mInstance, PluginScriptableClass());
    return mScriptableObject;
}

NPError nsPluginInstance::GetValue(NPPVariable variable, void* value) {
    if (variable != NPPVpluginScriptableNPObject) return NPERR_GENERIC_ERROR;
    NPObject* object = GetScriptableObject();
    if (value != nullptr)
        *static_cast<NPObject**>(value) = object;
    else if (object != nullptr)
        NPN_ReleaseObject(object);  // nobody to hand the reference to
    return NPERR_NO_ERROR;
}

NPObject* nsPluginInstance::GetScriptableObject() {
    NPObject* object = ensureScriptableObject();
    if (object != nullptr) NPN_RetainObject(object);
    return object;
}

PluginContent* PluginContentOf(NPP npp) {
    if (npp == nullptr || npp->pdata == nullptr) return nullptr;
    return static_cast<nsPluginInstance*>(static_cast<nsPluginInstanceBase*>(npp->pdata))->content();
}
