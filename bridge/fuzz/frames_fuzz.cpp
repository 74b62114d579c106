// libFuzzer harness: bytes as a browser would write them to ombrel-bridge's
// standard input, through the frame reader and the session, with the
// service's fixed answers (no PKCS#11 module). Every frame must get one
// answer that is JSON of at most 1 MiB; nothing may crash or leak.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "bridge/host/codec.h"
#include "bridge/host/session.h"
#include "sign/ServiceBase.h"

namespace {

struct FixedAnswers : ServiceBase {};

const std::string& allowList() {
    static const std::string path = [] {
        char name[] = "/tmp/frames-fuzz-origins-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        std::ofstream(name) << "https://bank.example\nhttps://127.0.0.1:8443\n";
        return std::string(name);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = ::memfd_create("frames", 0);
    if (fd < 0) return 0;
    if (::write(fd, data, size) != static_cast<ssize_t>(size) || ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return 0;
    }
    FixedAnswers service;
    bridge::Session session(service, bridge::AllowList({allowList()}));
    bridge::FrameReader reader(fd);
    for (;;) {
        const bridge::Frame frame = reader.next();
        if (frame.kind == bridge::Frame::Kind::End || frame.kind == bridge::Frame::Kind::Cut) break;
        const std::string reply = session.answer(frame);
        if (reply.size() > bridge::kMaxMessage) std::abort();
        if (nlohmann::json::parse(reply, nullptr, false).is_discarded()) std::abort();
    }
    ::close(fd);
    return 0;
}
