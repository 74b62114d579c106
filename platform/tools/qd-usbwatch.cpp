// qd-usbwatch: prints what the USB watch reports for the bank's two kinds of
// key (or for one VID PID given in hex), one line per event, until SIGINT or
// SIGTERM. For trying the backends by hand and for the demo.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/usbwatch.h"
#include "token/KeyIdentity.h"

namespace {

void print(const char* what, const platform::UsbDevice& d) {
    std::printf("%s %04x:%04x location 0x%08x id %s name \"%s\"\n", what, d.vendorId, d.productId,
                d.locationId, d.id.c_str(), d.name.c_str());
    std::fflush(stdout);
}

bool parseId(const char* text, uint16_t* out) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 16);
    if (!*text || *end || value > 0xFFFF) return false;
    *out = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<uint16_t, uint16_t>> ids;
    for (const token::UsbId& id : token::kBankKeyUsbIds) ids.emplace_back(id.vendor, id.product);
    if (argc == 3) {
        uint16_t vid = 0, pid = 0;
        if (!parseId(argv[1], &vid) || !parseId(argv[2], &pid)) {
            std::fprintf(stderr, "usage: qd-usbwatch [VID PID]  (hexadecimal)\n");
            return 2;
        }
        ids = {{vid, pid}};
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: qd-usbwatch [VID PID]  (hexadecimal)\n");
        return 2;
    }

    // Signals are taken by sigwait on the main thread, so block them before
    // the watch threads start (they inherit the mask).
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::printf("backend %s\n", platform::UsbWatch::backendName().c_str());
    std::vector<std::unique_ptr<platform::UsbWatch>> watches;
    std::vector<std::thread> threads;
    std::atomic<bool> failed{false};
    for (auto [vid, pid] : ids) {
        watches.push_back(std::make_unique<platform::UsbWatch>(
            vid, pid, [](const platform::UsbDevice& d) { print("arrived", d); },
            [](const platform::UsbDevice& d) { print("removed", d); }));
        threads.emplace_back([watch = watches.back().get(), &failed] {
            std::string error;
            if (!watch->run(&error)) {
                std::fprintf(stderr, "qd-usbwatch: %s\n", error.c_str());
                failed = true;
                ::kill(::getpid(), SIGTERM);  // wakes the main thread's sigwait
            }
        });
    }
    int signal = 0;
    sigwait(&signals, &signal);
    for (auto& watch : watches) watch->stop();
    for (auto& thread : threads) thread.join();
    return failed ? 1 : 0;
}
