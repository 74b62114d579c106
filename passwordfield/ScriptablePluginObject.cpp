#include "ScriptablePluginObject.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CPluginImplement.h"
#include "plugin.h"
#include "variants.h"

using pluginbase::int32Of;
using pluginbase::setTextResult;
using pluginbase::textOf;

namespace {

enum Property { kMinLength, kMaxLength, kPropertyCount };
const NPUTF8* pluginPropertyIdentifierNames[kPropertyCount] = {"minLength", "maxLength"};

enum Method {
    kAddEventListener,
    kRemoveEventListener,
    kFocus,
    kGetValue,
    kLastError,
    kVerify,
    kSetTimestamp,
    kSetCalcFactor,
    kGetPinValue,
    kSetMode,
    kGetComplexDegree,
    kPublicKeyBlob,
    kPublicKeyModulus,
    kPublicKeyDER,
    kSm2PublicKey,
    kClear,
    kGetLength,
    kGetMFM,
    kGetVersion,
    kGetMeasureValue,
    kMethodCount
};
const NPUTF8* pluginMethodIdentifierNames[kMethodCount] = {
    "addEventListener", "removeEventListener", "focus",        "getValue",      "lastError",
    "verify",           "setTimestamp",        "setCalcFactor", "getPinValue",  "setMode",
    "getComplexDegree", "publicKeyBlob",       "publicKeyModulus", "publicKeyDER", "sm2PublicKey",
    "clear",            "getLength",           "getMFM",       "getVersion",    "getMeasureValue"};

NPIdentifier pluginPropertyIdentifiers[kPropertyCount];
NPIdentifier pluginMethodIdentifiers[kMethodCount];

template <size_t N>
int indexOf(NPIdentifier (&table)[N], NPIdentifier name) {
    if (name == nullptr)
        return -1;
    for (size_t i = 0; i < N; ++i)
        if (table[i] == name)
            return static_cast<int>(i);
    return -1;
}

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

// A text result from an operation's heap text; a missing text fails the call.
bool textResult(HeapText text, NPVariant* result) {
    if (!text)
        return false;
    return setTextResult(result, text.get(), std::strlen(text.get()));
}

// A text argument as a NUL-terminated copy (the page's bytes carry no NUL).
std::unique_ptr<std::string> textArgument(const NPVariant& value) {
    const auto text = textOf(value);
    if (!text)
        return nullptr;
    return std::make_unique<std::string>(text->data(), text->size());
}

}  // namespace

NPClass sScriptablePluginObject_NPClass = ScriptablePluginObjectBase::classRecord(AllocateScriptablePluginObject);

NPObject* AllocateScriptablePluginObject(NPP npp, NPClass*) { return new ScriptablePluginObject(npp); }

ScriptablePluginObject::ScriptablePluginObject(NPP npp) : ScriptablePluginObjectBase(npp) {
    NPN_GetStringIdentifiers(pluginPropertyIdentifierNames, kPropertyCount, pluginPropertyIdentifiers);
    NPN_GetStringIdentifiers(pluginMethodIdentifierNames, kMethodCount, pluginMethodIdentifiers);
}

bool ScriptablePluginObject::HasMethod(NPIdentifier name) { return indexOf(pluginMethodIdentifiers, name) >= 0; }

bool ScriptablePluginObject::HasProperty(NPIdentifier name) {
    return indexOf(pluginPropertyIdentifiers, name) >= 0;
}

bool ScriptablePluginObject::GetProperty(NPIdentifier name, NPVariant* result) {
    VOID_TO_NPVARIANT(*result);
    CPluginImplement* field = PluginContentOf(mNpp);
    if (field == nullptr)
        return false;
    switch (indexOf(pluginPropertyIdentifiers, name)) {
    case kMinLength:
        INT32_TO_NPVARIANT(field->getMinLength(), *result);
        return true;
    case kMaxLength:
        INT32_TO_NPVARIANT(field->getMaxLength(), *result);
        return true;
    default:
        return false;
    }
}

bool ScriptablePluginObject::SetProperty(NPIdentifier name, const NPVariant* value) {
    CPluginImplement* field = PluginContentOf(mNpp);
    if (field == nullptr || value == nullptr)
        return false;
    const int which = indexOf(pluginPropertyIdentifiers, name);
    if (which < 0)
        return false;
    // Numbers may come as doubles; anything that is not a number is refused.
    const auto number = int32Of(*value);
    if (!number)
        return false;
    if (which == kMinLength)
        field->setMinLength(*number);
    else
        field->setMaxLength(*number);
    return true;
}

bool ScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                    NPVariant* result) {
    VOID_TO_NPVARIANT(*result);
    CPluginImplement* field = PluginContentOf(mNpp);
    if (field == nullptr)
        return false;
    switch (indexOf(pluginMethodIdentifiers, name)) {
    case kAddEventListener: {
        if (argCount != 2 && argCount != 3)
            return false;
        const auto event = textOf(args[0]);
        if (!event || args[1].type != NPVariantType_Object || args[1].value.objectValue == nullptr)
            return false;
        field->addEventListener(event->data(), event->size(), args[1].value.objectValue);
        return true;
    }
    case kRemoveEventListener: {
        if (argCount < 1)
            return false;
        const auto event = textOf(args[0]);
        if (!event)
            return false;
        field->removeEventListener(event->data(), event->size());
        return true;
    }
    case kFocus:
        field->focus();
        return true;
    case kGetValue:
        return textResult(HeapText(field->getValue()), result);
    case kLastError:
        return textResult(HeapText(field->lastError()), result);
    case kVerify:
        INT32_TO_NPVARIANT(field->Verify(), *result);
        return true;
    case kSetTimestamp: {
        if (argCount != 1)
            return false;
        const auto text = textOf(args[0]);
        if (!text)
            return false;
        field->setTimestamp(text->data(), text->size());
        return true;
    }
    case kSetCalcFactor:
    case kPublicKeyModulus:
    case kSm2PublicKey: {
        if (argCount != 1)
            return false;
        const auto text = textArgument(args[0]);
        if (!text)
            return false;
        const int which = indexOf(pluginMethodIdentifiers, name);
        if (which == kSetCalcFactor)
            field->setCalcFactor(text->c_str());
        else if (which == kPublicKeyModulus)
            field->publicKeyModulus(text->c_str());
        else
            field->sm2PublicKey(text->c_str());
        return true;
    }
    case kGetPinValue:
        return textResult(HeapText(field->getPinValue()), result);
    case kSetMode: {
        // Exactly one value of any type; only a text has a first byte to pass.
        if (argCount != 1)
            return false;
        const auto text = textOf(args[0]);
        field->setMode(!text || text->empty() ? 0 : static_cast<signed char>((*text)[0]));
        return true;
    }
    case kGetComplexDegree:
        return textResult(HeapText(field->getComplexDegree()), result);
    case kPublicKeyBlob:
    case kPublicKeyDER:
        return argCount == 1;
    case kClear:
        field->clear();
        return true;
    case kGetLength:
        INT32_TO_NPVARIANT(field->getLength(), *result);
        return true;
    case kGetMFM:
        return textResult(HeapText(field->getMFM()), result);
    case kGetVersion:
        return textResult(HeapText(field->getVersion()), result);
    case kGetMeasureValue:
        return textResult(HeapText(field->getMeasureValue()), result);
    default:
        return false;
    }
}

bool ScriptablePluginObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
    return setTextResult(result, "default method return val");
}
