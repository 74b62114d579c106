// The diagnosis a user runs when a page says the signer is missing, on
// machines with no, one or both browsers' manifests, broken ones, and the
// manifests this build generates.
#include "bridge/host/check.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/token/keysim_testing.h"

namespace {

using bridge::BrowserFolders;
using bridge::CheckLine;
using kpsim::testing::ScopedEnv;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kChromiumOrigin = "chrome-extension://" OMBREL_BRIDGE_CHROMIUM_ID "/";
const std::string kFirefoxId = OMBREL_BRIDGE_FIREFOX_ID;

json readJson(const std::string& path) {
    std::ifstream in(path);
    return json::parse(in);
}

class Machine : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("check-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(root_ / "home");
        home_.emplace("HOME", (root_ / "home").string());
        xdg_.emplace("XDG_CONFIG_HOME", "");
        system_.emplace("QD_BRIDGE_SYSTEM_ORIGINS", "");
        program("/usr/bin/ombrel-bridge", 0755);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string root() const { return root_.string(); }
    void program(const std::string& path, fs::perms mode) {
        fs::create_directories((root_ / path.substr(1)).parent_path());
        std::ofstream(root_ / path.substr(1)) << "#!/bin/sh\n";
        fs::permissions(root_ / path.substr(1), mode);
    }
    void program(const std::string& path, int mode) { program(path, static_cast<fs::perms>(mode)); }

    json manifest(BrowserFolders::Kind kind) const {
        json m = {{"name", "ombrel_bridge"},
                  {"description", "test"},
                  {"path", "/usr/bin/ombrel-bridge"},
                  {"type", "stdio"}};
        if (kind == BrowserFolders::Kind::Chromium)
            m["allowed_origins"] = {kChromiumOrigin};
        else
            m["allowed_extensions"] = {kFirefoxId};
        return m;
    }
    // Writes a manifest (a JSON value, or raw text) into a folder below the root or the home.
    void place(const std::string& folder, const std::string& text, const char* name = "ombrel_bridge") {
        fs::create_directories(folder);
        std::ofstream(folder + "/" + name + ".json") << text;
    }
    std::string chromiumSystem() const { return root() + "/etc/chromium/native-messaging-hosts"; }
    std::string firefoxSystem() const { return root() + "/usr/lib/mozilla/native-messaging-hosts"; }
    std::string chromiumUser() const { return root() + "/home/.config/chromium/NativeMessagingHosts"; }
    std::string firefoxUser() const { return root() + "/home/.mozilla/native-messaging-hosts"; }

    BrowserFolders browser(BrowserFolders::Kind kind) const {
        for (const auto& b : bridge::browserFolders(root()))
            if (b.kind == kind) return b;
        throw std::runtime_error("no such browser");
    }
    CheckLine check(BrowserFolders::Kind kind, const bridge::HostProgram& host = bridge::kSigningHost) const {
        return bridge::checkBrowser(browser(kind), root(), host);
    }

    fs::path root_;
    std::optional<ScopedEnv> home_, xdg_, system_;
};

constexpr auto kChromium = BrowserFolders::Kind::Chromium;
constexpr auto kFirefox = BrowserFolders::Kind::Firefox;

TEST_F(Machine, TheBrowsersFoldersUserFirstThenSystem) {
    EXPECT_EQ(browser(kChromium).folders, (std::vector<std::string>{chromiumUser(), chromiumSystem()}));
    EXPECT_EQ(browser(kFirefox).folders,
              (std::vector<std::string>{firefoxUser(), firefoxSystem(),
                                        root() + "/usr/lib64/mozilla/native-messaging-hosts"}));
    ScopedEnv xdg("XDG_CONFIG_HOME", root() + "/xdg");
    EXPECT_EQ(browser(kChromium).folders.front(), root() + "/xdg/chromium/NativeMessagingHosts");
}

TEST_F(Machine, NoManifestIsMissingWithWhereItLookedAndWhatToDo) {
    for (auto kind : {kChromium, kFirefox}) {
        const CheckLine line = check(kind);
        EXPECT_EQ(line.state, CheckLine::State::Missing);
        EXPECT_NE(line.text.find("not found"), std::string::npos) << line.text;
        EXPECT_NE(line.text.find("install the package ombrel-bridge"), std::string::npos) << line.text;
        for (const auto& folder : browser(kind).folders) EXPECT_NE(line.text.find(folder), std::string::npos);
    }
}

TEST_F(Machine, AGoodManifestInEitherFolderIsOk) {
    place(chromiumSystem(), manifest(kChromium).dump());
    place(firefoxUser(), manifest(kFirefox).dump());
    const CheckLine chromium = check(kChromium);
    EXPECT_EQ(chromium.state, CheckLine::State::Ok) << chromium.text;
    EXPECT_EQ(chromium.text, "chromium: ok: " + chromiumSystem() +
                                 "/ombrel_bridge.json runs /usr/bin/ombrel-bridge for the extension " +
                                 kChromiumOrigin);
    EXPECT_EQ(check(kFirefox).state, CheckLine::State::Ok) << check(kFirefox).text;
}

TEST_F(Machine, TheFirstManifestFoundDecidesEvenWhenBroken) {
    place(chromiumSystem(), manifest(kChromium).dump());
    place(chromiumUser(), "{ broken");
    const CheckLine line = check(kChromium);
    EXPECT_EQ(line.state, CheckLine::State::Broken);
    EXPECT_NE(line.text.find(chromiumUser()), std::string::npos) << line.text;
}

TEST_F(Machine, EachFaultOfAManifestIsNamed) {
    program("/usr/bin/not-executable", 0644);
    fs::create_directories(root_ / "usr/bin/a-folder");
    struct Case {
        BrowserFolders::Kind kind;
        std::function<void(json&)> spoil;
        const char* named;
    };
    const std::vector<Case> cases = {
        {kChromium, [](json& m) { m = json::array(); }, "not a JSON object"},
        {kChromium, [](json& m) { m["name"] = "other_host"; }, "its name is not ombrel_bridge"},
        {kFirefox, [](json& m) { m.erase("name"); }, "its name is not ombrel_bridge"},
        {kChromium, [](json& m) { m["type"] = "pipe"; }, "its type is not stdio"},
        {kChromium, [](json& m) { m.erase("path"); }, "names no program path"},
        {kFirefox, [](json& m) { m["path"] = "usr/bin/ombrel-bridge"; }, "is not absolute"},
        {kChromium, [](json& m) { m["path"] = "/usr/bin/gone"; }, "/usr/bin/gone does not exist"},
        {kFirefox, [](json& m) { m["path"] = "/usr/bin/not-executable"; },
         "not-executable is not executable"},
        {kChromium, [](json& m) { m["path"] = "/usr/bin/a-folder"; }, "a-folder is not executable"},
        {kChromium,
         [](json& m) { m["allowed_origins"] = {"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"}; },
         "lacks the extension chrome-extension://"},
        {kChromium, [](json& m) { m.erase("allowed_origins"); }, "no allowed_origins list"},
        {kFirefox, [](json& m) { m["allowed_extensions"] = {"someone@else.example"}; },
         "lacks the extension ombrel-bridge@"},
        {kFirefox, [](json& m) { m["allowed_extensions"] = "ombrel-bridge@dorn.invalid"; },
         "no allowed_extensions list"},
        {kFirefox, [](json& m) { m["allowed_origins"] = {kChromiumOrigin}; },
         "Firefox rejects its key allowed_origins"},
    };
    for (const auto& c : cases) {
        json m = manifest(c.kind);
        c.spoil(m);
        place(c.kind == kChromium ? chromiumSystem() : firefoxSystem(), m.dump());
        const CheckLine line = check(c.kind);
        EXPECT_EQ(line.state, CheckLine::State::Broken) << c.named << ": " << line.text;
        EXPECT_NE(line.text.find(c.named), std::string::npos) << line.text;
        EXPECT_NE(line.text.find("reinstall the package"), std::string::npos) << line.text;
    }
    place(chromiumSystem(), "not json at all");
    EXPECT_NE(check(kChromium).text.find("not valid JSON"), std::string::npos);
    // A FIFO in a manifest's place is broken, not waited on.
    fs::remove(chromiumSystem() + "/ombrel_bridge.json");
    ASSERT_EQ(::mkfifo((chromiumSystem() + "/ombrel_bridge.json").c_str(), 0644), 0);
    EXPECT_EQ(check(kChromium).state, CheckLine::State::Broken);
    EXPECT_NE(check(kChromium).text.find("ombrel_bridge.json: cannot be read: not a regular file; reinstall"),
              std::string::npos)
        << check(kChromium).text;
}

struct Report {
    int status;
    std::vector<std::string> lines;
};

TEST_F(Machine, TheReportsStatusIsZeroOnlyWhenABrowserWillRunTheHostAndNoneIsBroken) {
    auto report = [this] {
        Report r;
        r.status = bridge::runCheck(root(), &r.lines);
        return r;
    };
    Report none = report();
    EXPECT_EQ(none.status, 1);
    ASSERT_GE(none.lines.size(), 3u);
    EXPECT_EQ(none.lines[0].rfind("chromium: not found", 0), 0u);
    EXPECT_EQ(none.lines[1].rfind("firefox: not found", 0), 0u);

    place(firefoxSystem(), manifest(kFirefox).dump());
    EXPECT_EQ(report().status, 0) << "one browser is enough";
    place(chromiumSystem(), manifest(kChromium).dump());
    Report both = report();
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(both.lines[0].rfind("chromium: ok", 0), 0u);
    EXPECT_EQ(both.lines[1].rfind("firefox: ok", 0), 0u);

    place(chromiumSystem(), "{");
    EXPECT_EQ(report().status, 1) << "a broken manifest is reported as a fault";
}

TEST_F(Machine, TheReportListsTheOriginsThatMaySignAndTheLinesIgnored) {
    std::vector<std::string> lines;
    bridge::runCheck(root(), &lines);
    EXPECT_EQ(lines.back(), "origins: none may sign yet; add the bank's origin (https://...) to " + root() +
                                "/etc/ombrel-bridge/allowed-origins or " + root() +
                                "/home/.config/ombrel-bridge/allowed-origins");
    fs::create_directories(root_ / "etc/ombrel-bridge");
    std::ofstream(root_ / "etc/ombrel-bridge/allowed-origins")
        << "# bank\nhttps://Bank.Example/\nhttp://plain.example\n";
    lines.clear();
    bridge::runCheck(root(), &lines);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2],
              "origins: https://bank.example may sign (" + root() + "/etc/ombrel-bridge/allowed-origins:2)");
    EXPECT_EQ(lines[3],
              "origins: " + root() +
                  "/etc/ombrel-bridge/allowed-origins:3: \"http://plain.example\" is ignored: only https "
                  "pages may sign");
}

