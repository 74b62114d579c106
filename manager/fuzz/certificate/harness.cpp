// Certificate bytes as the key manager reads them from a key: parsed or
// refused, and when parsed every field the windows show can be taken (names,
// dates, serial number) without a fault, and the names a person reads hold
// no character that hides or reorders text.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdlib>

#include "CertName.h"
#include "OpensslOperate.h"
#include "Qd_MacIntf.h"

namespace {
void requireVisible(const QString& text) {
    for (QChar c : text) {
        switch (c.category()) {
            case QChar::Other_Control:
            case QChar::Other_Format:
            case QChar::Other_Surrogate:
            case QChar::Separator_Line:
            case QChar::Separator_Paragraph:
                std::abort();
            default:
                break;
        }
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray der(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const X509Ptr cert = OpensslOperate::getX509Data(der);
    const CertificateRecord rec = Qd_MacIntf().fzX509(der);
    if (!cert) {
        if (!rec.value(CertKey::sub).toString().isEmpty() || !rec.value(CertKey::valid).toString().isEmpty())
            std::abort();
        return 0;
    }
    if (size > static_cast<size_t>(OpensslOperate::kMaxCertLength)) std::abort();
    (void)OpensslOperate::getcerSerialNumber(cert.get());
    const kelvane::ShownNames names = kelvane::shownNames(der);
    requireVisible(names.issuer);
    requireVisible(names.subject);
    requireVisible(kelvane::shownFullName(X509_get_subject_name(cert.get())).remove(u'\n'));
    // A bad time shows as 1970's date: there is always a validity text.
    if (!rec.value(CertKey::valid).toString().contains(QLatin1Char('-'))) std::abort();
    return 0;
}
