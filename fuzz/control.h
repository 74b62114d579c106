// A control function of a fake library that a harness loaded with dlopen,
// found by name. A missing one stops the run, as a broken expectation does.
#pragma once

#include <dlfcn.h>

#include <cstdlib>

namespace fuzz {

template <typename Function>
Function control(void* library, const char* name) {
    void* found = dlsym(library, name);
    if (found == nullptr) std::abort();
    return reinterpret_cast<Function>(found);
}

}  // namespace fuzz
