#include "sim/token/demo.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>
#include <stdexcept>
#include <utility>

#include "platform/ossl.h"

namespace kpsim {
namespace {

using PKey = ossl::PkeyPtr;
using Cert = ossl::X509Ptr;
using Name = ossl::X509NamePtr;
using Bio = ossl::BioPtr;
using Time = ossl::Asn1TimePtr;
using Ext = ossl::X509ExtensionPtr;
using Bn = ossl::BnPtr;

// Everything below throws on an OpenSSL failure; makeDemoMaterial catches.
void check(bool ok, const char* what) {
    if (ok) return;
    char reason[256] = "unknown reason";
    unsigned long code = ERR_get_error();
    if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    throw std::runtime_error(std::string(what) + " failed: " + reason);
}

PKey rsa2048() {
    PKey key(EVP_RSA_gen(2048));
    check(key != nullptr, "RSA-2048 key generation");
    return key;
}

using Entries = std::vector<std::pair<const char*, const char*>>;

Name makeName(const Entries& entries) {
    Name name(X509_NAME_new());
    check(name != nullptr, "X509_NAME_new");
    for (const auto& [field, value] : entries) {
        // MBSTRING_UTF8 with the "utf8only" mask: UTF8String (countryName stays PrintableString).
        check(X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(value), -1, -1, 0) == 1,
              "X509_NAME_add_entry_by_txt");
    }
    return name;
}

// "YYYYMMDDHHMMSSZ" as GeneralizedTime, whatever the year.
Time generalizedTime(const char* text) {
    Time t(ASN1_TIME_new());
    check(t != nullptr && ASN1_GENERALIZEDTIME_set_string(t.get(), text) == 1,
          "ASN1_GENERALIZEDTIME_set_string");
    return t;
}

// Now plus `days`, as UTCTime (the years before 2050).
Time utcTimeFromNow(long days) {
    Time t(ASN1_UTCTIME_adj(nullptr, std::time(nullptr), static_cast<int>(days), 0));
    check(t != nullptr, "ASN1_UTCTIME_adj");
    return t;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    Ext ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    check(ext != nullptr, "X509V3_EXT_conf_nid");
    check(X509_add_ext(cert, ext.get(), -1) == 1, "X509_add_ext");
}

struct Profile {
    Entries subject;
    Time notBefore;
    Time notAfter;
    std::vector<std::pair<int, const char*>> extensions;
};

// issuer/issuerKey null: self-signed.
Cert makeCertificate(Profile profile, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
    Cert cert(X509_new());
    check(cert != nullptr, "X509_new");
    check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");

    Bn serial(BN_new());
    check(serial != nullptr && BN_rand(serial.get(), 127, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1,
          "BN_rand");
    check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr,
          "BN_to_ASN1_INTEGER");

    Name subject = makeName(profile.subject);
    check(X509_set_subject_name(cert.get(), subject.get()) == 1, "X509_set_subject_name");
    X509_NAME* issuerName = issuer != nullptr ? X509_get_subject_name(issuer) : subject.get();
    check(X509_set_issuer_name(cert.get(), issuerName) == 1, "X509_set_issuer_name");
    check(X509_set1_notBefore(cert.get(), profile.notBefore.get()) == 1, "X509_set1_notBefore");
    check(X509_set1_notAfter(cert.get(), profile.notAfter.get()) == 1, "X509_set1_notAfter");
    check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");

    X509* signer = issuer != nullptr ? issuer : cert.get();
    for (const auto& [nid, value] : profile.extensions) addExtension(cert.get(), signer, nid, value);
    check(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "X509_sign");
    return cert;
}

std::string certPem(X509* cert) {
    Bio bio(BIO_new(BIO_s_mem()));
    check(bio != nullptr && PEM_write_bio_X509(bio.get(), cert) == 1, "PEM_write_bio_X509");
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

std::string keyPem(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    check(bio != nullptr &&
              PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

std::vector<uint8_t> certDer(X509* cert) {
    int n = i2d_X509(cert, nullptr);
    check(n > 0, "i2d_X509");
    std::vector<uint8_t> der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    check(i2d_X509(cert, &p) == n, "i2d_X509");
    return der;
}

const char* const kBank = "中国某某银行股份有限公司";

DemoCertificate issue(const char* container, bool signing, Profile profile, X509* ca, EVP_PKEY* caKey) {
    PKey key = rsa2048();
    profile.extensions.insert(profile.extensions.begin(),
                              {{NID_basic_constraints, "critical,CA:FALSE"},
                               {NID_key_usage, signing ? "critical,digitalSignature,nonRepudiation"
                                                       : "critical,keyEncipherment,dataEncipherment"},
                               {NID_subject_key_identifier, "hash"},
                               {NID_authority_key_identifier, "keyid:always"}});
    if (signing) profile.extensions.push_back({NID_ext_key_usage, "clientAuth,emailProtection"});
    Cert cert = makeCertificate(std::move(profile), key.get(), ca, caKey);
    DemoCertificate out;
    out.container = container;
    out.signing = signing;
    out.der = certDer(cert.get());
    out.certPem = certPem(cert.get());
    out.keyPem = keyPem(key.get());
    return out;
}

}  // namespace

bool makeDemoMaterial(DemoMaterial* out, std::string* error) {
    try {
        ASN1_STRING_set_default_mask_asc("utf8only");

        PKey caKey = rsa2048();
        Time caNotBefore(ASN1_UTCTIME_set(nullptr, 1577836800));  // 2020-01-01 00:00:00, UTCTime
        check(caNotBefore != nullptr, "ASN1_UTCTIME_set");
        Profile caProfile{{{"C", "CN"}, {"O", kBank}, {"OU", "测试证书中心"}, {"CN", "中国某某银行测试CA"}},
                          std::move(caNotBefore),
                          utcTimeFromNow(3650),
                          {{NID_basic_constraints, "critical,CA:TRUE"},
                           {NID_key_usage, "critical,keyCertSign,cRLSign"},
                           {NID_subject_key_identifier, "hash"}}};
        Cert ca = makeCertificate(std::move(caProfile), caKey.get(), nullptr, nullptr);

        const char* personal = "{8E3F1A2B-4C5D-4E6F-9A0B-1C2D3E4F5A6B}";
        const char* business = "{27D4C9E0-B35A-4F18-8C6E-0A91F2D7B453}";
        DemoMaterial m;
        m.caCertPem = certPem(ca.get());
        m.caKeyPem = keyPem(caKey.get());
        // Container 1, a personal customer: signing in UTCTime, encryption in GeneralizedTime (to 2055).
        m.certificates.push_back(issue(personal, true,
                                       {{{"C", "CN"},
                                         {"ST", "北京市"},
                                         {"L", "海淀区"},
                                         {"O", kBank},
                                         {"OU", "个人网上银行"},
                                         {"CN", "张三"}},
                                        utcTimeFromNow(-30),
                                        utcTimeFromNow(3 * 365),
                                        {}},
                                       ca.get(), caKey.get()));
        m.certificates.push_back(issue(personal, false,
                                       {{{"C", "CN"},
                                         {"ST", "北京市"},
                                         {"L", "海淀区"},
                                         {"O", kBank},
                                         {"OU", "个人网上银行"},
                                         {"CN", "张三"}},
                                        generalizedTime("20240101000000Z"),
                                        generalizedTime("20551231235959Z"),
                                        {}},
                                       ca.get(), caKey.get()));
        // Container 2, a business customer: the signing certificate has no CN.
        m.certificates.push_back(issue(business, true,
                                       {{{"C", "CN"},
                                         {"ST", "上海市"},
                                         {"O", kBank},
                                         {"OU", "企业网上银行"},
                                         {"OU", "上海某某贸易有限公司"},
                                         {"serialNumber", "91310115MA1K4XXXXX"}},
                                        utcTimeFromNow(-10),
                                        utcTimeFromNow(2 * 365),
                                        {}},
                                       ca.get(), caKey.get()));
        m.certificates.push_back(
            issue(business, false,
                  {{{"C", "CN"}, {"ST", "上海市"}, {"O", kBank}, {"OU", "企业网上银行"}, {"CN", "李四"}},
                   utcTimeFromNow(-10),
                   utcTimeFromNow(2 * 365),
                   {}},
                  ca.get(), caKey.get()));
        *out = std::move(m);
        return true;
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
}

std::string makeDemoSerial() {
    unsigned char random[9] = {};
    if (RAND_bytes(random, sizeof random) != 1) {
        for (size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(std::rand());
    }
    std::string serial = "QD20244";
    for (unsigned char r : random) serial.push_back(static_cast<char>('0' + r % 10));
    return serial;
}

}  // namespace kpsim
