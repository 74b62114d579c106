#include "sign/ScriptTable.h"

namespace script {

const std::array<Property, kPropertyCount> kProperties = {{
    {"CN", nullptr, &ServiceBase::setCN},
    {"SignData", &ServiceBase::getSignData, &ServiceBase::setSignData},
    {"IssuerCN", nullptr, &ServiceBase::setIssuerCN},
    {"Signature", &ServiceBase::getSignature, nullptr},
    {"SignFile", &ServiceBase::getSignFile, &ServiceBase::setSignFile},
    {"HashAlgorithm", nullptr, &ServiceBase::setHashAlgorithm},
    {"JSCB", nullptr, nullptr},
}};

// The index, vendor and request arguments of the calls from saGetTokenCount
// on are not used, so they are not examined.
const std::array<Method, kMethodCount> kMethods = {{
    {"PKCS7Data", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.pkcs7Data(); }},
    {"VerifyPKCS7", 1, [](ServiceBase& s, const Texts& a) -> Answer { return s.verifyPKCS7(a[0]); }},
    {"VerifySignature", 3,
     [](ServiceBase& s, const Texts& a) -> Answer { return s.verifySignature(a[0], a[1], a[2]); }},
    {"LastError", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.lastError(); }},
    {"SignCert", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.signCert(); }},
    {"getCertList", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getCertList(); }},
    {"getProviderName", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getProviderName(); }},
    {"getVersion", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getVersion(); }},
    {"saGetTokenCount", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getTokenCount(); }},
    {"saGetTokenSN", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getTokenSN(0); }},
    {"saGetTokenCFCAId", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getTokenCFCAId(0); }},
    {"SetUKeyVendor", -1,
     [](ServiceBase& s, const Texts&) -> Answer {
         s.setUKeyVendor({});
         return {};
     }},
    {"GetUKeyCount", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getUKeyCount(); }},
    {"GetUKeySN", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getUKeySN(0); }},
    {"GetUKeyCertCount", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.getUKeyCertCount(0); }},
    {"ChangeUKeyPIN", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.changeUKeyPIN(0); }},
    {"CreateX509ReqData", -1,
     [](ServiceBase& s, const Texts&) -> Answer { return s.createX509ReqData({}, {}, 0, 0, {}); }},
    {"ImportCertData", -1, [](ServiceBase& s, const Texts&) -> Answer { return s.importCertData({}); }},
    {"getProviderCertList", -1,
     [](ServiceBase& s, const Texts&) -> Answer { return s.getProviderCertList({}); }},
}};

namespace {

template <typename Table>
const typename Table::value_type* find(const Table& table, std::string_view name) {
    for (const auto& entry : table)
        if (name == entry.name) return &entry;
    return nullptr;
}

}  // namespace

const Property* findProperty(std::string_view name) { return find(kProperties, name); }
const Method* findMethod(std::string_view name) { return find(kMethods, name); }

}  // namespace script
