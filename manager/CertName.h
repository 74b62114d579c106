// Certificate names as a person reads them (table rows, detail fields,
// tooltips, the viewer, a screen reader): made from the certificate's own
// name entries, each value converted from its ASN.1 string type to UTF-8
// (ASN1_STRING_to_UTF8), never by decoding the escapes of a one-line text,
// where a literal backslash and an escape look alike.
//
// What cannot be read safely is escaped, and only the escapes start with a
// backslash: "\\" is a backslash of the name; "\uHHHH" (or "\UHHHHHHHH"
// beyond U+FFFF) a control character, an invisible format character (text
// direction overrides and isolates, zero-width characters, soft hyphens,
// tags) or a line or paragraph separator; "\xHH" a byte outside printable
// ASCII of a value that is not text (a type that does not convert).
//
// The records of the certificate reader keep their one-line texts; these are
// for display only. No state; any thread.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <QByteArray>
#include <QString>

namespace kelvane {

// One entry's value, converted and escaped as above; "" for null.
QString shownValue(const ASN1_STRING* value);

// The part of a name the certificate list shows, as the reader takes it
// (the text after the last "CN="): the last common name's value, then each
// entry after it as "/SN=value"; a name without a common name shows every
// entry that way. "" for null or empty names.
QString shownCommonName(const X509_NAME* name);

// Every entry of a name, one per line, "SN = value" in the certificate's
// order (the viewer's form).
QString shownFullName(const X509_NAME* name);

// Issuer and subject of certificate bytes, parsed as the list parses them
// (OpensslOperate::getX509Data); both "" when the bytes are no certificate.
struct ShownNames {
    QString issuer;
    QString subject;
};
ShownNames shownNames(const QByteArray& der);

}  // namespace kelvane
