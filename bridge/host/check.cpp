#include "bridge/host/check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>
#include <set>

#include "bridge/host/origins.h"
#include "platform/cli.h"
#include "platform/files.h"

namespace bridge {
namespace {

using nlohmann::json;

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? home : "";
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Why the manifest would not start the host for this browser, or "" when it would.
std::string fault(const BrowserFolders& browser, const json& manifest, const std::string& root,
                  const HostProgram& host) {
    if (!manifest.is_object()) return "not a JSON object";
    if (!manifest.contains("name") || manifest["name"] != host.name)
        return std::string("its name is not ") + host.name;
    if (!manifest.contains("type") || manifest["type"] != "stdio") return "its type is not stdio";
    if (!manifest.contains("path") || !manifest["path"].is_string()) return "it names no program path";
    const std::string path = manifest["path"].get<std::string>();
    if (path.empty() || path.front() != '/') return "the program path " + path + " is not absolute";
    const std::string onDisk = root + path;
    struct stat info {};
    if (::stat(onDisk.c_str(), &info) != 0) return "the program " + onDisk + " does not exist";
    if (!S_ISREG(info.st_mode) || ::access(onDisk.c_str(), X_OK) != 0)
        return "the program " + onDisk + " is not executable";
    const bool chromium = browser.kind == BrowserFolders::Kind::Chromium;
    const char* allowKey = chromium ? "allowed_origins" : "allowed_extensions";
    if (!chromium) {
        // Firefox rejects a manifest with any key it does not know.
        static const std::set<std::string> known = {"name", "description", "path", "type",
                                                    "allowed_extensions"};
        for (const auto& item : manifest.items())
            if (known.count(item.key()) == 0) return "Firefox rejects its key " + item.key();
    }
    if (!manifest.contains(allowKey) || !manifest[allowKey].is_array())
        return std::string("it has no ") + allowKey + " list";
    const auto& allowed = manifest[allowKey];
    if (std::find(allowed.begin(), allowed.end(), json(browser.extension)) == allowed.end())
        return "its " + std::string(allowKey) + " lacks the extension " + browser.extension;
    return "";
}

}  // namespace

std::vector<BrowserFolders> browserFolders(const std::string& root) {
    return {
        {"chromium",
         BrowserFolders::Kind::Chromium,
         {configHome() + "/chromium/NativeMessagingHosts", root + "/etc/chromium/native-messaging-hosts"},
         QD_BRIDGE_CHROMIUM_ORIGIN},
        {"firefox",
         BrowserFolders::Kind::Firefox,
         {homeFolder() + "/.mozilla/native-messaging-hosts", root + "/usr/lib/mozilla/native-messaging-hosts",
          root + "/usr/lib64/mozilla/native-messaging-hosts"},
         QD_BRIDGE_FIREFOX_ID},
    };
}

CheckLine checkBrowser(const BrowserFolders& browser, const std::string& root, const HostProgram& host) {
    CheckLine line;
    const std::string file = std::string(host.name) + ".json";
    for (const auto& folder : browser.folders) {
        const std::string path = folder + "/" + file;
        if (!exists(path)) continue;
        // A manifest is a few hundred bytes; a FIFO or a huge file in its
        // place is broken, not waited on.
        std::string text, unreadable;
        const bool read = platform::readSmallFile(path, 64 * 1024, &text, &unreadable);
        const json manifest = read ? json::parse(text, nullptr, false) : json();
        // The read's error names the path, which the line names already.
        const std::string why = !read ? "cannot be read: " + unreadable.substr(unreadable.rfind(": ") + 2)
                                : manifest.is_discarded() ? "not valid JSON"
                                                          : fault(browser, manifest, root, host);
        if (!why.empty()) {
            line.state = CheckLine::State::Broken;
            line.text = browser.browser + ": broken: " + path + ": " + why + "; reinstall the package " +
                        host.package;
            return line;
        }
        line.state = CheckLine::State::Ok;
        line.text = browser.browser + ": ok: " + path + " runs " + manifest["path"].get<std::string>() +
                    " for the extension " + browser.extension;
        return line;
    }
    std::string where;
    for (const auto& folder : browser.folders) where += (where.empty() ? "" : ", ") + folder;
    line.text = browser.browser + ": not found: no " + file + " in " + where + "; install the package " +
                host.package;
    return line;
}

int runCheck(const std::string& root, std::vector<std::string>* lines, const HostProgram& host) {
    bool anyOk = false;
    bool anyBroken = false;
    for (const auto& browser : browserFolders(root)) {
        const CheckLine line = checkBrowser(browser, root, host);
        anyOk = anyOk || line.state == CheckLine::State::Ok;
        anyBroken = anyBroken || line.state == CheckLine::State::Broken;
        lines->push_back(line.text);
    }
    const std::string system = root + systemAllowList();
    const AllowList allowList({system, userAllowList()});
    int allowed = 0;
    for (const auto& entry : allowList.entries()) {
        const std::string where = entry.file + ":" + std::to_string(entry.line);
        if (entry.line == 0) {
            lines->push_back("origins: " + entry.why + "; nothing in it " + host.listedGets);
        } else if (entry.origin) {
            ++allowed;
            lines->push_back("origins: " + entry.origin->text() + " " + host.listedGets + " (" + where + ")");
        } else {
            lines->push_back("origins: " + where + ": \"" + entry.text + "\" is ignored: " + entry.why);
        }
    }
    if (allowed == 0)
        lines->push_back("origins: none " + std::string(host.listedGets) +
                         " yet; add the bank's origin (https://...) to " + system + " or " + userAllowList());
    return anyOk && !anyBroken ? 0 : 1;
}

int hostMain(int argc, char** argv, const HostProgram& host, const char* usage, int (*serve)()) {
    try {
        if (argc >= 2 && std::strcmp(argv[1], "--check") == 0) {
            std::string root;
            if (argc == 4 && std::strcmp(argv[2], "--root") == 0) {
                root = argv[3];
            } else if (argc != 2) {
                std::fputs(usage, stderr);
                return 2;
            }
            std::vector<std::string> lines;
            const int status = runCheck(root, &lines, host);
            for (const auto& line : lines) std::printf("%s\n", line.c_str());
            return status;
        }
        // Asked from a terminal or a script: nothing is served.
        if (const auto asked = argc >= 2 ? platform::askedFor(argv[1]) : platform::Asked::Nothing;
            asked != platform::Asked::Nothing)
            return platform::answer(asked, host.package, usage);
        if (::isatty(STDIN_FILENO)) {
            std::fprintf(stderr, "%s: started from a terminal; a browser starts this program. Try --check.\n",
                         host.package);
            return 2;
        }
        return serve();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", host.package, e.what());
        return 1;
    }
}

}  // namespace bridge
