// ServiceBase: the signing service as the plug-in's script object sees it.
// It keeps the four texts a page sets (certificate selector CN, sign data,
// issuer CN, sign file) and gives the fixed answers of the operations this
// plug-in does not carry out. PKCS11Impl (PKCS11Impl.h) overrides every
// virtual operation with the real work.
//
// Texts are byte strings (a page hands UTF-8). Every setter keeps its text up
// to the first NUL byte, as a C string would: a page's value with an embedded
// NUL is stored cut there, and a hash algorithm's name is read up to it too.
// So the front ends (the plug-in's script object, the bridge) hand texts over
// whole. Results are returned as std::string by value; the
// caller copies them where they must go (browser memory) and owns the copy.
//
// Threads: one call at a time (the browser's plug-in thread); no locks.
// Nothing throws but std::bad_alloc, when memory for a result text runs out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class ServiceBase {
public:
    virtual ~ServiceBase();
    ServiceBase(const ServiceBase&) = delete;
    ServiceBase& operator=(const ServiceBase&) = delete;

    // ---- virtual operations, in the service's slot order ---------------------
    // Base answers: the stored sign data; "" ; the stored sign file; nothing;
    // "pkcs7Data"; ""; ""; ""; ""; ""; "".
    virtual std::string getSignData();
    virtual std::string getSignature();
    virtual std::string getSignFile();
    virtual void setHashAlgorithm(std::string_view name);
    virtual std::string pkcs7Data();
    virtual std::string verifyPKCS7(std::string_view text);
    virtual std::string verifySignature(std::string_view data, std::string_view signature,
                                        std::string_view certificate);
    virtual std::string lastError();
    virtual std::string signCert();
    virtual std::string getCertList();
    virtual std::string getProviderName();

    // ---- the page's texts (empty until set; never cleared by an operation) ----
    // CN is the certificate selector: the wanted certificate's serial number
    // as upper-case hexadecimal, despite its name.
    const std::string& getCN() const { return cn_; }
    void setCN(std::string_view text);
    void setSignData(std::string_view text);
    const std::string& getIssuerCN() const { return issuerCN_; }  // stored, never used
    void setIssuerCN(std::string_view text);
    void setSignFile(std::string_view text);

    // ---- fixed answers (the index arguments are not used) --------------------
    std::string getVersion() const;                   // "1.0.0.28"
    int32_t getTokenCount() const;                    // 1
    std::string getTokenSN(int16_t index) const;      // "getTokenSN:not supported"
    std::string getTokenCFCAId(int16_t index) const;  // "getTokenCFCAId:not supported"
    void setUKeyVendor(std::string_view vendor);      // nothing
    int32_t getUKeyCount() const;                     // 1
    std::string getUKeySN(int16_t index) const;       // "getUKeySN:not supported"
    int32_t getUKeyCertCount(int16_t index) const;    // 1
    int32_t changeUKeyPIN(int16_t index) const;       // 1
    std::string createX509ReqData(std::string_view, std::string_view, int64_t, int64_t,
                                  std::string_view) const;    // "createX509ReqData:not supported"
    std::string importCertData(std::string_view) const;       // "importCertData:not supported"
    std::string getProviderCertList(std::string_view) const;  // "getProviderCertList:not supported"

protected:
    ServiceBase() = default;

    // The sign data and sign file have no getter of their own: getSignData and
    // getSignFile are the operations above.
    const std::string& signData() const { return signData_; }
    const std::string& signFile() const { return signFile_; }

private:
    std::string cn_;
    std::string signData_;
    std::string issuerCN_;
    std::string signFile_;
};
