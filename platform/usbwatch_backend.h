// Inside the USB watch: the interface every backend implements, the factory
// of each backend, and the few helpers the backends share. Not for callers
// outside platform/ (they use usbwatch.h).
#pragma once

#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/usbwatch.h"

namespace platform {

// Owns a file descriptor; closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// The stop signal every backend polls beside its event source: an eventfd,
// so stop() wakes a blocked poll() at once from any thread, and a flag, so a
// stop that comes before run() is not lost.
class StopSignal {
public:
    StopSignal();
    // Empty when the eventfd was made; else the diagnostic of the failure.
    const std::string& setupError() const { return error_; }
    int fd() const { return fd_.get(); }
    void raise();
    bool raised() const { return raised_.load(std::memory_order_acquire); }

private:
    UniqueFd fd_;
    std::string error_;
    std::atomic<bool> raised_{false};
};

class UsbWatch::Backend {
public:
    virtual ~Backend() = default;
    [[nodiscard]] virtual bool run(std::string* error) = 0;
    virtual void stop() = 0;

    // Set by UsbWatch; each backend calls presentReported() right after its
    // first scan of the bus.
    std::function<void()> onPresentReported;

protected:
    void presentReported() {
        if (onPresentReported) onPresentReported();
    }
};

// What both bus backends keep: the pair they watch, the two callbacks and
// the stop signal.
class BusBackend : public UsbWatch::Backend {
public:
    BusBackend(uint16_t vendorId, uint16_t productId, UsbWatch::Callback onArrival,
               UsbWatch::Callback onRemoval)
        : vendorId_(vendorId),
          productId_(productId),
          onArrival_(std::move(onArrival)),
          onRemoval_(std::move(onRemoval)) {}

    void stop() override { stop_.raise(); }

protected:
    static bool fail(std::string* error, std::string message) {
        if (error) *error = std::move(message);
        return false;
    }

    const uint16_t vendorId_;
    const uint16_t productId_;
    UsbWatch::Callback onArrival_;
    UsbWatch::Callback onRemoval_;
    StopSignal stop_;
};

std::unique_ptr<UsbWatch::Backend> makeUdevBackend(uint16_t vendorId, uint16_t productId,
                                                   UsbWatch::Callback onArrival,
                                                   UsbWatch::Callback onRemoval);
std::unique_ptr<UsbWatch::Backend> makeSimBackend(uint16_t vendorId, uint16_t productId,
                                                  UsbWatch::Callback onArrival, UsbWatch::Callback onRemoval);

// The desktop's location ID: bus number in the top byte, then one nibble per
// port of the hub path, outermost first ("2.3" on bus 1 -> 0x01230000).
// Ports above 15 and paths deeper than six hops cannot be told apart in this
// form; they are cut to fit rather than spilling into the bus byte. The root
// hub's path "0" gives the bare bus.
uint32_t locationIdFromPath(unsigned busNumber, std::string_view portPath);

// "d449/4/100" (a uevent's PRODUCT: vendor/product/bcdDevice in hex) -> the
// vendor and product IDs; nothing when the text is not of that form.
struct VidPid {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};
std::optional<VidPid> parseProductProperty(std::string_view text);

// A hexadecimal ID as sysfs prints it ("d449", "0004"); nothing unless it is
// one to four hex digits.
std::optional<uint16_t> parseHexId(std::string_view text);

}  // namespace platform
