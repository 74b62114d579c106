// The password field as page script sees it: 2 properties and 20 methods,
// each call vetted and forwarded to the instance's edit control.
#pragma once

#include "ScriptableBase.h"

class ScriptablePluginObject : public ScriptablePluginObjectBase {
public:
    explicit ScriptablePluginObject(NPP npp);
    ~ScriptablePluginObject() override = default;

    bool HasMethod(NPIdentifier name) override;
    bool HasProperty(NPIdentifier name) override;
    bool GetProperty(NPIdentifier name, NPVariant* result) override;
    bool SetProperty(NPIdentifier name, const NPVariant* value) override;
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
};

NPObject* AllocateScriptablePluginObject(NPP npp, NPClass* aClass);
extern NPClass sScriptablePluginObject_NPClass;
