#include "sign/X509Helper.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>

namespace {

// Work buffers of the name text: a value of 512 bytes or more is cut to 511
// so the text always ends in a NUL.
constexpr size_t kNameBuffer = 512;

// How many of the n bytes of s fit in `room` bytes without splitting a UTF-8
// character.
size_t fitUtf8(const char* s, size_t n, size_t room) {
    if (n <= room) return n;
    size_t k = room;
    while (k > 0 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
    return k;
}

// Copies the NUL-terminated text into buffer[capacity], cut to fit.
void copyCut(const char* text, char* buffer, size_t capacity) {
    if (capacity == 0) return;
    const size_t n = fitUtf8(text, std::strlen(text), capacity - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

// The entry's value as UTF-8 into work[kNameBuffer]; a value that cannot be
// converted leaves work as it was.
void entryValue(const X509_NAME_ENTRY* entry, char* work) {
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (n < 0) return;
    std::memset(work, 0, kNameBuffer);
    const char* text = reinterpret_cast<const char*>(utf8);
    std::memcpy(work, text, fitUtf8(text, static_cast<size_t>(n), kNameBuffer - 1));
    OPENSSL_free(utf8);
}

bool nameText(const X509_NAME* name, char* buffer, size_t capacity) {
    char organisation[kNameBuffer] = {};
    char common[kNameBuffer] = {};
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
        if (nid == NID_organizationName) {
            entryValue(entry, organisation);
        } else if (nid == NID_commonName) {
            entryValue(entry, common);
            if (common[0] != '\0') {
                copyCut(common, buffer, capacity);
                return true;
            }
        }
    }
    copyCut(organisation, buffer, capacity);
    return true;
}

}  // namespace

X509Helper::X509Helper() = default;
X509Helper::~X509Helper() = default;

bool X509Helper::loadDERCert(const unsigned char* der, int32_t length) {
    cert_.reset();
    if (der == nullptr || length <= 0) return false;
    const unsigned char* p = der;
    cert_.reset(d2i_X509(nullptr, &p, length));
    return cert_ != nullptr;
}

bool X509Helper::GetSubjectName(char* buffer, size_t capacity) const {
    if (!cert_) return false;
    return nameText(X509_get_subject_name(cert_.get()), buffer, capacity);
}

bool X509Helper::GetIssuerName(char* buffer, size_t capacity) const {
    if (!cert_) return false;
    return nameText(X509_get_issuer_name(cert_.get()), buffer, capacity);
}

bool X509Helper::GetSerialNumber(char* buffer, size_t capacity) const {
    if (!cert_) return false;
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert_.get());
    const int length = ASN1_STRING_length(serial);
    const unsigned char* bytes = ASN1_STRING_get0_data(serial);
    if (length < 0 || 2 * static_cast<size_t>(length) + 1 > capacity) return false;
    if (length == 0) return true;
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < length; ++i) {
        buffer[2 * i] = kDigits[bytes[i] >> 4];
        buffer[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    buffer[2 * length] = '\0';
    return true;
}
