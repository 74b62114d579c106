#include "ScriptableObject.h"

#include <cstring>
#include <string>

#include "plugin.h"
#include "sign/PKCS11Impl.h"
#include "variants.h"

using pluginbase::setTextResult;
using pluginbase::textOf;

namespace {

enum Property { kCN, kSignData, kIssuerCN, kSignature, kSignFile, kHashAlgorithm, kJSCB, kPropertyCount };
const NPUTF8* propertyNames[kPropertyCount] = {"CN",       "SignData",      "IssuerCN", "Signature",
                                               "SignFile", "HashAlgorithm", "JSCB"};

enum Method {
    kPKCS7Data,
    kVerifyPKCS7,
    kVerifySignature,
    kLastError,
    kSignCert,
    kGetCertList,
    kGetProviderName,
    kGetVersion,
    kSaGetTokenCount,
    kSaGetTokenSN,
    kSaGetTokenCFCAId,
    kSetUKeyVendor,
    kGetUKeyCount,
    kGetUKeySN,
    kGetUKeyCertCount,
    kChangeUKeyPIN,
    kCreateX509ReqData,
    kImportCertData,
    kGetProviderCertList,
    kMethodCount
};
const NPUTF8* methodNames[kMethodCount] = {
    "PKCS7Data",        "VerifyPKCS7",   "VerifySignature", "LastError",        "SignCert",
    "getCertList",      "getProviderName", "getVersion",    "saGetTokenCount",  "saGetTokenSN",
    "saGetTokenCFCAId", "SetUKeyVendor", "GetUKeyCount",    "GetUKeySN",        "GetUKeyCertCount",
    "ChangeUKeyPIN",    "CreateX509ReqData", "ImportCertData", "getProviderCertList"};

NPIdentifier propertyIdentifiers[kPropertyCount];
NPIdentifier methodIdentifiers[kMethodCount];

template <size_t N>
int indexOf(NPIdentifier (&table)[N], NPIdentifier name) {
    if (name == nullptr)
        return -1;
    for (size_t i = 0; i < N; ++i)
        if (table[i] == name)
            return static_cast<int>(i);
    return -1;
}

// A text result: its length is the text's up to the first NUL.
bool textResult(const std::string& text, NPVariant* result) {
    return setTextResult(result, text.c_str(), std::strlen(text.c_str()));
}

}  // namespace

NPClass sScriptableObject_NPClass = ScriptableObjectBase::classRecord(AllocateScriptableObject);

NPObject* AllocateScriptableObject(NPP npp, NPClass*) { return new ScriptableObject(npp); }

ScriptableObject::ScriptableObject(NPP npp) : ScriptableObjectBase(npp) {
    NPN_GetStringIdentifiers(propertyNames, kPropertyCount, propertyIdentifiers);
    NPN_GetStringIdentifiers(methodNames, kMethodCount, methodIdentifiers);
}

bool ScriptableObject::HasMethod(NPIdentifier name) { return indexOf(methodIdentifiers, name) >= 0; }

bool ScriptableObject::HasProperty(NPIdentifier name) { return indexOf(propertyIdentifiers, name) >= 0; }

bool ScriptableObject::GetProperty(NPIdentifier name, NPVariant* result) {
    VOID_TO_NPVARIANT(*result);
    PKCS11Impl* service = PluginContentOf(mNpp);
    if (service == nullptr)
        return false;
    switch (indexOf(propertyIdentifiers, name)) {
    case kSignData:
        return textResult(service->getSignData(), result);
    case kSignature:
        return textResult(service->getSignature(), result);
    case kSignFile:
        return textResult(service->getSignFile(), result);
    default:  // CN, IssuerCN, HashAlgorithm and JSCB are written, never read
        return false;
    }
}

bool ScriptableObject::SetProperty(NPIdentifier name, const NPVariant* value) {
    PKCS11Impl* service = PluginContentOf(mNpp);
    if (service == nullptr || value == nullptr)
        return false;
    const int which = indexOf(propertyIdentifiers, name);
    if (which < 0 || which == kSignature || which == kJSCB)
        return false;
    // Only a text is a text: a number is not read as one.
    const auto bytes = textOf(*value);
    if (!bytes)
        return false;
    // The service keeps each text up to its first NUL.
    const std::string_view text = *bytes;
    switch (which) {
    case kCN:
        service->setCN(text);
        break;
    case kSignData:
        service->setSignData(text);
        break;
    case kIssuerCN:
        service->setIssuerCN(text);
        break;
    case kSignFile:
        service->setSignFile(text);
        break;
    case kHashAlgorithm:
        service->setHashAlgorithm(text);
        break;
    default:
        return false;
    }
    return true;
}

bool ScriptableObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VOID_TO_NPVARIANT(*result);
    PKCS11Impl* service = PluginContentOf(mNpp);
    if (service == nullptr)
        return false;
    switch (indexOf(methodIdentifiers, name)) {
    case kPKCS7Data:
        return textResult(service->pkcs7Data(), result);
    case kVerifyPKCS7: {
        if (argCount != 1)
            return false;
        const auto text = textOf(args[0]);
        if (!text)
            return false;
        return textResult(service->verifyPKCS7(*text), result);
    }
    case kVerifySignature: {
        if (argCount != 3)
            return false;
        const auto data = textOf(args[0]), signature = textOf(args[1]), certificate = textOf(args[2]);
        if (!data || !signature || !certificate)
            return false;
        return textResult(service->verifySignature(*data, *signature, *certificate), result);
    }
    case kLastError:
        return textResult(service->lastError(), result);
    case kSignCert:
        return textResult(service->signCert(), result);
    case kGetCertList:
        return textResult(service->getCertList(), result);
    case kGetProviderName:
        return textResult(service->getProviderName(), result);
    case kGetVersion:
        return textResult(service->getVersion(), result);
    // The index, vendor and request arguments of the calls below are not
    // used, so they are not examined.
    case kSaGetTokenCount:
        INT32_TO_NPVARIANT(service->getTokenCount(), *result);
        return true;
    case kSaGetTokenSN:
        return textResult(service->getTokenSN(0), result);
    case kSaGetTokenCFCAId:
        return textResult(service->getTokenCFCAId(0), result);
    case kSetUKeyVendor:
        service->setUKeyVendor({});
        return true;
    case kGetUKeyCount:
        INT32_TO_NPVARIANT(service->getUKeyCount(), *result);
        return true;
    case kGetUKeySN:
        return textResult(service->getUKeySN(0), result);
    case kGetUKeyCertCount:
        INT32_TO_NPVARIANT(service->getUKeyCertCount(0), *result);
        return true;
    case kChangeUKeyPIN:
        INT32_TO_NPVARIANT(service->changeUKeyPIN(0), *result);
        return true;
    case kCreateX509ReqData:
        return textResult(service->createX509ReqData({}, {}, 0, 0, {}), result);
    case kImportCertData:
        return textResult(service->importCertData({}), result);
    case kGetProviderCertList:
        return textResult(service->getProviderCertList({}), result);
    default:
        return false;
    }
}

bool ScriptableObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
    return setTextResult(result, "default method return val");
}
