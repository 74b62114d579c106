// PKCS11Impl: the signing service over the token maker's PKCS#11 module.
//
// Every operation that needs the key runs the whole bracket itself: load the
// module (platform::pkcs11ModulePath()), C_Initialize, find the certificate
// whose serial number equals CN, work, then close the session, C_Finalize and
// unload. Nothing is held between operations but the page's texts, the
// mechanism and the last error text. The engine never asks for the PIN: it
// logs in with an empty one and the module asks the user itself, so a
// signing call blocks for as long as the user takes.
//
// Which calls run the module: getSignData, getSignature, signCert and
// getCertList (each a full bracket). Everything else only reads or sets
// state: the setters, setHashAlgorithm, lastError, getProviderName and the
// fixed answers of ServiceBase.
//
// Results: texts by value. A failed getSignData, getSignature, signCert or
// getCertList answers "E:1000" and leaves the reason in lastError(). No
// operation throws (allocation failures inside an operation end it with
// "E:1000").
//
// Threads: one call at a time, from one thread (the module's PIN window and
// countdown want it to be the process's main thread); no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sign/ServiceBase.h"

// p11-kit's names of CK_FUNCTION_LIST and CK_ATTRIBUTE, so this header does
// not bring pkcs11.h (and its macros) into the script object's code.
struct _CK_FUNCTION_LIST;
struct _CK_ATTRIBUTE;
class X509Helper;

class PKCS11Impl : public ServiceBase {
public:
    PKCS11Impl();
    ~PKCS11Impl() override;

    // "UD65001:" + data length (%08d) + data + signature text length (%08d) +
    // the signature as upper-case hexadecimal; "E:1000" on failure. Signs the
    // stored sign data with the certificate chosen by CN.
    std::string getSignData() override;
    // "US65001:" + signature text length (%08d) + the hexadecimal signature.
    std::string getSignature() override;
    std::string getSignFile() override;  // "getSignFile:not supported"
    // "md5" -> CKM_MD5_RSA_PKCS, "sha1" -> CKM_SHA1_RSA_PKCS, "sha256" ->
    // CKM_SHA256_RSA_PKCS (exact, case-sensitive, up to the first NUL);
    // anything else -> SHA-1.
    void setHashAlgorithm(std::string_view name) override;
    std::string pkcs7Data() override;                    // "pkcs7Data:not supported"
    std::string verifyPKCS7(std::string_view) override;  // "verifyPKCS7:not supported"
    std::string verifySignature(std::string_view, std::string_view,
                                std::string_view) override;  // "verifySignature:not supported"
    std::string lastError() override;                        // "OK" until something fails
    // The DER bytes of the certificate chosen by CN in Base64 (one line).
    std::string signCert() override;
    // "CN=" + subject name + "," + serial number + ";" for each certificate
    // of the last slot walked (up to 64); "E:1000" on failure.
    std::string getCertList() override;
    std::string getProviderName() override;  // "dorn"

    // The mechanism that signing uses (CKM_SHA1_RSA_PKCS until set).
    unsigned long mechanism() const { return mechanism_; }

    // "Pin incorrect(0x00A0)": the status's text followed by its low 32 bits.
    static std::string getPKCS11ErrorCode(unsigned long status);

private:
    struct CertificateContext {
        std::vector<unsigned char> der;  // length + 1 bytes; empty: none
        unsigned long derLength = 0;
        unsigned long session = 0;
        bool sessionOpen = false;
        unsigned long object = 0;
    };
    class Bracket;

    // The steps of every operation, as their names say; statuses are PKCS#11
    // return values and the texts land in the last error text.
    unsigned long loadPKCS11Library();
    int initialize();
    int uninitialize();
    int unloadPKCS11Library();
    int acquireCertificateContext(const std::string& selector);
    // The slots with a token, in the module's order; false with the last
    // error set ("Not found UKey", "Params invalid", or the failing call's
    // step: firstStep for the count, secondStep for the list).
    bool slotList(std::vector<unsigned long>* slots, const char* firstStep, const char* secondStep);
    // Opens a read-write session on the slot and visits each of its
    // certificates (at most 64) whose bytes can be read, the context holding
    // the session, the handle and the bytes; `visit` gets the parsed
    // certificate (null when the bytes do not parse) and answers true to
    // keep it. True when one was kept: its bytes stay in the context and its
    // session open. Otherwise every session opened is closed again.
    bool walkCertificates(unsigned long slot, const std::function<bool(const X509Helper*)>& visit);
    int releaseCertificateContext();
    int findObject(unsigned long session, _CK_ATTRIBUTE* templ, unsigned long count, unsigned long* handles,
                   unsigned long* found);
    int loadDerCert();
    int freeDerCert();
    int findKey(unsigned long* handle, unsigned long objectClass);
    unsigned long p11Sign(const unsigned char* data, unsigned long length,
                          std::vector<unsigned char>* signature);
    uint32_t sign(const unsigned char* data, unsigned long length, std::string* hex);
    static std::string base64(const unsigned char* bytes, size_t length);
    void closeContextSession();
    void fail(const char* step, unsigned long status);
    std::string signedText(const char* tag, bool withData);

    _CK_FUNCTION_LIST* functionList_ = nullptr;
    void* module_ = nullptr;
    std::unique_ptr<CertificateContext> context_;
    std::string lastError_ = "OK";
    unsigned long mechanism_ = 6;  // CKM_SHA1_RSA_PKCS
};
