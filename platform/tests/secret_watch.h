// Finds copies of a secret that a call leaves in stack memory it has given
// up: a PIN or key copied into a local buffer and never wiped survives the
// call's return in the dead frames below the caller.
//
//   // On a thread whose whole stack the test owns (a fresh mapping):
//   size_t n = secretwatch::copiesLeftOnOwnedStack(pin, pinLen, [&] { call(); });
//   // On the calling thread (a call that must run there, such as a modal
//   // dialog on the GUI thread):
//   size_t n = secretwatch::copiesLeftByCall(pin, pinLen, [&] { call(); });
//   // Anywhere in the process's writable memory once a call has returned:
//   // freed heap blocks the allocator kept (temporary UTF-8 or string
//   // copies), live ones, stacks, data; the caller's own result excepted.
//   size_t n = secretwatch::copiesInProcessMemory(pin, pinLen, {resultBuffer, resultSize});
//
// Link the test with -Wl,-z,now: the dynamic linker's first call through a
// lazily bound symbol saves the vector registers on the stack, and they may
// hold a secret the test itself (or the thread that started this one, whose
// registers a new thread inherits) last copied.
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
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

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

// Zeroes the vector registers. Whatever last copied a secret (a memcpy of
// the test's, or of the thread that started this one, whose registers a new
// thread inherits) may have left it there, and the next function that saves
// them on the stack would plant a copy the search then blames on the call.
inline void clearVectorRegisters() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx")) {
        asm volatile("vzeroall" ::
                         : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
                           "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    } else {
        asm volatile(
            "pxor %%xmm0, %%xmm0\n pxor %%xmm1, %%xmm1\n pxor %%xmm2, %%xmm2\n pxor %%xmm3, %%xmm3\n"
            "pxor %%xmm4, %%xmm4\n pxor %%xmm5, %%xmm5\n pxor %%xmm6, %%xmm6\n pxor %%xmm7, %%xmm7\n"
            "pxor %%xmm8, %%xmm8\n pxor %%xmm9, %%xmm9\n pxor %%xmm10, %%xmm10\n pxor %%xmm11, %%xmm11\n"
            "pxor %%xmm12, %%xmm12\n pxor %%xmm13, %%xmm13\n pxor %%xmm14, %%xmm14\n pxor %%xmm15, "
            "%%xmm15\n" ::
                : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
                  "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    }
#endif
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
        clearVectorRegisters();  // inherited from the test's thread
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

// A range the memory search leaves out (where the caller asked the result to go).
struct Skip {
    const void* at;
    size_t size;
};

// Copies of the secret in every writable private mapping of the process
// (heap with its freed blocks, anonymous mappings, stacks, data), read
// through /proc/self/mem so that neither the sanitizer nor an unmapped
// guard page stops the search. Hits that start inside a skipped range do not
// count. The secret must live in read-only memory (a static const array) or
// be skipped. Blocks the allocator gave back to the system are gone and not
// found: the scan can miss, it never invents. Mappings larger than 1 GiB
// (sanitizer shadow, reservations) are left out.
//
// `pid` 0 is this process; another (a child the test started, of the same
// user) is searched the same way, its own memory untouched by the search.
inline size_t copiesInProcessMemory(const void* secret, size_t len, std::initializer_list<Skip> skips = {},
                                    pid_t pid = 0) {
    if (len == 0) return 0;
    const bool self = pid == 0;
    char proc[32];
    if (self)
        std::snprintf(proc, sizeof proc, "/proc/self");
    else
        std::snprintf(proc, sizeof proc, "/proc/%ld", static_cast<long>(pid));
    char path[48];
    clearVectorRegisters();
    struct Region {
        uintptr_t start, end;
    };
    std::vector<Region> regions;
    regions.reserve(4096);
    constexpr size_t kChunk = size_t{1} << 20;
    // The work buffer and the list exist before the maps are read, so they
    // are either listed and skipped or not listed at all.
    auto* work = static_cast<unsigned char*>(
        mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (work == MAP_FAILED) throw std::runtime_error("cannot map a work buffer");
    std::snprintf(path, sizeof path, "%s/maps", proc);
    std::FILE* maps = std::fopen(path, "re");
    if (maps == nullptr) {
        munmap(work, kChunk);
        throw std::runtime_error(std::string("cannot read ") + path);
    }
    char line[512];
    const auto workAt = reinterpret_cast<uintptr_t>(work);
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long start = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line, "%lx-%lx %4s", &start, &end, perms) != 3) continue;
        if (perms[0] != 'r' || perms[1] != 'w' || perms[3] != 'p') continue;
        if (end - start > (size_t{1} << 30) || std::strstr(line, "[vvar") || std::strstr(line, "[vsyscall]"))
            continue;
        if (self && workAt >= start && workAt < end) continue;
        if (regions.size() < regions.capacity()) regions.push_back({start, end});
        // A line longer than the buffer: skip its rest.
        while (std::strchr(line, '\n') == nullptr && std::fgets(line, sizeof line, maps) != nullptr) {
        }
    }
    std::fclose(maps);
    std::snprintf(path, sizeof path, "%s/mem", proc);
    const int mem = ::open(path, O_RDONLY | O_CLOEXEC);
    if (mem < 0) {
        munmap(work, kChunk);
        throw std::runtime_error(std::string("cannot read ") + path);
    }
    auto skipped = [&](uintptr_t at) {
        for (const Skip& s : skips) {
            const auto from = reinterpret_cast<uintptr_t>(s.at);
            if (at >= from && at < from + s.size) return true;
        }
        return false;
    };
    size_t copies = 0;
    for (const Region& r : regions) {
        // Chunks overlap by len - 1 bytes, so no copy is split between two.
        for (uintptr_t at = r.start; at < r.end;) {
            const size_t want = std::min<uintptr_t>(r.end - at, kChunk);
            const ssize_t got = ::pread(mem, work, want, static_cast<off_t>(at));
            if (got <= 0 || static_cast<size_t>(got) < len) break;
            // memchr and memcmp, not memmem: a vectorised memmem keeps parts
            // of the needle in a stack buffer of its own, where the next
            // search would find them.
            const auto* first = static_cast<const unsigned char*>(secret);
            for (const unsigned char* p = work;;) {
                const auto* hit = static_cast<const unsigned char*>(
                    std::memchr(p, first[0], static_cast<size_t>(work + got - p)));
                if (hit == nullptr) break;
                if (static_cast<size_t>(work + got - hit) < len) break;
                if (std::memcmp(hit, secret, len) != 0) {
                    p = hit + 1;
                    continue;
                }
                const auto offset = static_cast<size_t>(hit - work);
                if (!skipped(at + offset)) ++copies;
                p = hit + 1;
            }
            if (static_cast<size_t>(got) < want || at + static_cast<size_t>(got) >= r.end) break;
            at += static_cast<size_t>(got) - (len - 1);
        }
    }
    ::close(mem);
    std::memset(work, 0, kChunk);
    munmap(work, kChunk);
    return copies;
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
