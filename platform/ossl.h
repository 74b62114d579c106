// Owners of OpenSSL objects: one unique_ptr type per kind, each releasing
// with that kind's own free function, so every return path frees. Header
// only (the includer links OpenSSL); the types hold nothing but the pointer.
//
// Objects that need more than their free function (a record of ciphertext
// wiped first, a buffer wiped over its length) keep their own deleter beside
// the code that knows what to wipe; kinds whose functions OpenSSL 3 marks
// deprecated (RSA, EC_KEY) are owned with ossl::Owned where they are used.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace ossl {

// Calls Free on a non-null pointer (OpenSSL's free functions accept null too).
template <auto Free>
struct Freer {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
template <typename T, auto Free>
using Owned = std::unique_ptr<T, Freer<Free>>;

using X509Ptr = Owned<X509, X509_free>;
using X509NamePtr = Owned<X509_NAME, X509_NAME_free>;
using X509ExtensionPtr = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using Asn1TimePtr = Owned<ASN1_TIME, ASN1_TIME_free>;
using BioPtr = Owned<BIO, BIO_free>;
using BioChainPtr = Owned<BIO, BIO_free_all>;  // a filter BIO and the ones it pushed
using BnPtr = Owned<BIGNUM, BN_free>;
using SecretBnPtr = Owned<BIGNUM, BN_clear_free>;  // a key's number: wiped when freed
using BnCtxPtr = Owned<BN_CTX, BN_CTX_free>;
using PkeyPtr = Owned<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using EcGroupPtr = Owned<EC_GROUP, EC_GROUP_free>;
using SecretEcPointPtr = Owned<EC_POINT, EC_POINT_clear_free>;

// Memory OpenSSL allocated for the caller (BN_bn2hex, X509_NAME_oneline,
// ASN1_STRING_to_UTF8). OPENSSL_free is a macro, hence a deleter of its own.
struct OpensslFree {
    void operator()(void* p) const { OPENSSL_free(p); }
};
using OsslText = std::unique_ptr<char, OpensslFree>;
using OsslBytes = std::unique_ptr<unsigned char, OpensslFree>;

}  // namespace ossl
