// Harness side of the fake token library: loads it through the binding
// (Func_Init, as the programs load the real one) and reaches its controls
// through the same handle. Stops the harness when it cannot.
#pragma once

#include <dlfcn.h>

#include <cstdlib>

#include "fuzz/control.h"
#include "token/Func_init.h"
#include "token/fuzz/fake-library/fake_library.h"

namespace fakekp {

struct Controls {
    decltype(&fakekp_load) load;
    decltype(&fakekp_readers_status) readersStatus;
    decltype(&fakekp_foreign_pcode) foreignPcode;
    decltype(&fakekp_kept) kept;
    decltype(&fakekp_certificates) certificates;
    decltype(&fakekp_certificate) certificate;
};

inline const Controls& controls() {
    static const Controls c = [] {
        if (Func_Init(FAKEKP_LIBRARY) != 0) std::abort();
        void* handle = dlopen(FAKEKP_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
        if (handle == nullptr) std::abort();
        return Controls{fuzz::control<decltype(&fakekp_load)>(handle, "fakekp_load"),
                        fuzz::control<decltype(&fakekp_readers_status)>(handle, "fakekp_readers_status"),
                        fuzz::control<decltype(&fakekp_foreign_pcode)>(handle, "fakekp_foreign_pcode"),
                        fuzz::control<decltype(&fakekp_kept)>(handle, "fakekp_kept"),
                        fuzz::control<decltype(&fakekp_certificates)>(handle, "fakekp_certificates"),
                        fuzz::control<decltype(&fakekp_certificate)>(handle, "fakekp_certificate")};
    }();
    return c;
}

}  // namespace fakekp
