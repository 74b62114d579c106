// Fixed install paths of the suite and of what it loads, with this platform's
// conventions: shared libraries end in .so, and the key manager's application
// bundle is an install prefix holding bin/ (executable) and share/ (resources).
// Each path can be overridden by an environment variable (README lists them),
// so tests and demos point the programs at the simulator and at a staged build.
//
// Thread safety: the functions read the environment on every call and keep no
// state; call them after the process has stopped changing its environment.
#pragma once

#include <string>

namespace platform {

// Token device library: QD_TOKEN_LIBRARY, else /usr/local/lib/libUSBQdvKey_20244.so.
std::string tokenLibraryPath();
// Its default when the variable is unset (for usage texts).
std::string tokenLibraryDefault();

// Token maker's PKCS#11 module: QD_PKCS11_MODULE, else /usr/local/lib/qdpkcs11-darwin.so.
std::string pkcs11ModulePath();

// PIN prompt library: QD_CARROW_LIBRARY, else /usr/local/lib/libCarrow_20244.so.
std::string carrowLibraryPath();

// Key manager's installed bundle: QD_BUNDLE_DIR, else /opt/Vostrel.
std::string bundleDir();

// A resource of the key manager's bundle (images, window resources): <bundle>/share/<name>.
std::string bundleResource(const std::string& name);

// What the key agent launches and asks to quit: QD_MANAGER_EXECUTABLE, else <bundle>/bin/kelvane.
std::string managerExecutable();

// Folder of the running key managers' lock files (see workspace.h):
// QD_MANAGER_LOCK_DIR, else $XDG_RUNTIME_DIR/vostrel, else /tmp/vostrel-<uid>.
std::string managerLockDir();

// Creates `path` and its missing parents, private to the user (0700), as the
// simulated keys' state folder wants. False, with a one-line diagnostic naming
// the failing mkdir in *error, when it cannot be made or is not a folder.
bool makePrivateFolder(const std::string& path, std::string* error);

// State folder of the simulated keys (sim/token and the simulated USB bus):
// KEYSIM_DIR, else $XDG_RUNTIME_DIR/keysim, else /tmp/keysim-<uid>.
std::string simStateDir();

// The fallback /tmp/keysim-<uid> lies in a folder everyone may write to, so
// someone else may have made it first. When `dir` is that folder it is
// accepted only while it does not exist or is a real folder (not a link)
// owned by this user with mode 0700; false with a one-line *error otherwise.
// Every other folder is the user's own choice and passes.
bool checkSimStateDir(const std::string& dir, std::string* error);

}  // namespace platform
