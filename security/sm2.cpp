// SM2 encryption: the curve group, the SM2ED_ module with its method
// selection, and sm2Encrypt as the password formats use it.
//
// The per-key method rides in EC_KEY's extra data, an interface OpenSSL 3
// marks deprecated but still provides; silence that here only.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "security/sm2.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "security/secutil.h"

namespace {

using secutil::BnCtxPtr;
using secutil::BnPtr;

// The recommended 256-bit curve; a = p - 3.
constexpr const char* kP = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF";
constexpr const char* kA = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC";
constexpr const char* kB = "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93";
constexpr const char* kGx = "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7";
constexpr const char* kGy = "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";
constexpr const char* kN = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123";

constexpr int kBlockLen = 32;
constexpr int kOutLen = 128;
constexpr size_t kKeyHexLen = 128;

using PointPtr = ossl::SecretEcPointPtr;
using GroupPtr = ossl::EcGroupPtr;
using EcKeyPtr = ossl::Owned<EC_KEY, EC_KEY_free>;
// The record holds the ciphertext of a password block: wipe before release.
void wipeString(ASN1_OCTET_STRING* s) {
    if (s != nullptr && ASN1_STRING_length(s) > 0)
        OPENSSL_cleanse(const_cast<unsigned char*>(ASN1_STRING_get0_data(s)), size_t(ASN1_STRING_length(s)));
}
struct CtxtFree {
    void operator()(SM2ED_CTXT* c) const {
        if (c != nullptr) {
            wipeString(c->c2);
            wipeString(c->c3);
        }
        SM2ED_CTXT_free(c);
    }
};
using CtxtPtr = std::unique_ptr<SM2ED_CTXT, CtxtFree>;
using MdCtxPtr = ossl::MdCtxPtr;

// Parses the whole text as hex; BN_hex2bn alone accepts a valid prefix.
BnPtr parseHex(const char* text) {
    if (text == nullptr || *text == '\0' || !secutil::isHexText(text, std::strlen(text))) return nullptr;
    BIGNUM* bn = nullptr;
    const int used = BN_hex2bn(&bn, text);
    BnPtr owned(bn);
    if (used <= 0 || static_cast<size_t>(used) != std::strlen(text)) return nullptr;
    return owned;
}

// SM3 through OpenSSL's digest object, fetched once: the implicit fetch of
// EVP_sm3() on every init costs more than hashing 64 bytes.
const EVP_MD* sm3Digest() {
    static EVP_MD* md = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "SM3", nullptr);
        return fetched;
    }();
    return md != nullptr ? md : EVP_sm3();
}

bool digestParts(EVP_MD_CTX* md, std::initializer_list<std::pair<const unsigned char*, size_t>> parts,
                 unsigned char out[SM3_DIGEST_LENGTH]) {
    if (EVP_DigestInit_ex(md, sm3Digest(), nullptr) != 1) return false;
    for (const auto& [p, n] : parts)
        if (n > 0 && EVP_DigestUpdate(md, p, n) != 1) return false;
    unsigned int len = 0;
    return EVP_DigestFinal_ex(md, out, &len) == 1 && len == SM3_DIGEST_LENGTH;
}

SM2ED_CTXT* builtinEncryptOrThrow(const unsigned char* msg, int msgLen, EC_KEY* key);

