// X509Helper: reads the names and the serial number of one DER certificate
// for the certificate list and the certificate search.
//
// Buffers are the caller's, with their capacity in bytes; every text written
// is NUL-terminated and cut, when it must be, at a UTF-8 character boundary
// so that it fits. Each helper lives for the handling of one certificate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ossl.h"

class X509Helper {
public:
    X509Helper();
    virtual ~X509Helper();
    X509Helper(const X509Helper&) = delete;
    X509Helper& operator=(const X509Helper&) = delete;

    // True when the bytes parse as a DER X.509 certificate (trailing bytes are
    // ignored). A certificate held before is dropped first, also on failure.
    bool loadDERCert(const unsigned char* der, int32_t length);

    // The name text of the subject (issuer): its first non-empty common name
    // (CN), else its last organisation name (O), else "". Values are taken as
    // UTF-8, each cut to 511 bytes; an entry that cannot be converted to UTF-8
    // is passed over. False only when no certificate is held.
    bool GetSubjectName(char* buffer, size_t capacity) const;
    bool GetIssuerName(char* buffer, size_t capacity) const;

    // The serial number as upper-case hexadecimal, two digits per byte of the
    // INTEGER as OpenSSL holds it (no sign byte), as `openssl x509 -serial`
    // prints it. False when no certificate is held or the text and its NUL do
    // not fit. A serial number without bytes leaves the buffer unchanged.
    bool GetSerialNumber(char* buffer, size_t capacity) const;

private:
    ossl::X509Ptr cert_;
};
