// lookCer, the key manager's certificate walk, against a library that
// answers anything: every container name it asks for is a whole name of the
// list (the fake library aborts otherwise), and the list it returns holds
// exactly the certificates the library handed over, in order, each with the
// bytes that arrived (at most the 4096-byte buffer) and its container's name.
#include <dlfcn.h>

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Qd_MacIntf.h"
#include "token/Func_init.h"
#include "token/fuzz/fake-library/fake_library.h"

namespace {

struct Fake {
    decltype(&fakekp_load) load;
    decltype(&fakekp_certificates) certificates;
    decltype(&fakekp_certificate) certificate;
};

const Fake& fake() {
    static const Fake f = [] {
        if (Func_Init(FAKEKP_LIBRARY) != 0) std::abort();
        void* handle = dlopen(FAKEKP_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
        if (handle == nullptr) std::abort();
        const auto control = [handle](const char* name) {
            void* fn = dlsym(handle, name);
            if (fn == nullptr) std::abort();
            return fn;
        };
        return Fake{reinterpret_cast<decltype(&fakekp_load)>(control("fakekp_load")),
                    reinterpret_cast<decltype(&fakekp_certificates)>(control("fakekp_certificates")),
                    reinterpret_cast<decltype(&fakekp_certificate)>(control("fakekp_certificate"))};
    }();
    return f;
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake().load(data, size);
    const std::optional<CertificateList> list = Qd_MacIntf().lookCer();
    if (!list) {
        check(fake().certificates() == 0);
        return 0;
    }
    check(static_cast<size_t>(list->size()) == fake().certificates());
    for (qsizetype i = 0; i < list->size(); ++i) {
        uint32_t spec = 0, reported = 0;
        const uint8_t* bytes = nullptr;
        size_t held = 0;
        const char* container = fake().certificate(static_cast<size_t>(i), &spec, &reported, &bytes, &held);
        const CertificateRecord& rec = (*list)[i];
        check(rec.value(CertKey::cerDt).toByteArray() ==
              QByteArray(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(held)));
        check(rec.value(CertKey::conNam).toString() == QString::fromUtf8(container));
        check(rec.value(CertKey::cerState).toString() ==
              QString::fromUtf8(spec == KP_KEYSPEC_SIGN ? kSignCertText : kEncCertText));
        check(rec.size() == 6);
    }
    return 0;
}