// The published SM2 encryption on any prime-field group with its SM3 KDF.
// Reached from C callers through the method table: no exception may leave.
SM2ED_CTXT* builtinEncrypt(const unsigned char* msg, int msgLen, EC_KEY* key) {
    try {
        return builtinEncryptOrThrow(msg, msgLen, key);
    } catch (...) {
        ERR_raise(ERR_LIB_EC, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
}

SM2ED_CTXT* builtinEncryptOrThrow(const unsigned char* msg, int msgLen, EC_KEY* key) {
    if (key == nullptr || msgLen < 0 || (msg == nullptr && msgLen > 0)) {
        ERR_raise(ERR_LIB_EC, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    const EC_GROUP* group = EC_KEY_get0_group(key);
    const EC_POINT* pb = EC_KEY_get0_public_key(key);
    if (group == nullptr || pb == nullptr) {
        ERR_raise(ERR_LIB_EC, EC_R_MISSING_PARAMETERS);
        return nullptr;
    }
    const BIGNUM* order = EC_GROUP_get0_order(group);
    const BIGNUM* cofactor = EC_GROUP_get0_cofactor(group);
    const int fieldLen = (EC_GROUP_get_degree(group) + 7) / 8;
    const size_t mlen = static_cast<size_t>(msgLen);

    BnCtxPtr bnctx(BN_CTX_secure_new());
    BnPtr k(BN_secure_new()), x1(BN_new()), y1(BN_new()), x2(BN_secure_new()), y2(BN_secure_new());
    PointPtr c1(EC_POINT_new(group)), kp(EC_POINT_new(group));
    MdCtxPtr md(EVP_MD_CTX_new());
    CtxtPtr ctxt(SM2ED_CTXT_new());
    if (!bnctx || !k || !x1 || !y1 || !x2 || !y2 || !c1 || !kp || !md || !ctxt || order == nullptr ||
        fieldLen <= 0) {
        ERR_raise(ERR_LIB_EC, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }

    // k in [1, n-1]. EC_POINT_mul runs a fixed-length ladder that pads the
    // scalar with the order itself, so k goes in as drawn.
    do {
        if (BN_priv_rand_range(k.get(), order) != 1) return nullptr;
    } while (BN_is_zero(k.get()));

    if (EC_POINT_mul(group, c1.get(), k.get(), nullptr, nullptr, bnctx.get()) != 1 ||
        EC_POINT_get_affine_coordinates(group, c1.get(), x1.get(), y1.get(), bnctx.get()) != 1)
        return nullptr;

    // S = [h]PB must not be infinity; with cofactor one that is PB itself.
    if (cofactor != nullptr && !BN_is_one(cofactor)) {
        PointPtr s(EC_POINT_new(group));
        if (!s || EC_POINT_mul(group, s.get(), nullptr, pb, cofactor, bnctx.get()) != 1) return nullptr;
        if (EC_POINT_is_at_infinity(group, s.get())) {
            ERR_raise(ERR_LIB_EC, EC_R_POINT_AT_INFINITY);
            return nullptr;
        }
    } else if (EC_POINT_is_at_infinity(group, pb)) {
        ERR_raise(ERR_LIB_EC, EC_R_POINT_AT_INFINITY);
        return nullptr;
    }

    if (EC_POINT_mul(group, kp.get(), nullptr, pb, k.get(), bnctx.get()) != 1 ||
        EC_POINT_get_affine_coordinates(group, kp.get(), x2.get(), y2.get(), bnctx.get()) != 1)
        return nullptr;

    secutil::SecureBytes z(2 * static_cast<size_t>(fieldLen));
    if (BN_bn2binpad(x2.get(), z.data(), fieldLen) != fieldLen ||
        BN_bn2binpad(y2.get(), z.data() + fieldLen, fieldLen) != fieldLen)
        return nullptr;

    unsigned char c3[SM3_DIGEST_LENGTH];
    if (!digestParts(md.get(),
                     {{z.data(), size_t(fieldLen)}, {msg, mlen}, {z.data() + fieldLen, size_t(fieldLen)}},
                     c3))
        return nullptr;

    // t = KDF(x2 || y2, mlen); C2 = M xor t.
    secutil::SecureBytes c2(mlen);
    unsigned char block[SM3_DIGEST_LENGTH];
    for (uint32_t ct = 1, done = 0; done < mlen; ++ct) {
        const unsigned char ctBytes[4] = {
            static_cast<unsigned char>(ct >> 24), static_cast<unsigned char>(ct >> 16),
            static_cast<unsigned char>(ct >> 8), static_cast<unsigned char>(ct)};
        if (!digestParts(md.get(), {{z.data(), z.size()}, {ctBytes, 4}}, block)) return nullptr;
        for (size_t i = 0; i < SM3_DIGEST_LENGTH && done < mlen; ++i, ++done) c2[done] = msg[done] ^ block[i];
    }
    OPENSSL_cleanse(block, sizeof block);

    BN_free(ctxt->c1_x);
    BN_free(ctxt->c1_y);
    ctxt->c1_x = x1.release();
    ctxt->c1_y = y1.release();
    if (ASN1_OCTET_STRING_set(ctxt->c3, c3, SM3_DIGEST_LENGTH) != 1 ||
        ASN1_OCTET_STRING_set(ctxt->c2, c2.data(), static_cast<int>(mlen)) != 1)
        return nullptr;
    return ctxt.release();
}

const SM2ED_METHOD kBuiltinMethod = {"OpenSSL SM2ED method", builtinEncrypt};
std::atomic<const SM2ED_METHOD*> gDefaultMethod{nullptr};

int methodIndex() {
    static const int index = EC_KEY_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

const SM2ED_METHOD* methodOf(EC_KEY* key) {
    const int index = methodIndex();
    if (index >= 0) {
        if (auto m = static_cast<const SM2ED_METHOD*>(EC_KEY_get_ex_data(key, index))) return m;
    }
    return SM2ED_get_default_method();
}

void complain(const char* message) { std::fputs(message, stderr); }

// The recommended curve, built and checked once per process: the primality
// test of p alone costs more than an encryption. The group is never changed
// after construction (each key gets its own copy via EC_KEY_set_group), so
// sharing it between threads is safe; C++ guarantees one initialisation.
const EC_GROUP* recommendedCurve() {
    static const GroupPtr group(getUDFCurve(kP, kA, kB, kGx, kGy, kN));
    return group.get();
}

}  // namespace

extern "C" {

const SM2ED_METHOD* SM2ED_OpenSSL(void) { return &kBuiltinMethod; }

void SM2ED_set_default_method(const SM2ED_METHOD* meth) {
    gDefaultMethod.store(meth, std::memory_order_release);
}

const SM2ED_METHOD* SM2ED_get_default_method(void) {
    const SM2ED_METHOD* m = gDefaultMethod.load(std::memory_order_acquire);
    return m != nullptr ? m : &kBuiltinMethod;
}

int SM2ED_set_method(EC_KEY* key, const SM2ED_METHOD* meth) {
    const int index = methodIndex();
    if (key == nullptr || index < 0) return 0;
    return EC_KEY_set_ex_data(key, index, const_cast<SM2ED_METHOD*>(meth)) == 1 ? 1 : 0;
}

SM2ED_CTXT* SM2ED_do_encrypt(const unsigned char* msg, int msgLen, EC_KEY* key) {
    if (key == nullptr) {
        ERR_raise(ERR_LIB_EC, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    const SM2ED_METHOD* m = methodOf(key);
    if (m == nullptr || m->sm2ed_do_encrypt == nullptr) {
        ERR_raise(ERR_LIB_EC, EC_R_OPERATION_NOT_SUPPORTED);
        return nullptr;
    }
    return m->sm2ed_do_encrypt(msg, msgLen, key);
}

int SM2ED_encrypt(const unsigned char* msg, int msgLen, unsigned char* out, int* outLen, EC_KEY* key) {
    if (outLen == nullptr) return 0;
    *outLen = 0;
    if (msg != nullptr && msgLen > 0) RAND_seed(msg, msgLen);
    CtxtPtr ctxt(SM2ED_do_encrypt(msg, msgLen, key));
    if (!ctxt) return 0;
    const int len = i2d_SM2ED_CTXT(ctxt.get(), nullptr);
    if (len <= 0) return 0;
    if (out != nullptr) {
        unsigned char* p = out;
        if (i2d_SM2ED_CTXT(ctxt.get(), &p) != len) return 0;
    }
    *outLen = len;
    return 1;
}

int SM2ED_encryptFIX(const unsigned char* msg, int msgLen, unsigned char* out, int* outLen, EC_KEY* key) {
    if (outLen == nullptr || out == nullptr || key == nullptr || EC_KEY_get0_group(key) == nullptr) return 0;
    if (msg != nullptr && msgLen > 0) RAND_seed(msg, msgLen);
    CtxtPtr ctxt(SM2ED_do_encrypt(msg, msgLen, key));
    if (!ctxt) {
        *outLen = 0;
        return 0;
    }
    const int fieldLen = (EC_GROUP_get_degree(EC_KEY_get0_group(key)) + 7) / 8;
    unsigned char* p = out;
    *p++ = 0x04;
    if (BN_bn2binpad(ctxt->c1_x, p, fieldLen) != fieldLen ||
        BN_bn2binpad(ctxt->c1_y, p + fieldLen, fieldLen) != fieldLen)
        return 0;
    p += 2 * fieldLen;
    const int c2Len = ASN1_STRING_length(ctxt->c2);
    const int c3Len = ASN1_STRING_length(ctxt->c3);
    std::memcpy(p, ASN1_STRING_get0_data(ctxt->c2), static_cast<size_t>(c2Len));
    p += c2Len;
    std::memcpy(p, ASN1_STRING_get0_data(ctxt->c3), static_cast<size_t>(c3Len));
    *outLen = 1 + 2 * fieldLen + c2Len + c3Len;
    return 1;
}

EC_GROUP* getUDFCurve(const char* p, const char* a, const char* b, const char* x, const char* y,
                      const char* order) {
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr bp = parseHex(p), ba = parseHex(a), bb = parseHex(b), bx = parseHex(x), by = parseHex(y),
          bn = parseHex(order);
    BnPtr one(BN_new());
    if (!ctx || !bp || !ba || !bb || !bx || !by || !bn || !one || BN_set_word(one.get(), 1) != 1)
        return nullptr;
    if (BN_check_prime(bp.get(), ctx.get(), nullptr) != 1) return nullptr;
    GroupPtr group(EC_GROUP_new_curve_GFp(bp.get(), ba.get(), bb.get(), ctx.get()));
    if (!group) return nullptr;
    PointPtr g(EC_POINT_new(group.get()));
    if (!g || EC_POINT_set_affine_coordinates(group.get(), g.get(), bx.get(), by.get(), ctx.get()) != 1 ||
        EC_POINT_is_on_curve(group.get(), g.get(), ctx.get()) != 1)
        return nullptr;
    if (EC_GROUP_set_generator(group.get(), g.get(), bn.get(), one.get()) != 1) return nullptr;
    return group.release();
}

int sm2Encrypt(const char* publicKeyHex, const unsigned char* block, unsigned char** out, int* outLen) {
    if (block == nullptr) {
        complain("The input text does not exist!\n");
        return 0;
    }
    if (out == nullptr) {
        complain("You must supply a out pointer to retrieve the ciphered text!\n");
        return 0;
    }
    if (outLen == nullptr) {
        complain("You must supply a out pointer to retrieve the ciphered text's length!\n");
        return 0;
    }
    if (publicKeyHex == nullptr) {
        complain("You must initialize the library with the platform public key modulus first!\n");
        return 0;
    }
    // Exactly X and Y: a shorter text cannot hold them, and a longer one is
    // not this key.
    if (strnlen(publicKeyHex, kKeyHexLen + 1) != kKeyHexLen) return 0;

    EcKeyPtr key(EC_KEY_new());
    if (recommendedCurve() == nullptr || !key || EC_KEY_set_group(key.get(), recommendedCurve()) != 1)
        return 0;
    const EC_GROUP* group = EC_KEY_get0_group(key.get());
    char xText[65] = {}, yText[65] = {};
    std::memcpy(xText, publicKeyHex, 64);
    std::memcpy(yText, publicKeyHex + 64, 64);
    BnPtr x = parseHex(xText), y = parseHex(yText);
    BnCtxPtr ctx(BN_CTX_new());
    PointPtr point(EC_POINT_new(group));
    if (!x || !y || !ctx || !point) return 0;
    // A point off the curve would leak through the shared secret; refuse it.
    if (EC_POINT_set_affine_coordinates(group, point.get(), x.get(), y.get(), ctx.get()) != 1 ||
        EC_POINT_is_on_curve(group, point.get(), ctx.get()) != 1 ||
        EC_KEY_set_public_key(key.get(), point.get()) != 1)
        return 0;

    CtxtPtr ctxt(SM2ED_do_encrypt(block, kBlockLen, key.get()));
    if (!ctxt || ASN1_STRING_length(ctxt->c3) != SM3_DIGEST_LENGTH ||
        ASN1_STRING_length(ctxt->c2) != kBlockLen)
        return 0;
    auto* result = static_cast<unsigned char*>(std::calloc(kOutLen, 1));
    if (result == nullptr) return 0;
    if (BN_bn2binpad(ctxt->c1_x, result, 32) != 32 || BN_bn2binpad(ctxt->c1_y, result + 32, 32) != 32) {
        std::free(result);
        return 0;
    }
    std::memcpy(result + 64, ASN1_STRING_get0_data(ctxt->c3), 32);
    std::memcpy(result + 96, ASN1_STRING_get0_data(ctxt->c2), 32);
    *out = result;
    *outLen = kOutLen;
    return 1;
}

}  // extern "C"
