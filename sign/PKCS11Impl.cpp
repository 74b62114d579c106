#include "sign/PKCS11Impl.h"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <type_traits>

#include "platform/paths.h"
#include "sign/X509Helper.h"

static_assert(std::is_same_v<CK_FUNCTION_LIST, _CK_FUNCTION_LIST>);
static_assert(std::is_same_v<CK_ATTRIBUTE, _CK_ATTRIBUTE>);

namespace {

constexpr const char* kFailure = "E:1000";
constexpr uint32_t kSignFailed = 0xFFFFFFFF;
// What a module answers at most to one certificate search.
constexpr CK_ULONG kMaxCertificates = 64;
// The serial number and name texts of the search and the list.
constexpr size_t kTextBuffer = 512;
// CKF_SIGN | CKF_VERIFY: a slot's RSA mechanism must offer both.
constexpr CK_FLAGS kSignAndVerify = 0x2800;
// The most the engine sets aside for one answer of the module (a
// certificate, a key ID, a signature), and the most slots it takes: far
// above what a key holds, far below what would exhaust the browser.
constexpr CK_ULONG kMaxAnswerLength = 1UL << 20;
constexpr CK_ULONG kMaxSlots = 4096;

std::string eightDigits(size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%08zu", n);
    return text;
}

// A session opened while walking the slots, closed unless handed over.
class WalkSession {
public:
    WalkSession(CK_FUNCTION_LIST* list, CK_SESSION_HANDLE session) : list_(list), session_(session) {}
    ~WalkSession() {
        if (list_) list_->C_CloseSession(session_);
    }
    WalkSession(const WalkSession&) = delete;
    WalkSession& operator=(const WalkSession&) = delete;
    CK_SESSION_HANDLE handle() const { return session_; }
    void handOver() { list_ = nullptr; }

private:
    CK_FUNCTION_LIST* list_;
    CK_SESSION_HANDLE session_;
};

}  // namespace

// One operation on the module. It starts with the last error "OK": each
// operation answers for itself only, never with an earlier one's failure.
// Its teardown, whichever way it ends: the certificate's DER bytes freed,
// its session closed, C_Finalize, unload. Each step does nothing when there
// is nothing to undo (after a failed initialisation the function list is
// already forgotten, so C_Finalize is not called).
class PKCS11Impl::Bracket {
public:
    explicit Bracket(PKCS11Impl& engine) : engine_(engine) { engine_.lastError_ = "OK"; }
    ~Bracket() {
        engine_.releaseCertificateContext();
        engine_.uninitialize();
        engine_.unloadPKCS11Library();
    }
    Bracket(const Bracket&) = delete;
    Bracket& operator=(const Bracket&) = delete;

private:
    PKCS11Impl& engine_;
};

PKCS11Impl::PKCS11Impl() : context_(std::make_unique<CertificateContext>()) {}

// Every operation's bracket has torn everything down before it returned, so
// there is no module, session or certificate left to release here.
PKCS11Impl::~PKCS11Impl() = default;

void PKCS11Impl::fail(const char* step, unsigned long status) {
    lastError_ = step + getPKCS11ErrorCode(status);
}

// ---- the module --------------------------------------------------------------

unsigned long PKCS11Impl::loadPKCS11Library() {
    const std::string path = platform::pkcs11ModulePath();
    module_ = dlopen(path.c_str(), RTLD_LAZY);
    if (module_ == nullptr) {
        lastError_ = "Load pkcs11 lib fail";
        return CKR_FUNCTION_FAILED;
    }
    functionList_ = nullptr;
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module_, "C_GetFunctionList"));
    if (getFunctionList == nullptr) {
        // Not a PKCS#11 module after all: as if it could not be loaded.
        unloadPKCS11Library();
        lastError_ = "Load pkcs11 lib fail";
        return CKR_FUNCTION_FAILED;
    }
    const CK_RV rv = getFunctionList(&functionList_);
    if (rv != CKR_OK) {
        functionList_ = nullptr;
        unloadPKCS11Library();
        fail("C_GetFunctionList failed:", rv);
        return rv;
    }
    if (functionList_ == nullptr) {
        unloadPKCS11Library();
        lastError_ = "Function list of pkcs11 is null";
        return CKR_FUNCTION_FAILED;
    }
    return CKR_OK;
}

