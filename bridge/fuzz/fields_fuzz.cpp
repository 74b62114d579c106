// libFuzzer harness: bytes as a browser would write them to varnex-bridge's
// standard input, through the frame reader and the password field session
// (the plug-in's engine behind it). Every frame must get one answer that is
// JSON of at most 1 MiB, the frame's body must come back wiped, and a page
// never holds more than 16 fields; nothing may crash or leak.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "bridge/field/session.h"
#include "bridge/host/codec.h"

namespace {

const std::string& allowList() {
    static const std::string path = [] {
        char name[] = "/tmp/fields-fuzz-origins-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        std::ofstream(name) << "https://bank.example\n";
        return std::string(name);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = ::memfd_create("fields", 0);
    if (fd < 0) return 0;
    if (::write(fd, data, size) != static_cast<ssize_t>(size) || ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return 0;
    }
    bridge::field::Session session(bridge::AllowList({allowList()}));
    bridge::FrameReader reader(fd);
    for (;;) {
        bridge::Frame frame = reader.next();
        if (frame.kind == bridge::Frame::Kind::End || frame.kind == bridge::Frame::Kind::Cut) break;
        const std::string reply = session.answer(frame);
        if (reply.size() > bridge::kMaxMessage) std::abort();
        if (nlohmann::json::parse(reply, nullptr, false).is_discarded()) std::abort();
        if (std::any_of(frame.body.begin(), frame.body.end(), [](char c) { return c != '\0'; })) std::abort();
        if (session.fields() > bridge::field::kMaxFields) std::abort();
        if (session.ended()) break;
    }
    ::close(fd);
    return 0;
}
