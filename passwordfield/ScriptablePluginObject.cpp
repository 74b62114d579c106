#include "ScriptablePluginObject.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CPluginImplement.h"
#include "FieldScript.h"
#include "plugin.h"
#include "plugin_hooks.h"
#include "variants.h"

using pluginbase::int32Of;
using pluginbase::setTextResult;
using pluginbase::textOf;

namespace {

// The names in the table's order: the browser's identifiers for them.
NPIdentifier pluginPropertyIdentifiers[fieldscript::kProperties.size()];
NPIdentifier pluginMethodIdentifiers[fieldscript::kMethodCount];

template <size_t N>
int indexOf(NPIdentifier (&table)[N], NPIdentifier name) {
    if (name == nullptr) return -1;
    for (size_t i = 0; i < N; ++i)
        if (table[i] == name) return static_cast<int>(i);
    return -1;
}

bool isMethod(int index, const char* name) {
    return index >= 0 && std::strcmp(fieldscript::kMethods[static_cast<size_t>(index)].name, name) == 0;
}

}  // namespace

NPClass sScriptablePluginObject_NPClass =
    ScriptablePluginObjectBase::classRecord(AllocateScriptablePluginObject);

NPObject* AllocateScriptablePluginObject(NPP npp, NPClass*) { return new ScriptablePluginObject(npp); }

ScriptablePluginObject::ScriptablePluginObject(NPP npp) : ScriptablePluginObjectBase(npp) {
    const NPUTF8* properties[fieldscript::kProperties.size()];
    for (size_t i = 0; i < fieldscript::kProperties.size(); ++i) properties[i] = fieldscript::kProperties[i];
    const NPUTF8* methods[fieldscript::kMethodCount];
    for (size_t i = 0; i < fieldscript::kMethodCount; ++i) methods[i] = fieldscript::kMethods[i].name;
    NPN_GetStringIdentifiers(properties, static_cast<int32_t>(fieldscript::kProperties.size()),
                             pluginPropertyIdentifiers);
    NPN_GetStringIdentifiers(methods, static_cast<int32_t>(fieldscript::kMethodCount),
                             pluginMethodIdentifiers);
}

bool ScriptablePluginObject::HasMethod(NPIdentifier name) {
    return indexOf(pluginMethodIdentifiers, name) >= 0;
}

bool ScriptablePluginObject::HasProperty(NPIdentifier name) {
    return indexOf(pluginPropertyIdentifiers, name) >= 0;
}

bool ScriptablePluginObject::GetProperty(NPIdentifier name, NPVariant* result) {
    VOID_TO_NPVARIANT(*result);
    CPluginImplement* field = GetImplement(mNpp);
    const int which = indexOf(pluginPropertyIdentifiers, name);
    if (field == nullptr || which < 0) return false;
    const auto value =
        fieldscript::getProperty(field->engine(), fieldscript::kProperties[static_cast<size_t>(which)]);
    if (!value) return false;
    INT32_TO_NPVARIANT(*value, *result);
    return true;
}

bool ScriptablePluginObject::SetProperty(NPIdentifier name, const NPVariant* value) {
    CPluginImplement* field = GetImplement(mNpp);
    if (field == nullptr || value == nullptr) return false;
    const int which = indexOf(pluginPropertyIdentifiers, name);
    if (which < 0) return false;
    // Numbers may come as doubles; anything that is not a number is refused.
    const auto number = int32Of(*value);
    if (!number) return false;
    return fieldscript::setProperty(field->engine(), fieldscript::kProperties[static_cast<size_t>(which)],
                                    *number);
}

bool ScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                    NPVariant* result) {
    VOID_TO_NPVARIANT(*result);
    CPluginImplement* field = GetImplement(mNpp);
    const int which = indexOf(pluginMethodIdentifiers, name);
    if (field == nullptr || which < 0) return false;
    // Listeners are page functions: the plug-in's own.
    if (isMethod(which, "addEventListener")) {
        if (argCount != 2 && argCount != 3) return false;
        const auto event = textOf(args[0]);
        if (!event || args[1].type != NPVariantType_Object || args[1].value.objectValue == nullptr)
            return false;
        field->addEventListener(event->data(), event->size(), args[1].value.objectValue);
        return true;
    }
    if (isMethod(which, "removeEventListener")) {
        if (argCount < 1) return false;
        const auto event = textOf(args[0]);
        if (!event) return false;
        field->removeEventListener(event->data(), event->size());
        return true;
    }
    fieldscript::Args values(argCount);
    for (uint32_t i = 0; i < argCount; ++i) {
        if (const auto text = textOf(args[i])) values[i] = {true, *text};
    }
    const fieldscript::Method& method = fieldscript::kMethods[static_cast<size_t>(which)];
    const auto answer = fieldscript::call(method, field->engine(), values);
    if (!answer) return false;
    // The engine has forgotten the text; the shown window and caret are ours.
    if (isMethod(which, "clear")) field->clear();
    if (const auto* text = std::get_if<std::string>(&*answer))
        return setTextResult(result, text->data(), text->size());
    if (const auto* number = std::get_if<int32_t>(&*answer)) INT32_TO_NPVARIANT(*number, *result);
    return true;
}

bool ScriptablePluginObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
    return setTextResult(result, "default method return val");
}
