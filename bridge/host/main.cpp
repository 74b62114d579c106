// ombrel-bridge: the signing service for today's browsers. A browser starts
// it for a page's port (Chromium passes the extension's origin, Firefox the
// manifest's path and the add-on id; neither is needed) and talks to it over
// standard input and output until the page goes away.
//
//   ombrel-bridge --check [--root DIR]   which browsers will find this host
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bridge/host/check.h"
#include "bridge/host/codec.h"
#include "bridge/host/session.h"
#include "sign/PKCS11Impl.h"

namespace {

const char* const kUsage =
    "usage: ombrel-bridge --check [--root DIR]\n"
    "       ombrel-bridge --help | --version\n"
    "  A browser starts ombrel-bridge for its signing extension; --check tells\n"
    "  which browsers will find it and which web origins may sign (--root: judge\n"
    "  a staged install under DIR). See ombrel-bridge(1).\n";

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

int serve() {
    // Only messages may reach the browser: whatever a library prints goes to
    // standard error, and the messages leave through a descriptor of their own.
    const int messages = ::dup(STDOUT_FILENO);
    if (messages < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::perror("ombrel-bridge: standard output");
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);

    // The module asks for the PIN through the PIN prompt library, which makes
    // the process's QApplication. With no screen to show it on (a headless
    // browser) a plain application object makes the prompt decline at once,
    // so signing fails with the module's answer instead of the process aborting.
    std::unique_ptr<QCoreApplication> noScreen;
    static int argc = 1;
    static char name[] = "ombrel-bridge";
    static char* argv[] = {name, nullptr};
    if (!hasDisplay()) noScreen = std::make_unique<QCoreApplication>(argc, argv);

    PKCS11Impl engine;
    const bridge::Turns turns(bridge::turnsLockPath(), bridge::turnsWait());
    bridge::Session session(engine, bridge::AllowList(), &turns);
    bridge::FrameReader reader(STDIN_FILENO);
    for (;;) {
        const bridge::Frame frame = reader.next();
        if (frame.kind == bridge::Frame::Kind::End) return 0;
        if (frame.kind == bridge::Frame::Kind::Cut) {
            std::fputs("ombrel-bridge: the browser's message was cut short\n", stderr);
            return 1;
        }
        if (!bridge::writeFrame(messages, session.answer(frame))) {
            std::fputs("ombrel-bridge: the browser stopped listening\n", stderr);
            return 1;
        }
        // A page that may not sign keeps no process of ours alive.
        if (session.ended()) return 0;
    }
}

}  // namespace

int main(int argc, char** argv) { return bridge::hostMain(argc, argv, bridge::kSigningHost, kUsage, serve); }
