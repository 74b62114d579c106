#include "platform/machineid.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace platform {
namespace {

std::string rooted(const std::string& path) {
    const char* root = std::getenv("QD_MACHINE_ROOT");
    return (root != nullptr && *root != '\0') ? std::string(root) + path : path;
}

// The first line of a small text file, trimmed; nothing when unreadable.
std::optional<std::string> firstLine(const std::string& path) {
    std::ifstream in(rooted(path));
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    size_t start = 0;
    while (start < line.size() && std::isspace(static_cast<unsigned char>(line[start]))) ++start;
    return line.substr(start);
}

std::optional<std::string> defaultRouteInterface() {
    std::ifstream in(rooted("/proc/net/route"));
    std::string line;
    if (!in || !std::getline(in, line))  // header
        return std::nullopt;
    std::optional<std::string> best;
    unsigned long bestMetric = std::numeric_limits<unsigned long>::max();
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask))
            continue;
        constexpr unsigned long kRouteUp = 0x1;
        if (destination != "00000000" || mask != "00000000") continue;
        char* end = nullptr;
        const unsigned long f = std::strtoul(flags.c_str(), &end, 16);
        if (*end != '\0' || (f & kRouteUp) == 0) continue;
        const unsigned long m = std::strtoul(metric.c_str(), &end, 10);
        if (*end != '\0' || iface.find('/') != std::string::npos || iface == "." || iface == "..") continue;
        if (!best || m < bestMetric) {
            best = iface;
            bestMetric = m;
        }
    }
    return best;
}

std::optional<MacAddress> parseMac(const std::string& text) {
    MacAddress mac{};
    if (text.size() != 17) return std::nullopt;
    for (size_t i = 0; i < 6; ++i) {
        const char hi = text[3 * i], lo = text[3 * i + 1];
        if (!std::isxdigit(static_cast<unsigned char>(hi)) || !std::isxdigit(static_cast<unsigned char>(lo)))
            return std::nullopt;
        if (i < 5 && text[3 * i + 2] != ':') return std::nullopt;
        mac[i] = static_cast<uint8_t>(std::stoi(text.substr(3 * i, 2), nullptr, 16));
    }
    return mac;
}

bool isPlaceholderSerial(const std::string& s) {
    if (s.empty()) return true;
    std::string lower;
    for (char c : s) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const char* const placeholders[] = {
        "not specified", "to be filled by o.e.m.", "default string", "system serial number", "none", "0",
        "0123456789"};
    for (const char* p : placeholders)
        if (lower == p) return true;
    return false;
}

}  // namespace

std::optional<MacAddress> primaryMacAddress() {
    const auto iface = defaultRouteInterface();
    if (!iface) return std::nullopt;
    const auto text = firstLine("/sys/class/net/" + *iface + "/address");
    if (!text) return std::nullopt;
    return parseMac(*text);
}

std::optional<std::string> platformSerialNumber() {
    if (auto dmi = firstLine("/sys/class/dmi/id/product_serial"); dmi && !isPlaceholderSerial(*dmi))
        return dmi;
    if (auto id = firstLine("/etc/machine-id"); id && !id->empty()) return id;
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> platformSerialNumberProperty() {
    const auto serial = platformSerialNumber();
    if (!serial) return std::nullopt;
    std::vector<uint8_t> data(13, 0);
    data.insert(data.end(), serial->begin(), serial->end());
    return data;
}

}  // namespace platform
