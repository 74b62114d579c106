// Loader and wrappers of the token device library.
//
// One source, two static libraries: token_manager is compiled with
// QD_TOKEN_FILTER_READERS (KpListReaders filters the readers by PCODE),
// token_agent without (KpListReaders is a plain wrapper like all others).
#include "token/Func_init.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/paths.h"
#include "token/Func_init_list.h"
#include "token/NameList.h"
#include "token/Session.h"

extern "C" {
void* hDylib = nullptr;
bool glb_bInited = false;
}

namespace {

// Looks `name` up in the loaded library on every call (the address is never
// kept). Prints the wrapper's diagnostic and returns null when the library is
// not loaded or lacks the function.
template <typename Fn>
Fn lookupApi(const char* name) {
    if (hDylib == nullptr) {
        std::fputs("Load dylib file Failed.\n", stdout);
        std::fflush(stdout);
        return nullptr;
    }
    void* symbol = dlsym(hDylib, name);
    if (symbol == nullptr) {
        std::printf("get api %s failed", name);
        std::fflush(stdout);
        return nullptr;
    }
    return reinterpret_cast<Fn>(symbol);
}

}  // namespace

extern "C" {

int Func_Init(const char* path) {
    if (glb_bInited) {
        Func_Finalize();
    }
    std::string file;
    try {
        file = (path != nullptr && path[0] != '\0') ? std::string(path) : platform::tokenLibraryPath();
    } catch (...) {  // out of memory: nothing crosses the C boundary
        return 1;
    }
    void* handle = dlopen(file.c_str(), RTLD_LAZY);
    if (handle == nullptr) {
        const char* error = dlerror();
        std::printf("%s\n", error != nullptr ? error : "");
        std::fflush(stdout);
        return 1;
    }
    hDylib = handle;
    glb_bInited = true;
    return 0;
}

void Func_Finalize(void) {
    if (hDylib != nullptr) {
        dlclose(hDylib);
    }
    hDylib = nullptr;
    glb_bInited = false;
}

bool IsInitedOK(void) {
    if (!glb_bInited) {
        Func_Init(nullptr);
    }
    return glb_bInited;
}

// Every wrapper: same name and parameters as the library function; a
// definition whose parameters differ from the declaration in Func_init.h would
// not compile, so the list and the header cannot drift apart.
#define QD_WRAPPER_0(name, params, args)               \
    uint32_t name params {                             \
        auto fn = lookupApi<decltype(&::name)>(#name); \
        if (fn == nullptr) {                           \
            return KP_STATUS_UNAVAILABLE;              \
        }                                              \
        return fn args;                                \
    }
#define QD_WRAPPER_1(name, params, args)  // written out below
#define KP_MARK_SELF_KpListReaders ~, 1
#define QD_WRAPPER(name, params, args) KP_CAT(QD_WRAPPER_, KP_IS_MARKED(SELF, name))(name, params, args)

KP_FUNCTION_LIST(QD_WRAPPER)

#ifndef QD_TOKEN_FILTER_READERS

// The key agent's KpListReaders: a plain wrapper.
QD_WRAPPER_0(KpListReaders, (char* szReaderNames, uint32_t* pdwReaderNameLen, uint32_t* pdwReaderNum),
             (szReaderNames, pdwReaderNameLen, pdwReaderNum))

#else

// The key manager's KpListReaders: keeps only the bank's keys (PCODE 20244)
// and refuses the whole list (34) when a key of another PCODE is attached.
//
// Mended fault: the walk (token/NameList.h) never reads past the private
// buffer, whatever the library reports: it stops at the end of the 1024
// bytes even when the reported length is larger, and a last name that the
// library left without its NUL was cut off by the buffer's end, so it is
// neither connected nor counted. Everything else is as the system does it,
// including that the kept length written back may exceed the caller's
// capacity (callers rely on it).
uint32_t KpListReaders(char* szReaderNames, uint32_t* pdwReaderNameLen, uint32_t* pdwReaderNum) {
    constexpr uint32_t kCapacity = 1024;

    if (hDylib == nullptr) {
        std::fputs("Load dylib file Failed,hDylib = 0.\n", stdout);
        std::fflush(stdout);
        return KP_STATUS_UNAVAILABLE;
    }
    auto listReaders = reinterpret_cast<decltype(&::KpListReaders)>(dlsym(hDylib, "KpListReaders"));
    if (listReaders == nullptr) {
        std::fputs("get api KpListReaders failed,KpListReaders = 0.", stdout);
        std::fflush(stdout);
        return KP_STATUS_UNAVAILABLE;
    }
    if (pdwReaderNameLen == nullptr || *pdwReaderNameLen == 0) {
        std::fputs("KpListReaders error params,pdwReaderNameLen == NULL || *pdwReaderNameLen == 0!", stdout);
        std::fflush(stdout);
        return KP_STATUS_UNAVAILABLE;
    }

    char listed[kCapacity] = {};
    uint32_t listedLen = kCapacity;
    uint32_t listedCount = 0;
    uint32_t status = listReaders(listed, &listedLen, &listedCount);
    if (status != 0) {
        return status;
    }

    char kept[kCapacity] = {};  // the walk yields only names whose NUL lies inside `listed`
    uint32_t keptLen = 0;
    uint32_t keptCount = 0;
    token::NameListWalk walk(listed, listedLen, kCapacity);
    for (std::string_view name; walk.next(&name);) {
        const std::string reader(name);
        // Ends its transaction and disconnects on every way out of this pass.
        token::Session session(reader.c_str());
        status = session.connectStatus();
        if (status == 0) {
            status = session.begin();
            if (status == 0) {
                uint32_t pcode = 0;
                uint32_t reserved = 0;
                status = KpReadPCODE(session.handle(), &pcode, &reserved);
                if (status == 0) {
                    if (pcode != KP_PCODE_BANK) {
                        return KP_STATUS_FOREIGN_KEY;
                    }
                    ++keptCount;
                    std::memcpy(kept + keptLen, reader.c_str(), reader.size() + 1);
                    keptLen += static_cast<uint32_t>(reader.size() + 1);
                }
            }
        }
    }
    if (!walk.endedAtEmptyName() && keptLen > 0) {
        --keptLen;
    }

    if (pdwReaderNum != nullptr) {
        *pdwReaderNum = keptCount;
    }
    if (szReaderNames != nullptr && keptLen > 0) {
        std::memcpy(szReaderNames, kept, keptLen < *pdwReaderNameLen ? keptLen : *pdwReaderNameLen);
    }
    *pdwReaderNameLen = keptLen;
    return status;
}

#endif  // QD_TOKEN_FILTER_READERS

}  // extern "C"
