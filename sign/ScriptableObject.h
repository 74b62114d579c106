// The signing plug-in as page script sees it: 7 properties and 19 methods,
// each forwarded to the instance's signing service. Reading "SignData" or
// "Signature" signs there and then, and blocks while the PKCS#11 module asks
// the user for the PIN; a script call that arrives meanwhile (page script run
// by the PIN window's event loop) is refused, on any signing plug-in of the
// process.
#pragma once

#include "ScriptableBase.h"

// The frame's scriptable base, by the signing plug-in's name for it.
using ScriptableObjectBase = ScriptablePluginObjectBase;

class ScriptableObject : public ScriptableObjectBase {
public:
    explicit ScriptableObject(NPP npp);
    ~ScriptableObject() override = default;

    bool HasMethod(NPIdentifier name) override;
    bool HasProperty(NPIdentifier name) override;
    bool GetProperty(NPIdentifier name, NPVariant* result) override;
    bool SetProperty(NPIdentifier name, const NPVariant* value) override;
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
};

NPObject* AllocateScriptableObject(NPP npp, NPClass* aClass);
extern NPClass sScriptableObject_NPClass;
