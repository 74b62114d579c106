// The simulated token library loaded by path, as the programs load the real
// one, for the simulator's own tests.
#pragma once

#include <dlfcn.h>

#include <stdexcept>

#include "sim/token/keysim_testing.h"
#include "token/Func_init.h"
#include "token/Func_init_list.h"

namespace kpsimtest {

// The simulator's functions, looked up by name in the library.
class Library {
    void* handle_;  // first: the members below look their functions up in it

public:
    Library() : handle_(dlopen(kpsim::testing::libraryPath().c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) throw std::runtime_error(dlerror());
    }
    ~Library() { dlclose(handle_); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    void* symbol(const char* name) const { return dlsym(handle_, name); }

#define KPSIM_TEST_MEMBER(name, params, args) \
    decltype(&::name) name = reinterpret_cast<decltype(&::name)>(symbol(#name));
    KP_FUNCTION_LIST(KPSIM_TEST_MEMBER)
};

template <typename... Args>
uint32_t callWithZeros(uint32_t (*fn)(Args...)) {
    return fn(Args{}...);
}

}  // namespace kpsimtest
