#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool readSmallFile(const std::string& path, size_t limit, std::string* content, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = "cannot read " + path + ": " + why;
        return false;
    };
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail(std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    const std::string tooLarge = "larger than " + std::to_string(limit) + " bytes";
    if (static_cast<unsigned long long>(st.st_size) > limit) return fail(tooLarge);

    std::string bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) break;
        // A file that grows while it is read (or that says it is empty, as
        // those of /proc do) is still held to the limit.
        if (bytes.size() + static_cast<size_t>(n) > limit) return fail(tooLarge);
        bytes.append(chunk, static_cast<size_t>(n));
    }
    *content = std::move(bytes);
    return true;
}

}  // namespace platform