TEST_F(Machine, AnAllowListThatCannotBeReadOrTrustedIsReportedWithItsReason) {
    fs::create_directories(root_ / "home/.config/ombrel-bridge");
    const std::string fifo = root() + "/home/.config/ombrel-bridge/allowed-origins";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> lines;
    bridge::runCheck(root(), &lines);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "origins: cannot read " + fifo + ": not a regular file; nothing in it may sign");
    EXPECT_EQ(lines[3].rfind("origins: none may sign yet", 0), 0u);

    // A system list anyone may write: its origin may not sign, and the check says why.
    fs::create_directories(root_ / "etc/ombrel-bridge");
    const std::string system = root() + "/etc/ombrel-bridge/allowed-origins";
    std::ofstream(system) << "https://bank.example\n";
    ::chmod(system.c_str(), 0666);
    lines.clear();
    bridge::runCheck(root(), &lines);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "origins: " + system + " is not trusted: the file " + system +
                            " can be written by others (mode 0666); nothing in it may sign");
    EXPECT_EQ(lines[4].rfind("origins: none may sign yet", 0), 0u);
}

// The manifests this build generates for installing, judged by the check on
// a staged install, and the extension's ids they carry.
TEST_F(Machine, TheGeneratedManifestsAreWhatEachBrowserAccepts) {
    for (const bridge::HostProgram& host : {bridge::kSigningHost, bridge::kFieldHost}) {
        SCOPED_TRACE(host.name);
        const std::string file = std::string("/") + host.name + ".json";
        const json chromium = readJson(GENERATED_MANIFESTS "/install/chromium" + file);
        const json firefox = readJson(GENERATED_MANIFESTS "/install/firefox" + file);
        EXPECT_EQ(chromium["allowed_origins"], json::array({kChromiumOrigin}));
        EXPECT_FALSE(chromium.contains("allowed_extensions"));
        EXPECT_EQ(firefox["allowed_extensions"], json::array({kFirefoxId}));
        const std::string installed = INSTALLED_BINDIR "/" + std::string(host.package);
        EXPECT_EQ(chromium["path"], installed);
        EXPECT_EQ(firefox["path"], installed);
        EXPECT_EQ(readJson(GENERATED_MANIFESTS "/build/chromium" + file)["path"],
                  BUILT_BINDIR "/" + std::string(host.package));

        program(installed, 0755);
        place(chromiumSystem(), chromium.dump(), host.name);
        place(firefoxSystem(), firefox.dump(), host.name);
        EXPECT_EQ(check(kChromium, host).state, CheckLine::State::Ok) << check(kChromium, host).text;
        EXPECT_EQ(check(kFirefox, host).state, CheckLine::State::Ok) << check(kFirefox, host).text;
    }
}

