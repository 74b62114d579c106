#include "platform/paths.h"

#include <cstdlib>
#include <unistd.h>

namespace platform {
namespace {

// An empty variable counts as unset: a stray `export QD_TOKEN_LIBRARY=` must
// not make the programs load "" (which dlopen takes as the main program).
std::string fromEnv(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::string(value) : fallback;
}

}  // namespace

std::string tokenLibraryPath() {
    return fromEnv("QD_TOKEN_LIBRARY", "/usr/local/lib/libUSBQdvKey_20244.so");
}

std::string pkcs11ModulePath() {
    return fromEnv("QD_PKCS11_MODULE", "/usr/local/lib/qdpkcs11-darwin.so");
}

std::string carrowLibraryPath() {
    return fromEnv("QD_CARROW_LIBRARY", "/usr/local/lib/libCarrow_20244.so");
}

std::string bundleDir() {
    return fromEnv("QD_BUNDLE_DIR", "/opt/Vostrel");
}

std::string bundleResource(const std::string& name) {
    return bundleDir() + "/share/" + name;
}

std::string managerExecutable() {
    return fromEnv("QD_MANAGER_EXECUTABLE", bundleDir() + "/bin/kelvane");
}

std::string simStateDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string fallback = (runtime && *runtime) ? std::string(runtime) + "/keysim"
                                                 : "/tmp/keysim-" + std::to_string(getuid());
    return fromEnv("KEYSIM_DIR", fallback);
}

}  // namespace platform
