/* Preloaded into a program by the tools test: counts the copies of a secret
 * the program leaves behind, in two ways, and writes "AT_EXIT FREED" to a
 * file when the program ends:
 *   AT_EXIT  copies still present anywhere in its writable memory at exit
 *            (heap, freed blocks, stdio buffers, stacks, data);
 *   FREED    blocks handed to free() while still holding the secret (large
 *            blocks go back to the system on free, so a missing wipe would
 *            not show at exit). Not counted under AddressSanitizer, whose
 *            allocator keeps freed blocks for the exit scan to see.
 *
 *   SECRET_SCAN_HEX=<the secret in hex> SECRET_SCAN_OUT=<file> LD_PRELOAD=<this> program ...
 *
 * The secret travels in hex so the environment holds no copy of it; it is
 * decoded into a mapping of its own, which the exit scan leaves out.
 *
 * Linked into a test program instead, it watches the frees of one call:
 * secretwatch::copiesFreedDuring (platform/tests/secret_watch.h) arms it with
 * secret_scan_watch() and reads the count with secret_scan_freed(). There
 * the blocks are counted under AddressSanitizer too, before they are freed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

enum { kChunk = 1 << 20, kMaxRegions = 4096 };
static const unsigned long kLargest = 1ul << 30; /* sanitizer shadow and reservations are skipped */

static char maps[1 << 18];
static unsigned long starts[kMaxRegions], ends[kMaxRegions];
static unsigned char* secret;
static size_t secretLen;
static void (*realFree)(void*);
static long freedCopies;
static int exiting;

static int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Set when the program runs under AddressSanitizer, whose allocator then
 * owns every block. */
extern void __asan_init(void) __attribute__((weak));
extern void __libc_free(void* p);

static int inProcess; /* armed by secret_scan_watch(): counted under the sanitizer too */

/* Frees come from every thread of the program, so the count is atomic. */
static void countIfHolding(void* p) {
    const size_t len = __atomic_load_n(&secretLen, __ATOMIC_ACQUIRE);
    if (p != NULL && !exiting && len > 0 && memmem(p, malloc_usable_size(p), secret, len) != NULL)
        __atomic_add_fetch(&freedCopies, 1, __ATOMIC_RELAXED);
}

void free(void* p) {
    if (&__asan_init == NULL) {
        countIfHolding(p);
        __libc_free(p);
        return;
    }
    if (__atomic_load_n(&inProcess, __ATOMIC_ACQUIRE)) countIfHolding(p);
    static int resolving;
    if (realFree == NULL) {
        /* The sanitizer's free, looked up on first use; a block freed during
         * the lookup itself is left alone. */
        if (resolving) return;
        resolving = 1;
        realFree = (void (*)(void*))dlsym(RTLD_NEXT, "free");
        resolving = 0;
        if (realFree == NULL) return;
    }
    realFree(p);
}

__attribute__((constructor)) static void arm(void) {
    const char* hex = getenv("SECRET_SCAN_HEX");
    if (hex == NULL || strlen(hex) < 2) return;
    const size_t len = strlen(hex) / 2;
    void* page = mmap(NULL, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return;
    secret = page;
    for (size_t i = 0; i < len; ++i)
        secret[i] = (unsigned char)(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    secretLen = len;
}

/* The writable mappings, less the one holding the secret. */
static size_t readMaps(void) {
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t len = 0;
    ssize_t n;
    while (len + 1 < sizeof maps && (n = read(fd, maps + len, sizeof maps - 1 - len)) > 0) len += (size_t)n;
    close(fd);
    maps[len] = '\0';
    size_t count = 0;
    for (char* line = maps; line && *line && count < kMaxRegions;) {
        char* next = strchr(line, '\n');
        if (next) *next++ = '\0';
        unsigned long start = 0, end = 0;
        char perms[5] = {0};
        if (sscanf(line, "%lx-%lx %4s", &start, &end, perms) == 3 && perms[0] == 'r' && perms[1] == 'w' &&
            end - start <= kLargest && !strstr(line, "[vvar]") && !strstr(line, "[vsyscall]") &&
            !((unsigned long)secret >= start && (unsigned long)secret < end)) {
            starts[count] = start;
            ends[count] = end;
            ++count;
        }
        line = next;
    }
    return count;
}

__attribute__((destructor)) static void scanForSecret(void) {
    const char* outPath = getenv("SECRET_SCAN_OUT");
    if (secretLen == 0 || outPath == NULL) return;
    exiting = 1; /* the scan's own frees are not the program's */
    const size_t regions = readMaps();
    /* Made after the list was taken, so the scan does not read its own copies. */
    unsigned char* work = mmap(NULL, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (work == MAP_FAILED) return;

    int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    long copies = 0;
    for (size_t r = 0; mem >= 0 && r < regions; ++r) {
        /* Chunks overlap by secretLen - 1 bytes so no copy is split. */
        for (unsigned long at = starts[r]; at < ends[r];) {
            size_t want = ends[r] - at < kChunk ? ends[r] - at : kChunk;
            ssize_t got = pread(mem, work, want, (off_t)at);
            if (got <= 0) break;
            for (unsigned char* p = work;
                 (p = memmem(p, (size_t)got - (size_t)(p - work), secret, secretLen)) != NULL; ++p)
                ++copies;
            if ((size_t)got < want || at + (unsigned long)got >= ends[r] || (size_t)got < secretLen) break;
            at += (unsigned long)got - (secretLen - 1);
        }
    }
    if (mem >= 0) close(mem);
    int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out >= 0) {
        char line[48];
        int n = snprintf(line, sizeof line, "%ld %ld\n", copies, freedCopies);
        if (write(out, line, (size_t)n) != n) {
        }
        close(out);
    }
}

/* In-process use (see the top): watch for `len` bytes at `bytes` from now
 * on, with the count at 0; len 0 stops watching. The bytes must stay where
 * they are while watched. */
void secret_scan_watch(const void* bytes, size_t len) {
    __atomic_store_n(&secretLen, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&freedCopies, 0, __ATOMIC_RELAXED);
    if (len == 0) return;
    secret = (unsigned char*)bytes;
    __atomic_store_n(&inProcess, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&secretLen, len, __ATOMIC_RELEASE);
}

/* Blocks freed while holding the watched bytes since secret_scan_watch(). */
long secret_scan_freed(void) { return __atomic_load_n(&freedCopies, __ATOMIC_RELAXED); }
