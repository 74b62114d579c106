#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// An empty variable counts as unset: a stray `export QD_TOKEN_LIBRARY=` must
// not make the programs load "" (which dlopen takes as the main program).
std::string fromEnv(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::string(value) : fallback;
}

// <XDG_RUNTIME_DIR>/<name>, else /tmp/<name>-<uid>: per-user folders that
// last as long as the user's session.
std::string runtimeFolder(const char* name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return (runtime && *runtime) ? std::string(runtime) + "/" + name
                                 : "/tmp/" + std::string(name) + "-" + std::to_string(getuid());
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

std::string managerLockDir() { return fromEnv("QD_MANAGER_LOCK_DIR", runtimeFolder("vostrel")); }

bool makePrivateFolder(const std::string& path, std::string* error) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "mkdir " + part + " failed: " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "mkdir " + path + " failed: not a folder";
        return false;
    }
    return true;
}

std::string simStateDir() { return fromEnv("KEYSIM_DIR", runtimeFolder("keysim")); }

}  // namespace platform
