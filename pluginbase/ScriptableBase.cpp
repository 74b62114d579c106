#include "ScriptableBase.h"

#include "pluginbase.h"

namespace {

using Base = ScriptablePluginObjectBase;

Base* self(NPObject* npobj) { return static_cast<Base*>(npobj); }

// Runs an operation for the browser; an exception becomes a failed call.
template <typename F>
bool guarded(NPObject* npobj, F&& operation) {
    if (npobj == nullptr) return false;
    try {
        return operation(self(npobj));
    } catch (...) {
        return false;
    }
}

// The same, holding the object's instance for the length of the operation.
// The hold may be the one that deletes the instance, and with it the
// instance's reference to this object: nothing of the object is used after.
template <typename F>
bool held(NPObject* npobj, F&& operation) {
    if (npobj == nullptr) return false;
    try {
        Base* object = self(npobj);
        const NPP npp = object->npp();
        InstanceHold hold(npp == nullptr ? nullptr : static_cast<nsPluginInstanceBase*>(npp->pdata));
        return operation(object);
    } catch (...) {
        return false;
    }
}

}  // namespace

NPClass Base::classRecord(NPAllocateFunctionPtr allocate) {
    return NPClass{NP_CLASS_STRUCT_VERSION,
                   allocate,
                   _Deallocate,
                   _Invalidate,
                   _HasMethod,
                   _Invoke,
                   _InvokeDefault,
                   _HasProperty,
                   _GetProperty,
                   _SetProperty,
                   _RemoveProperty,
                   _Enumerate,
                   _Construct};
}

void Base::_Deallocate(NPObject* npobj) {
    if (npobj != nullptr) delete self(npobj);
}

void Base::_Invalidate(NPObject* npobj) {
    guarded(npobj, [](Base* o) {
        o->Invalidate();
        return true;
    });
}

bool Base::_HasMethod(NPObject* npobj, NPIdentifier name) {
    return guarded(npobj, [&](Base* o) { return o->HasMethod(name); });
}

bool Base::_Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                   NPVariant* result) {
    return held(npobj, [&](Base* o) { return o->Invoke(name, args, argCount, result); });
}

bool Base::_InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result) {
    return held(npobj, [&](Base* o) { return o->InvokeDefault(args, argCount, result); });
}

bool Base::_HasProperty(NPObject* npobj, NPIdentifier name) {
    return guarded(npobj, [&](Base* o) { return o->HasProperty(name); });
}

bool Base::_GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result) {
    return held(npobj, [&](Base* o) { return o->GetProperty(name, result); });
}

bool Base::_SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value) {
    return held(npobj, [&](Base* o) { return o->SetProperty(name, value); });
}

bool Base::_RemoveProperty(NPObject* npobj, NPIdentifier name) {
    return guarded(npobj, [&](Base* o) { return o->RemoveProperty(name); });
}

bool Base::_Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count) {
    return guarded(npobj, [&](Base* o) { return o->Enumerate(identifier, count); });
}

bool Base::_Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result) {
    return guarded(npobj, [&](Base* o) { return o->Construct(args, argCount, result); });
}
