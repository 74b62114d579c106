#include "agent/marrowby.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "agent/Qd_Intefs.h"
#include "platform/log.h"
#include "platform/usbwatch.h"
#include "platform/workspace.h"
#include "token/Func_init.h"

namespace agent {

std::atomic<bool> isInit{false};

namespace {

volatile sig_atomic_t gInterrupted = 0;

// Each watch thread publishes its watch here so that the main thread can stop
// it on SIGINT; gStopping catches a watch published after the stop went out.
std::atomic<platform::UsbWatch*> gWatches[2] = {nullptr, nullptr};
std::atomic<bool> gStopping{false};
std::unique_ptr<platform::UsbWatch> gWatchOwners[2];

int slotOf(uint16_t vendor) { return vendor == kVendor1 ? 0 : 1; }

void* threadResult(uint32_t status) { return reinterpret_cast<void*>(static_cast<uintptr_t>(status)); }

}  // namespace

void DeviceAppeared() {
    std::printf("DeviceAppeared\n");
    if (!isInit.load()) {
        return;
    }
    pthread_t decision;
    if (pthread_create(&decision, nullptr, pdpcde, nullptr) == 0) {
        pthread_detach(decision);  // short-lived and never joined
    }
}

void DeviceDisappeared() {
    std::printf("DeviceDisappeared\n");
    // Whatever the key was, every running key manager is asked to quit.
    platform::terminateManagers();
    isInit.store(true);
}

void* pdpcde(void*) {
    std::this_thread::sleep_for(kSettleDelay);
    platform::systemLog("设备插入");
    if (readFirstReaderPcode() != kBankPcode) {
        return nullptr;
    }
    std::string error;
    if (!platform::launchManager(&error)) {
        // The agent goes on as if launched; the line is for whoever reads the log.
        platform::logLine("marrowby: " + error);
    }
    return nullptr;
}

extern "C" void SignalHandler(int) {
    // Only async-signal-safe work here; the main thread, which alone takes
    // SIGINT, stops the watches once its wait returns.
    static const char text[] = "\nInterrupted\n";
    [[maybe_unused]] ssize_t n = ::write(STDOUT_FILENO, text, sizeof text - 1);
    gInterrupted = 1;
}

uint32_t pvStart(uint16_t vendor, uint16_t product) {
    std::printf("Begin\n");
    struct sigaction action {};
    action.sa_handler = SignalHandler;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        std::printf("Could not establish new signal handler\n");
    }

    // The watch first reports the keys already plugged in; they are drained
    // silently. Once it has, the arming calls run: one "DeviceAppeared" that
    // starts nothing (a key that was there before the agent must not open the
    // key manager, whichever watch arms first) and the removal call, which
    // asks running key managers to quit and lets later arrivals launch.
    // The watch lives until the process ends, so the main thread can stop it
    // at any moment without racing its destruction. All of this runs on the
    // watch thread, so the plain flag needs no synchronisation.
    auto draining = std::make_shared<bool>(true);
    const int slot = slotOf(vendor);
    gWatchOwners[slot] = std::make_unique<platform::UsbWatch>(
        vendor, product,
        [draining](const platform::UsbDevice&) {
            if (!*draining) DeviceAppeared();
        },
        [](const platform::UsbDevice&) { DeviceDisappeared(); });
    platform::UsbWatch& watch = *gWatchOwners[slot];
    watch.setOnPresentReported([draining] {
        *draining = false;
        std::printf("DeviceAppeared\n");
        DeviceDisappeared();
    });
    gWatches[slot].store(&watch);
    if (gStopping.load()) {
        watch.stop();
    }

    std::string error;
    const bool ran = watch.run(&error);
    if (!ran) {
        std::printf("Unable to watch USB devices %04x:%04x (%s)\n", vendor, product, error.c_str());
        return kWatchAborted;
    }
    return 0;
}

void* startDetect1(void*) { return threadResult(pvStart(kVendor1, kProduct)); }

void* startDetect2(void*) { return threadResult(pvStart(kVendor2, kProduct)); }

void runAgent() {
    // Line by line even into a pipe or the journal, and nothing left in a
    // buffer when the process ends with _exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (!IsInitedOK()) {
        // Carry on: every PCODE read then fails and reads as 0.
        platform::systemLog("load dylib fail!");
    }

    // SIGINT is blocked in every thread the agent makes (they inherit this
    // mask) and taken only by the main thread in its wait below.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigset_t idleMask;
    pthread_sigmask(SIG_BLOCK, &interrupt, &idleMask);
    sigdelset(&idleMask, SIGINT);

    pthread_t watches[2];
    void* (*const entries[2])(void*) = {startDetect1, startDetect2};
    for (int i = 0; i < 2; ++i) {
        if (int rc = pthread_create(&watches[i], nullptr, entries[i], nullptr); rc != 0) {
            std::printf("11111 pthread_create error:%s\n", std::strerror(rc));
            std::fflush(stdout);
            std::_Exit(-1);
        }
    }

    // Idle without spending processor time until SIGINT.
    while (!gInterrupted) {
        sigsuspend(&idleMask);
    }

    // Release the watches (their monitors and notification sources), then end.
    gStopping.store(true);
    for (auto& slot : gWatches) {
        if (platform::UsbWatch* watch = slot.load()) {
            watch->stop();
        }
    }
    for (pthread_t thread : watches) {
        pthread_join(thread, nullptr);
    }
    std::fflush(nullptr);
    // Decision threads may still be inside the token library: leave without
    // running static destructors under them.
    std::_Exit(0);
}

}  // namespace agent
