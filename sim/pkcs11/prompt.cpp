#include "sim/pkcs11/prompt.h"

#include <dlfcn.h>
#include <openssl/crypto.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/paths.h"

namespace qdpkcs11 {
namespace {

using ConsoleInitFn = void (*)();
using BlockPopPinFn = int (*)(char*, uint32_t*);
using CountDownFn = int (*)(int32_t, const char*, const char*, int32_t, int32_t, int32_t*);
using CloseWindowFn = void (*)();

struct PromptLibrary {
    ConsoleInitFn consoleInit = nullptr;
    BlockPopPinFn blockPopPin = nullptr;
    CountDownFn countDown = nullptr;
    CloseWindowFn closeWindow = nullptr;
};

// The prompt library stays in the process once loaded (RTLD_NODELETE): it owns
// the process's application object, which outlives this module.
bool loadPromptLibrary(PromptLibrary* library) {
    const std::string path = platform::carrowLibraryPath();
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NODELETE);
    if (handle == nullptr) {
        std::fprintf(stderr, "qdpkcs11: cannot load the PIN prompt library: %s\n", dlerror());
        return false;
    }
    library->consoleInit = reinterpret_cast<ConsoleInitFn>(dlsym(handle, "P11_ConsoleInit"));
    library->blockPopPin = reinterpret_cast<BlockPopPinFn>(dlsym(handle, "P11_BlockPopPin"));
    library->countDown = reinterpret_cast<CountDownFn>(dlsym(handle, "showCountDownWindow"));
    library->closeWindow = reinterpret_cast<CloseWindowFn>(dlsym(handle, "closeWindow"));
    // The handle is dropped; RTLD_NODELETE keeps the library.
    dlclose(handle);
    if (!library->consoleInit || !library->blockPopPin || !library->countDown || !library->closeWindow) {
        std::fprintf(stderr, "qdpkcs11: %s lacks an entry point of the PIN prompt library\n", path.c_str());
        return false;
    }
    return true;
}

long environmentNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' ? value : fallback;
}

// The prompt library's field holds at most 32767 characters and it copies one
// byte per character counted, so this buffer cannot be overrun.
constexpr size_t kPinBuffer = 65536;

}  // namespace

bool collectPin(std::vector<unsigned char>* pin, bool* prompted) {
    *prompted = false;
    if (const char* testPin = std::getenv("QDPKCS11_TEST_PIN")) {
        pin->assign(testPin, testPin + std::char_traits<char>::length(testPin));
        return true;
    }
    PromptLibrary library;
    if (!loadPromptLibrary(&library)) return false;
    std::vector<char> buffer(kPinBuffer, 0);
    uint32_t length = 0;
    library.consoleInit();
    library.blockPopPin(buffer.data(), &length);
    *prompted = true;
    if (length > buffer.size()) length = static_cast<uint32_t>(buffer.size());
    pin->assign(buffer.begin(), buffer.begin() + length);
    OPENSSL_cleanse(buffer.data(), buffer.size());
    return true;
}

CK_RV whileCountingDown(const std::function<CK_RV()>& work, bool* shown) {
    *shown = false;
    const long seconds = environmentNumber("QDPKCS11_COUNTDOWN", 30);
    const long pressMs = environmentNumber("QDPKCS11_PRESS_MS", 0);
    PromptLibrary library;
    if (seconds <= 0 || !loadPromptLibrary(&library)) {
        if (pressMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pressMs));
        return work();
    }

    std::atomic<bool> countdownOver{false};
    int32_t flag = 1;  // the prompt library reads it once a second
    CK_RV result = CKR_FUNCTION_CANCELED;
    std::thread worker([&] {
        // The simulated press of the key's button.
        const auto pressed = std::chrono::steady_clock::now() + std::chrono::milliseconds(pressMs);
        while (std::chrono::steady_clock::now() < pressed && !countdownOver.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!countdownOver.load()) result = work();
        // A closeWindow that lands before the countdown has started is
        // forgotten when it starts, so keep asking until it has ended.
        while (!countdownOver.load()) {
            __atomic_store_n(&flag, 0, __ATOMIC_RELEASE);
            library.closeWindow();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    library.consoleInit();
    *shown = true;
    library.countDown(static_cast<int32_t>(seconds), "QDCountDown", "", 261, 384, &flag);
    countdownOver.store(true);
    worker.join();
    return result;
}

}  // namespace qdpkcs11
