// varnex-bridge: the password field service for today's browsers. A browser
// starts it for a page's port (Chromium passes the extension's origin,
// Firefox the manifest's path and the add-on id; neither is needed) and
// talks to it over standard input and output until the page goes away. One
// process serves all the password fields of one page.
//
//   varnex-bridge --check [--root DIR]   which browsers will find this host
#include <openssl/crypto.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bridge/field/session.h"
#include "bridge/host/check.h"
#include "bridge/host/codec.h"

namespace {

const char* const kUsage =
    "usage: varnex-bridge --check [--root DIR]\n"
    "       varnex-bridge --help | --version\n"
    "  A browser starts varnex-bridge for its password field extension: it checks\n"
    "  and encrypts what the user types into the bank's password fields. --check\n"
    "  tells which browsers will find it and which web origins are listed (--root:\n"
    "  judge a staged install under DIR). See varnex-bridge(1).\n";

int serve() {
    // Only messages may reach the browser: whatever a library prints goes to
    // standard error, and the messages leave through a descriptor of their own.
    const int messages = ::dup(STDOUT_FILENO);
    if (messages < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::perror("varnex-bridge: standard output");
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);

    bridge::field::Session session{bridge::AllowList()};
    bridge::FrameReader reader(STDIN_FILENO);
    for (;;) {
        int status = -1;
        {
            bridge::Frame frame = reader.next();
            if (frame.kind == bridge::Frame::Kind::End) {
                status = 0;
            } else if (frame.kind == bridge::Frame::Kind::Cut) {
                std::fputs("varnex-bridge: the browser's message was cut short\n", stderr);
                status = 1;
            } else if (!bridge::writeFrame(messages, session.answer(frame))) {
                std::fputs("varnex-bridge: the browser stopped listening\n", stderr);
                status = 1;
            } else if (session.ended()) {
                // A page that may not use the field keeps no process of ours alive.
                status = 0;
            }
            // A frame cut short may hold part of a text: wiped as any other.
            OPENSSL_cleanse(frame.body.data(), frame.body.capacity());
        }
        // The parser's and the reader's dead locals may hold the text.
        bridge::field::scrubStack();
        if (status >= 0) return status;
    }
}

}  // namespace

int main(int argc, char** argv) { return bridge::hostMain(argc, argv, bridge::kFieldHost, kUsage, serve); }
