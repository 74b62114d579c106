// The signing engine against a PKCS#11 module that answers anything
// (fake-module/): slot lists, mechanism flags, searches, attribute lengths
// and values, signature lengths and statuses. The module stops the run on
// any call out of turn, and the sanitizers on any read or write past what
// the engine was given. After every operation the module must be finalised
// with no session open, the last error text must be one of the engine's
// (a step's text with a status the module really answered), and the result
// must be what the module's answers make it: a signature is exactly the
// bytes the module signed, over the page's data with the page's hash, with
// the key of the certificate whose serial number is CN; an export is the
// Base64 of such a certificate; a list holds the certificates of the last
// slot walked.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/control.h"
#include "fuzz/fuzz_input.h"
#include "security/tests/test_util.h"
#include "sign/PKCS11Impl.h"
#include "sign/fuzz/fake-module/fake_module.h"

namespace {

using fuzz::require;
using sectest::hex;  // upper-case hex digits, as the engine writes serials and signatures

struct Module {
    decltype(&fakep11_load) load;
    decltype(&fakep11_begin) begin;
    decltype(&fakep11_record) record;
};

// A certificate of the catalogue: its DER, and the name and serial texts
// the engine gives for it.
struct Known {
    std::string der;
    std::string name;
    std::string serial;
};
std::vector<Known> catalogue;
Module module;

std::string der(X509* certificate) {
    unsigned char* out = nullptr;
    const int n = i2d_X509(certificate, &out);
    if (n <= 0) std::abort();
    std::string bytes(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
    OPENSSL_free(out);
    return bytes;
}

// A self-signed certificate (P-256: quick to make) with this serial and subject.
Known makeCertificate(const std::string& serialHex, const char* field, const char* value) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    BIGNUM* serial = nullptr;
    if (key == nullptr || x == nullptr || BN_hex2bn(&serial, serialHex.c_str()) == 0) std::abort();
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x));
    BN_free(serial);
    X509_set_version(x, 2);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value), -1,
                               -1, 0);
    X509_set_issuer_name(x, name);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    if (X509_sign(x, key, EVP_sha256()) == 0) std::abort();
    Known known{der(x), value, serialHex};
    X509_free(x);
    EVP_PKEY_free(key);
    return known;
}

// The serial number text the engine compares with CN: "" when the bytes do
// not parse or the text would not fit its 512 bytes.
std::string serialText(const std::string& value) {
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(value.size()));
    if (x == nullptr) return "";
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
    std::string text = hex(ASN1_STRING_get0_data(serial), static_cast<size_t>(ASN1_STRING_length(serial)));
    X509_free(x);
    return text.size() < 512 ? text : "";
}

// The list entry of a certificate value when it is known: a catalogue
// certificate (trailing bytes aside) or bytes that do not parse. False when
// it parses as something else (its texts are not judged here).
bool listEntry(const std::string& value, std::string* entry) {
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(value.size()));
    if (x == nullptr) {
        *entry = "CN=,;";
        return true;
    }
    const std::string bytes = der(x);
    X509_free(x);
    for (const Known& k : catalogue) {
        if (k.der == bytes) {
            *entry = "CN=" + k.name + "," + k.serial + ";";
            return true;
        }
    }
    return false;
}

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string eightDigits(size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%08zu", n);
    return text;
}

// The engine's last error texts: fixed ones, and a step's text followed by
// the text of a status the module answered (or one the engine puts in the
// place of a length it cannot use, or "OK" for a search that found nothing).
bool documented(const std::string& error, const std::vector<unsigned long>& failures) {
    static const char* const kPlain[] = {"OK",
                                         "Load pkcs11 lib fail",
                                         "Function list of pkcs11 is null",
                                         "Not found UKey",
                                         "Params invalid",
                                         "CN not matched",
                                         "loadPKCS11Library failed:",
                                         "initialize failed:"};
    for (const char* text : kPlain)
        if (error == text) return true;
    static const char* const kSteps[] = {"",
                                         "C_GetFunctionList failed:",
                                         "C_Initialize failed:",
                                         "C_GetSlotList failed:",
                                         "C_GetSlotList1 failed:",
                                         "C_GetSlotList2 failed:",
                                         "C_FindObjectsInit failed:",
                                         "C_FindObjects failed:",
                                         "C_FindObjectsFinal failed:",
                                         "Load cert C_GetAttributeValue failed:",
                                         "Find key C_GetAttributeValue failed:",
                                         "C_Login failed:",
                                         "C_SignInit failed:",
                                         "C_SignUpdate failed:",
                                         "C_SignFinal1 failed:",
                                         "C_SignFinal2 failed:",
                                         "C_Logout failed:"};
    std::vector<unsigned long> statuses = failures;
    statuses.insert(statuses.end(), {CKR_OK, CKR_BUFFER_TOO_SMALL, CKR_ATTRIBUTE_SENSITIVE, CKR_HOST_MEMORY});
    for (const char* step : kSteps)
        for (unsigned long status : statuses)
            if (error == step + PKCS11Impl::getPKCS11ErrorCode(status)) return true;
    return false;
}

enum Operation { kSignData, kSignature, kSignCert, kCertList };

struct Call {
    Operation operation;
    std::string cn;
    std::string data;
    int hash;  // 0: not set, 1: md5, 2: sha1, 3: sha256, 4: another name
    std::string otherHash;
};

