// The message frame over real pipes: what a browser writes, split however
// the pipe splits it, arrives whole; what is too long is dropped without
// losing the frame after it; a pipe that closes mid-frame is told apart from
// one that closes between frames.
#include "bridge/host/codec.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using bridge::Frame;
using bridge::FrameReader;
using bridge::kMaxMessage;

std::string frameBytes(const std::string& body, uint32_t length) {
    std::string bytes(sizeof length, '\0');
    std::memcpy(bytes.data(), &length, sizeof length);
    return bytes + body;
}
std::string frameBytes(const std::string& body) {
    return frameBytes(body, static_cast<uint32_t>(body.size()));
}

// A pipe whose writing end a thread feeds in chunks of `chunk` bytes, then closes.
class Feed {
public:
    Feed(std::string bytes, size_t chunk) {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        read_ = fds[0];
        writer_ = std::thread([fd = fds[1], bytes = std::move(bytes), chunk] {
            for (size_t at = 0; at < bytes.size(); at += chunk) {
                const size_t n = std::min(chunk, bytes.size() - at);
                if (::write(fd, bytes.data() + at, n) != static_cast<ssize_t>(n)) break;
            }
            ::close(fd);
        });
    }
    ~Feed() {
        ::close(read_);
        writer_.join();
    }
    int fd() const { return read_; }

private:
    int read_ = -1;
    std::thread writer_;
};

class SplitReads : public ::testing::TestWithParam<size_t> {};

TEST_P(SplitReads, EveryFrameArrivesWholeAndInOrder) {
    const std::vector<std::string> bodies = {R"({"id":1})", "", std::string(70000, 'x'), "\xE4\xB8\xAD",
                                             std::string(kMaxMessage, 'm')};
    std::string bytes;
    for (const auto& body : bodies) bytes += frameBytes(body);
    Feed feed(bytes, GetParam());
    FrameReader reader(feed.fd());
    for (const auto& body : bodies) {
        const Frame frame = reader.next();
        ASSERT_EQ(frame.kind, Frame::Kind::Message);
        EXPECT_EQ(frame.body.size(), body.size());
        EXPECT_TRUE(frame.body == body);
    }
    EXPECT_EQ(reader.next().kind, Frame::Kind::End);
}

// One byte at a time splits even the length; 4097 never lines up with a frame.
INSTANTIATE_TEST_SUITE_P(Chunks, SplitReads, ::testing::Values(1, 3, 4097, 1 << 20));

TEST(Codec, MessagesOverOneMebibyteAreDroppedAndTheNextFrameStillReads) {
    const std::string after = R"({"id":2})";
    for (uint32_t length : {kMaxMessage + 1, 5u * kMaxMessage}) {
        Feed feed(frameBytes(std::string(length, 'A')) + frameBytes(after), 65536);
        FrameReader reader(feed.fd());
        const Frame big = reader.next();
        EXPECT_EQ(big.kind, Frame::Kind::TooLarge) << length;
        EXPECT_EQ(big.length, length);
        EXPECT_TRUE(big.body.empty()) << "nothing of it is kept";
        const Frame next = reader.next();
        ASSERT_EQ(next.kind, Frame::Kind::Message) << length;
        EXPECT_EQ(next.body, after);
    }
}

TEST(Codec, ClosedBetweenFramesIsTheEndAndInsideOneIsCut) {
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<Frame::Kind> kinds;
    };
    const std::vector<Case> cases = {
        {"nothing", "", {Frame::Kind::End}},
        {"after a frame", frameBytes("{}"), {Frame::Kind::Message, Frame::Kind::End}},
        {"inside the length", std::string("\x05\x00", 2), {Frame::Kind::Cut}},
        {"inside the body", frameBytes("{}", 10), {Frame::Kind::Cut}},
        {"inside a body too large", frameBytes("xyz", kMaxMessage + 10), {Frame::Kind::Cut}},
        {"a frame then half a length", frameBytes("{}") + "\x01", {Frame::Kind::Message, Frame::Kind::Cut}},
    };
    for (const auto& c : cases) {
        Feed feed(c.bytes, 7);
        FrameReader reader(feed.fd());
        for (const auto kind : c.kinds) EXPECT_EQ(reader.next().kind, kind) << c.what;
    }
}

TEST(Codec, WritesTheLengthInTheMachinesOwnOrderThenTheBody) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_TRUE(bridge::writeFrame(fds[1], "{\"a\":1}"));
    ::close(fds[1]);
    char bytes[32] = {};
    ASSERT_EQ(::read(fds[0], bytes, sizeof bytes), 4 + 7);
    ::close(fds[0]);
    uint32_t length = 0;
    std::memcpy(&length, bytes, 4);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(std::string(bytes + 4, 7), "{\"a\":1}");
}

TEST(Codec, WritesUpToOneMebibyteWholeAndRefusesMore) {
    for (size_t size : {size_t{0}, size_t{kMaxMessage}, size_t{kMaxMessage} + 1}) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::string received;
        std::thread drain([&] {
            char buffer[65536];
            ssize_t n;
            while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) received.append(buffer, n);
        });
        const bool wrote = bridge::writeFrame(fds[1], std::string(size, 'w'));
        ::close(fds[1]);
        drain.join();
        ::close(fds[0]);
        if (size > kMaxMessage) {
            EXPECT_FALSE(wrote);
            EXPECT_TRUE(received.empty()) << "nothing of a refused frame is written";
        } else {
            EXPECT_TRUE(wrote) << size;
            EXPECT_TRUE(received == frameBytes(std::string(size, 'w'))) << size;
        }
    }
}

// A signal that lands while the host waits (no SA_RESTART) interrupts the
// read; the reader goes on where it was, before the length, inside it and
// inside the body.
TEST(Codec, ReadsInterruptedBySignalsGoOnWhereTheyWere) {
    struct sigaction quiet = {}, old = {};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &old), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    Frame first, second;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        FrameReader r(fds[0]);
        first = r.next();
        second = r.next();
        done = true;
    });
    auto interrupt = [&] {
        for (int i = 0; i < 3 && !done; ++i) {
            ::pthread_kill(reader.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    };
    const std::string bytes = frameBytes(R"({"id":1})");
    interrupt();
    ASSERT_EQ(::write(fds[1], bytes.data(), 2), 2);
    interrupt();
    ASSERT_EQ(::write(fds[1], bytes.data() + 2, 6), 6);
    interrupt();
    ASSERT_EQ(::write(fds[1], bytes.data() + 8, bytes.size() - 8), static_cast<ssize_t>(bytes.size() - 8));
    interrupt();
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    ::sigaction(SIGUSR1, &old, nullptr);
    ASSERT_EQ(first.kind, Frame::Kind::Message);
    EXPECT_EQ(first.body, R"({"id":1})");
    EXPECT_EQ(second.kind, Frame::Kind::End);
}

TEST(Codec, AClosedPipeIsAFailedWriteNotASignal) {
    ::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    EXPECT_FALSE(bridge::writeFrame(fds[1], "{}"));
    ::close(fds[1]);
}

}  // namespace
