#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The install layout (cmake/QdLayout.cmake) gives the defaults, so the
// installed files and what the programs look for agree.
#if !defined(QD_DEFAULT_TOKEN_LIBRARY) || !defined(QD_DEFAULT_PKCS11_MODULE) || \
    !defined(QD_DEFAULT_CARROW_LIBRARY) || !defined(QD_DEFAULT_BUNDLE_DIR)
#error "build through CMake: the layout's paths are compile definitions"
#endif

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

std::string tokenLibraryPath() { return fromEnv("QD_TOKEN_LIBRARY", QD_DEFAULT_TOKEN_LIBRARY); }

std::string tokenLibraryDefault() { return QD_DEFAULT_TOKEN_LIBRARY; }

std::string pkcs11ModulePath() { return fromEnv("QD_PKCS11_MODULE", QD_DEFAULT_PKCS11_MODULE); }

std::string carrowLibraryPath() { return fromEnv("QD_CARROW_LIBRARY", QD_DEFAULT_CARROW_LIBRARY); }

std::string bundleDir() { return fromEnv("QD_BUNDLE_DIR", QD_DEFAULT_BUNDLE_DIR); }

std::string bundleResource(const std::string& name) { return bundleDir() + "/share/" + name; }

std::string managerExecutable() { return fromEnv("QD_MANAGER_EXECUTABLE", bundleDir() + "/bin/kelvane"); }

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

namespace {
std::string sharedFallback() { return "/tmp/keysim-" + std::to_string(getuid()); }
}  // namespace

std::string simStateDir() { return fromEnv("KEYSIM_DIR", runtimeFolder("keysim")); }

bool checkSimStateDir(const std::string& dir, std::string* error) {
    if (dir != sharedFallback()) return true;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;  // made private (0700) when first written
        *error = "state folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    char why[96] = "";
    if (!S_ISDIR(st.st_mode)) {
        std::snprintf(why, sizeof why, "%s", S_ISLNK(st.st_mode) ? "a link" : "not a folder");
    } else if (st.st_uid != geteuid()) {
        std::snprintf(why, sizeof why, "owned by uid %u", static_cast<unsigned>(st.st_uid));
    } else if ((st.st_mode & 07777) != 0700) {
        std::snprintf(why, sizeof why, "of mode %04o", static_cast<unsigned>(st.st_mode & 07777));
    } else {
        return true;
    }
    *error = "state folder " + dir + " is " + why +
             ": only a folder of this user's with mode 0700 is used (or set KEYSIM_DIR)";
    return false;
}

}  // namespace platform
