// Test support for every room that tests against the stand-in PKCS#11
// module (header-only; link the CMake target `qdpkcs11_testing`, which also
// builds the module, and require the CTest fixture `pkcs11_tokens`):
//
//   using namespace qdpkcs11::testing;
//   StandIn standIn(Tokens::get().one());   // QD_PKCS11_MODULE -> stand-in, own token copy
//   standIn.faults("C_Login=0xA0");          // the fault plan (sim/pkcs11/faults.h)
//   ... run the code under test ...
//   EXPECT_TRUE(standIn.tornDown());         // no session, finalised, unloaded
//
// The tokens are made once per CTest run by the fixture pkcs11_tokens
// (make-tokens.sh into build/Testing/Temporary/pkcs11-tokens, or where
// QD_PKCS11_TEST_TOKENS says); a test binary started by hand without them
// makes its own in a temporary folder, removed at exit. StandIn sets
// the process's environment and restores it when it goes: use one at a time,
// from the test's main thread.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ossl.h"
#include "sim/token/keysim_testing.h"

#ifndef QD_STANDIN_MODULE
#error "link the CMake target qdpkcs11_testing"
#endif

namespace qdpkcs11::testing {

using kpsim::testing::runProgram;
using kpsim::testing::ScopedEnv;

inline std::vector<unsigned char> fromHex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline std::string makeTempDir(const char* stem) {
    std::string base = std::filesystem::temp_directory_path().string() + "/" + stem + "-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return base;
}

// One certificate of a token, as make-test-token lists it.
struct Certificate {
    std::string token;
    std::string id;
    int bits = 0;  // 0: no private key
    std::string serial;
    std::string derPath;
    std::vector<unsigned char> der() const { return readFile(derPath); }
};

struct TokenSet {
    std::string conf;  // SOFTHSM2_CONF
    std::vector<Certificate> certificates;

    const Certificate& byId(const std::string& token, const std::string& id) const {
        for (const auto& c : certificates) {
            if (c.token == token && c.id == id) return c;
        }
        throw std::runtime_error("no certificate " + id + " on " + token);
    }
};

class Tokens {
public:
    // "one": QD Key A; "two": QD Key A and QD Key B.
    static const Tokens& get() {
        static Tokens tokens;
        return tokens;
    }
    const TokenSet& one() const { return one_; }
    const TokenSet& two() const { return two_; }
    const std::string& root() const { return root_; }

private:
    Tokens() {
        const char* root = std::getenv("QD_PKCS11_TEST_TOKENS");
        if (root == nullptr || *root == '\0') root = QD_PKCS11_TEST_TOKENS_DIR;
        if (std::filesystem::exists(std::string(root) + "/two/manifest")) {
            root_ = root;
        } else {
            root_ = makeTempDir("pkcs11-tokens");
            owned_ = true;
            auto r = runProgram("/bin/sh", {QD_MAKE_TOKENS, root_});
            if (r.status != 0) throw std::runtime_error("make-tokens.sh failed: " + r.err);
        }
        one_ = load(root_ + "/one");
        two_ = load(root_ + "/two");
    }
    ~Tokens() {
        if (owned_) {
            std::error_code ignored;
            std::filesystem::remove_all(root_, ignored);
        }
    }

    static TokenSet load(const std::string& dir) {
        TokenSet set;
        set.conf = dir + "/softhsm2.conf";
        std::ifstream in(dir + "/manifest");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            Certificate c;
            std::string bits;
            std::getline(fields, c.token, '\t');
            std::getline(fields, c.id, '\t');
            std::getline(fields, bits, '\t');
            std::getline(fields, c.serial, '\t');
            std::getline(fields, c.derPath, '\t');
            c.bits = std::stoi(bits);
            set.certificates.push_back(c);
        }
        if (set.certificates.empty()) throw std::runtime_error("no manifest in " + dir);
        return set;
    }

    std::string root_;
    bool owned_ = false;
    TokenSet one_;
    TokenSet two_;
};

inline std::string standInPath() { return QD_STANDIN_MODULE; }

// True while the module at `path` is mapped into this process.
inline bool isLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

// The engine's world for one test: the stand-in module over a private copy
// of a token set (SoftHSM2 rewrites token files at login, which processes
// sharing one copy trip over), the test PIN, no countdown window, counters
// in a fresh folder.
class StandIn {
public:
    // A null pin leaves QDPKCS11_TEST_PIN unset: the module asks the user.
    explicit StandIn(const TokenSet& tokens, const char* pin = "12345678")
        : dir_(copyTokens(tokens)),
          module_("QD_PKCS11_MODULE", standInPath()),
          conf_("SOFTHSM2_CONF", dir_ + "/softhsm2.conf"),
          pin_("QDPKCS11_TEST_PIN", pin ? pin : ""),
          countdown_("QDPKCS11_COUNTDOWN", "0"),
          state_("QDPKCS11_STATE", dir_ + "/state"),
          faults_("QDPKCS11_FAULTS", "") {
        if (pin == nullptr) unsetenv("QDPKCS11_TEST_PIN");
    }
    ~StandIn() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void faults(const std::string& plan) { setenv("QDPKCS11_FAULTS", plan.c_str(), 1); }
    const std::string& dir() const { return dir_; }

