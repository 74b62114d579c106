// The simulated token library loaded by path, as the programs load the real
// one, for the simulator's own tests.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <stdexcept>

#include "sim/token/keysim_testing.h"
#include "token/Func_init.h"
#include "token/Func_init_list.h"

namespace kpsimtest {

// The simulator's statuses, written out here rather than taken from its
// code, so that a changed value shows.
namespace status {
constexpr uint32_t kNotSupported = 0x88000001u;
constexpr uint32_t kNoDevice = 0x88000002u;
constexpr uint32_t kBadParam = 0x88000003u;
constexpr uint32_t kBufferTooSmall = 0x88000004u;
constexpr uint32_t kStateError = 0x88000005u;
constexpr uint32_t kNotFound = 0x88000006u;
constexpr uint32_t kNotReady = 0x88000007u;
constexpr uint32_t kBusy = 0x88000008u;
constexpr uint32_t kTooManyHandles = 0x88000009u;
constexpr uint32_t kReleased = 0x8800000Au;
constexpr uint32_t kTransactionState = 0x8800000Bu;
}  // namespace status

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
