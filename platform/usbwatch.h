// USB device watch: what the key manager and the key agent need of the
// desktop's USB registry. One UsbWatch per (vendor ID, product ID) pair; it
// reports every matching device already present and every later arrival, and
// every departure of a matching device, on the thread that runs it.
//
// Backends, chosen at run time by QD_USB_BACKEND:
//   "udev" (default) - libudev monitor on subsystem usb, devtype usb_device;
//   "sim"            - the simulated bus: keys that `keysim plug` marks plugged
//                      in the simulator's state folder (platform::simStateDir()).
//
// Thread safety: construct, run() and the callbacks belong to one thread (the
// watch thread); stop() may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

struct UsbDevice {
    std::string name;  // registry-style device name (product string); may be empty
    std::string id;    // stable identity while plugged (sysfs path, or the simulated key's name)
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint32_t locationId = 0;  // bus number in the top byte, then one nibble per port of the path
};

class UsbWatch {
public:
    using Callback = std::function<void(const UsbDevice&)>;

    // Nothing is watched until run(). The backend is picked here from QD_USB_BACKEND.
    UsbWatch(uint16_t vendorId, uint16_t productId, Callback onArrival, Callback onRemoval);
    ~UsbWatch();
    UsbWatch(const UsbWatch&) = delete;
    UsbWatch& operator=(const UsbWatch&) = delete;

    // Starts listening, reports the devices present now (one arrival each),
    // then blocks delivering events until stop(). Returns false at once, with
    // a one-line diagnostic naming the failing call in *error, when the watch
    // cannot be set up; returns true after stop(). Call it once per watch:
    // a stopped watch stays stopped. Callbacks must not throw.
    [[nodiscard]] bool run(std::string* error);

    // Makes run() return soon; safe from any thread and before run().
    void stop();

    // Called once on the watch thread inside run(), after the devices present
    // at start have been reported and before any later arrival: callers that
    // treat a key plugged in before they started differently from a new one
    // (the key agent) tell the two apart here. Set it before run().
    void setOnPresentReported(std::function<void()> callback);

    // Which backend QD_USB_BACKEND selects: "udev" (also when unset or empty)
    // or "sim". Any other value is returned as given; a watch made under it
    // fails run() with a diagnostic naming the value.
    static std::string backendName();

    class Backend;

private:
    std::unique_ptr<Backend> backend_;
};

}  // namespace platform
