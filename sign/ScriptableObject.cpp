#include "ScriptableObject.h"

#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <variant>

#include "plugin.h"
#include "plugin_hooks.h"
#include "sign/PKCS11Impl.h"
#include "sign/ScriptTable.h"
#include "variants.h"

using pluginbase::setTextResult;
using pluginbase::textOf;

namespace {

NPIdentifier propertyIdentifiers[script::kPropertyCount];
NPIdentifier methodIdentifiers[script::kMethodCount];

// The names of a table, for NPN_GetStringIdentifiers.
template <typename Table>
std::array<const NPUTF8*, std::tuple_size_v<Table>> namesOf(const Table& table) {
    std::array<const NPUTF8*, std::tuple_size_v<Table>> names{};
    for (size_t i = 0; i < table.size(); ++i) names[i] = table[i].name;
    return names;
}

template <size_t N>
int indexOf(NPIdentifier (&table)[N], NPIdentifier name) {
    if (name == nullptr) return -1;
    for (size_t i = 0; i < N; ++i)
        if (table[i] == name) return static_cast<int>(i);
    return -1;
}

// Script calls into the signing service in progress, in the whole process.
// A signing call waits in the module's PIN window, whose event loop runs page
// script: a second call from there would run a bracket of its own on the
// same module (and finalise it under the first), or change what the first
// is signing. It is refused.
int gServiceCalls = 0;

struct ServiceCall {
    const bool refused = gServiceCalls > 0;
    ServiceCall() { ++gServiceCalls; }
    ~ServiceCall() { --gServiceCalls; }
    ServiceCall(const ServiceCall&) = delete;
    ServiceCall& operator=(const ServiceCall&) = delete;
};

// A text result: its length is the text's up to the first NUL.
bool textResult(const std::string& text, NPVariant* result) {
    return setTextResult(result, text.c_str(), std::strlen(text.c_str()));
}

}  // namespace

NPClass sScriptableObject_NPClass = ScriptableObjectBase::classRecord(AllocateScriptableObject);

NPObject* AllocateScriptableObject(NPP npp, NPClass*) { return new ScriptableObject(npp); }

ScriptableObject::ScriptableObject(NPP npp) : ScriptableObjectBase(npp) {
    auto properties = namesOf(script::kProperties);
    auto methods = namesOf(script::kMethods);
    NPN_GetStringIdentifiers(properties.data(), script::kPropertyCount, propertyIdentifiers);
    NPN_GetStringIdentifiers(methods.data(), script::kMethodCount, methodIdentifiers);
}

bool ScriptableObject::HasMethod(NPIdentifier name) { return indexOf(methodIdentifiers, name) >= 0; }

bool ScriptableObject::HasProperty(NPIdentifier name) { return indexOf(propertyIdentifiers, name) >= 0; }

bool ScriptableObject::GetProperty(NPIdentifier name, NPVariant* result) {
    VOID_TO_NPVARIANT(*result);
    const ServiceCall call;
    PKCS11Impl* service = GetService(mNpp);
    if (service == nullptr || call.refused) return false;
    const int which = indexOf(propertyIdentifiers, name);
    // CN, IssuerCN, HashAlgorithm and JSCB are written, never read.
    if (which < 0 || script::kProperties[which].read == nullptr) return false;
    return textResult((service->*script::kProperties[which].read)(), result);
}

bool ScriptableObject::SetProperty(NPIdentifier name, const NPVariant* value) {
    const ServiceCall call;
    PKCS11Impl* service = GetService(mNpp);
    if (service == nullptr || value == nullptr || call.refused) return false;
    const int which = indexOf(propertyIdentifiers, name);
    if (which < 0 || script::kProperties[which].write == nullptr) return false;
    // Only a text is a text: a number is not read as one. The service keeps
    // each text up to its first NUL.
    const auto bytes = textOf(*value);
    if (!bytes) return false;
    (service->*script::kProperties[which].write)(*bytes);
    return true;
}

bool ScriptableObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                              NPVariant* result) {
    VOID_TO_NPVARIANT(*result);
    const ServiceCall call;
    PKCS11Impl* service = GetService(mNpp);
    if (service == nullptr || call.refused) return false;
    const int which = indexOf(methodIdentifiers, name);
    if (which < 0) return false;
    const script::Method& method = script::kMethods[which];
    script::Texts texts;
    if (method.texts >= 0) {
        if (argCount != static_cast<uint32_t>(method.texts)) return false;
        for (uint32_t i = 0; i < argCount; ++i) {
            const auto text = textOf(args[i]);
            if (!text) return false;
            texts.push_back(*text);
        }
    }
    const script::Answer answer = method.run(*service, texts);
    if (const auto* text = std::get_if<std::string>(&answer)) return textResult(*text, result);
    if (const auto* number = std::get_if<int32_t>(&answer)) INT32_TO_NPVARIANT(*number, *result);
    return true;
}

bool ScriptableObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
    return setTextResult(result, "default method return val");
}
