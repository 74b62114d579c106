// Server-side opening of the dornEncrypt formats. OpenSSL's own RSA, RC4,
// triple DES, SM2 and DER coding do the work, and every layout is written out
// here again: nothing is shared with the library, so a wrong layout there
// cannot open here by mirroring itself.
#define OPENSSL_SUPPRESS_DEPRECATED  // low-level RC4 and DES: no legacy provider needed
#include "decoder.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/pem.h>
#include <openssl/rc4.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/files.h"

namespace decoder {
namespace {

bool rsaDecrypt(EVP_PKEY* key, int padding, const Bytes& in, Bytes& out, std::string& error) {
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &len, in.data(), in.size()) != 1) {
        error = "RSA private decryption could not start";
        return false;
    }
    out.assign(len, 0);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, in.data(), in.size()) != 1) {
        error = "RSA private decryption failed";
        return false;
    }
    out.resize(len);
    return true;
}

bool base64Decode(const std::string& text, Bytes& out, std::string& error) {
    if (text.empty() || text.size() % 4 != 0 || text.find_first_of("\r\n ") != std::string::npos) {
        error = "not Base64 without line breaks";
        return false;
    }
    out.assign(text.size() / 4 * 3, 0);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) {
        error = "not Base64";
        return false;
    }
    size_t pad = 0;
    if (text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
    out.resize(size_t(n) - pad);
    return true;
}

bool lengthField(const Bytes& b, size_t at, long& value) {
    if (at + 8 > b.size()) return false;
    value = 0;
    for (size_t i = at; i < at + 8; ++i) {
        if (b[i] < '0' || b[i] > '9') return false;
        value = value * 10 + (b[i] - '0');
    }
    return true;
}

}  // namespace

bool unhex(const std::string& hex, Bytes& out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned v = 0;
        for (size_t j = i; j < i + 2; ++j) {
            const char c = hex[j];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= unsigned(c - '0');
            else if (c >= 'A' && c <= 'F')
                v |= unsigned(c - 'A' + 10);
            else if (c >= 'a' && c <= 'f')
                v |= unsigned(c - 'a' + 10);
            else
                return false;
        }
        out.push_back(static_cast<unsigned char>(v));
    }
    return true;
}

std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 0xF];
    }
    return s;
}

PkeyPtr loadPrivateKey(const std::string& path, std::string& error) {
    // A key file is small; a folder, FIFO or device is refused before a read.
    std::string pem;
    if (!platform::readSmallFile(path, 1u << 20, &pem, &error)) return nullptr;
    const ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    OPENSSL_cleanse(pem.data(), pem.size());
    if (!key) error = "no PEM private key in " + path;
    return key;
}

bool openEnvelope(EVP_PKEY* appKey, const std::string& base64, Envelope& env, std::string& error) {
    if (!base64Decode(base64, env.raw, error)) return false;
    const Bytes& e = env.raw;
    const int k = EVP_PKEY_get_size(appKey);
    long first = 0;
    if (!lengthField(e, 0, first) || first != k + 12) {
        error = "first length field is not k + 12";
        return false;
    }
    env.keySize = k;
    static const unsigned char header[12] = {0x01, 0x02, 0x00, 0x00, 0x01, 0x68,
                                             0x00, 0x00, 0x00, 0xA4, 0x00, 0x00};
    if (e.size() < size_t(k) + 28 || std::memcmp(e.data() + 8, header, 12) != 0) {
        error = "key blob header is wrong";
        return false;
    }
    Bytes wrapped(e.begin() + 20, e.begin() + 20 + k);
    std::reverse(wrapped.begin(), wrapped.end());
    if (!rsaDecrypt(appKey, RSA_PKCS1_PADDING, wrapped, env.rc4Key, error)) return false;
    if (env.rc4Key.size() != 16) {
        error = "RC4 key is not 16 bytes";
        return false;
    }
    long m = 0;
    if (!lengthField(e, size_t(20 + k), m) || e.size() != size_t(k) + 28 + size_t(m)) {
        error = "second length field does not match the envelope";
        return false;
    }
    RC4_KEY rc4;
    RC4_set_key(&rc4, 16, env.rc4Key.data());
    unsigned char drop[512] = {};
    RC4(&rc4, sizeof drop, drop, drop);
    env.plain.assign(size_t(m), '\0');
    RC4(&rc4, size_t(m), e.data() + 28 + k, reinterpret_cast<unsigned char*>(env.plain.data()));
    const size_t colon = env.plain.find(':');
    if (env.plain.empty() || env.plain[0] != 'S' || colon == std::string::npos) {
        error = "plain text is not S<timestamp>:<text>";
        return false;
    }
    env.timestamp = env.plain.substr(1, colon - 1);
    env.text = env.plain.substr(colon + 1);
    return true;
}

