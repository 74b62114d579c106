// The key manager's USB key watch: one watch thread per row of the watch
// table, each with its own Qt event loop, telling the main window controller
// about arrivals (addCov) and removals (subDev) of the bank's keys.
//
// The bus itself is platform::UsbWatch, which blocks while it listens; it runs
// on a listener thread of the watch and posts each event to the watch
// thread's loop, so a delayed arrival (addCov's 0.2 s timer) and a removal
// are handled there in the order the bus reported them.
//
// Threads: construct, start() and stop() on the main thread; everything else
// of a watch happens on its own threads. stop() joins them, unless the watch
// thread is still inside the token library when its patience runs out (a
// slow or hung key): quitting never waits on the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "token/KeyIdentity.h"

class MailWinCtr;

namespace kelvane {

// Watch table: one watch thread per row.
struct WatchRow {
    int number;  // 1 or 2
    uint16_t vendorId;
    uint16_t productId;
};
inline constexpr WatchRow kWatchTable[2] = {
    {1, token::kBankKeyUsbIds[0].vendor, token::kBankKeyUsbIds[0].product},
    {2, token::kBankKeyUsbIds[1].vendor, token::kBankKeyUsbIds[1].product}};

// One watched device, from its arrival to its removal.
struct DeviceWatchRecord {
    uint32_t notification = 0;  // our handle of the removal watch (non-zero once armed)
    std::string deviceName;     // registry-style name; "" when unreadable
    uint32_t locationID = 0;
    MailWinCtr* controller = nullptr;  // not owned
};

class KeyWatch {
public:
    KeyWatch(MailWinCtr* controller, WatchRow row);
    ~KeyWatch();  // stop()
    KeyWatch(const KeyWatch&) = delete;
    KeyWatch& operator=(const KeyWatch&) = delete;

    // Starts the watch thread (startDetect1/startDetect2). Returns the
    // system's error code when the thread cannot be created, else 0.
    [[nodiscard]] int start();
    // Ends the watch: requestStop(), then waitStopped() until `deadline`. A
    // thread still busy then (inside the token library) is abandoned: true
    // only when the thread was joined or never started.
    bool stop(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() +
                                                               kStopPatience);
    // Asks the watch to end (stops the bus listener, quits its loop) and
    // returns at once.
    void requestStop();
    // Joins the watch thread once it has ended, waiting no later than
    // `deadline`; false while it is still busy.
    bool waitStopped(std::chrono::steady_clock::time_point deadline);
    // Leaves a thread that did not end to itself: detached, with what it uses
    // kept alive. The process must then leave without destroying what the
    // thread may still touch (the main window controller).
    void abandon();
    bool started() const;
    bool abandoned() const { return d == nullptr; }

    // How long quitting waits for a watch thread.
    static constexpr std::chrono::milliseconds kStopPatience{1000};

    // Called at the start of every arrival on the watch thread (benchmarks
    // time the arrival with it). Set before any watch starts.
    static void setArrivalTrace(std::function<void()> trace);

    struct State;

private:
    std::unique_ptr<State> d;
};

}  // namespace kelvane
