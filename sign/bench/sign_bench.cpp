// How much the signing plug-in adds to the PKCS#11 work it cannot avoid: a
// page's read of "SignData" through the plug-in in the test browser, and
// getSignData of the engine alone (load, initialise, walk the slots and
// certificates to the serial number, login, sign, teardown), against a bare
// cycle on the same module and token (load, C_Initialize, slot count and
// list, session, login, find the key by its CKA_ID, sign, logout,
// C_Finalize, unload), interleaved in one run.
//
//   sign_bench [--rounds N] [--key 1024|2048|4096] [TOKEN-DIR]
//
// TOKEN-DIR is a folder made by scripts/make-test-token (made afresh in a
// temporary folder when not given). The module is the stand-in
// (QD_PKCS11_MODULE, else the one built beside this program), with the test
// PIN and no countdown window: the figures are the engine's, not the user's.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "identity.h"
#include "np_entry.h"
#include "platform/paths.h"
#include "sign/PKCS11Impl.h"
#include "sim/browser/npbrowser.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Key {
    std::string serial;
    std::vector<unsigned char> id;
};

bool findKey(const std::string& tokenDir, int bits, Key* key) {
    std::ifstream in(tokenDir + "/manifest");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string token, id, keyBits, serial;
        std::getline(fields, token, '\t');
        std::getline(fields, id, '\t');
        std::getline(fields, keyBits, '\t');
        std::getline(fields, serial, '\t');
        if (token == "QD Key A" && keyBits == std::to_string(bits)) {
            key->serial = serial;
            key->id.clear();
            for (size_t i = 0; i + 1 < id.size(); i += 2) {
                key->id.push_back(static_cast<unsigned char>(std::stoi(id.substr(i, 2), nullptr, 16)));
            }
            return true;
        }
    }
    return false;
}

