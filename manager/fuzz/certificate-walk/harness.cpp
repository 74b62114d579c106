// lookCer, the key manager's certificate walk, against a library that
// answers anything: every container name it asks for is a whole name of the
// list (the fake library aborts otherwise), and the list it returns holds
// exactly the certificates the library handed over, in order, each with the
// bytes that arrived (at most the 4096-byte buffer) and its container's name.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Qd_MacIntf.h"
#include "fuzz/fuzz_input.h"
#include "token/Func_init.h"
#include "token/fuzz/fake-library/fake_controls.h"

namespace {

const fakekp::Controls& fake() { return fakekp::controls(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake().load(data, size);
    const std::optional<CertificateList> list = Qd_MacIntf().lookCer();
    if (!list) {
        fuzz::require(fake().certificates() == 0);
        return 0;
    }
    fuzz::require(static_cast<size_t>(list->size()) == fake().certificates());
    for (qsizetype i = 0; i < list->size(); ++i) {
        uint32_t spec = 0, reported = 0;
        const uint8_t* bytes = nullptr;
        size_t held = 0;
        const char* container = fake().certificate(static_cast<size_t>(i), &spec, &reported, &bytes, &held);
        const CertificateRecord& rec = (*list)[i];
        fuzz::require(rec.value(CertKey::cerDt).toByteArray() ==
                      QByteArray(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(held)));
        fuzz::require(rec.value(CertKey::conNam).toString() == QString::fromUtf8(container));
        fuzz::require(rec.value(CertKey::cerState).toString() ==
                      QString::fromUtf8(spec == KP_KEYSPEC_SIGN ? kSignCertText : kEncCertText));
        fuzz::require(rec.size() == 6);
    }
    return 0;
}
