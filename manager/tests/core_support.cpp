#include "core_support.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <QApplication>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "platform/ossl.h"

namespace coretest {

namespace {
ossl::Asn1TimePtr timeOf(const std::string& text) {
    ossl::Asn1TimePtr t(ASN1_TIME_new());
    if (!t || ASN1_TIME_set_string(t.get(), text.c_str()) != 1) {
        throw std::runtime_error("bad time " + text);
    }
    return t;
}
}  // namespace

namespace {
X509* newCert(const std::string& notBefore, const std::string& notAfter, long serial) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_set1_notBefore(x, timeOf(notBefore).get());
    X509_set1_notAfter(x, timeOf(notAfter).get());
    return x;
}

void addEntries(X509_NAME* name, const std::vector<NameEntry>& entries) {
    for (const NameEntry& e : entries) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(e.bytes.data());
        const int len = static_cast<int>(e.bytes.size());
        if (X509_NAME_add_entry_by_txt(name, e.field.c_str(), e.type, bytes, len, -1, 0) == 1) continue;
        // A type OpenSSL will not make from bytes: made as UTF8String, then
        // retyped (the name is encoded only when the certificate is).
        if (X509_NAME_add_entry_by_txt(name, e.field.c_str(), V_ASN1_UTF8STRING, bytes, len, -1, 0) != 1) {
            throw std::runtime_error("bad name entry " + e.field);
        }
        X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, X509_NAME_entry_count(name) - 1))->type = e.type;
    }
}

QByteArray signedDer(X509* x) {
    static EVP_PKEY* key = EVP_EC_gen("P-256");  // one key for every test certificate
    X509_set_pubkey(x, key);
    if (X509_sign(x, key, EVP_sha256()) <= 0) {
        throw std::runtime_error("X509_sign failed");
    }
    unsigned char* der = nullptr;
    const int len = i2d_X509(x, &der);
    QByteArray bytes(reinterpret_cast<const char*>(der), len);
    OPENSSL_free(der);
    return bytes;
}
}  // namespace

QByteArray makeCert(const std::string& subjectCN, const std::string& issuerCN, const std::string& notBefore,
                    const std::string& notAfter, long serial) {
    ossl::X509Ptr x(newCert(notBefore, notAfter, serial));
    addEntries(X509_get_subject_name(x.get()),
               {{"C", MBSTRING_UTF8, "CN"}, {"O", MBSTRING_UTF8, "Bank"}, {"CN", MBSTRING_UTF8, subjectCN}});
    addEntries(X509_get_issuer_name(x.get()),
               {{"O", MBSTRING_UTF8, "Bank"}, {"CN", MBSTRING_UTF8, issuerCN}});
    return signedDer(x.get());
}

QByteArray makeCertNamed(const std::vector<NameEntry>& subject, const std::vector<NameEntry>& issuer) {
    ossl::X509Ptr x(newCert("200101000000Z", "300101000000Z", 1));
    addEntries(X509_get_subject_name(x.get()), subject);
    addEntries(X509_get_issuer_name(x.get()), issuer);
    return signedDer(x.get());
}

std::string writeFile(const std::string& dir, const std::string& name, const QByteArray& bytes) {
    const std::string path = dir + "/" + name;
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.constData(), bytes.size());
    return path;
}

void ensureApp() {
    if (QApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "core_tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // lives for the whole test process
    }
}

}  // namespace coretest
