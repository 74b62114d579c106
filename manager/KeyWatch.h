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
// of a watch happens on its own threads. stop() joins them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class MailWinCtr;

namespace kelvane {

// Watch table: one watch thread per row.
struct WatchRow {
    int number;  // 1 or 2
    uint16_t vendorId;
    uint16_t productId;
};
inline constexpr WatchRow kWatchTable[2] = {{1, 0xD449, 4}, {2, 0x6A9F, 4}};

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
    // Ends the watch: stops the bus listener, quits the loop, joins.
    void stop();
    bool started() const;

    // Called at the start of every arrival on the watch thread (benchmarks
    // time the arrival with it). Set before any watch starts.
    static void setArrivalTrace(std::function<void()> trace);

    struct State;

private:
    std::unique_ptr<State> d;
};

}  // namespace kelvane
