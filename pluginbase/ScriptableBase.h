// The scriptable-object base: a class with virtual operations whose objects
// carry, right after their virtual table, the NPObject header the browser
// sees, followed by the owning instance handle. The class record's thunks
// turn the browser's NPObject pointer back into the object and call the
// operation of the same name. One class for both plug-ins; the signing
// plug-in knows it as ScriptableObjectBase.
//
// No exception leaves a thunk: a throwing operation answers as a failed call.
// The thunks that run the object's operations hold its instance while they
// run (InstanceHold): a script call may run page script that removes the plug-in.
#pragma once

#include "npapi/npruntime.h"

class ScriptablePluginObjectBase : public NPObject {
public:
    explicit ScriptablePluginObjectBase(NPP npp) : NPObject{}, mNpp(npp) {}
    virtual ~ScriptablePluginObjectBase() = default;
    ScriptablePluginObjectBase(const ScriptablePluginObjectBase&) = delete;
    ScriptablePluginObjectBase& operator=(const ScriptablePluginObjectBase&) = delete;

    virtual void Invalidate() {}
    virtual bool HasMethod(NPIdentifier) { return false; }
    virtual bool Invoke(NPIdentifier, const NPVariant*, uint32_t, NPVariant*) { return false; }
    virtual bool InvokeDefault(const NPVariant*, uint32_t, NPVariant*) { return false; }
    virtual bool HasProperty(NPIdentifier) { return false; }
    virtual bool GetProperty(NPIdentifier, NPVariant*) { return false; }
    virtual bool SetProperty(NPIdentifier, const NPVariant*) { return false; }
    virtual bool RemoveProperty(NPIdentifier) { return false; }
    virtual bool Enumerate(NPIdentifier**, uint32_t*) { return false; }
    virtual bool Construct(const NPVariant*, uint32_t, NPVariant*) { return false; }

    // The owning instance's handle; null once the instance has ended (the
    // page may keep the object and call it long after).
    NPP npp() const { return mNpp; }
    void forgetInstance() { mNpp = nullptr; }

    // A class record of structure version 3 with the plug-in's allocation
    // function and the thunks below.
    static NPClass classRecord(NPAllocateFunctionPtr allocate);

    static void _Deallocate(NPObject* npobj);
    static void _Invalidate(NPObject* npobj);
    static bool _HasMethod(NPObject* npobj, NPIdentifier name);
    static bool _Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                        NPVariant* result);
    static bool _InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);
    static bool _HasProperty(NPObject* npobj, NPIdentifier name);
    static bool _GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result);
    static bool _SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value);
    static bool _RemoveProperty(NPObject* npobj, NPIdentifier name);
    static bool _Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count);
    static bool _Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);

protected:
    NPP mNpp;
};
