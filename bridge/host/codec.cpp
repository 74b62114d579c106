#include "bridge/host/codec.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bridge {

bool FrameReader::readExactly(char* into, size_t n) {
    char scratch[64 * 1024];
    while (n > 0) {
        char* target = into != nullptr ? into : scratch;
        const size_t chunk = into != nullptr ? n : std::min(n, sizeof scratch);
        const ssize_t got = ::read(fd_, target, chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        n -= static_cast<size_t>(got);
        if (into != nullptr) into += got;
    }
    return true;
}

Frame FrameReader::next() {
    Frame frame;
    char lengthBytes[sizeof(uint32_t)];
    // The first byte decides between a clean end and a frame cut short.
    ssize_t got;
    do {
        got = ::read(fd_, lengthBytes, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 0) {
        frame.kind = Frame::Kind::End;
        return frame;
    }
    if (got < 0 || !readExactly(lengthBytes + 1, sizeof lengthBytes - 1)) {
        frame.kind = Frame::Kind::Cut;
        return frame;
    }
    std::memcpy(&frame.length, lengthBytes, sizeof frame.length);
    if (frame.length > kMaxMessage) {
        frame.kind = readExactly(nullptr, frame.length) ? Frame::Kind::TooLarge : Frame::Kind::Cut;
        return frame;
    }
    frame.body.resize(frame.length);
    if (frame.length > 0 && !readExactly(frame.body.data(), frame.length)) {
        frame.body.clear();
        frame.kind = Frame::Kind::Cut;
        return frame;
    }
    frame.kind = Frame::Kind::Message;
    return frame;
}

bool writeFrame(int fd, std::string_view body) {
    if (body.size() > kMaxMessage) return false;
    const uint32_t length = static_cast<uint32_t>(body.size());
    char lengthBytes[sizeof length];
    std::memcpy(lengthBytes, &length, sizeof length);
    iovec parts[2] = {{lengthBytes, sizeof lengthBytes}, {const_cast<char*>(body.data()), body.size()}};
    iovec* part = parts;
    int count = 2;
    while (count > 0) {
        const ssize_t wrote = ::writev(fd, part, count);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return false;
        size_t done = static_cast<size_t>(wrote);
        while (count > 0 && done >= part->iov_len) {
            done -= part->iov_len;
            ++part;
            --count;
        }
        if (count > 0) {
            part->iov_base = static_cast<char*>(part->iov_base) + done;
            part->iov_len -= done;
        }
    }
    return true;
}

}  // namespace bridge
