// Finds copies of a secret that a call leaves in stack memory it has given
// up: a PIN or key copied into a local buffer and never wiped survives the
// call's return in the dead frames below the caller.
//
//   // On a thread whose whole stack the test owns (a fresh mapping):
//   size_t n = secretwatch::copiesLeftOnOwnedStack(pin, pinLen, [&] { call(); });
//   // On the calling thread (a call that must run there, such as a modal
//   // dialog on the GUI thread):
//   size_t n = secretwatch::copiesLeftByCall(pin, pinLen, [&] { call(); });
//
// The secret given to the helpers must not lie on the stack scanned (keep
// it static or on the heap). A copy the call wiped, or one a later frame
// overwrote, is not found: the scan can miss, it never invents.
//
// Copies in temporary heap buffers (a UTF-8 conversion, a std::string) are
// counted as they are freed:
//   long n = secretwatch::copiesFreedDuring(pin, pinLen, [&] { call(); });
// counts the blocks handed to free() by any thread during the call while
// they still held the secret. It needs security/tests/secret_scan.c linked
// into the test program (its free() stands in for the C library's).
#pragma once

#include <alloca.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>

// The freed-block counter of security/tests/secret_scan.c, when linked in.
extern "C" void secret_scan_watch(const void* bytes, size_t len) __attribute__((weak));
extern "C" long secret_scan_freed(void) __attribute__((weak));

namespace secretwatch {

// Occurrences of the secret in [data, data + size).
inline size_t countCopies(const unsigned char* data, size_t size, const void* secret, size_t len) {
    size_t copies = 0;
    const unsigned char* end = data + size;
    for (const unsigned char* p = data; len > 0 && p + len <= end;) {
        const void* hit = memmem(p, static_cast<size_t>(end - p), secret, len);
        if (hit == nullptr) break;
        ++copies;
        p = static_cast<const unsigned char*>(hit) + 1;
    }
    return copies;
}

// How deep below the caller the search reaches by default.
constexpr size_t kDepth = size_t{512} << 10;

// Zeroes `depth` bytes of the stack below the caller, so that what a search
// finds there afterwards was put there by the calls made in between.
[[gnu::noinline]] inline void clearStackBelow(size_t depth) {
    auto* below = static_cast<unsigned char*>(alloca(depth));
    std::memset(below, 0, depth);
    asm volatile("" : : "r"(below) : "memory");
}

// Runs `call` on this thread and returns how many copies of the secret its
// frames left in the `depth` bytes below this function's own frame, now
// dead. The region is zeroed before the call and copied byte by byte right
// after it, with no call in between that could write over it. Reading
// below the stack pointer is the point here, so the sanitizer is told to
// look away.
[[gnu::noinline, gnu::no_sanitize_address]] inline size_t copiesLeftByCall(const void* secret, size_t len,
                                                                           const std::function<void()>& call,
                                                                           size_t depth = kDepth) {
    auto* snapshot = new unsigned char[depth];
    volatile unsigned char marker = 0;
    uintptr_t top = reinterpret_cast<uintptr_t>(&marker);
    asm volatile("" : "+r"(top));  // an address, no longer a one-byte object
    const volatile unsigned char* below = reinterpret_cast<const volatile unsigned char*>(top - depth);
    clearStackBelow(depth + 4096);
    call();
    for (size_t i = 0; i < depth; ++i) snapshot[i] = below[i];
    const size_t copies = countCopies(snapshot, depth, secret, len);
    std::memset(snapshot, 0, depth);
    delete[] snapshot;
    return copies;
}

// The same, on a new thread whose stack is a fresh mapping the test owns
// (nothing of earlier calls in it), for calls that may run on any thread.
inline size_t copiesLeftOnOwnedStack(const void* secret, size_t len, const std::function<void()>& call) {
    constexpr size_t kStackSize = size_t{4} << 20;
    void* stack =
        mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) throw std::runtime_error("cannot map a stack");
    struct Job {
        const void* secret;
        size_t len;
        const std::function<void()>* call;
        size_t copies;
    } job{secret, len, &call, 0};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kStackSize);
    pthread_t thread;
    auto trampoline = [](void* arg) -> void* {
        auto* j = static_cast<Job*>(arg);
        j->copies = copiesLeftByCall(j->secret, j->len, *j->call, size_t{2} << 20);
        return nullptr;
    };
    const int rc = pthread_create(&thread, &attr, trampoline, &job);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        munmap(stack, kStackSize);
        throw std::runtime_error("cannot start a thread");
    }
    pthread_join(thread, nullptr);
    munmap(stack, kStackSize);
    return job.copies;
}

// Blocks freed, by any thread, during `call` while holding the secret (see
// the top). Throws when the counter is not linked in, so a test cannot pass
// by watching nothing.
inline long copiesFreedDuring(const void* secret, size_t len, const std::function<void()>& call) {
    if (secret_scan_watch == nullptr || secret_scan_freed == nullptr)
        throw std::logic_error("link security/tests/secret_scan.c into the test program");
    struct Disarm {
        ~Disarm() { secret_scan_watch(nullptr, 0); }
    } disarm;
    secret_scan_watch(secret, len);
    call();
    const long copies = secret_scan_freed();
    return copies;
}

}  // namespace secretwatch
