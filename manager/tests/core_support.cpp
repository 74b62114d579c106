#include "core_support.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <QApplication>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace coretest {

namespace {
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct TimeFree {
    void operator()(ASN1_TIME* t) const { ASN1_TIME_free(t); }
};

std::unique_ptr<ASN1_TIME, TimeFree> timeOf(const std::string& text) {
    std::unique_ptr<ASN1_TIME, TimeFree> t(ASN1_TIME_new());
    if (!t || ASN1_TIME_set_string(t.get(), text.c_str()) != 1) {
        throw std::runtime_error("bad time " + text);
    }
    return t;
}
}  // namespace

QByteArray makeCert(const std::string& subjectCN, const std::string& issuerCN,
                    const std::string& notBefore, const std::string& notAfter, long serial) {
    static EVP_PKEY* key = EVP_EC_gen("P-256");  // one key for every test certificate
    std::unique_ptr<X509, X509Free> x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_set1_notBefore(x.get(), timeOf(notBefore).get());
    X509_set1_notAfter(x.get(), timeOf(notAfter).get());
    X509_NAME* sub = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(sub, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(sub, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Bank"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(sub, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(subjectCN.c_str()), -1, -1, 0);
    X509_NAME* iss = X509_get_issuer_name(x.get());
    X509_NAME_add_entry_by_txt(iss, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Bank"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(iss, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(issuerCN.c_str()), -1, -1, 0);
    X509_set_pubkey(x.get(), key);
    if (X509_sign(x.get(), key, EVP_sha256()) <= 0) {
        throw std::runtime_error("X509_sign failed");
    }
    unsigned char* der = nullptr;
    const int len = i2d_X509(x.get(), &der);
    QByteArray bytes(reinterpret_cast<const char*>(der), len);
    OPENSSL_free(der);
    return bytes;
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
