// DES and triple DES: published known answers, agreement with OpenSSL's own
// DES on random keys and blocks, and the triple-DES identities.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level DES calls are the reference here
#include "security/des.h"

#include <gtest/gtest.h>
#include <openssl/des.h>
#include <openssl/rand.h>

#include <array>
#include <cstring>

#include "des_vectors.h"
#include "test_util.h"

using sectest::hex;
using sectest::unhex;

namespace {

template <size_t N>
void checkTable(const DesVector (&table)[N], const char* name) {
    for (size_t i = 0; i < N; ++i) {
        const auto key = unhex(table[i].key);
        const auto plain = unhex(table[i].plain);
        des_context ctx;
        des_set_key(&ctx, key.data());
        unsigned char block[8];
        des_encrypt(&ctx, plain.data(), block);
        EXPECT_EQ(hex(block, 8), table[i].cipher) << name << " #" << i + 1;
        des_decrypt(&ctx, block, block);  // in place on purpose
        EXPECT_EQ(hex(block, 8), table[i].plain) << name << " #" << i + 1;
    }
}

std::array<unsigned char, 8> randomBlock() {
    std::array<unsigned char, 8> b{};
    EXPECT_EQ(RAND_bytes(b.data(), 8), 1);
    return b;
}

}  // namespace

TEST(DesKnownAnswers, PublishedValidationTables) {
    checkTable(kVariablePlaintext, "variable plaintext");
    checkTable(kVariableKey, "variable key");
    checkTable(kPermutationOperation, "permutation operation");
    checkTable(kSubstitutionTable, "substitution table");
}

TEST(DesAgreement, SingleAndTripleDesMatchOpenSSLOnRandomInput) {
    for (int i = 0; i < 500; ++i) {
        auto k1 = randomBlock(), k2 = randomBlock(), k3 = randomBlock(), in = randomBlock();
        DES_cblock ok1, ok2, ok3;
        std::memcpy(ok1, k1.data(), 8);
        std::memcpy(ok2, k2.data(), 8);
        std::memcpy(ok3, k3.data(), 8);
        DES_key_schedule s1, s2, s3;
        DES_set_key_unchecked(&ok1, &s1);
        DES_set_key_unchecked(&ok2, &s2);
        DES_set_key_unchecked(&ok3, &s3);
        DES_cblock oin, expect;
        std::memcpy(oin, in.data(), 8);

        des_context d;
        des_set_key(&d, k1.data());
        unsigned char out[8], back[8];
        DES_ecb_encrypt(&oin, &expect, &s1, DES_ENCRYPT);
        des_encrypt(&d, in.data(), out);
        ASSERT_EQ(hex(out, 8), hex(expect, 8)) << "DES encrypt, round " << i;
        DES_ecb_encrypt(&oin, &expect, &s1, DES_DECRYPT);
        des_decrypt(&d, in.data(), back);
        ASSERT_EQ(hex(back, 8), hex(expect, 8)) << "DES decrypt, round " << i;

        des3_context t;
        des3_set_3keys(&t, k1.data(), k2.data(), k3.data());
        DES_ecb3_encrypt(&oin, &expect, &s1, &s2, &s3, DES_ENCRYPT);
        des3_encrypt(&t, in.data(), out);
        ASSERT_EQ(hex(out, 8), hex(expect, 8)) << "3-key encrypt, round " << i;
        des3_decrypt(&t, out, back);
        ASSERT_EQ(hex(back, 8), hex(in.data(), 8)) << "3-key round trip, round " << i;

        des3_set_2keys(&t, k1.data(), k2.data());
        DES_ecb3_encrypt(&oin, &expect, &s1, &s2, &s1, DES_ENCRYPT);
        des3_encrypt(&t, in.data(), out);
        ASSERT_EQ(hex(out, 8), hex(expect, 8)) << "2-key encrypt, round " << i;
        DES_ecb3_encrypt(&oin, &expect, &s1, &s2, &s1, DES_DECRYPT);
        des3_decrypt(&t, in.data(), back);
        ASSERT_EQ(hex(back, 8), hex(expect, 8)) << "2-key decrypt, round " << i;
    }
}

TEST(DesKeys, ParityBitsAreIgnored) {
    for (int i = 0; i < 50; ++i) {
        auto key = randomBlock(), flipped = key, in = randomBlock();
        for (auto& b : flipped) b ^= 0x01;
        des_context a, b;
        des_set_key(&a, key.data());
        des_set_key(&b, flipped.data());
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
        unsigned char oa[8], ob[8];
        des_encrypt(&a, in.data(), oa);
        des_encrypt(&b, in.data(), ob);
        EXPECT_EQ(hex(oa, 8), hex(ob, 8));
    }
}

TEST(TripleDes, IdentitiesBetweenKeyForms) {
    auto k1 = randomBlock(), k2 = randomBlock(), in = randomBlock();
    des3_context two, three;
    des3_set_2keys(&two, k1.data(), k2.data());
    des3_set_3keys(&three, k1.data(), k2.data(), k1.data());
    EXPECT_EQ(std::memcmp(&two, &three, sizeof two), 0) << "K1,K2 must equal K1,K2,K1";

    // With all keys equal, EDE collapses to a single DES encryption.
    des_context single;
    des_set_key(&single, k1.data());
    des3_set_3keys(&three, k1.data(), k1.data(), k1.data());
    unsigned char o1[8], o3[8];
    des_encrypt(&single, in.data(), o1);
    des3_encrypt(&three, in.data(), o3);
    EXPECT_EQ(hex(o1, 8), hex(o3, 8));
    des3_set_2keys(&two, k1.data(), k1.data());
    des3_decrypt(&two, o1, o3);
    EXPECT_EQ(hex(o3, 8), hex(in.data(), 8));
}
