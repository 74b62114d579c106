// Certificate bytes as the key manager reads them from a key: parsed or
// refused, and when parsed every field the windows show can be taken (names,
// dates, serial number) without a fault.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdlib>

#include "OpensslOperate.h"
#include "Qd_MacIntf.h"

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
    // A bad time shows as 1970's date: there is always a validity text.
    if (!rec.value(CertKey::valid).toString().contains(QLatin1Char('-'))) std::abort();
    return 0;
}
