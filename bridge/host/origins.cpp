#include "bridge/host/origins.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "platform/files.h"

namespace bridge {
namespace {

// An allow list is a few lines; far more is not one.
constexpr size_t kAllowListLimit = 64 * 1024;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(),
                                                      [](char a, char b) { return lower(a) == lower(b); });
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (lower(c) >= 'a' && lower(c) <= 'f'); }

// Host names as browsers hand them: ASCII (international names arrive in
// their xn-- form); IPv6 addresses in brackets.
bool validHost(std::string_view host) {
    if (host.empty()) return false;
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        return std::all_of(host.begin() + 1, host.end() - 1,
                           [](char c) { return isHex(c) || c == ':' || c == '.'; });
    }
    return std::all_of(host.begin(), host.end(), [](char c) {
        return isDigit(c) || (lower(c) >= 'a' && lower(c) <= 'z') || c == '.' || c == '-' || c == '_';
    });
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// An origin a page sent is echoed in refusals; a long one is cut.
std::string shown(std::string_view text) {
    constexpr size_t kShown = 200;
    return text.size() <= kShown ? std::string(text) : std::string(text.substr(0, kShown)) + "...";
}

// Why `path` and the folders above it are not safe from other users, or ""
// when they are. Each name is followed through links as stat does.
std::string unsafeOnPath(std::string path) {
    const uid_t me = ::geteuid();
    for (bool file = true;; file = false) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return "cannot read " + path + ": " + std::strerror(errno);
        const std::string what = (file ? "the file " : "the folder ") + path;
        if (st.st_uid != 0 && st.st_uid != me)
            return what + " belongs to uid " + std::to_string(st.st_uid) + ", neither root nor this user";
        // Everyone may add to /tmp, but only the owner of a name there may
        // rename or remove it, so what lies below stays its owner's.
        const bool rootsSticky =
            !file && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !rootsSticky) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            return what + " can be written by " + ((st.st_mode & S_IWOTH) != 0 ? "others" : "its group") +
                   " (mode " + mode + ")";
        }
        const auto slash = path.find_last_of('/');
        if (slash == std::string::npos || path == "/") return "";
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

// Why the list `file` is not trusted, or "": its path as named (every link
// on it lies in a checked folder) and as resolved (where the bytes are).
std::string distrust(const std::string& file) {
    std::string why = unsafeOnPath(file);
    if (why.empty()) {
        const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(file.c_str(), nullptr),
                                                                   &std::free);
        why = resolved ? unsafeOnPath(resolved.get()) : "cannot read " + file + ": " + std::strerror(errno);
    }
    return why.empty() ? why : file + " is not trusted: " + why;
}

}  // namespace

std::string configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

std::string Origin::text() const {
    return "https://" + host + (port == 443 ? std::string() : ":" + std::to_string(port));
}

std::optional<Origin> parseOrigin(std::string_view text, std::string* why) {
    auto fail = [why](const char* reason) -> std::optional<Origin> {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    };
    constexpr std::string_view kScheme = "https://";
    if (!startsWithNoCase(text, kScheme))
        return fail(startsWithNoCase(text, "http://") ? "only https pages may sign" : "not an https origin");
    std::string_view rest = text.substr(kScheme.size());
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.find_first_of("/?#") != std::string_view::npos)
        return fail("a path, query or fragment after the host");
    if (rest.find('@') != std::string_view::npos) return fail("user info before the host");

    std::string_view host = rest;
    std::string_view port;
    bool hasPort = false;
    const size_t hostEnd = rest.starts_with('[') ? rest.find(']') : rest.find(':');
    if (rest.starts_with('[')) {
        if (hostEnd == std::string_view::npos) return fail("an IPv6 address without its closing bracket");
        host = rest.substr(0, hostEnd + 1);
        const std::string_view after = rest.substr(hostEnd + 1);
        if (!after.empty()) {
            if (after.front() != ':') return fail("text after the IPv6 address");
            port = after.substr(1);
            hasPort = true;
        }
    } else if (hostEnd != std::string_view::npos) {
        host = rest.substr(0, hostEnd);
        port = rest.substr(hostEnd + 1);
        hasPort = true;
    }
    if (!validHost(host)) return fail("no valid host name");
    Origin origin;
    if (hasPort) {
        if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), isDigit))
            return fail("a port that is not a number from 1 to 65535");
        origin.port = static_cast<unsigned>(std::stoul(std::string(port)));
        if (origin.port == 0 || origin.port > 65535)
            return fail("a port that is not a number from 1 to 65535");
    }
    origin.host.resize(host.size());
    std::transform(host.begin(), host.end(), origin.host.begin(), lower);
    return origin;
}

std::string systemAllowList() {
    const char* over = std::getenv("QD_BRIDGE_SYSTEM_ORIGINS");
    return over != nullptr && *over != '\0'
               ? std::string(over)
               : std::string(QD_BRIDGE_SYSCONFDIR "/ombrel-bridge/allowed-origins");
}

std::string userAllowList() { return configHome() + "/ombrel-bridge/allowed-origins"; }

AllowList::AllowList() : files_{systemAllowList(), userAllowList()}, standard_(true) {}

std::vector<AllowListEntry> AllowList::entries() const {
    std::vector<AllowListEntry> entries;
    for (const auto& file : files_) {
        // A missing file allows nothing and is no fault; one that cannot be
        // read as a small regular file (a FIFO would hang every request, a
        // huge one fill the memory) allows nothing and is reported.
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0 && errno == ENOENT) continue;
        std::string content, error = distrust(file);
        if (!error.empty() || !platform::readSmallFile(file, kAllowListLimit, &content, &error)) {
            AllowListEntry entry;
            entry.file = file;
            entry.why = error;
            entries.push_back(std::move(entry));
            continue;
        }
        std::istringstream in(content);
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            const std::string_view text = trim(line);
            if (text.empty() || text.front() == '#') continue;
            AllowListEntry entry;
            entry.file = file;
            entry.line = number;
            entry.text = std::string(text);
            entry.origin = parseOrigin(text, &entry.why);
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

AllowList::Decision AllowList::decide(std::string_view text) const {
    Decision decision;
    std::string why;
    const auto origin = parseOrigin(text, &why);
    if (!origin) {
        decision.origin = shown(text);
        decision.refusal = "origin \"" + decision.origin + "\" may not use the signing service: " + why;
        decision.detail = decision.refusal;
        return decision;
    }
    decision.origin = origin->text();
    std::string untrusted;
    for (const auto& entry : entries()) {
        if (entry.origin && *entry.origin == *origin) {
            decision.allowed = true;
            return decision;
        }
        if (entry.line == 0) untrusted += "; " + entry.why;
    }
    // Any site can make its page ask, so what it is told names nothing of
    // this machine (not the user's home folder); the files go to diagnostics.
    decision.refusal = "origin " + decision.origin + " is not allowed to use the signing service";
    std::string where;
    for (size_t i = 0; i < files_.size(); ++i) {
        if (i > 0) where += " or ";
        where += files_[i];
        if (standard_) where += i == 0 ? " (every user)" : " (this user)";
    }
    decision.detail =
        decision.refusal + "; to allow it, add the line " + decision.origin + " to " + where + untrusted;
    return decision;
}

}  // namespace bridge
