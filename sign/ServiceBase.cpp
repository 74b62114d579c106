#include "sign/ServiceBase.h"

namespace {

std::string upToNul(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

}  // namespace

ServiceBase::~ServiceBase() = default;

std::string ServiceBase::getSignData() { return signData_; }
std::string ServiceBase::getSignature() { return {}; }
std::string ServiceBase::getSignFile() { return signFile_; }
void ServiceBase::setHashAlgorithm(std::string_view) {}
std::string ServiceBase::pkcs7Data() { return "pkcs7Data"; }
std::string ServiceBase::verifyPKCS7(std::string_view) { return {}; }
std::string ServiceBase::verifySignature(std::string_view, std::string_view, std::string_view) { return {}; }
std::string ServiceBase::lastError() { return {}; }
std::string ServiceBase::signCert() { return {}; }
std::string ServiceBase::getCertList() { return {}; }
std::string ServiceBase::getProviderName() { return {}; }

void ServiceBase::setCN(std::string_view text) { cn_ = upToNul(text); }
void ServiceBase::setSignData(std::string_view text) { signData_ = upToNul(text); }
void ServiceBase::setIssuerCN(std::string_view text) { issuerCN_ = upToNul(text); }
void ServiceBase::setSignFile(std::string_view text) { signFile_ = upToNul(text); }

std::string ServiceBase::getVersion() const { return "1.0.0.28"; }
int32_t ServiceBase::getTokenCount() const { return 1; }
std::string ServiceBase::getTokenSN(int16_t) const { return "getTokenSN:not supported"; }
std::string ServiceBase::getTokenCFCAId(int16_t) const { return "getTokenCFCAId:not supported"; }
void ServiceBase::setUKeyVendor(std::string_view) {}
int32_t ServiceBase::getUKeyCount() const { return 1; }
std::string ServiceBase::getUKeySN(int16_t) const { return "getUKeySN:not supported"; }
int32_t ServiceBase::getUKeyCertCount(int16_t) const { return 1; }
int32_t ServiceBase::changeUKeyPIN(int16_t) const { return 1; }
std::string ServiceBase::createX509ReqData(std::string_view, std::string_view, int64_t, int64_t,
                                           std::string_view) const {
    return "createX509ReqData:not supported";
}
std::string ServiceBase::importCertData(std::string_view) const { return "importCertData:not supported"; }
std::string ServiceBase::getProviderCertList(std::string_view) const {
    return "getProviderCertList:not supported";
}