// The bare cycle; false on any failure.
bool rawCycle(const std::string& module, const Key& key, const std::string& data) {
    void* handle = dlopen(module.c_str(), RTLD_LAZY);
    if (handle == nullptr) return false;
    bool ok = false;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* p11 = nullptr;
    if (getList != nullptr && getList(&p11) == CKR_OK && p11 != nullptr &&
        p11->C_Initialize(nullptr) == CKR_OK) {
        // The usual two calls: how many slots, then which.
        CK_ULONG count = 0;
        std::vector<CK_SLOT_ID> slotIds;
        if (p11->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK) slotIds.resize(count);
        CK_SESSION_HANDLE session = 0;
        if (count > 0 && p11->C_GetSlotList(CK_TRUE, slotIds.data(), &count) == CKR_OK && count > 0 &&
            p11->C_OpenSession(slotIds[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) ==
                CKR_OK) {
            if (p11->C_Login(session, CKU_USER, nullptr, 0) == CKR_OK) {
                CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
                std::vector<unsigned char> id = key.id;
                CK_ATTRIBUTE templ[] = {{CKA_ID, id.data(), id.size()},
                                        {CKA_CLASS, &keyClass, sizeof keyClass}};
                CK_OBJECT_HANDLE object = 0;
                CK_ULONG found = 0;
                if (p11->C_FindObjectsInit(session, templ, 2) == CKR_OK) {
                    p11->C_FindObjects(session, &object, 1, &found);
                    p11->C_FindObjectsFinal(session);
                }
                CK_MECHANISM mechanism{CKM_SHA1_RSA_PKCS, nullptr, 0};
                std::vector<unsigned char> bytes(data.begin(), data.end());
                CK_ULONG size = 0;
                if (found == 1 && p11->C_SignInit(session, &mechanism, object) == CKR_OK &&
                    p11->C_SignUpdate(session, bytes.data(), bytes.size()) == CKR_OK &&
                    p11->C_SignFinal(session, nullptr, &size) == CKR_OK) {
                    std::vector<unsigned char> signature(size);
                    ok = p11->C_SignFinal(session, signature.data(), &size) == CKR_OK;
                }
                p11->C_Logout(session);
            }
            p11->C_CloseSession(session);
        }
        p11->C_Finalize(nullptr);
    }
    dlclose(handle);
    return ok;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    npbrowser::ensureApplication();
    int rounds = 200;
    int bits = 2048;
    std::string tokenDir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--key" && i + 1 < argc) {
            bits = std::atoi(argv[++i]);
        } else if (!arg.empty() && arg[0] != '-') {
            tokenDir = arg;
        } else {
            std::fprintf(stderr, "usage: sign_bench [--rounds N] [--key 1024|2048|4096] [TOKEN-DIR]\n");
            return 2;
        }
    }
    std::string temporary;
    if (tokenDir.empty()) {
        temporary = std::filesystem::temp_directory_path().string() + "/sign-bench-XXXXXX";
        if (mkdtemp(temporary.data()) == nullptr) {
            std::fprintf(stderr, "sign_bench: cannot make a temporary folder\n");
            return 1;
        }
        const std::string command = std::string(QD_MAKE_TEST_TOKEN) + " " + temporary + " >/dev/null";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "sign_bench: make-test-token failed\n");
            return 1;
        }
        tokenDir = temporary;
    }
    Key key;
    if (!findKey(tokenDir, bits, &key)) {
        std::fprintf(stderr, "sign_bench: no RSA-%d key in %s/manifest\n", bits, tokenDir.c_str());
        return 1;
    }
    setenv("SOFTHSM2_CONF", (tokenDir + "/softhsm2.conf").c_str(), 1);
    if (std::getenv("QD_PKCS11_MODULE") == nullptr) setenv("QD_PKCS11_MODULE", QD_STANDIN_MODULE, 1);
    setenv("QDPKCS11_TEST_PIN", "12345678", 0);
    setenv("QDPKCS11_COUNTDOWN", "0", 1);
    unsetenv("QDPKCS11_FAULTS");
    unsetenv("QDPKCS11_STATE");
    const std::string module = platform::pkcs11ModulePath();

    PKCS11Impl engine;
    engine.setCN(key.serial);
    const std::string data = "transfer 1000.00 CNY to 6222 0000 1234 5678";
    engine.setSignData(data);

    // The same through the plug-in, as a page reads the property.
    npbrowser::Browser browser;
    std::string error;
    if (!browser.attach(NP_Initialize, NP_GetEntryPoints, NP_Shutdown, NP_GetValue, &error)) {
        std::fprintf(stderr, "sign_bench: %s\n", error.c_str());
        return 1;
    }
    auto page = browser.newInstance(kPluginIdentity.mimeType, {}, nullptr);
    if (!page || !page->setProperty("CN", npbrowser::Value::makeText(key.serial)) ||
        !page->setProperty("SignData", npbrowser::Value::makeText(data))) {
        std::fprintf(stderr, "sign_bench: the plug-in refused the page's texts\n");
        return 1;
    }
    auto pluginSigns = [&] {
        npbrowser::Value result;
        return page->getProperty("SignData", &result) && result.text.rfind("UD65001:", 0) == 0;
    };

    // One warm-up of each, so all find the libraries in the page cache.
    if (engine.getSignData().rfind("UD65001:", 0) != 0 || !rawCycle(module, key, data) || !pluginSigns()) {
        std::fprintf(stderr, "sign_bench: signing fails: %s\n", engine.lastError().c_str());
        return 1;
    }
    std::vector<double> engineTimes, rawTimes, pluginTimes;
    auto timed = [](std::vector<double>& into, auto&& work) {
        const auto start = Clock::now();
        const bool ok = work();
        into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        return ok;
    };
    for (int i = 0; i < rounds; ++i) {
        const bool pluginOk = timed(pluginTimes, pluginSigns);
        const bool engineOk = timed(engineTimes, [&] { return engine.getSignData().size() > 8; });
        const bool rawOk = timed(rawTimes, [&] { return rawCycle(module, key, data); });
        if (!engineOk || !rawOk || !pluginOk) {
            std::fprintf(stderr, "sign_bench: round %d failed: %s\n", i, engine.lastError().c_str());
            return 1;
        }
    }
    if (!temporary.empty()) std::filesystem::remove_all(temporary);

    const double plugin = median(pluginTimes);
    const double ours = median(engineTimes);
    const double bare = median(rawTimes);
    std::printf("RSA-%d, %d rounds, medians (module %s)\n", bits, rounds, module.c_str());
    std::printf("%-44s %10.0f us\n", "SignData read through the plug-in", plugin);
    std::printf("%-44s %10.0f us\n", "getSignData through the engine", ours);
    std::printf("%-44s %10.0f us\n", "bare PKCS#11 cycle on the same module", bare);
    std::printf("%-44s %10.2f   (goal <= 1.30)\n", "ratio, plug-in / bare", plugin / bare);
    std::printf("%-44s %10.2f\n", "ratio, engine / bare", ours / bare);
    return 0;
}
