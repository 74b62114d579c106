// Opening SM2 outputs with OpenSSL's own SM2 decryption and the demo keys.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decoder.h"

namespace sectest {

inline std::string keyPath(const std::string& name) { return std::string(SECURITY_KEYS_DIR) + "/" + name; }

inline std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

inline EVP_PKEY* loadPrivateKey(const std::string& name) {
    FILE* f = std::fopen(keyPath(name).c_str(), "r");
    if (f == nullptr) return nullptr;
    EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return k;
}

// C1x || C1y || C3 || C2 (raw, 32-byte coordinates) -> the DER record, built
// by the server-side decoder rather than the library's own record coding.
inline std::vector<unsigned char> rawToDer(const unsigned char* raw, size_t len) {
    std::vector<unsigned char> der;
    decoder::sm2RawToDer(std::vector<unsigned char>(raw, raw + len), der);
    return der;
}

// OpenSSL's SM2 decryption of a DER ciphertext; empty on failure.
inline std::vector<unsigned char> sm2Decrypt(EVP_PKEY* key, const std::vector<unsigned char>& der) {
    std::vector<unsigned char> out;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t n = 0;
    if (ctx != nullptr && EVP_PKEY_decrypt_init(ctx) == 1 &&
        EVP_PKEY_decrypt(ctx, nullptr, &n, der.data(), der.size()) == 1) {
        out.resize(n);
        if (EVP_PKEY_decrypt(ctx, out.data(), &n, der.data(), der.size()) == 1)
            out.resize(n);
        else
            out.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

}  // namespace sectest
