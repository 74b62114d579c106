/* Preloaded into a program by the tools test: when the program ends, counts
 * the copies of a secret still present anywhere in its writable memory
 * (heap, freed blocks, stdio buffers, stacks, data) and writes the count to
 * a file.
 *
 *   SECRET_SCAN_HEX=<the secret in hex> SECRET_SCAN_OUT=<file> LD_PRELOAD=<this> program ...
 *
 * The secret travels in hex so the environment holds no copy of it; it is
 * decoded, like the scan buffer, into a mapping made after the list of
 * mappings was taken, so the scan never counts its own copy. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

enum { kChunk = 1 << 20, kMaxRegions = 4096 };
static const unsigned long kLargest = 1ul << 30; /* sanitizer shadow and reservations are skipped */

static char maps[1 << 18];
static unsigned long starts[kMaxRegions], ends[kMaxRegions];

static int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

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
            end - start <= kLargest && !strstr(line, "[vvar]") && !strstr(line, "[vsyscall]")) {
            starts[count] = start;
            ends[count] = end;
            ++count;
        }
        line = next;
    }
    return count;
}

__attribute__((destructor)) static void scanForSecret(void) {
    const char* hex = getenv("SECRET_SCAN_HEX");
    const char* outPath = getenv("SECRET_SCAN_OUT");
    if (hex == NULL || outPath == NULL) return;
    const size_t regions = readMaps();
    const size_t secretLen = strlen(hex) / 2;
    unsigned char* work =
        mmap(NULL, kChunk + secretLen + 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (work == MAP_FAILED || secretLen == 0) return;
    unsigned char* secret = work + kChunk;
    for (size_t i = 0; i < secretLen; ++i)
        secret[i] = (unsigned char)(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));

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
        char line[32];
        int n = snprintf(line, sizeof line, "%ld\n", copies);
        if (write(out, line, (size_t)n) != n) {
        }
        close(out);
    }
}