int PKCS11Impl::initialize() {
    if (functionList_ == nullptr) {
        lastError_ = "Function list of pkcs11 is null";
        return 0;
    }
    const CK_RV rv = functionList_->C_Initialize(nullptr);
    if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) return 1;
    fail("C_Initialize failed:", rv);
    // Not initialised, so not finalised either: the teardown only unloads.
    functionList_ = nullptr;
    return 0;
}

int PKCS11Impl::uninitialize() {
    if (functionList_ != nullptr) functionList_->C_Finalize(nullptr);
    functionList_ = nullptr;
    return 1;
}

int PKCS11Impl::unloadPKCS11Library() {
    if (module_ != nullptr) dlclose(module_);
    module_ = nullptr;
    return 0;
}

// ---- the certificate -----------------------------------------------------------

int PKCS11Impl::findObject(unsigned long session, CK_ATTRIBUTE* templ, unsigned long count,
                           unsigned long* handles, unsigned long* found) {
    CK_RV rv = functionList_->C_FindObjectsInit(session, templ, count);
    if (rv != CKR_OK) {
        fail("C_FindObjectsInit failed:", rv);
        return 0;
    }
    const CK_ULONG maximum = *found;
    CK_ULONG n = 0;
    rv = functionList_->C_FindObjects(session, handles, maximum, &n);
    const CK_RV finalRv = functionList_->C_FindObjectsFinal(session);
    if (rv == CKR_OK && n > 0) {
        if (finalRv != CKR_OK) {
            fail("C_FindObjectsFinal failed:", finalRv);
            return 0;
        }
        // Never more than the room given, whatever the module says.
        *found = std::min(n, maximum);
        return 1;
    }
    fail("C_FindObjects failed:", rv);
    return 0;
}

int PKCS11Impl::loadDerCert() {
    if (functionList_ == nullptr || !context_) {
        lastError_ = "Function list of pkcs11 is null";
        return 0;
    }
    CertificateContext& c = *context_;
    CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
    CK_RV rv = functionList_->C_GetAttributeValue(c.session, c.object, &value, 1);
    if (rv == CKR_OK && value.ulValueLen == CK_UNAVAILABLE_INFORMATION) rv = CKR_ATTRIBUTE_SENSITIVE;
    if (rv == CKR_OK && value.ulValueLen > kMaxAnswerLength) rv = CKR_HOST_MEMORY;
    if (rv == CKR_OK) {
        const CK_ULONG length = value.ulValueLen;
        c.der.assign(length + 1, 0);
        c.derLength = length;
        value.pValue = c.der.data();
        rv = functionList_->C_GetAttributeValue(c.session, c.object, &value, 1);
        // A module may shorten its answer, never lengthen it.
        if (rv == CKR_OK && value.ulValueLen > length) rv = CKR_BUFFER_TOO_SMALL;
        if (rv == CKR_OK) c.derLength = value.ulValueLen;
    }
    if (rv != CKR_OK) {
        freeDerCert();
        fail("Load cert C_GetAttributeValue failed:", rv);
        return 0;
    }
    return 1;
}

int PKCS11Impl::freeDerCert() {
    if (!context_) return 0;
    std::vector<unsigned char>().swap(context_->der);
    context_->derLength = 0;
    return 1;
}

void PKCS11Impl::closeContextSession() {
    if (context_ && context_->sessionOpen && functionList_ != nullptr) {
        functionList_->C_CloseSession(context_->session);
    }
    if (context_) context_->sessionOpen = false;
}

int PKCS11Impl::releaseCertificateContext() {
    if (!context_) return 0;
    freeDerCert();
    closeContextSession();
    return 1;
}

