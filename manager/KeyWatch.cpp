#include "KeyWatch.h"

#include <unistd.h>

#include <QEventLoop>
#include <QObject>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "MailWinCtr.h"
#include "platform/usbwatch.h"

namespace kelvane {
namespace {

std::function<void()> g_arrivalTrace;

// Interrupt: the one thing left to do is to say so and leave. Only
// async-signal-safe calls here.
extern "C" void SignalHandler(int) {
    static const char msg[] = "\nInterrupted.\n";
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, msg, sizeof msg - 1);
    ::_exit(0);
}

// Lives on the watch thread: the callbacks of the watch run here.
class WatchContext : public QObject {
public:
    explicit WatchContext(MailWinCtr* controller) : controller_(controller) {}

    // One arrival (the registry's first-match callback).
    void DeviceAdded(const platform::UsbDevice& dev) {
        if (g_arrivalTrace) g_arrivalTrace();
        std::printf("Device added.\n");
        std::fflush(stdout);
        // The window hears of the key before the removal watch is armed.
        controller_->addCov(this);

        DeviceWatchRecord record;
        record.deviceName = dev.name;
        std::fprintf(stderr, "deviceName: %s\n", record.deviceName.c_str());
        record.controller = controller_;
        record.locationID = dev.locationId;
        std::fprintf(stderr, "Location ID: 0x%x\n\n", record.locationID);
        // Arming the removal watch: the bus reports this device's departure
        // under its identity.
        record.notification = ++nextNotification_;
        records_[dev.id] = std::move(record);
    }

    // One removal (the device's termination message).
    void DeviceNotification(const platform::UsbDevice& dev) {
        const auto it = records_.find(dev.id);
        if (it == records_.end()) return;  // never armed: nothing to report
        std::fprintf(stderr, "Device removed.\n");
        it->second.controller->subDev();
        std::fprintf(stderr, "privateDataRef->deviceName: %s\n", it->second.deviceName.c_str());
        std::fprintf(stderr, "privateDataRef->locationID: 0x%x.\n\n", it->second.locationID);
        records_.erase(it);
    }

private:
    MailWinCtr* controller_;
    std::map<std::string, DeviceWatchRecord> records_;
    uint32_t nextNotification_ = 0;
};

}  // namespace

struct KeyWatch::State {
    MailWinCtr* controller = nullptr;
    WatchRow row{};
    std::thread thread;

    std::mutex mutex;  // guards the five below
    bool stopping = false;
    bool setupFailed = false;
    bool finished = false;  // the watch thread has nothing left to do but return
    QEventLoop* loop = nullptr;
    platform::UsbWatch* usb = nullptr;
    std::condition_variable finishedChanged;

    void pvStart();
    void listen(WatchContext* context, QEventLoop* runLoop);
};

void KeyWatch::State::pvStart() {
    // 1. Interrupt handler.
    struct sigaction action {};
    action.sa_handler = SignalHandler;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        std::fprintf(stderr, "Could not establish new signal handler.");
    }
    // 2.
    std::fprintf(stderr, "Looking for devices matching vendor ID=%ld and product ID=%ld.\n",
                 static_cast<long>(row.vendorId), static_cast<long>(row.productId));

    // 3-6. This thread's loop and the bus listener feeding it.
    QEventLoop runLoop;
    WatchContext context(controller);
    {
        std::lock_guard lock(mutex);
        if (stopping) return;
        loop = &runLoop;
    }
    std::thread listener;
    try {
        listener = std::thread([this, &context, &runLoop] { listen(&context, &runLoop); });
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "pthread_create error:%s\n", std::strerror(e.code().value()));
        std::lock_guard lock(mutex);
        loop = nullptr;
        return;
    }

    // 7-8. The listener reports the keys present now; once they are handled
    // this loop says it runs, then hears of every change.
    runLoop.exec();
    bool expected;
    {
        std::lock_guard lock(mutex);
        expected = stopping || setupFailed;
        stopping = true;  // the listener must not start a bus after this
        if (usb) usb->stop();
        loop = nullptr;
    }
    listener.join();
    if (!expected) std::fprintf(stderr, "Unexpectedly back from CFRunLoopRun()!\n");
}

void KeyWatch::State::listen(WatchContext* context, QEventLoop* runLoop) {
    auto post = [context](void (WatchContext::*handler)(const platform::UsbDevice&)) {
        return [context, handler](const platform::UsbDevice& dev) {
            QMetaObject::invokeMethod(
                context, [context, handler, dev] { (context->*handler)(dev); }, Qt::QueuedConnection);
        };
    };
    platform::UsbWatch usbWatch(row.vendorId, row.productId, post(&WatchContext::DeviceAdded),
                                post(&WatchContext::DeviceNotification));
    // Queued behind the start-up arrivals, so it prints after their lines.
    usbWatch.setOnPresentReported([context] {
        QMetaObject::invokeMethod(
            context, [] { std::fprintf(stderr, "Starting run loop.\n\n"); }, Qt::QueuedConnection);
    });
    {
        std::lock_guard lock(mutex);
        if (stopping) return;
        usb = &usbWatch;
    }
    std::string error;
    const bool ok = usbWatch.run(&error);
    {
        std::lock_guard lock(mutex);
        usb = nullptr;
    }
    if (!ok) {
        // The watch cannot be set up: say which call failed and end the watch.
        std::fprintf(stderr, "%s\n", error.c_str());
        std::lock_guard lock(mutex);
        setupFailed = true;
        QMetaObject::invokeMethod(runLoop, &QEventLoop::quit, Qt::QueuedConnection);
    }
}

KeyWatch::KeyWatch(MailWinCtr* controller, WatchRow row) : d(std::make_unique<State>()) {
    d->controller = controller;
    d->row = row;
}

KeyWatch::~KeyWatch() {
    if (!stop()) abandon();
}

int KeyWatch::start() {
    if (!d || d->thread.joinable()) return 0;
    {
        std::lock_guard lock(d->mutex);
        d->stopping = false;
        d->finished = false;
    }
    try {
        d->thread = std::thread([state = d.get()] {
            state->pvStart();
            std::lock_guard lock(state->mutex);
            state->finished = true;
            state->finishedChanged.notify_all();
        });
    } catch (const std::system_error& e) {
        return e.code().value();
    }
    return 0;
}

bool KeyWatch::stop(std::chrono::steady_clock::time_point deadline) {
    requestStop();
    return waitStopped(deadline);
}

void KeyWatch::requestStop() {
    if (!d) return;
    std::lock_guard lock(d->mutex);
    d->stopping = true;
    if (d->usb) d->usb->stop();
    if (d->loop) QMetaObject::invokeMethod(d->loop, &QEventLoop::quit, Qt::QueuedConnection);
}

bool KeyWatch::waitStopped(std::chrono::steady_clock::time_point deadline) {
    if (!d || !d->thread.joinable()) return true;
    {
        std::unique_lock lock(d->mutex);
        if (!d->finishedChanged.wait_until(lock, deadline, [this] { return d->finished; })) return false;
    }
    d->thread.join();
    return true;
}

void KeyWatch::abandon() {
    if (!d) return;
    if (d->thread.joinable()) {
        std::fprintf(stderr, "watch %d is still inside the token library; leaving without it\n",
                     d->row.number);
        d->thread.detach();
        // The detached thread goes on using its state: it is never freed.
        (void)d.release();
    }
}

bool KeyWatch::started() const { return d && d->thread.joinable(); }

void KeyWatch::setArrivalTrace(std::function<void()> trace) { g_arrivalTrace = std::move(trace); }

}  // namespace kelvane
