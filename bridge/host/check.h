// `ombrel-bridge --check` and `varnex-bridge --check`: which browsers on this
// machine will find the host, one line each, and which origins the
// allow-list names. The browsers read a host manifest (ombrel_bridge.json,
// varnex_bridge.json) from a per-user folder first, then from the system
// folders; the first one found is the one they use, broken or not.
//
// Nothing here throws but std::bad_alloc.
#pragma once

#include <string>
#include <vector>

namespace bridge {

// A host program: its manifest's name, its package, what a listed origin gets.
struct HostProgram {
    const char* name;
    const char* package;
    const char* listedGets;
};
inline constexpr HostProgram kSigningHost{"ombrel_bridge", "ombrel-bridge", "may sign"};
inline constexpr HostProgram kFieldHost{"varnex_bridge", "varnex-bridge",
                                        "may have the password digest and the degree events"};

struct BrowserFolders {
    enum class Kind { Chromium, Firefox };
    std::string browser;  // "chromium", "firefox"
    Kind kind = Kind::Chromium;
    std::vector<std::string> folders;  // searched in this order
    std::string extension;  // what the manifest must allow: "chrome-extension://ID/" or the add-on id
};

// The folders Chromium and Firefox read on Linux. `root` (empty, or a staged
// install's DESTDIR) goes in front of the system folders; the per-user ones
// come from $XDG_CONFIG_HOME (Chromium) and $HOME.
std::vector<BrowserFolders> browserFolders(const std::string& root);

struct CheckLine {
    enum class State { Ok, Missing, Broken };
    State state = State::Missing;
    std::string text;  // one line for the user, starting with the browser's name
};

// `root` is put in front of the manifest's program path too, so a staged
// install is judged as it will be once installed.
CheckLine checkBrowser(const BrowserFolders& browser, const std::string& root,
                       const HostProgram& host = kSigningHost);

// The whole report (browsers, then the allowed origins), one line each, and
// its exit status: 0 when at least one browser will run the host and no
// manifest found is broken.
int runCheck(const std::string& root, std::vector<std::string>* lines,
             const HostProgram& host = kSigningHost);

// A host program's main: `--check [--root DIR]`, `--help`, `--version`, a
// refusal to serve a terminal, else `serve()` (the browser's pipe); an
// exception that gets this far is a message and status 1.
int hostMain(int argc, char** argv, const HostProgram& host, const char* usage, int (*serve)());

}  // namespace bridge
