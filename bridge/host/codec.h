// The browsers' native messaging frame: a 32-bit length in the machine's own
// byte order, then that many bytes of UTF-8 JSON. Browsers send up to 64 MiB
// and accept at most 1 MiB back; this host takes at most 1 MiB in either
// direction, so a page cannot make it hold more than that.
//
// Threads: a reader or writer belongs to one thread. Nothing throws but
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bridge {

inline constexpr uint32_t kMaxMessage = 1024 * 1024;

struct Frame {
    enum class Kind {
        Message,   // body holds the message
        TooLarge,  // a message over kMaxMessage: its bytes were read and dropped; length says how many
        End,       // the browser closed the pipe between messages
        Cut,       // the pipe closed inside a frame (or a read failed): nothing more can be read
    };
    Kind kind = Kind::End;
    std::string body;
    uint32_t length = 0;
};

// Reads frames from a file descriptor (the host's standard input), however the
// pipe splits them. Reads block; EINTR is retried.
class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd) {}
    Frame next();

private:
    // Fills exactly n bytes (n > 0) into `into`, or skips them with a null
    // `into`; false at end of input or on a read error.
    bool readExactly(char* into, size_t n);

    int fd_;
};

// Writes one frame; false when the body is over kMaxMessage (nothing is
// written) or the pipe is gone. Retries short writes and EINTR. The caller
// ignores SIGPIPE so that a closed pipe is an answer, not a signal.
[[nodiscard]] bool writeFrame(int fd, std::string_view body);

}  // namespace bridge