TEST(Extension, ItsManifestCarriesTheIdsTheHostManifestsAllow) {
    const json manifest = readJson(EXTENSION_DIR "/manifest.json");
    EXPECT_EQ(manifest["browser_specific_settings"]["gecko"]["id"], kFirefoxId);
    // Chromium's id: the first 128 bits of the SHA-256 of the public key, in
    // hexadecimal written with the letters a to p.
    const std::string key = manifest["key"];
    std::vector<unsigned char> der(key.size());
    const int length = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(key.data()),
                                       static_cast<int>(key.size()));
    ASSERT_GT(length, 0);
    const size_t padding = std::count(key.end() - 2, key.end(), '=');
    unsigned char digest[32];
    unsigned int digestLength = 0;
    ASSERT_EQ(EVP_Digest(der.data(), length - padding, digest, &digestLength, EVP_sha256(), nullptr), 1);
    std::string id;
    for (int i = 0; i < 16; ++i) {
        id += static_cast<char>('a' + (digest[i] >> 4));
        id += static_cast<char>('a' + (digest[i] & 0xF));
    }
    EXPECT_EQ(id, OMBREL_BRIDGE_CHROMIUM_ID);
    // Both browsers' background keys, so one folder serves both.
    EXPECT_TRUE(manifest["background"].contains("service_worker"));
    EXPECT_TRUE(manifest["background"].contains("scripts"));
    EXPECT_EQ(manifest["permissions"], json::array({"nativeMessaging"}));
}

TEST_F(Machine, TheProgramsCheckOptionPrintsTheReportAndItsStatus) {
    // The password field's host judges its own manifest, not the signing one's.
    const auto field = kpsim::testing::runProgram(VARNEX_BRIDGE, {"--check", "--root", root()});
    EXPECT_EQ(field.status, 1) << field.out;
    EXPECT_NE(field.out.find("no varnex_bridge.json in"), std::string::npos) << field.out;
    EXPECT_NE(field.out.find("install the package varnex-bridge"), std::string::npos) << field.out;
    place(firefoxSystem(), manifest(kFirefox).dump());
    const auto result = kpsim::testing::runProgram(OMBREL_BRIDGE, {"--check", "--root", root()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.rfind("chromium: not found: ", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("\nfirefox: ok: " + firefoxSystem()), std::string::npos) << result.out;
    EXPECT_EQ(kpsim::testing::runProgram(OMBREL_BRIDGE, {"--check", "--root"}).status, 2);
    fs::remove_all(firefoxSystem());
    EXPECT_EQ(kpsim::testing::runProgram(OMBREL_BRIDGE, {"--check", "--root", root()}).status, 1);
}

}  // namespace
