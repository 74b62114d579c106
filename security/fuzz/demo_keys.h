// The demo deployment's keys (sim/keys) for the security harnesses: public
// key texts for dornEncrypt and the private keys that open its outputs.
#pragma once

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "decoder.h"

namespace fuzzkeys {

struct DemoKeys {
    std::string appHex, rsaHex, sm2Hex;
    decoder::PkeyPtr app, rsa, sm2;
};

inline std::string keyText(const char* name) {
    std::ifstream in(std::string(SECURITY_KEYS_DIR) + "/" + name);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// Loaded once; a harness without its keys cannot judge anything, so it stops.
inline const DemoKeys& demoKeys() {
    static const DemoKeys keys = [] {
        DemoKeys k;
        std::string error;
        k.appHex = keyText("app_rsa1024.modulus.hex");
        k.rsaHex = keyText("platform_rsa1024.modulus.hex");
        k.sm2Hex = keyText("platform_sm2.pub.hex");
        const std::string dir = std::string(SECURITY_KEYS_DIR) + "/";
        k.app = decoder::loadPrivateKey(dir + "app_rsa1024.pem", error);
        k.rsa = decoder::loadPrivateKey(dir + "platform_rsa1024.pem", error);
        k.sm2 = decoder::loadPrivateKey(dir + "platform_sm2.pem", error);
        if (!k.app || !k.rsa || !k.sm2 || k.appHex.empty() || k.rsaHex.empty() || k.sm2Hex.empty())
            std::abort();
        return k;
    }();
    return keys;
}

}  // namespace fuzzkeys