    // The stand-in's counters (counters.h); a missing name reads 0.
    long counter(const std::string& name) const {
        std::ifstream in(dir_ + "/state");
        std::string field;
        long value = 0;
        while (in >> field >> value) {
            if (field == name) return value;
        }
        return 0;
    }

    // Nothing left behind: no session, finalised, unloaded.
    ::testing::AssertionResult tornDown() const {
        if (isLoaded(standInPath())) return ::testing::AssertionFailure() << "module still loaded";
        if (counter("loaded") != 0) return ::testing::AssertionFailure() << "module reports itself loaded";
        if (counter("loads") != counter("unloads"))
            return ::testing::AssertionFailure()
                   << counter("loads") << " loads, " << counter("unloads") << " unloads";
        if (counter("initialized") != 0) return ::testing::AssertionFailure() << "module left initialised";
        if (counter("finalizations") != counter("initializations"))
            return ::testing::AssertionFailure() << counter("initializations") << " initialisations, "
                                                 << counter("finalizations") << " C_Finalize calls";
        if (counter("open_sessions") != 0)
            return ::testing::AssertionFailure() << counter("open_sessions") << " sessions left open";
        return ::testing::AssertionSuccess();
    }

private:
    static std::string copyTokens(const TokenSet& tokens) {
        const std::string dir = makeTempDir("standin");
        const auto from = std::filesystem::path(tokens.conf).parent_path() / "tokens";
        std::filesystem::copy(from, dir + "/tokens", std::filesystem::copy_options::recursive);
        std::ofstream conf(dir + "/softhsm2.conf");
        conf << "directories.tokendir = " << dir
             << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
        return dir;
    }

    std::string dir_;
    ScopedEnv module_;
    ScopedEnv conf_;
    ScopedEnv pin_;
    ScopedEnv countdown_;
    ScopedEnv state_;
    ScopedEnv faults_;
};

// Adds a certificate object to the token `label` of the SoftHSM2 tokens that
// SOFTHSM2_CONF names, straight through SoftHSM2 (pkcs11-tool refuses serial
// numbers longer than about 127 bytes).
inline ::testing::AssertionResult addCertificate(const std::string& label,
                                                 const std::vector<unsigned char>& der, const std::string& id,
                                                 const char* pin = "12345678") {
    void* softhsm = dlopen(QD_SOFTHSM_PATH, RTLD_NOW | RTLD_LOCAL);
    if (softhsm == nullptr) return ::testing::AssertionFailure() << dlerror();
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(softhsm, "C_GetFunctionList"));
    CK_FUNCTION_LIST* p11 = nullptr;
    if (getList == nullptr || getList(&p11) != CKR_OK)
        return ::testing::AssertionFailure() << "no function list";
    ::testing::AssertionResult result = ::testing::AssertionFailure() << "no token " << label;
    p11->C_Initialize(nullptr);
    CK_SLOT_ID slotIds[16];
    CK_ULONG count = 16;
    p11->C_GetSlotList(CK_TRUE, slotIds, &count);
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info{};
        p11->C_GetTokenInfo(slotIds[i], &info);
        std::string name(reinterpret_cast<char*>(info.label), sizeof info.label);
        name.erase(name.find_last_not_of(' ') + 1);
        if (name != label) continue;
        CK_SESSION_HANDLE session = 0;
        p11->C_OpenSession(slotIds[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
        p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                     std::strlen(pin));
        CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE certType = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        std::vector<unsigned char> idBytes = fromHex(id);
        std::vector<unsigned char> value = der;
        // SoftHSM2 wants the subject of an X.509 certificate object.
        const unsigned char* p = der.data();
        const ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        unsigned char* subjectDer = nullptr;
        const int subjectLength = cert ? i2d_X509_NAME(X509_get_subject_name(cert.get()), &subjectDer) : 0;
        std::vector<unsigned char> subject(subjectDer, subjectDer + std::max(subjectLength, 0));
        OPENSSL_free(subjectDer);
        CK_ATTRIBUTE templ[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                {CKA_CERTIFICATE_TYPE, &certType, sizeof certType},
                                {CKA_TOKEN, &yes, sizeof yes},
                                {CKA_ID, idBytes.data(), idBytes.size()},
                                {CKA_SUBJECT, subject.data(), subject.size()},
                                {CKA_VALUE, value.data(), value.size()}};
        CK_OBJECT_HANDLE object = 0;
        const CK_RV rv = p11->C_CreateObject(session, templ, 6, &object);
        result = rv == CKR_OK ? ::testing::AssertionSuccess()
                              : ::testing::AssertionFailure() << "C_CreateObject " << rv;
        p11->C_CloseSession(session);
        break;
    }
    p11->C_Finalize(nullptr);
    dlclose(softhsm);
    return result;
}

}  // namespace qdpkcs11::testing