bool openMode1(EVP_PKEY* platformKey, const std::string& text, PinResult& r, std::string& error) {
    const size_t k = size_t(EVP_PKEY_get_size(platformKey));
    if (text.size() != 16 + 4 * k) {
        error = "mode 1 output is not 16 + 4k characters";
        return false;
    }
    if (text.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        error = "mode 1 output is not upper-case hex";
        return false;
    }
    Bytes pinCipher, keyCipher, randCipher;
    unhex(text.substr(0, 16), pinCipher);
    unhex(text.substr(16, 2 * k), keyCipher);
    unhex(text.substr(16 + 2 * k), randCipher);
    if (!rsaDecrypt(platformKey, RSA_NO_PADDING, keyCipher, r.keyBlock, error) ||
        !rsaDecrypt(platformKey, RSA_NO_PADDING, randCipher, r.serverRandom, error))
        return false;
    const Bytes& b = r.keyBlock;
    static const unsigned char mid[] = {0x00, 0x30, 0x1C, 0x04, 0x10};
    if (b.size() != k || k < 33 || b[0] != 0x00 || b[1] != 0x02 ||
        !std::all_of(b.begin() + 2, b.begin() + long(k) - 31, [](unsigned char c) { return c == 0xFF; }) ||
        std::memcmp(b.data() + k - 31, mid, sizeof mid) != 0 || b[k - 10] != 0x04 || b[k - 9] != 0x08) {
        error = "DES key block layout is wrong";
        return false;
    }
    r.desKey.assign(b.begin() + long(k) - 26, b.begin() + long(k) - 10);
    r.fixedValue.assign(b.end() - 8, b.end());

    DES_cblock k1, k2, in, out;
    std::memcpy(k1, r.desKey.data(), 8);
    std::memcpy(k2, r.desKey.data() + 8, 8);
    std::memcpy(in, pinCipher.data(), 8);
    DES_key_schedule s1, s2;
    DES_set_key_unchecked(&k1, &s1);
    DES_set_key_unchecked(&k2, &s2);
    DES_ecb3_encrypt(&in, &out, &s1, &s2, &s1, DES_DECRYPT);
    r.pinBlock.assign(out, out + 8);
    return true;
}

bool openMode2(EVP_PKEY* appKey, EVP_PKEY* platformKey, const std::string& base64, Envelope& env,
               std::string& password, std::string& error) {
    if (!openEnvelope(appKey, base64, env, error)) return false;
    Bytes cipher, plain;
    if (env.text.size() != 2 * size_t(EVP_PKEY_get_size(platformKey)) ||
        env.text.find_first_not_of("0123456789ABCDEF") != std::string::npos || !unhex(env.text, cipher)) {
        error = "envelope text is not 2k upper-case hex digits";
        return false;
    }
    if (!rsaDecrypt(platformKey, RSA_PKCS1_PADDING, cipher, plain, error)) return false;
    password.assign(plain.begin(), plain.end());
    return true;
}

