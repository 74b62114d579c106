// The demo keys every dornEncrypt suite works with: the application's and the
// platform's private keys (to open what was made) and the hex forms a caller
// passes in. Loaded once per suite; a suite derives from DemoKeys.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "decoder.h"
#include "security/secutil.h"
#include "sm_helpers.h"

namespace sectest {

struct DemoKeys : ::testing::Test {
    static void SetUpTestSuite() {
        std::string error;
        app = decoder::loadPrivateKey(keyPath("app_rsa1024.pem"), error).release();
        platformRsa = decoder::loadPrivateKey(keyPath("platform_rsa1024.pem"), error).release();
        platformSm2 = decoder::loadPrivateKey(keyPath("platform_sm2.pem"), error).release();
        appHex = readText(keyPath("app_rsa1024.modulus.hex"));
        rsaHex = readText(keyPath("platform_rsa1024.modulus.hex"));
        sm2Hex = readText(keyPath("platform_sm2.pub.hex"));
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(app);
        EVP_PKEY_free(platformRsa);
        EVP_PKEY_free(platformSm2);
        app = platformRsa = platformSm2 = nullptr;
    }
    void TearDown() override { secutil::setRandomSourceForTesting(nullptr); }

    inline static EVP_PKEY *app = nullptr, *platformRsa = nullptr, *platformSm2 = nullptr;
    inline static std::string appHex, rsaHex, sm2Hex;
};

}  // namespace sectest
