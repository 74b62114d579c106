// Backend selection and the helpers the USB watch backends share.
#include <sys/eventfd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/usbwatch_backend.h"

namespace platform {
namespace {

// Stands in for a backend QD_USB_BACKEND names but we do not have: run() must
// fail loudly, since quietly watching a different bus would leave the user
// wondering why plugging a key does nothing.
class UnknownBackend final : public UsbWatch::Backend {
public:
    explicit UnknownBackend(std::string name) : name_(std::move(name)) {}
    bool run(std::string* error) override {
        if (error) *error = "QD_USB_BACKEND=\"" + name_ + "\" is not a USB backend (use \"udev\" or \"sim\")";
        return false;
    }
    void stop() override {}

private:
    std::string name_;
};

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_) error_ = std::string("eventfd failed: ") + std::strerror(errno);
}

void StopSignal::raise() {
    raised_.store(true, std::memory_order_release);
    if (fd_) {
        uint64_t one = 1;
        // A full counter (EAGAIN) still leaves the fd readable: nothing to do.
        [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
    }
}

std::optional<uint16_t> parseHexId(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.size() > 4) return std::nullopt;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return static_cast<uint16_t>(value);
}

std::optional<VidPid> parseProductProperty(std::string_view text) {
    text = trim(text);
    size_t first = text.find('/');
    if (first == std::string_view::npos) return std::nullopt;
    size_t second = text.find('/', first + 1);
    std::string_view vid = text.substr(0, first);
    std::string_view pid = second == std::string_view::npos ? text.substr(first + 1)
                                                            : text.substr(first + 1, second - first - 1);
    auto v = parseHexId(vid);
    auto p = parseHexId(pid);
    if (!v || !p) return std::nullopt;
    return VidPid{*v, *p};
}

uint32_t locationIdFromPath(unsigned busNumber, std::string_view portPath) {
    uint32_t location = (busNumber & 0xFFu) << 24;
    portPath = trim(portPath);
    if (portPath.empty() || portPath == "0") return location;
    int shift = 20;
    while (!portPath.empty() && shift >= 0) {
        size_t dot = portPath.find('.');
        std::string_view part = portPath.substr(0, dot);
        unsigned port = 0;
        auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), port);
        if (ec != std::errc() || end != part.data() + part.size()) break;
        location |= (port > 15 ? 15u : port) << shift;
        shift -= 4;
        if (dot == std::string_view::npos) break;
        portPath.remove_prefix(dot + 1);
    }
    return location;
}

namespace {

std::string selectedBackend() {
    const char* value = std::getenv("QD_USB_BACKEND");
    // An empty variable counts as unset, as for the paths.
    return (value && *value) ? std::string(value) : std::string("udev");
}

}  // namespace

std::string UsbWatch::backendName() { return selectedBackend(); }

UsbWatch::UsbWatch(uint16_t vendorId, uint16_t productId, Callback onArrival, Callback onRemoval) {
    std::string name = selectedBackend();
    if (name == "udev")
        backend_ = makeUdevBackend(vendorId, productId, std::move(onArrival), std::move(onRemoval));
    else if (name == "sim")
        backend_ = makeSimBackend(vendorId, productId, std::move(onArrival), std::move(onRemoval));
    else
        backend_ = std::make_unique<UnknownBackend>(std::move(name));
}

UsbWatch::~UsbWatch() = default;

bool UsbWatch::run(std::string* error) { return backend_->run(error); }

void UsbWatch::stop() { backend_->stop(); }

void UsbWatch::setOnPresentReported(std::function<void()> callback) {
    backend_->onPresentReported = std::move(callback);
}

}  // namespace platform