bool sm2RawToDer(const Bytes& raw, Bytes& der) {
    der.clear();
    if (raw.size() < 96) return false;
    // SEQUENCE { x INTEGER, y INTEGER, C3 OCTET STRING, C2 OCTET STRING },
    // each element DER-coded by OpenSSL's own primitives.
    Bytes body;
    auto append = [&body](int len, unsigned char* coded) {
        if (len <= 0 || coded == nullptr) return false;
        body.insert(body.end(), coded, coded + len);
        OPENSSL_free(coded);
        return true;
    };
    for (size_t at : {size_t(0), size_t(32)}) {
        BIGNUM* bn = BN_bin2bn(raw.data() + at, 32, nullptr);
        ASN1_INTEGER* i = bn != nullptr ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
        BN_free(bn);
        unsigned char* coded = nullptr;
        const int len = i != nullptr ? i2d_ASN1_INTEGER(i, &coded) : 0;
        ASN1_INTEGER_free(i);
        if (!append(len, coded)) return false;
    }
    for (const auto& [at, n] : {std::pair<size_t, size_t>{64, 32}, {96, raw.size() - 96}}) {
        ASN1_OCTET_STRING* o = ASN1_OCTET_STRING_new();
        unsigned char* coded = nullptr;
        const int len = o != nullptr && ASN1_OCTET_STRING_set(o, raw.data() + at, int(n)) == 1
                            ? i2d_ASN1_OCTET_STRING(o, &coded)
                            : 0;
        ASN1_OCTET_STRING_free(o);
        if (!append(len, coded)) return false;
    }
    const int total = ASN1_object_size(1, int(body.size()), V_ASN1_SEQUENCE);
    if (total <= 0) return false;
    der.assign(size_t(total), 0);
    unsigned char* p = der.data();
    ASN1_put_object(&p, 1, int(body.size()), V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    std::memcpy(p, body.data(), body.size());
    return true;
}

bool sm2DecryptRaw(EVP_PKEY* sm2Key, const Bytes& raw, Bytes& plain, std::string& error) {
    if (raw.size() < 97) {
        error = "SM2 output too short";
        return false;
    }
    Bytes der;
    if (!sm2RawToDer(raw, der)) {
        error = "cannot encode the SM2 record";
        return false;
    }
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(sm2Key, nullptr));
    size_t len = 0;
    bool ok = ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_decrypt(ctx.get(), nullptr, &len, der.data(), der.size()) == 1;
    if (ok) {
        plain.assign(len, 0);
        ok = EVP_PKEY_decrypt(ctx.get(), plain.data(), &len, der.data(), der.size()) == 1;
        plain.resize(len);
    }
    if (!ok) error = "SM2 decryption failed";
    return ok;
}

bool openSm2Mode(EVP_PKEY* appKey, EVP_PKEY* sm2Key, const std::string& base64, Envelope& env, Bytes& block,
                 std::string& error) {
    if (!openEnvelope(appKey, base64, env, error)) return false;
    Bytes raw;
    if (env.text.size() != 256 || env.text.find_first_not_of("0123456789ABCDEF") != std::string::npos ||
        !unhex(env.text, raw)) {
        error = "envelope text is not 256 upper-case hex digits";
        return false;
    }
    if (!sm2DecryptRaw(sm2Key, raw, block, error)) return false;
    if (block.size() != 32) {
        error = "SM2 block is not 32 bytes";
        return false;
    }
    return true;
}

bool parseLayoutB(const Bytes& b, LayoutB& out, std::string& error) {
    if (b.size() != 32 || b[0] != 0x00 || b[1] != 0x02) {
        error = "layout B does not start 00 02";
        return false;
    }
    // The random bytes are never zero, so the first zero after them ends them.
    const auto sep = std::find(b.begin() + 2, b.end(), 0x00);
    if (sep == b.end() || b.end() - sep < 11) {
        error = "layout B has no separator";
        return false;
    }
    const size_t n = size_t(b.end() - sep) - 11;
    out.random.assign(b.begin() + 2, sep);
    out.fixedField.assign(sep + 1, sep + 9);
    char len[3];
    std::snprintf(len, sizeof len, "%02X", unsigned(n));
    if (n > 19 || std::memcmp(&*(sep + 9), len, 2) != 0) {
        error = "layout B length field does not match";
        return false;
    }
    out.text.assign(sep + 11, b.end());
    return true;
}

bool parseLayoutC(const Bytes& b, std::string& text, Bytes& random, std::string& error) {
    Bytes n;
    const std::string field = b.size() == 32 ? std::string(b.begin(), b.begin() + 2) : std::string();
    if (field.size() != 2 || field.find_first_not_of("0123456789ABCDEF") != std::string::npos ||
        !unhex(field, n) || n[0] > 30) {
        error = "layout C length field is wrong";
        return false;
    }
    text.assign(b.begin() + 2, b.begin() + 2 + n[0]);
    random.assign(b.begin() + 2 + n[0], b.end());
    return true;
}

}  // namespace decoder
