// NPN_ wrappers over the copied browser table, with the version gates the
// frame keeps: stream output needs minor version 8, notifications 9.
#include "identity.h"
#include "pluginbase.h"

namespace {

constexpr int kHasStreamOutput = 8;
constexpr int kHasNotification = 9;

int browserMinor() { return NPNFuncs.version & 0xFF; }

}  // namespace

void NPN_Version(int* plugin_major, int* plugin_minor, int* netscape_major, int* netscape_minor) {
    if (plugin_major != nullptr) *plugin_major = NP_VERSION_MAJOR;
    if (plugin_minor != nullptr) *plugin_minor = kPluginIdentity.apiMinor;
    if (netscape_major != nullptr) *netscape_major = NPNFuncs.version >> 8;
    if (netscape_minor != nullptr) *netscape_minor = NPNFuncs.version & 0xFF;
}

NPError NPN_GetURL(NPP instance, const char* url, const char* target) {
    if (NPNFuncs.geturl == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.geturl(instance, url, target);
}

NPError NPN_GetURLNotify(NPP instance, const char* url, const char* target, void* notifyData) {
    if (browserMinor() < kHasNotification) return NPERR_INCOMPATIBLE_VERSION_ERROR;
    if (NPNFuncs.geturlnotify == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.geturlnotify(instance, url, target, notifyData);
}

NPError NPN_PostURL(NPP instance, const char* url, const char* window, uint32_t len, const char* buf,
                    NPBool file) {
    if (NPNFuncs.posturl == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.posturl(instance, url, window, len, buf, file);
}

NPError NPN_PostURLNotify(NPP instance, const char* url, const char* window, uint32_t len, const char* buf,
                          NPBool file, void* notifyData) {
    if (browserMinor() < kHasNotification) return NPERR_INCOMPATIBLE_VERSION_ERROR;
    if (NPNFuncs.posturlnotify == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.posturlnotify(instance, url, window, len, buf, file, notifyData);
}

NPError NPN_RequestRead(NPStream* stream, NPByteRange* rangeList) {
    if (NPNFuncs.requestread == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.requestread(stream, rangeList);
}

NPError NPN_NewStream(NPP instance, NPMIMEType type, const char* target, NPStream** stream) {
    if (browserMinor() < kHasStreamOutput) return NPERR_INCOMPATIBLE_VERSION_ERROR;
    if (NPNFuncs.newstream == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.newstream(instance, type, target, stream);
}

int32_t NPN_Write(NPP instance, NPStream* stream, int32_t len, void* buffer) {
    if (browserMinor() < kHasStreamOutput || NPNFuncs.write == nullptr) return -1;
    return NPNFuncs.write(instance, stream, len, buffer);
}

NPError NPN_DestroyStream(NPP instance, NPStream* stream, NPError reason) {
    if (browserMinor() < kHasStreamOutput) return NPERR_INCOMPATIBLE_VERSION_ERROR;
    if (NPNFuncs.destroystream == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.destroystream(instance, stream, reason);
}

void NPN_Status(NPP instance, const char* message) {
    if (NPNFuncs.status != nullptr) NPNFuncs.status(instance, message);
}

const char* NPN_UserAgent(NPP instance) {
    return NPNFuncs.uagent == nullptr ? nullptr : NPNFuncs.uagent(instance);
}

void* NPN_MemAlloc(uint32_t size) { return NPNFuncs.memalloc == nullptr ? nullptr : NPNFuncs.memalloc(size); }

void NPN_MemFree(void* ptr) {
    if (NPNFuncs.memfree != nullptr) NPNFuncs.memfree(ptr);
}

uint32_t NPN_MemFlush(uint32_t size) { return NPNFuncs.memflush == nullptr ? 0 : NPNFuncs.memflush(size); }

void NPN_ReloadPlugins(NPBool reloadPages) {
    if (NPNFuncs.reloadplugins != nullptr) NPNFuncs.reloadplugins(reloadPages);
}

NPError NPN_GetValue(NPP instance, NPNVariable variable, void* value) {
    if (NPNFuncs.getvalue == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.getvalue(instance, variable, value);
}

NPError NPN_SetValue(NPP instance, NPPVariable variable, void* value) {
    if (NPNFuncs.setvalue == nullptr) return NPERR_GENERIC_ERROR;
    return NPNFuncs.setvalue(instance, variable, value);
}

void NPN_InvalidateRect(NPP instance, NPRect* invalidRect) {
    if (NPNFuncs.invalidaterect != nullptr) NPNFuncs.invalidaterect(instance, invalidRect);
}

void NPN_InvalidateRegion(NPP instance, NPRegion invalidRegion) {
    if (NPNFuncs.invalidateregion != nullptr) NPNFuncs.invalidateregion(instance, invalidRegion);
}

void NPN_ForceRedraw(NPP instance) {
    if (NPNFuncs.forceredraw != nullptr) NPNFuncs.forceredraw(instance);
}

void NPN_ReleaseVariantValue(NPVariant* variant) {
    if (NPNFuncs.releasevariantvalue != nullptr) NPNFuncs.releasevariantvalue(variant);
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name) {
    return NPNFuncs.getstringidentifier == nullptr ? nullptr : NPNFuncs.getstringidentifier(name);
}

void NPN_GetStringIdentifiers(const NPUTF8** names, int32_t nameCount, NPIdentifier* identifiers) {
    if (NPNFuncs.getstringidentifiers != nullptr) {
        NPNFuncs.getstringidentifiers(names, nameCount, identifiers);
        return;
    }
    // Without the browser's service no identifier can match a call.
    for (int32_t i = 0; i < nameCount; ++i) identifiers[i] = nullptr;
}

NPObject* NPN_CreateObject(NPP npp, NPClass* aClass) {
    return NPNFuncs.createobject == nullptr ? nullptr : NPNFuncs.createobject(npp, aClass);
}

void NPN_ReleaseObject(NPObject* obj) {
    if (NPNFuncs.releaseobject != nullptr) NPNFuncs.releaseobject(obj);
}

NPObject* NPN_RetainObject(NPObject* obj) {
    return NPNFuncs.retainobject == nullptr ? obj : NPNFuncs.retainobject(obj);
}

bool NPN_GetProperty(NPP npp, NPObject* obj, NPIdentifier propertyName, NPVariant* result) {
    return NPNFuncs.getproperty != nullptr && NPNFuncs.getproperty(npp, obj, propertyName, result);
}

bool NPN_Invoke(NPP npp, NPObject* obj, NPIdentifier methodName, const NPVariant* args, uint32_t argCount,
                NPVariant* result) {
    return NPNFuncs.invoke != nullptr && NPNFuncs.invoke(npp, obj, methodName, args, argCount, result);
}

bool NPN_InvokeDefault(NPP npp, NPObject* obj, const NPVariant* args, uint32_t argCount, NPVariant* result) {
    return NPNFuncs.invokeDefault != nullptr && NPNFuncs.invokeDefault(npp, obj, args, argCount, result);
}

NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier) {
    return NPNFuncs.utf8fromidentifier == nullptr ? nullptr : NPNFuncs.utf8fromidentifier(identifier);
}
