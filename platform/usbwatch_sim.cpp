// USB watch over the simulated bus: the key simulator's state file
// (<simStateDir>/keys.json, replaced atomically by the simulator) says which
// keys are plugged in. We watch the folder with inotify, read the file again
// whenever it is replaced, and report the difference to what we reported
// before. A damaged or missing file means no key is plugged in.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/usbwatch_backend.h"

namespace platform {
namespace {

constexpr const char* kStateFile = "keys.json";

std::string failureErrno(const std::string& call) { return call + " failed: " + std::strerror(errno); }

// FNV-1a: the same key name gives the same location in every process and
// every run, as a key left in the same port would.
uint32_t locationFromName(const std::string& name) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash ? hash : 1;
}

std::optional<uint16_t> asId(const nlohmann::json& value) {
    if (!value.is_number_integer()) return std::nullopt;
    if (value.is_number_unsigned()) {
        auto v = value.get<uint64_t>();
        if (v > 0xFFFF) return std::nullopt;
        return static_cast<uint16_t>(v);
    }
    auto v = value.get<int64_t>();
    if (v < 0 || v > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(v);
}

class SimBackend final : public BusBackend {
public:
    using BusBackend::BusBackend;
    bool run(std::string* error) override;

private:
    struct Plugged {
        UsbDevice device;
        uint64_t plugCount = 0;
    };
    std::map<std::string, Plugged> readPlugged();
    void refresh();
    void diagnose(std::string line);

    std::string folder_;
    std::map<std::string, Plugged> reported_;  // by key name
    std::string lastDiagnostic_;
};

// One line per trouble, not one per re-read: a file left damaged would
// otherwise repeat the same complaint on every change in the folder.
void SimBackend::diagnose(std::string line) {
    if (line == lastDiagnostic_) return;
    lastDiagnostic_ = line;
    if (!line.empty()) logLine("usbwatch (sim): " + line);
}

std::map<std::string, SimBackend::Plugged> SimBackend::readPlugged() {
    std::map<std::string, Plugged> plugged;
    const std::string path = folder_ + "/" + kStateFile;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        diagnose(path + ": " + std::strerror(errno) + "; no simulated key plugged in");
        return plugged;
    }
    std::ostringstream content;
    content << in.rdbuf();
    nlohmann::json state = nlohmann::json::parse(content.str(), nullptr, /*allow_exceptions=*/false);
    if (state.is_discarded() || !state.is_object() || !state.contains("keys") || !state["keys"].is_array()) {
        diagnose(path + ": damaged (no {\"keys\":[...]}); no simulated key plugged in");
        return plugged;
    }
    for (const auto& key : state["keys"]) {
        // A key we cannot read fully is left out, the others still count.
        if (!key.is_object()) continue;
        auto name = key.find("name");
        auto isPlugged = key.find("plugged");
        auto vendor = key.find("vendor");
        auto product = key.find("product");
        if (name == key.end() || !name->is_string() || isPlugged == key.end() || !isPlugged->is_boolean() ||
            vendor == key.end() || product == key.end())
            continue;
        auto vid = asId(*vendor);
        auto pid = asId(*product);
        if (!isPlugged->get<bool>() || !vid || !pid || *vid != vendorId_ || *pid != productId_) continue;
        UsbDevice d;
        d.id = name->get<std::string>();
        d.name = "USB Key " + d.id;
        d.vendorId = *vid;
        d.productId = *pid;
        d.locationId = locationFromName(d.id);
        // The simulator counts plugs; optional, so a hand-written file works.
        auto count = key.find("plug_count");
        uint64_t plugCount = count != key.end() && count->is_number_unsigned() ? count->get<uint64_t>() : 0;
        std::string id = d.id;
        plugged.emplace(std::move(id), Plugged{std::move(d), plugCount});
    }
    diagnose({});
    return plugged;
}

void SimBackend::refresh() {
    std::map<std::string, Plugged> now = readPlugged();
    // Removals first. A key unplugged and plugged again between two reads
    // is still a removal and an arrival, as on a real bus: its plug count
    // tells.
    for (auto it = reported_.begin(); it != reported_.end();) {
        auto found = now.find(it->first);
        if (found != now.end() && found->second.plugCount == it->second.plugCount) {
            ++it;
            continue;
        }
        UsbDevice d = std::move(it->second.device);
        it = reported_.erase(it);
        onRemoval_(d);
    }
    for (auto& [name, entry] : now) {
        if (reported_.count(name)) continue;
        reported_.emplace(name, entry);
        onArrival_(entry.device);
    }
}

bool SimBackend::run(std::string* error) {
    if (!stop_.setupError().empty()) return fail(error, stop_.setupError());
    if (stop_.raised()) return true;

    folder_ = simStateDir();
    std::string mkdirError;
    if (!checkSimStateDir(folder_, &mkdirError) || !makePrivateFolder(folder_, &mkdirError) ||
        !checkSimStateDir(folder_, &mkdirError))
        return fail(error, mkdirError);

    UniqueFd notify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!notify) return fail(error, failureErrno("inotify_init1"));
    // Watch before the first read, so a plug in between is not missed.
    constexpr uint32_t kMask = IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF;
    if (::inotify_add_watch(notify.get(), folder_.c_str(), kMask) < 0)
        return fail(error, failureErrno("inotify_add_watch " + folder_));

    refresh();
    presentReported();

    pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {notify.get(), POLLIN, 0}};
    alignas(inotify_event) char buffer[4096];
    bool watching = true;
    while (!stop_.raised()) {
        fds[0].revents = fds[1].revents = 0;
        int n = ::poll(fds, watching ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(error, failureErrno("poll"));
        }
        if (fds[0].revents) break;
        if (!(fds[1].revents & POLLIN)) continue;
        bool changed = false;
        for (;;) {
            ssize_t len = ::read(notify.get(), buffer, sizeof buffer);
            if (len <= 0) break;  // EAGAIN: drained
            for (char* p = buffer; p < buffer + len;) {
                auto* event = reinterpret_cast<inotify_event*>(p);
                if (event->mask & (IN_IGNORED | IN_DELETE_SELF)) {
                    watching = false;
                } else if (event->mask & IN_Q_OVERFLOW) {
                    changed = true;  // events lost: read the file again
                } else if (event->len > 0 && std::strcmp(event->name, kStateFile) == 0) {
                    changed = true;
                }
                p += sizeof(inotify_event) + event->len;
            }
        }
        if (changed || !watching) refresh();
        if (!watching) {
            // The folder went away, every key with it; nothing more will come.
            diagnose(folder_ + " removed; simulated bus stopped");
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<UsbWatch::Backend> makeSimBackend(uint16_t vendorId, uint16_t productId,
                                                  UsbWatch::Callback onArrival,
                                                  UsbWatch::Callback onRemoval) {
    return std::make_unique<SimBackend>(vendorId, productId, std::move(onArrival), std::move(onRemoval));
}

}  // namespace platform