bool PKCS11Impl::slotList(std::vector<unsigned long>* slots, const char* firstStep, const char* secondStep) {
    CK_ULONG count = 0;
    CK_RV rv = functionList_->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) {
        fail(firstStep, rv);
        return false;
    }
    if (count == 0) {
        lastError_ = "Not found UKey";
        return false;
    }
    if (count > kMaxSlots) {
        lastError_ = "Params invalid";
        return false;
    }
    slots->assign(count, 0);
    rv = functionList_->C_GetSlotList(CK_TRUE, slots->data(), &count);
    if (rv != CKR_OK) {
        fail(secondStep, rv);
        return false;
    }
    slots->resize(std::min<CK_ULONG>(count, slots->size()));
    return true;
}

bool PKCS11Impl::walkCertificates(unsigned long slot, const std::function<bool(const X509Helper*)>& visit) {
    CK_SESSION_HANDLE handle = 0;
    if (functionList_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &handle) !=
        CKR_OK) {
        return false;
    }
    WalkSession session(functionList_, handle);
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE templ{CKA_CLASS, &certificateClass, sizeof certificateClass};
    CK_OBJECT_HANDLE objects[kMaxCertificates];
    CK_ULONG found = kMaxCertificates;
    if (!findObject(handle, &templ, 1, objects, &found)) return false;
    for (CK_ULONG i = 0; i < found; ++i) {
        context_->session = handle;
        context_->object = objects[i];
        if (!loadDerCert()) continue;
        X509Helper certificate;
        const auto length = static_cast<int32_t>(std::min<CK_ULONG>(context_->derLength, INT32_MAX));
        const bool parsed = certificate.loadDERCert(context_->der.data(), length);
        if (visit(parsed ? &certificate : nullptr)) {
            session.handOver();
            context_->sessionOpen = true;
            return true;
        }
        freeDerCert();
    }
    return false;
}

int PKCS11Impl::acquireCertificateContext(const std::string& selector) {
    std::vector<CK_SLOT_ID> slots;
    if (!slotList(&slots, "C_GetSlotList1 failed:", "C_GetSlotList2 failed:")) return 0;
    const auto matches = [&](const X509Helper* certificate) {
        // Bytes that do not parse, or a serial number too long for the text,
        // leave it empty.
        char serial[kTextBuffer] = {};
        if (certificate) certificate->GetSerialNumber(serial, sizeof serial);
        return selector == serial;
    };
    for (CK_SLOT_ID slot : slots) {
        CK_MECHANISM_INFO info{};
        const CK_RV rv = functionList_->C_GetMechanismInfo(slot, CKM_RSA_PKCS, &info);
        if (rv != CKR_OK || (info.flags & kSignAndVerify) != kSignAndVerify) continue;
        if (walkCertificates(slot, matches)) return 1;
    }
    lastError_ = "CN not matched";
    return 0;
}

int PKCS11Impl::findKey(unsigned long* handle, unsigned long objectClass) {
    if (functionList_ == nullptr || !context_) {
        lastError_ = "Function list of pkcs11 is null";
        return 0;
    }
    const CertificateContext& c = *context_;
    CK_ATTRIBUTE idLength{CKA_ID, nullptr, 0};
    CK_RV rv = functionList_->C_GetAttributeValue(c.session, c.object, &idLength, 1);
    if (rv == CKR_OK && idLength.ulValueLen == CK_UNAVAILABLE_INFORMATION) rv = CKR_ATTRIBUTE_SENSITIVE;
    if (rv == CKR_OK && idLength.ulValueLen > kMaxAnswerLength) rv = CKR_HOST_MEMORY;
    std::vector<unsigned char> id;
    CK_ATTRIBUTE idValue{CKA_ID, nullptr, 0};
    if (rv == CKR_OK) {
        id.assign(idLength.ulValueLen, 0);
        idValue.pValue = id.data();
        idValue.ulValueLen = id.size();
        rv = functionList_->C_GetAttributeValue(c.session, c.object, &idValue, 1);
        if (rv == CKR_OK && idValue.ulValueLen > id.size()) rv = CKR_BUFFER_TOO_SMALL;
    }
    if (rv != CKR_OK) {
        fail("Find key C_GetAttributeValue failed:", rv);
        return 0;
    }
    CK_OBJECT_CLASS keyClass = objectClass;
    CK_ATTRIBUTE templ[2] = {{CKA_ID, id.data(), idValue.ulValueLen},
                             {CKA_CLASS, &keyClass, sizeof keyClass}};
    CK_ULONG found = 1;
    return findObject(c.session, templ, 2, handle, &found);
}

