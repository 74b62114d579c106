// USB watch over libudev: a netlink monitor for usb/usb_device, enabled
// before the bus is enumerated so that a device plugged in meanwhile is seen
// either way (a device seen twice is reported once: we track by syspath).
#include <libudev.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/log.h"
#include "platform/usbwatch_backend.h"

namespace platform {
namespace {

struct UdevDeleter {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using MonitorPtr = std::unique_ptr<udev_monitor, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

// libudev reports failures as negative errno values.
std::string failure(const char* call, int rc) {
    return std::string(call) + " failed: " + std::strerror(rc < 0 ? -rc : rc);
}

std::string failureErrno(const char* call) { return std::string(call) + " failed: " + std::strerror(errno); }

class UdevBackend final : public BusBackend {
public:
    using BusBackend::BusBackend;
    bool run(std::string* error) override;

private:
    bool matches(udev_device* device) const;
    UsbDevice describe(udev_device* device) const;
    void arrived(udev_device* device);
    void departed(udev_device* device);
    bool enumerate(udev* context, std::string* error);

    std::map<std::string, UsbDevice> present_;  // by syspath
};

// Sysfs attributes first (what a present device shows); the uevent's PRODUCT
// property when they cannot be read, as on a device that is already leaving.
bool UdevBackend::matches(udev_device* device) const {
    auto vid = parseHexId(text(udev_device_get_sysattr_value(device, "idVendor")));
    auto pid = parseHexId(text(udev_device_get_sysattr_value(device, "idProduct")));
    if (vid && pid) return *vid == vendorId_ && *pid == productId_;
    auto product = parseProductProperty(text(udev_device_get_property_value(device, "PRODUCT")));
    return product && product->vendorId == vendorId_ && product->productId == productId_;
}

UsbDevice UdevBackend::describe(udev_device* device) const {
    UsbDevice d;
    d.id = text(udev_device_get_syspath(device));
    d.name = text(udev_device_get_sysattr_value(device, "product"));
    d.vendorId = vendorId_;
    d.productId = productId_;

    unsigned bus = 0;
    std::string busText = text(udev_device_get_sysattr_value(device, "busnum"));
    if (busText.empty()) busText = text(udev_device_get_property_value(device, "BUSNUM"));
    bus = static_cast<unsigned>(std::strtoul(busText.c_str(), nullptr, 10));
    // The port path is the sysname after "<bus>-" ("1-2.3" -> "2.3") when
    // the devpath attribute is gone.
    std::string ports = text(udev_device_get_sysattr_value(device, "devpath"));
    if (ports.empty()) {
        std::string sysname = text(udev_device_get_sysname(device));
        size_t dash = sysname.find('-');
        ports = dash == std::string::npos ? std::string() : sysname.substr(dash + 1);
    }
    d.locationId = locationIdFromPath(bus, ports);
    return d;
}

void UdevBackend::arrived(udev_device* device) {
    const char* devtype = udev_device_get_devtype(device);
    if (!devtype || std::strcmp(devtype, "usb_device") != 0) return;
    const char* syspath = udev_device_get_syspath(device);
    if (!syspath || present_.count(syspath)) return;  // seen by both the scan and the monitor
    if (!matches(device)) return;
    UsbDevice d = describe(device);
    present_.emplace(d.id, d);
    onArrival_(d);
}

void UdevBackend::departed(udev_device* device) {
    std::string syspath = text(udev_device_get_syspath(device));
    auto it = present_.find(syspath);
    if (it != present_.end()) {
        UsbDevice d = std::move(it->second);
        present_.erase(it);
        onRemoval_(d);
        return;
    }
    // Not one we reported, but the bus says it was one of ours: a removal is
    // still a removal for a watcher that only cares that a key left.
    const char* devtype = udev_device_get_devtype(device);
    if (!devtype || std::strcmp(devtype, "usb_device") != 0) return;
    auto product = parseProductProperty(text(udev_device_get_property_value(device, "PRODUCT")));
    if (product && product->vendorId == vendorId_ && product->productId == productId_)
        onRemoval_(describe(device));
}

bool UdevBackend::enumerate(udev* context, std::string* error) {
    EnumeratePtr scan(udev_enumerate_new(context));
    if (!scan) return fail(error, failureErrno("udev_enumerate_new"));
    if (int rc = udev_enumerate_add_match_subsystem(scan.get(), "usb"); rc < 0)
        return fail(error, failure("udev_enumerate_add_match_subsystem", rc));
    if (int rc = udev_enumerate_scan_devices(scan.get()); rc < 0)
        return fail(error, failure("udev_enumerate_scan_devices", rc));
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
        if (stop_.raised()) return true;
        const char* path = udev_list_entry_get_name(entry);
        DevicePtr device(udev_device_new_from_syspath(context, path));
        if (!device) {
            // Gone between the scan and now: its removal event will say so.
            logLine(failureErrno("udev_device_new_from_syspath") + " for " + text(path));
            continue;
        }
        arrived(device.get());
    }
    return true;
}

bool UdevBackend::run(std::string* error) {
    if (!stop_.setupError().empty()) return fail(error, stop_.setupError());
    if (stop_.raised()) return true;

    UdevPtr context(udev_new());
    if (!context) return fail(error, failureErrno("udev_new"));
    MonitorPtr monitor;
    {
        // Each watch arms its monitor on its own thread; one at a time, because
        // umockdev's stand-in for the kernel's uevent socket, under which the
        // tests run, now and then refused the second of two binds made at
        // once (EINVAL). The kernel does not mind; the cost is nil.
        static std::mutex arming;
        const std::lock_guard<std::mutex> one(arming);
        monitor.reset(udev_monitor_new_from_netlink(context.get(), "udev"));
        if (!monitor) return fail(error, failureErrno("udev_monitor_new_from_netlink"));
        if (int rc = udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device");
            rc < 0)
            return fail(error, failure("udev_monitor_filter_add_match_subsystem_devtype", rc));
        if (int rc = udev_monitor_enable_receiving(monitor.get()); rc < 0)
            return fail(error, failure("udev_monitor_enable_receiving", rc));
    }
    int monitorFd = udev_monitor_get_fd(monitor.get());
    if (monitorFd < 0) return fail(error, failure("udev_monitor_get_fd", monitorFd));

    if (!enumerate(context.get(), error)) return false;
    presentReported();

    pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {monitorFd, POLLIN, 0}};
    while (!stop_.raised()) {
        fds[0].revents = fds[1].revents = 0;
        int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(error, failureErrno("poll"));
        }
        if (fds[0].revents) break;
        if (fds[1].revents & (POLLERR | POLLNVAL)) return fail(error, "udev monitor socket failed");
        if (!(fds[1].revents & POLLIN)) continue;
        // Drain everything queued, so a burst of events costs one wake-up.
        while (!stop_.raised()) {
            DevicePtr device(udev_monitor_receive_device(monitor.get()));
            if (!device) break;
            const char* action = udev_device_get_action(device.get());
            if (!action) continue;
            if (std::strcmp(action, "add") == 0)
                arrived(device.get());
            else if (std::strcmp(action, "remove") == 0)
                departed(device.get());
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<UsbWatch::Backend> makeUdevBackend(uint16_t vendorId, uint16_t productId,
                                                   UsbWatch::Callback onArrival,
                                                   UsbWatch::Callback onRemoval) {
    return std::make_unique<UdevBackend>(vendorId, productId, std::move(onArrival), std::move(onRemoval));
}

}  // namespace platform
