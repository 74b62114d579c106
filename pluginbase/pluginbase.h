// The browser plug-in frame shared by both plug-ins: the instance interface
// that the NPP_ gate drives, the record an instance is created from, and the
// frame's hooks into the plug-in. Compiled once; each plug-in brings its
// identity record (identity.h) and its content (plugin.h) when it is linked.
//
// Threads: the browser calls everything on its plug-in thread, one call at a
// time; nothing here locks.
#pragma once

#include "npapi/npfunctions.h"

// What NPP_New hands to the instance factory, fields in this order.
struct nsPluginCreateData {
    NPP instance;
    NPMIMEType type;
    uint16_t mode;
    int16_t argc;
    char** argn;
    char** argv;
    NPSavedData* saved;
};

// Abstract instance. The slot order of the virtual operations is fixed; there
// is deliberately no virtual destructor: instances are destroyed through their
// concrete type.
class nsPluginInstanceBase {
public:
    virtual bool init(NPWindow* aWindow) = 0;
    virtual void shut() = 0;
    virtual bool isInitialized() = 0;
    virtual NPError SetWindow(NPP instance, NPWindow* pNPWindow) = 0;
    virtual NPError NewStream(NPMIMEType type, NPStream* stream, NPBool seekable, uint16_t* stype);
    virtual NPError DestroyStream(NPStream* stream, NPReason reason);
    virtual void StreamAsFile(NPStream* stream, const char* fname);
    virtual int32_t WriteReady(NPStream* stream);
    virtual int32_t Write(NPStream* stream, int32_t offset, int32_t len, void* buffer);
    virtual void Print(NPPrint* printInfo);
    virtual int16_t HandleEvent(NPP instance, void* event) = 0;
    virtual void URLNotify(const char* url, NPReason reason, void* notifyData);
    virtual NPError GetValue(NPPVariable variable, void* value) = 0;
    virtual NPError SetValue(NPNVariable variable, void* value);

protected:
    ~nsPluginInstanceBase() = default;

private:
    // How long the instance lives (InstanceHold, NS_RetirePluginInstance).
    friend class InstanceHold;
    friend void NS_RetirePluginInstance(nsPluginInstanceBase* aPlugin);
    unsigned mHolds = 0;
    bool mRetired = false;
};

// Implemented once per plug-in by the frame's plugin.cpp.
nsPluginInstanceBase* NS_NewPluginInstance(nsPluginCreateData* aCreateDataStruct);
void NS_DestroyPluginInstance(nsPluginInstanceBase* aPlugin);
// The instance lets go of everything it has of the browser's for this
// instance (the instance handle, the window record), in itself, its
// scriptable object and its content: the browser frees them after NPP_Destroy.
void NS_DetachPluginInstance(nsPluginInstanceBase* aPlugin);
NPError NS_PluginInitialize();
void NS_PluginShutdown();

// The end of an instance (NPP_Destroy): it is detached from the browser at
// once and deleted now, or, while a hold is on it, when the last hold ends.
void NS_RetirePluginInstance(nsPluginInstanceBase* aPlugin);

// Held by every call of the browser's that can run page script inside the
// plug-in's code (events fire listeners; a script call may wait in a window's
// nested event loop), for as long as that code is on the stack: page script
// there may have the browser destroy the instance, and its objects must
// outlive the code that uses them. A null instance holds nothing.
class InstanceHold {
public:
    explicit InstanceHold(nsPluginInstanceBase* plugin);
    ~InstanceHold();
    InstanceHold(const InstanceHold&) = delete;
    InstanceHold& operator=(const InstanceHold&) = delete;

private:
    nsPluginInstanceBase* mPlugin;
};

// The browser's function table, copied by NP_Initialize.
extern NPNetscapeFuncs NPNFuncs;

// The frame's NPN_ wrappers (npn_gate.cpp). Each calls the copied table entry
// of the same name; an entry the browser did not give answers as a failure
// instead of calling through a null pointer.
void NPN_Version(int* plugin_major, int* plugin_minor, int* netscape_major, int* netscape_minor);
NPError NPN_GetURL(NPP instance, const char* url, const char* target);
NPError NPN_GetURLNotify(NPP instance, const char* url, const char* target, void* notifyData);
NPError NPN_PostURL(NPP instance, const char* url, const char* window, uint32_t len, const char* buf,
                    NPBool file);
NPError NPN_PostURLNotify(NPP instance, const char* url, const char* window, uint32_t len, const char* buf,
                          NPBool file, void* notifyData);
NPError NPN_RequestRead(NPStream* stream, NPByteRange* rangeList);
NPError NPN_NewStream(NPP instance, NPMIMEType type, const char* target, NPStream** stream);
int32_t NPN_Write(NPP instance, NPStream* stream, int32_t len, void* buffer);
NPError NPN_DestroyStream(NPP instance, NPStream* stream, NPError reason);
void NPN_Status(NPP instance, const char* message);
const char* NPN_UserAgent(NPP instance);
void* NPN_MemAlloc(uint32_t size);
void NPN_MemFree(void* ptr);
uint32_t NPN_MemFlush(uint32_t size);
void NPN_ReloadPlugins(NPBool reloadPages);
NPError NPN_GetValue(NPP instance, NPNVariable variable, void* value);
NPError NPN_SetValue(NPP instance, NPPVariable variable, void* value);
void NPN_InvalidateRect(NPP instance, NPRect* invalidRect);
void NPN_InvalidateRegion(NPP instance, NPRegion invalidRegion);
void NPN_ForceRedraw(NPP instance);
void NPN_ReleaseVariantValue(NPVariant* variant);
NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name);
void NPN_GetStringIdentifiers(const NPUTF8** names, int32_t nameCount, NPIdentifier* identifiers);
NPObject* NPN_CreateObject(NPP npp, NPClass* aClass);
void NPN_ReleaseObject(NPObject* obj);
NPObject* NPN_RetainObject(NPObject* obj);
bool NPN_GetProperty(NPP npp, NPObject* obj, NPIdentifier propertyName, NPVariant* result);
bool NPN_Invoke(NPP npp, NPObject* obj, NPIdentifier methodName, const NPVariant* args, uint32_t argCount,
                NPVariant* result);
bool NPN_InvokeDefault(NPP npp, NPObject* obj, const NPVariant* args, uint32_t argCount, NPVariant* result);
NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier);
