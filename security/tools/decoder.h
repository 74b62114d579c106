// Opens every dornEncrypt format again with the private keys: the server's
// side of the wire contract, for dorn-decrypt and the tests. Each function
// checks the layout strictly and says what was wrong instead of guessing.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ossl.h"

namespace decoder {

using Bytes = std::vector<unsigned char>;

using PkeyPtr = ossl::PkeyPtr;

// PEM private key from a file; null with `error` set on failure.
PkeyPtr loadPrivateKey(const std::string& path, std::string& error);

struct Envelope {
    Bytes raw;          // the decoded envelope E
    int keySize = 0;    // k, from the first length field
    Bytes rc4Key;       // 16 bytes, after undoing the byte reversal and RSA
    std::string plain;  // P = "S" + timestamp + ":" + text
    std::string timestamp;
    std::string text;
};

// Standard envelope (Base64) under the application private key.
bool openEnvelope(EVP_PKEY* appKey, const std::string& base64, Envelope& env, std::string& error);

struct PinResult {
    Bytes pinBlock;      // the 8-byte PIN block, decrypted
    Bytes keyBlock;      // the k-byte DES key block
    Bytes desKey;        // K1 || K2 taken from the key block
    Bytes fixedValue;    // the 8 bytes at the end of the key block
    Bytes serverRandom;  // k bytes, big-endian
};

// Mode 1 hex output under the platform RSA private key.
bool openMode1(EVP_PKEY* platformKey, const std::string& hex, PinResult& result, std::string& error);

// Mode 2: the envelope's text is the hex RSA ciphertext of the password.
bool openMode2(EVP_PKEY* appKey, EVP_PKEY* platformKey, const std::string& base64, Envelope& env,
               std::string& password, std::string& error);

// Modes 3-5: the envelope's text is the hex of the 128-byte SM2 output.
bool openSm2Mode(EVP_PKEY* appKey, EVP_PKEY* sm2Key, const std::string& base64, Envelope& env, Bytes& block,
                 std::string& error);

struct LayoutB {
    Bytes random;            // bytes 2 .. 20 - n
    std::string fixedField;  // eight digits
    std::string text;
};
bool parseLayoutB(const Bytes& block, LayoutB& out, std::string& error);
// Layout C: the text; `random` gets the trailing 30 - n bytes.
bool parseLayoutC(const Bytes& block, std::string& text, Bytes& random, std::string& error);

// SM2 raw output C1x || C1y || C3 || C2 (32-byte coordinates) rearranged into
// the DER record OpenSSL's SM2 decryption reads; false when too short.
bool sm2RawToDer(const Bytes& raw, Bytes& der);
// SM2 raw output opened with OpenSSL's SM2 decryption.
bool sm2DecryptRaw(EVP_PKEY* sm2Key, const Bytes& raw, Bytes& plain, std::string& error);

// Helpers shared with the tests.
bool unhex(const std::string& hex, Bytes& out);
std::string hex(const Bytes& b);

}  // namespace decoder
