// Harness side of the fake token library: loads it through the binding
// (Func_Init, as the programs load the real one) and reaches its controls
// through the same handle. Stops the harness when it cannot.
#pragma once

#include <dlfcn.h>

#include <cstdlib>

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
        const auto control = [handle](const char* name) {
            void* fn = dlsym(handle, name);
            if (fn == nullptr) std::abort();
            return fn;
        };
        return Controls{reinterpret_cast<decltype(&fakekp_load)>(control("fakekp_load")),
                        reinterpret_cast<decltype(&fakekp_readers_status)>(control("fakekp_readers_status")),
                        reinterpret_cast<decltype(&fakekp_foreign_pcode)>(control("fakekp_foreign_pcode")),
                        reinterpret_cast<decltype(&fakekp_kept)>(control("fakekp_kept")),
                        reinterpret_cast<decltype(&fakekp_certificates)>(control("fakekp_certificates")),
                        reinterpret_cast<decltype(&fakekp_certificate)>(control("fakekp_certificate"))};
    }();
    return c;
}

}  // namespace fakekp
