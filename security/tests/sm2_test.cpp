// SM3 and SM2: published digests, agreement with OpenSSL, and SM2 outputs
// opened again with OpenSSL's own SM2 decryption and the demo private key.
#define OPENSSL_SUPPRESS_DEPRECATED  // EC_KEY is the module's key type
#include "security/sm2.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/ossl.h"
#include "platform/tests/secret_watch.h"
#include "sm2_vectors.h"
#include "sm_helpers.h"
#include "test_util.h"

using namespace sectest;

namespace {

const char* const kCurve[6] = {"FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF",
                               "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
                               "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
                               "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
                               "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0",
                               "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123"};

std::string sm3Of(const unsigned char* p, size_t n, size_t chunk) {
    SM3_CTX c;
    SM3_Init(&c);
    for (size_t i = 0; i < n; i += chunk) SM3_Update(&c, p + i, std::min(chunk, n - i));
    unsigned char md[SM3_DIGEST_LENGTH];
    SM3_Final(md, &c);
    return hex(md, sizeof md);
}

struct Sm2Fixture : ::testing::Test {
    void SetUp() override {
        pubHex = readText(keyPath("platform_sm2.pub.hex"));
        priv.reset(loadPrivateKey("platform_sm2.pem"));
        ASSERT_EQ(pubHex.size(), 128u);
        ASSERT_TRUE(priv);
    }
    std::vector<unsigned char> encrypt(const std::string& key, const unsigned char* block) {
        unsigned char* out = nullptr;
        int len = -1;
        if (sm2Encrypt(key.c_str(), block, &out, &len) != 1) return {};
        EXPECT_EQ(len, 128);
        std::vector<unsigned char> v(out, out + len);
        std::free(out);
        return v;
    }
    std::string pubHex;
    ossl::PkeyPtr priv;
};

// An EC_KEY holding the demo public point on a group from getUDFCurve.
EC_KEY* demoPublicKey(const std::string& pubHex) {
    EC_GROUP* g = getUDFCurve(kCurve[0], kCurve[1], kCurve[2], kCurve[3], kCurve[4], kCurve[5]);
    EC_KEY* k = EC_KEY_new();
    BIGNUM *x = nullptr, *y = nullptr;
    BN_hex2bn(&x, pubHex.substr(0, 64).c_str());
    BN_hex2bn(&y, pubHex.substr(64).c_str());
    EC_KEY_set_group(k, g);
    EC_KEY_set_public_key_affine_coordinates(k, x, y);
    BN_free(x);
    BN_free(y);
    EC_GROUP_free(g);
    return k;
}

}  // namespace

TEST(Sm3, PublishedVectorsAndAgreementWithOpenSSL) {
    for (const auto& v : kSm3Vectors) {
        const auto* p = reinterpret_cast<const unsigned char*>(v.message);
        EXPECT_EQ(sm3Of(p, std::strlen(v.message), 1000), v.digest) << v.message;
        EXPECT_EQ(sm3Of(p, std::strlen(v.message), 1), v.digest) << v.message << " bytewise";
    }
    // Lengths around the padding boundaries (55, 56, 64) and several blocks.
    unsigned char buf[300];
    RAND_bytes(buf, sizeof buf);
    for (size_t n = 0; n <= sizeof buf; n += (n < 130 ? 1 : 17)) {
        unsigned char md[32];
        unsigned int len = 0;
        ASSERT_EQ(EVP_Digest(buf, n, md, &len, EVP_sm3(), nullptr), 1);
        const std::string expect = hex(md, len);
        EXPECT_EQ(sm3Of(buf, n, 64), expect) << n;
        EXPECT_EQ(sm3Of(buf, n, 7), expect) << n << " in 7-byte pieces";
    }
}

// The message words of a block are loaded big-endian, so on this host its
// copy on the stack is each 4-byte group reversed: SM3_Update must leave
// neither form in its frames.
TEST(Sm3, UpdateLeavesNoCopyOfTheMessageOnTheStack) {
    static const unsigned char message[64] =
        "sm3-stack-secret-0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJ";
    static unsigned char swapped[16];
    for (size_t i = 0; i < sizeof swapped; ++i) swapped[i] = message[(i & ~size_t{3}) + 3 - (i & 3)];
    for (const unsigned char* form : {message, static_cast<const unsigned char*>(swapped)}) {
        const size_t copies = secretwatch::copiesLeftOnOwnedStack(form, 16, [] {
            SM3_CTX c;
            SM3_Init(&c);
            SM3_Update(&c, message, sizeof message);  // one whole block, compressed straight from the input
            OPENSSL_cleanse(&c, sizeof c);
        });
        EXPECT_EQ(copies, 0u) << (form == message ? "as given" : "as loaded words");
    }
}

