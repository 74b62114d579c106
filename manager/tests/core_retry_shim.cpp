// A token library for one test: forwards the calls the key manager makes to
// the simulator named by CORE_SHIM_TARGET, except that the retry-count read
// fails (status 0x88000099, after writing 0 tries).
#include <dlfcn.h>

#include <cstdlib>

#include "token/Func_init.h"

namespace {

void* target() {
    static void* handle = dlopen(std::getenv("CORE_SHIM_TARGET"), RTLD_NOW | RTLD_LOCAL);
    return handle;
}

template <typename Fn>
Fn lookup(const char* name) {
    void* h = target();
    return h != nullptr ? reinterpret_cast<Fn>(dlsym(h, name)) : nullptr;
}

}  // namespace

#define CORE_FORWARD(name, params, args)              \
    uint32_t name params {                            \
        using Fn = uint32_t(*) params;                \
        Fn fn = lookup<Fn>(#name);                    \
        return fn != nullptr ? fn args : 0xFFFFFFFFu; \
    }

extern "C" {
__attribute__((visibility("default"))) CORE_FORWARD(KpListReaders, (char* a, uint32_t* b, uint32_t* c),
                                                    (a, b, c)) __attribute__((visibility("default")))
CORE_FORWARD(KpConnectDev, (const char* a, KPHANDLE* b), (a, b)) __attribute__((visibility("default")))
CORE_FORWARD(KpBeginTransaction, (KPHANDLE a), (a)) __attribute__((visibility("default")))
CORE_FORWARD(KpEndTransaction, (KPHANDLE a), (a)) __attribute__((visibility("default")))
CORE_FORWARD(KpReadPCODE, (KPHANDLE a, uint32_t* b, uint32_t* c),
             (a, b, c)) __attribute__((visibility("default")))
CORE_FORWARD(KpDisconnectDev, (KPHANDLE a), (a)) __attribute__((visibility("default")))
CORE_FORWARD(KpGetKeyType, (KPHANDLE a, uint32_t* b), (a, b)) __attribute__((visibility("default")))
CORE_FORWARD(KpGetChangePINFlage, (KPHANDLE a, uint32_t* b), (a, b)) __attribute__((visibility("default")))
CORE_FORWARD(KpChangeUserPin, (KPHANDLE a, const char* b, const char* c, uint32_t* d), (a, b, c, d))

    __attribute__((visibility("default"))) uint32_t KpGetUserPinRetryNum(KPHANDLE, uint32_t* pdwRetry) {
    if (pdwRetry != nullptr) {
        *pdwRetry = 0;
    }
    return 0x88000099u;
}
}
