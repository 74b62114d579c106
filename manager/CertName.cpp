#include "CertName.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <QStringDecoder>
#include <QStringList>
#include <array>
#include <memory>

#include "OpensslOperate.h"

namespace kelvane {

namespace {

// Characters a person cannot see or that change how the rest is drawn.
bool hidden(char32_t c) {
    switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return true;
        default:
            return false;
    }
}

// Upper-case hexadecimal of v, at least `digits` digits.
QString hex(uint v, int digits) { return QString::number(v, 16).toUpper().rightJustified(digits, u'0'); }

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        char32_t c = text[i].unicode();
        qsizetype units = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            units = 2;
        }
        if (c == u'\\') {
            out += QStringLiteral("\\\\");
        } else if (hidden(c)) {
            out += c <= 0xFFFF ? QStringLiteral("\\u") + hex(c, 4) : QStringLiteral("\\U") + hex(c, 8);
        } else {
            out += QStringView(text).mid(i, units);
        }
        i += units;
    }
    return out;
}

// A value of a type that is not text: its printable ASCII bytes as they
// are, every other byte escaped.
QString bytesEscaped(const ASN1_STRING* value) {
    const unsigned char* data = ASN1_STRING_get0_data(value);
    const int length = ASN1_STRING_length(value);
    QString out;
    for (int i = 0; data != nullptr && i < length; ++i) {
        const unsigned char b = data[i];
        if (b == '\\') {
            out += QStringLiteral("\\\\");
        } else if (b >= 0x20 && b < 0x7F) {
            out += QChar(b);
        } else {
            out += QStringLiteral("\\x") + hex(b, 2);
        }
    }
    return out;
}

// The entry's key as the one-line text names it: the short name, else the
// object identifier in dotted form.
QString entryKey(const X509_NAME_ENTRY* entry) {
    const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
    const int nid = OBJ_obj2nid(object);
    const char* sn = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
    if (sn != nullptr) return QString::fromLatin1(sn);
    std::array<char, 80> dotted{};
    if (OBJ_obj2txt(dotted.data(), static_cast<int>(dotted.size()), object, 1) <= 0)
        return QStringLiteral("?");
    return QString::fromLatin1(dotted.data());
}

QString entryValue(const X509_NAME_ENTRY* entry) { return shownValue(X509_NAME_ENTRY_get_data(entry)); }

}  // namespace

QString shownValue(const ASN1_STRING* value) {
    if (value == nullptr) return {};
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    const ossl::OsslBytes owned(utf8);
    if (length >= 0) {
        // A leading U+FEFF is a character of the name (and escaped), not a
        // byte-order mark to drop.
        QStringDecoder decoder(QStringDecoder::Utf8,
                               QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
        const QString text = decoder.decode(
            QByteArrayView(reinterpret_cast<const char*>(utf8), static_cast<qsizetype>(length)));
        if (!decoder.hasError()) return escaped(text);
    }
    return bytesEscaped(value);
}

QString shownCommonName(const X509_NAME* name) {
    if (name == nullptr) return {};
    const int count = X509_NAME_entry_count(name);
    int common = -1;
    for (int i = 0; i < count; ++i) {
        if (OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(name, i))) == NID_commonName)
            common = i;
    }
    QString out;
    for (int i = common < 0 ? 0 : common; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (i == common) {
            out += entryValue(entry);
        } else {
            out += u'/' + entryKey(entry) + u'=' + entryValue(entry);
        }
    }
    return out;
}

QString shownFullName(const X509_NAME* name) {
    if (name == nullptr) return {};
    QStringList lines;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        lines << entryKey(entry) + QStringLiteral(" = ") + entryValue(entry);
    }
    return lines.join(u'\n');
}

ShownNames shownNames(const QByteArray& der) {
    const X509Ptr cert = OpensslOperate::getX509Data(der);
    if (!cert) return {};
    return {shownCommonName(X509_get_issuer_name(cert.get())),
            shownCommonName(X509_get_subject_name(cert.get()))};
}

}  // namespace kelvane
