// Which web pages may use the signing service: an allow-list of https
// origins, one a line, in a system-wide file and a per-user file.
//
//   # the bank's signing pages
//   https://ebank.example.com
//   https://sign.example.com:8443
//
// An origin is compared by scheme, host and port: the host case-insensitively,
// port 443 the same as no port, one trailing slash tolerated. Anything else
// in a line (a path, a query, user info, http) makes the line invalid; it
// allows nothing, and `ombrel-bridge --check` names it. Lines starting with #
// and blank lines are skipped.
//
// The files are read again on every decision, so an origin removed from them
// is refused from the next request on.
//
// A list is trusted only when nobody but root and this user can change it,
// as sshd's strict modes judge authorized_keys: the file and every folder on
// its path (as named, and as the links resolve) must belong to root or this
// user and be writable by neither group nor others. One exception: a folder
// of root's with the sticky bit (/tmp), where nobody may rename or remove
// what another made. A list that fails allows nothing, and
// `ombrel-bridge --check` names why. Nothing here throws but std::bad_alloc.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

struct Origin {
    std::string host;  // lower case; an IPv6 address keeps its brackets
    unsigned port = 443;
    // "https://host" or "https://host:port", as a browser writes it.
    std::string text() const;
    bool operator==(const Origin&) const = default;
};

// The origin in `text`, or nothing with the reason in *why ("only https
// pages may sign", "a path after the host", ...).
std::optional<Origin> parseOrigin(std::string_view text, std::string* why = nullptr);

struct AllowListEntry {
    std::string file;
    int line = 0;                  // 0: the file itself could not be read or is not trusted
    std::string text;              // the line as written, trimmed
    std::optional<Origin> origin;  // nothing: an invalid line
    std::string why;               // why it is invalid
};

// The system file (/etc/ombrel-bridge/allowed-origins, or QD_BRIDGE_SYSTEM_ORIGINS)
// and the user's ($XDG_CONFIG_HOME, else $HOME/.config, + /ombrel-bridge/allowed-origins).
std::string systemAllowList();
std::string userAllowList();

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config (where the browsers keep theirs too).
std::string configHome();

class AllowList {
public:
    // The system file and the user's file.
    AllowList();
    // Other files (tests, a staged install), in the order given.
    explicit AllowList(std::vector<std::string> files) : files_(std::move(files)) {}

    // Every line of every file that exists, in file order (missing files add nothing).
    std::vector<AllowListEntry> entries() const;

    struct Decision {
        bool allowed = false;
        std::string origin;  // the canonical origin when it parsed, else the text given
        // For the page: one line naming the origin and nothing of this
        // machine (any site may read it).
        std::string refusal;
        // For this machine's diagnostics (standard error): the refusal, the
        // files to add the origin to, and each list that was not trusted.
        std::string detail;
    };
    Decision decide(std::string_view origin) const;

    const std::vector<std::string>& files() const { return files_; }

private:
    std::vector<std::string> files_;
    bool standard_ = false;  // the system file and the user's: refusals say which is which
};

}  // namespace bridge