// ---- signing -----------------------------------------------------------------------

unsigned long PKCS11Impl::p11Sign(const unsigned char* data, unsigned long length,
                                  std::vector<unsigned char>* signature) {
    if (functionList_ == nullptr || !context_) {
        lastError_ = "Function list of pkcs11 is null";
        return CKR_ARGUMENTS_BAD;
    }
    const CK_SESSION_HANDLE session = context_->session;
    // An empty PIN: the module asks the user itself.
    CK_RV rv = functionList_->C_Login(session, CKU_USER, nullptr, 0);
    if (rv != CKR_OK) {
        fail("C_Login failed:", rv);
        return rv;
    }
    CK_OBJECT_HANDLE key = 0;
    if (!findKey(&key, CKO_PRIVATE_KEY)) {
        functionList_->C_Logout(session);
        return CKR_FUNCTION_FAILED;  // the key search's text stays
    }
    CK_MECHANISM mechanism{mechanism_, nullptr, 0};
    rv = functionList_->C_SignInit(session, &mechanism, key);
    if (rv != CKR_OK) {
        functionList_->C_Logout(session);
        fail("C_SignInit failed:", rv);
        return rv;
    }
    // The module takes a non-const pointer; it does not write through it.
    rv = functionList_->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(data), length);
    if (rv != CKR_OK) {
        functionList_->C_Logout(session);
        fail("C_SignUpdate failed:", rv);
        return rv;
    }
    CK_ULONG size = 0;
    rv = functionList_->C_SignFinal(session, nullptr, &size);
    if (rv == CKR_OK && size > kMaxAnswerLength) rv = CKR_HOST_MEMORY;
    if (rv != CKR_OK) {
        functionList_->C_Logout(session);
        fail("C_SignFinal1 failed:", rv);
        return rv;
    }
    // Sized from the module's answer, so keys of any length fit.
    std::vector<unsigned char> buffer(std::max<CK_ULONG>(size, 1), 0);
    CK_ULONG written = size;
    rv = functionList_->C_SignFinal(session, buffer.data(), &written);
    if (rv == CKR_OK && written > size) rv = CKR_BUFFER_TOO_SMALL;
    if (rv != CKR_OK) {
        functionList_->C_Logout(session);
        fail("C_SignFinal2 failed:", rv);
        return rv;
    }
    signature->assign(buffer.begin(), buffer.begin() + written);
    rv = functionList_->C_Logout(session);
    if (rv != CKR_OK) {
        fail("C_Logout failed:", rv);
        return rv;
    }
    return CKR_OK;
}

uint32_t PKCS11Impl::sign(const unsigned char* data, unsigned long length, std::string* hex) {
    if (data == nullptr || length == 0) {
        lastError_ = "Params invalid";
        return kSignFailed;
    }
    Bracket bracket(*this);
    if (loadPKCS11Library() != CKR_OK) {
        lastError_ = "loadPKCS11Library failed:";
        return kSignFailed;
    }
    if (!initialize()) {
        lastError_ = "initialize failed:";
        return kSignFailed;
    }
    if (!acquireCertificateContext(getCN())) return kSignFailed;
    std::vector<unsigned char> signature;
    if (p11Sign(data, length, &signature) != CKR_OK) return kSignFailed;
    static const char kDigits[] = "0123456789ABCDEF";
    hex->clear();
    hex->reserve(2 * signature.size());
    for (unsigned char byte : signature) {
        hex->push_back(kDigits[byte >> 4]);
        hex->push_back(kDigits[byte & 0x0F]);
    }
    return 0;
}