TEST(Sm2Curve, MatchesOpenSSLNamedCurveAndRejectsBadParameters) {
    EC_GROUP* ours = getUDFCurve(kCurve[0], kCurve[1], kCurve[2], kCurve[3], kCurve[4], kCurve[5]);
    EC_GROUP* named = EC_GROUP_new_by_curve_name(NID_sm2);
    ASSERT_NE(ours, nullptr);
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(EC_GROUP_cmp(ours, named, nullptr), 0);
    EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(ours)));
    EC_GROUP_free(ours);
    EC_GROUP_free(named);

    // p + 2 is even-ended garbage: not prime.
    std::string notPrime = kCurve[0];
    notPrime.back() = 'E';
    EXPECT_EQ(getUDFCurve(notPrime.c_str(), kCurve[1], kCurve[2], kCurve[3], kCurve[4], kCurve[5]), nullptr);
    std::string offCurve = kCurve[4];
    offCurve.back() = '1';
    EXPECT_EQ(getUDFCurve(kCurve[0], kCurve[1], kCurve[2], kCurve[3], offCurve.c_str(), kCurve[5]), nullptr);
    EXPECT_EQ(getUDFCurve(kCurve[0], kCurve[1], kCurve[2], "32C4AEZZ", kCurve[4], kCurve[5]), nullptr);
    EXPECT_EQ(getUDFCurve(nullptr, kCurve[1], kCurve[2], kCurve[3], kCurve[4], kCurve[5]), nullptr);
}

TEST_F(Sm2Fixture, OutputOpensWithPrivateKeyAndC1IsOnCurve) {
    unsigned char block[32];
    RAND_bytes(block, sizeof block);
    std::string lower = pubHex;
    for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (const std::string& key : {pubHex, lower}) {
        const auto out = encrypt(key, block);
        ASSERT_EQ(out.size(), 128u);
        const auto plain = sm2Decrypt(priv.get(), rawToDer(out.data(), out.size()));
        EXPECT_EQ(hex(plain), hex(block, 32));

        EC_GROUP* g = EC_GROUP_new_by_curve_name(NID_sm2);
        EC_POINT* c1 = EC_POINT_new(g);
        BIGNUM* x = BN_bin2bn(out.data(), 32, nullptr);
        BIGNUM* y = BN_bin2bn(out.data() + 32, 32, nullptr);
        EXPECT_EQ(EC_POINT_set_affine_coordinates(g, c1, x, y, nullptr), 1);
        EXPECT_EQ(EC_POINT_is_on_curve(g, c1, nullptr), 1);
        BN_free(x);
        BN_free(y);
        EC_POINT_free(c1);
        EC_GROUP_free(g);
    }
    EXPECT_NE(hex(encrypt(pubHex, block)), hex(encrypt(pubHex, block))) << "k must be fresh";
}

