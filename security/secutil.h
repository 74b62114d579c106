// Internal helpers of the security library: owners for OpenSSL handles and a
// byte buffer that wipes itself, so every return path releases and cleans.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/ossl.h"

namespace secutil {

// Numbers of keys and ciphertexts: wiped when freed.
using BnPtr = ossl::SecretBnPtr;
using BnCtxPtr = ossl::BnCtxPtr;

// Zero-filled on creation, wiped on destruction; never reallocates.
class SecureBytes {
public:
    explicit SecureBytes(size_t n) : bytes_(n, 0) {}
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;
    ~SecureBytes() { wipe(); }
    void wipe() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }
    unsigned char* data() { return bytes_.data(); }
    const unsigned char* data() const { return bytes_.data(); }
    char* chars() { return reinterpret_cast<char*>(bytes_.data()); }
    size_t size() const { return bytes_.size(); }
    unsigned char& operator[](size_t i) { return bytes_[i]; }

private:
    std::vector<unsigned char> bytes_;
};

// A malloc'ed block handed out by one of our functions (caller frees): wiped
// over `len` bytes, then freed.
struct WipedFree {
    size_t len = 0;
    void operator()(void* p) const {
        if (p != nullptr) {
            OPENSSL_cleanse(p, len);
            std::free(p);
        }
    }
};

// True when the n characters at s are all hex digits (either case); key
// texts are whole hex or nothing (no sign, prefix or whitespace).
inline bool isHexText(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

}  // namespace secutil

namespace secutil {
// Test seam: read random bytes from another file instead of /dev/urandom
// (nullptr restores it), so tests can make the random source fail. Not part
// of the library's C interface.
void setRandomSourceForTesting(const char* path);
}  // namespace secutil