std::string PKCS11Impl::base64(const unsigned char* bytes, size_t length) {
    // EVP_EncodeBlock takes an int: encode in whole groups of three bytes.
    constexpr size_t kChunk = 3 * 16384;
    std::string text;
    unsigned char out[4 * (kChunk / 3) + 1];
    for (size_t done = 0; done < length; done += kChunk) {
        const size_t n = std::min(kChunk, length - done);
        const int written = EVP_EncodeBlock(out, bytes + done, static_cast<int>(n));
        text.append(reinterpret_cast<const char*>(out), static_cast<size_t>(written));
    }
    return text;
}

// ---- the page's results ---------------------------------------------------------------

std::string PKCS11Impl::signedText(const char* tag, bool withData) {
    try {
        const std::string data = signData();
        std::string hex;
        if (sign(reinterpret_cast<const unsigned char*>(data.data()), data.size(), &hex) != 0)
            return kFailure;
        std::string text = std::string(tag) + "65001:";
        if (withData) text += eightDigits(data.size()) + data;
        text += eightDigits(hex.size()) + hex;
        return text;
    } catch (const std::exception&) {
        return kFailure;
    }
}

std::string PKCS11Impl::getSignData() { return signedText("UD", true); }

std::string PKCS11Impl::getSignature() { return signedText("US", false); }

std::string PKCS11Impl::signCert() {
    try {
        Bracket bracket(*this);
        if (loadPKCS11Library() != CKR_OK || !initialize()) return kFailure;
        if (!acquireCertificateContext(getCN())) return kFailure;
        return base64(context_->der.data(), context_->derLength);
    } catch (const std::exception&) {
        return kFailure;
    }
}

std::string PKCS11Impl::getCertList() {
    try {
        std::string result;
        Bracket bracket(*this);
        if (loadPKCS11Library() != CKR_OK || !initialize()) return kFailure;
        std::vector<CK_SLOT_ID> slots;
        if (!slotList(&slots, "C_GetSlotList failed:", "C_GetSlotList failed:")) return kFailure;
        for (CK_SLOT_ID slot : slots) {
            CK_MECHANISM_INFO info{};
            const CK_RV rv = functionList_->C_GetMechanismInfo(slot, CKM_RSA_PKCS, &info);
            if (rv != CKR_OK) {
                lastError_ = getPKCS11ErrorCode(rv);
                result = kFailure;
                continue;
            }
            // Each slot that answers starts the list afresh: the last one wins.
            lastError_ = "OK";
            result.clear();
            if ((info.flags & kSignAndVerify) != kSignAndVerify) continue;
            walkCertificates(slot, [&](const X509Helper* certificate) {
                char name[kTextBuffer] = {};
                char serial[kTextBuffer] = {};
                if (certificate) {
                    certificate->GetSubjectName(name, sizeof name);
                    certificate->GetSerialNumber(serial, sizeof serial);
                }
                result += std::string("CN=") + name + "," + serial + ";";
                return false;
            });
        }
        return result;
    } catch (const std::exception&) {
        return kFailure;
    }
}

std::string PKCS11Impl::getProviderName() { return "dorn"; }

// ---- texts and settings ------------------------------------------------------------------

void PKCS11Impl::setHashAlgorithm(std::string_view name) {
    name = name.substr(0, name.find('\0'));  // as the setters keep a page's text
    if (name == "md5") {
        mechanism_ = CKM_MD5_RSA_PKCS;
    } else if (name == "sha256") {
        mechanism_ = CKM_SHA256_RSA_PKCS;
    } else {
        mechanism_ = CKM_SHA1_RSA_PKCS;
    }
}

std::string PKCS11Impl::getSignFile() { return "getSignFile:not supported"; }
std::string PKCS11Impl::pkcs7Data() { return "pkcs7Data:not supported"; }
std::string PKCS11Impl::verifyPKCS7(std::string_view) { return "verifyPKCS7:not supported"; }
std::string PKCS11Impl::verifySignature(std::string_view, std::string_view, std::string_view) {
    return "verifySignature:not supported";
}
std::string PKCS11Impl::lastError() { return lastError_; }
