// Test double: a token library that carries only two of the 94 functions.
#pragma GCC visibility push(default)
#include "token/Func_init.h"
#pragma GCC visibility pop

extern "C" {

uint32_t KpGetKeyType(KPHANDLE hDev, uint32_t* pdwKeyType) {
    if (pdwKeyType != nullptr) *pdwKeyType = 7;
    return hDev == nullptr ? 0u : 0x1234u;
}

uint32_t KpBeginTransaction(KPHANDLE) { return 0x0BADF00Du; }

}  // extern "C"