void check(Call call, PKCS11Impl& engine, unsigned long expectedMechanism) {
    module.begin();
    std::string result;
    switch (call.operation) {
        case kSignData:
            result = engine.getSignData();
            break;
        case kSignature:
            result = engine.getSignature();
            break;
        case kSignCert:
            result = engine.signCert();
            break;
        case kCertList:
            result = engine.getCertList();
            break;
    }
    const fakep11::Record& r = *module.record();
    // The bracket is closed whichever way the operation ended.
    require(!r.initialized && r.openSessions == 0);
    const std::string error = engine.lastError();
    // FAKEP11_TRACE=1 shows what each operation gave (to see what a seed reaches).
    static const bool trace = std::getenv("FAKEP11_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "%d: %.120s | %s\n", call.operation, result.c_str(), error.c_str());
    require(documented(error, r.failures));
    const bool failed = result == "E:1000";
    if (failed) require(error != "OK");

    if (call.operation == kSignData || call.operation == kSignature) {
        const bool signedWhole = r.signatureDone && r.loggedOutAfterSignature;
        require(failed != signedWhole);
        if (failed) return;
        require(r.signedData == call.data && r.mechanism == expectedMechanism);
        require(serialText(r.keyCertificate) == call.cn);
        const std::string signature =
            hex(reinterpret_cast<const unsigned char*>(r.signature.data()), r.signature.size());
        std::string expected = call.operation == kSignData
                                   ? "UD65001:" + eightDigits(call.data.size()) + call.data
                                   : std::string("US65001:");
        expected += eightDigits(signature.size()) + signature;
        require(result == expected);
    } else if (call.operation == kSignCert) {
        if (failed) return;
        bool found = false;
        for (const std::string& value : r.certificates)
            found = found || (serialText(value) == call.cn && base64(value) == result);
        require(found);
    } else {
        if (failed) return;
        // The list is that of the last slot, which answered its mechanism query.
        if (r.walks.empty()) {
            require(result.empty());
            return;
        }
        const fakep11::SlotWalk& last = r.walks.back();
        if ((last.flags & (CKF_SIGN | CKF_VERIFY)) != (CKF_SIGN | CKF_VERIFY)) {
            require(result.empty());
            return;
        }
        std::string expected;
        bool known = true;
        for (const std::string& value : last.certificates) {
            std::string entry;
            known = known && listEntry(value, &entry);
            expected += entry;
        }
        if (known)
            require(result == expected);
        else
            require(result.rfind("CN=", 0) == 0 && result.back() == ';');
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("QD_PKCS11_MODULE", FAKEP11_MODULE, 1);
    // Loaded once and kept: the engine's own load and unload leave it (and
    // what it recorded) in place.
    void* handle = dlopen(FAKEP11_MODULE, RTLD_NOW);
    if (handle == nullptr) std::abort();
    module = {fuzz::control<decltype(&fakep11_load)>(handle, "fakep11_load"),
              fuzz::control<decltype(&fakep11_begin)>(handle, "fakep11_begin"),
              fuzz::control<decltype(&fakep11_record)>(handle, "fakep11_record")};
    catalogue = {makeCertificate("0A1024", "CN", "QD Fuzz One"), makeCertificate("80F00D2048", "CN", "张三"),
                 makeCertificate("C0FFEE0123456789ABCDEF0123456789ABCDEF01", "O", "只有机构")};
    std::vector<std::string> ders;
    for (const Known& k : catalogue) ders.push_back(k.der);
    fuzz::control<decltype(&fakep11_catalogue)>(handle, "fakep11_catalogue")(&ders);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // The page's side first: up to three operations, each with its CN,
    // data and hash; the rest of the input is the module's.
    std::vector<Call> calls(1 + in.byte() % 3);
    for (Call& call : calls) {
        call.operation = static_cast<Operation>(in.byte() % 4);
        const uint8_t cn = in.byte();
        call.cn = cn < 192 ? catalogue[cn % catalogue.size()].serial : in.bytes(80);
        const uint8_t text = in.byte();
        call.data = text < 128 ? std::string("1234567890") : in.bytes(300);
        call.hash = in.byte() % 5;
        if (call.hash == 4) call.otherHash = in.bytes(10);
    }
    const std::string script = in.rest();
    module.load(reinterpret_cast<const uint8_t*>(script.data()), script.size());

    PKCS11Impl engine;
    unsigned long mechanism = CKM_SHA1_RSA_PKCS;
    for (const Call& call : calls) {
        engine.setCN(call.cn);
        engine.setSignData(call.data);
        static const char* const kNames[] = {"", "md5", "sha1", "sha256"};
        if (call.hash != 0) {
            const std::string name = call.hash == 4 ? call.otherHash : kNames[call.hash];
            engine.setHashAlgorithm(name);
            // The name is read up to its first NUL, as every text of the engine.
            const std::string read = name.substr(0, name.find('\0'));
            mechanism = read == "md5"      ? CKM_MD5_RSA_PKCS
                        : read == "sha256" ? CKM_SHA256_RSA_PKCS
                                           : CKM_SHA1_RSA_PKCS;
        }
        Call stored = call;
        // The engine keeps a text up to its first NUL.
        stored.cn = stored.cn.substr(0, stored.cn.find('\0'));
        stored.data = stored.data.substr(0, stored.data.find('\0'));
        check(stored, engine, mechanism);
    }
    return 0;
}
