// Certificate helpers over OpenSSL 3: parsing, validity dates, names and the
// serial number, plus the ASN.1 time parser the dates are made with.
// No state; every function may run on any thread.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <string>

#include "platform/ossl.h"

using X509Ptr = ossl::X509Ptr;

class OpensslOperate {
public:
    // Largest certificate the key manager reads (its work buffer).
    static constexpr int kMaxCertLength = 4096;

    // Parses DER bytes; null when they are empty, longer than 4096 bytes or
    // do not start with one DER X.509 certificate. The certificate's own
    // length (its outer DER header) says where it ends: a key may report a
    // longer length and pad the rest, and what follows is not read. The
    // certificate list and the viewer both parse through here.
    static X509Ptr getX509Data(const QByteArray& der);
    // Length of the DER structure at the start of der (header and content),
    // or 0 when its header is malformed or claims more bytes than there are.
    static qsizetype derLength(const QByteArray& der);
    // Not-before / not-after date as "yyyyMMdd" in the local time zone. A bad
    // time gives the local date of 1970-01-01; a null certificate "".
    static QString getStartTime(const X509* cert);
    static QString getEndTime(const X509* cert);
    // Serial number as upper-case hexadecimal (also logged); "" when absent.
    static QString getcerSerialNumber(const X509* cert);
    // The same text, not logged (the certificate viewer's).
    static QString serialHex(const X509* cert);
    // One-line names ("/C=CN/O=Bank/CN=Name", non-ASCII bytes as \xHH); "" for null.
    static std::string getsbjctName(const X509* cert);
    static std::string getIssuerName(const X509* cert);
};

// Seconds since 1970-01-01 00:00 UTC of a UTCTime or GeneralizedTime. *err
// (may be null) receives 0 good, 1 bad format, 2 out of range; on error the
// result is 0. A GeneralizedTime without a zone is taken as local time.
int64_t ASN1_TIME_get(const ASN1_TIME* time, int* err);

// Reads exactly n decimal digits at *s and advances *s. A non-digit sets
// *e = 1 and gives 0; a value outside min..max sets *e = 1 (value returned).
int mypint(const unsigned char** s, int n, int min, int max, int* e);

// "yyyyMMdd" of a date in the local time zone.
QString dateToString(const QDateTime& date);
