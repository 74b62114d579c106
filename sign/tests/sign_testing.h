// Test support for the signing engine: the stand-in module's world
// (sim/pkcs11/testing.h) and OpenSSL's checks of what the engine gives.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ossl.h"
#include "sim/pkcs11/testing.h"

namespace signtest {

using qdpkcs11::testing::addCertificate;
using qdpkcs11::testing::Certificate;
using qdpkcs11::testing::fromHex;
using qdpkcs11::testing::isLoaded;
using qdpkcs11::testing::makeTempDir;
using qdpkcs11::testing::runProgram;
using qdpkcs11::testing::ScopedEnv;
using qdpkcs11::testing::StandIn;
using qdpkcs11::testing::standInPath;
using qdpkcs11::testing::Tokens;
using qdpkcs11::testing::TokenSet;

inline const EVP_MD* digestNamed(const std::string& name) {
    if (name == "md5") return EVP_md5();
    if (name == "sha256") return EVP_sha256();
    return EVP_sha1();
}

// OpenSSL's verdict on an RSA PKCS#1 v1.5 signature by the certificate's key.
inline bool verifies(const std::vector<unsigned char>& certificateDer, const std::string& data,
                     const std::vector<unsigned char>& signature, const EVP_MD* digest) {
    const unsigned char* p = certificateDer.data();
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size())));
    if (!cert) return false;
    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(ctx.get(), nullptr, digest, nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

// One name entry of a made certificate: NID, ASN.1 string type, raw value.
struct NameEntry {
    int nid;
    int type;
    std::string value;
};

// A self-signed DER certificate with these subject entries (issuer: the
// given ones, else "CN=Test Issuer") and this serial number (big-endian
// magnitude). String types are taken as given (no length limits), so names
// and values that a CA would refuse can be made too.
inline std::vector<unsigned char> buildCertificate(const std::vector<NameEntry>& subject,
                                                   const std::vector<unsigned char>& serial,
                                                   const std::vector<NameEntry>& issuer = {}) {
    static EVP_PKEY* key = EVP_RSA_gen(1024);
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    BIGNUM* bn = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
    ASN1_INTEGER* number = BN_to_ASN1_INTEGER(bn, nullptr);
    X509_set_serialNumber(cert.get(), number);
    ASN1_INTEGER_free(number);
    BN_free(bn);
    auto fill = [](X509_NAME* name, const std::vector<NameEntry>& entries) {
        for (const auto& e : entries) {
            X509_NAME_add_entry_by_NID(name, e.nid, e.type,
                                       reinterpret_cast<const unsigned char*>(e.value.data()),
                                       static_cast<int>(e.value.size()), -1, 0);
        }
    };
    fill(X509_get_subject_name(cert.get()), subject);
    if (issuer.empty()) {
        X509_NAME_add_entry_by_NID(X509_get_issuer_name(cert.get()), NID_commonName, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Test Issuer"), -1, -1, 0);
    } else {
        fill(X509_get_issuer_name(cert.get()), issuer);
    }
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    if (X509_sign(cert.get(), key, EVP_sha256()) == 0) throw std::runtime_error("X509_sign failed");
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    if (length <= 0) throw std::runtime_error("i2d_X509 failed");
    std::vector<unsigned char> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

}  // namespace signtest