TEST_F(Sm2Fixture, RejectsBadKeysAndArgumentsWithoutWritingOutputs) {
    unsigned char block[32] = {1, 2, 3};
    unsigned char sentinel = 0;
    unsigned char* out = &sentinel;
    int len = 77;
    std::string offCurve = pubHex;
    offCurve[127] = offCurve[127] == '0' ? '1' : '0';
    std::string notHex = pubHex;
    notHex[10] = 'G';
    for (const std::string& key : {pubHex.substr(0, 127), offCurve, notHex, std::string()}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(sm2Encrypt(key.c_str(), block, &out, &len), 0) << key;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(out, &sentinel);
        EXPECT_EQ(len, 77);
    }
    struct Case {
        const char* key;
        const unsigned char* block;
        unsigned char** out;
        int* len;
        const char* message;
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, "The input text does not exist!\n"},
        {nullptr, block, nullptr, nullptr, "You must supply a out pointer to retrieve the ciphered text!\n"},
        {nullptr, block, &out, nullptr,
         "You must supply a out pointer to retrieve the ciphered text's length!\n"},
        {nullptr, block, &out, &len,
         "You must initialize the library with the platform public key modulus first!\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(sm2Encrypt(c.key, c.block, c.out, c.len), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(len, 77);
}

namespace {
// A method that hands back short C1 coordinates, to check right alignment.
SM2ED_CTXT* shortCoordinates(const unsigned char*, int, EC_KEY*) {
    SM2ED_CTXT* c = SM2ED_CTXT_new();
    BN_set_word(c->c1_x, 0x05);
    BN_set_word(c->c1_y, 0xABCD);
    unsigned char fill[32];
    std::memset(fill, 0x33, sizeof fill);
    ASN1_OCTET_STRING_set(c->c3, fill, 32);
    std::memset(fill, 0x44, sizeof fill);
    ASN1_OCTET_STRING_set(c->c2, fill, 32);
    return c;
}
const SM2ED_METHOD kShortMethod = {"short coordinates", shortCoordinates};
}  // namespace

TEST_F(Sm2Fixture, DefaultMethodIsUsedAndShortCoordinatesAreRightAligned) {
    EXPECT_STREQ(SM2ED_get_default_method()->name, "OpenSSL SM2ED method");
    EXPECT_EQ(SM2ED_get_default_method(), SM2ED_OpenSSL());
    SM2ED_set_default_method(&kShortMethod);
    unsigned char block[32] = {};
    const auto out = encrypt(pubHex, block);
    SM2ED_set_default_method(nullptr);
    ASSERT_EQ(out.size(), 128u);
    EXPECT_EQ(hex(out.data(), 32), std::string(62, '0') + "05");
    EXPECT_EQ(hex(out.data() + 32, 32), std::string(60, '0') + "ABCD");
    EXPECT_EQ(hex(out.data() + 64, 32), std::string(64, '3'));
    EXPECT_EQ(out[96], 0x44);
    EXPECT_EQ(SM2ED_get_default_method(), SM2ED_OpenSSL());
}

TEST_F(Sm2Fixture, DerAndFixedFormsOpenAndPerKeyMethodWins) {
    EC_KEY* key = demoPublicKey(pubHex);
    ASSERT_NE(key, nullptr);
    const unsigned char msg[] = "a message longer than one SM3 block of key stream, 70 bytes in all..";
    const int mlen = static_cast<int>(sizeof msg - 1);

    std::vector<unsigned char> der(SM2ED_DER_MAX(mlen));
    int len = 0;
    ASSERT_EQ(SM2ED_encrypt(msg, mlen, der.data(), &len, key), 1);
    ASSERT_GT(len, 0);
    der.resize(size_t(len));
    EXPECT_EQ(hex(sm2Decrypt(priv.get(), der)), hex(msg, size_t(mlen)));

    std::vector<unsigned char> fix(1 + 64 + size_t(mlen) + 32);
    ASSERT_EQ(SM2ED_encryptFIX(msg, mlen, fix.data(), &len, key), 1);
    ASSERT_EQ(len, static_cast<int>(fix.size()));
    EXPECT_EQ(fix[0], 0x04);
    // 04 || C1 || C2 || C3 -> C1 || C3 || C2, then open.
    std::vector<unsigned char> raw(fix.begin() + 1, fix.begin() + 65);
    raw.insert(raw.end(), fix.end() - 32, fix.end());
    raw.insert(raw.end(), fix.begin() + 65, fix.end() - 32);
    EXPECT_EQ(hex(sm2Decrypt(priv.get(), rawToDer(raw.data(), raw.size()))), hex(msg, size_t(mlen)));

    ASSERT_EQ(SM2ED_set_method(key, &kShortMethod), 1);
    SM2ED_CTXT* c = SM2ED_do_encrypt(msg, mlen, key);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(BN_get_word(c->c1_x), 5u);
    SM2ED_CTXT_free(c);
    EC_KEY_free(key);

    // A key without a public point fails cleanly.
    EC_KEY* empty = EC_KEY_new();
    EXPECT_EQ(SM2ED_do_encrypt(msg, mlen, empty), nullptr);
    len = 5;
    EXPECT_EQ(SM2ED_encrypt(msg, mlen, der.data(), &len, empty), 0);
    EXPECT_EQ(len, 0);
    EC_KEY_free(empty);
}
