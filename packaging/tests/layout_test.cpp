// A staged install (DESTDIR, fixture install_stage) holds every path the
// installed programs look for: the paths module's compiled defaults, the
// agent the login start files run, the host the browsers' manifests run,
// the plug-ins; and nothing of the simulators or of the token maker.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

class InstallLayout : public ::testing::Test {
protected:
    void SetUp() override {
        // The programs as installed: no override of a fixed path.
        for (const char* name : {"QD_TOKEN_LIBRARY", "QD_PKCS11_MODULE", "QD_CARROW_LIBRARY", "QD_BUNDLE_DIR",
                                 "QD_MANAGER_EXECUTABLE"})
            unsetenv(name);
        const char* stage = std::getenv("QD_STAGE");
        ASSERT_NE(stage, nullptr) << "QD_STAGE names the staged install";
        stage_ = stage;
        ASSERT_TRUE(fs::is_directory(stage_)) << stage_;
    }

    // An absolute path of the installed system, inside the stage.
    fs::path staged(const std::string& path) const {
        EXPECT_EQ(path.rfind('/', 0), 0u) << path << " is not absolute";
        return stage_ / fs::path(path).relative_path();
    }
    bool executable(const std::string& path) const {
        const fs::path p = staged(path);
        return fs::is_regular_file(p) && ::access(p.c_str(), X_OK) == 0;
    }
    // The value of `key=` in a unit or desktop entry file of the stage.
    std::string value(const std::string& file, const std::string& key) const {
        std::ifstream in(staged(file));
        EXPECT_TRUE(in) << file << " is not installed";
        for (std::string line; std::getline(in, line);)
            if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
        return {};
    }

    fs::path stage_;
};

TEST_F(InstallLayout, WhatTheProgramsLookForIsInstalledWhereTheyLook) {
    EXPECT_TRUE(executable(platform::managerExecutable())) << platform::managerExecutable();
    // Kelvane's tip picture and Carrow's countdown picture.
    for (const char* picture : {"QDChangepinSure.gif", "QDCountDown.gif"})
        EXPECT_TRUE(fs::is_regular_file(staged(platform::bundleResource(picture))))
            << platform::bundleResource(picture);
    EXPECT_TRUE(fs::is_regular_file(staged(platform::carrowLibraryPath()))) << platform::carrowLibraryPath();
    // The token maker's module loads Carrow from its own folder.
    EXPECT_EQ(fs::path(platform::carrowLibraryPath()).parent_path(),
              fs::path(platform::pkcs11ModulePath()).parent_path());
    for (const char* plugin : {"libvarnex.so", "libombrel.so"})
        EXPECT_TRUE(fs::is_regular_file(staged(std::string(QD_PLUGIN_DIR) + "/" + plugin))) << plugin;
}

TEST_F(InstallLayout, LoginStartFilesRunTheInstalledAgentFromTheBundle) {
    const std::string unit = std::string(QD_SYSTEMD_USER_UNIT_DIR) + "/marrowby.service";
    const std::string entry = std::string(QD_XDG_AUTOSTART_DIR) + "/marrowby.desktop";
    EXPECT_EQ(value(unit, "ExecStart"), QD_AGENT_PATH);
    EXPECT_EQ(value(entry, "Exec"), QD_AGENT_PATH);
    EXPECT_EQ(value(entry, "TryExec"), QD_AGENT_PATH);
    EXPECT_TRUE(executable(QD_AGENT_PATH)) << QD_AGENT_PATH;
    // Beside the key manager it launches, in the bundle.
    EXPECT_EQ(fs::path(QD_AGENT_PATH).parent_path(), fs::path(platform::managerExecutable()).parent_path());
    // Under systemd only the unit starts the agent.
    EXPECT_EQ(value(entry, "X-systemd-skip"), "true");
    EXPECT_EQ(value(entry, "X-GNOME-HiddenUnderSystemd"), "true");
    EXPECT_EQ(value(unit, "WantedBy"), "graphical-session.target");
}

// The menu entry a customer opens the key manager from: the installed key
// manager, an icon of every size desktops ask the hicolor theme for (a PNG
// of exactly that size, and the SVG), the AppStream data naming this entry,
// and the manual pages of the programs off the search path.
TEST_F(InstallLayout, MenuEntryStartsTheInstalledKeyManagerWithItsIcon) {
    const std::string entry = QD_DESKTOP_ENTRY_PATH;
    EXPECT_EQ(value(entry, "Exec"), platform::managerExecutable());
    EXPECT_EQ(value(entry, "TryExec"), platform::managerExecutable());
    const std::string icon = value(entry, "Icon");
    ASSERT_FALSE(icon.empty());
    const std::string theme = QD_ICON_THEME_DIR;
    EXPECT_TRUE(fs::is_regular_file(staged(theme + "/scalable/apps/" + icon + ".svg"))) << icon;
    for (unsigned size : {16u, 22u, 24u, 32u, 48u, 64u, 128u, 256u}) {
        const std::string dim = std::to_string(size) + "x" + std::to_string(size);
        std::ifstream png(staged(theme + "/" + dim + "/apps/" + icon + ".png"), std::ios::binary);
        ASSERT_TRUE(png) << dim << " icon missing";
        unsigned char header[24] = {};
        png.read(reinterpret_cast<char*>(header), sizeof header);
        const auto be32 = [&](int at) {
            return unsigned(header[at]) << 24 | unsigned(header[at + 1]) << 16 |
                   unsigned(header[at + 2]) << 8 | unsigned(header[at + 3]);
        };
        EXPECT_EQ(std::string(reinterpret_cast<char*>(header) + 1, 3), "PNG") << dim;
        EXPECT_EQ(be32(16), size) << dim << " icon's width";
        EXPECT_EQ(be32(20), size) << dim << " icon's height";
    }
    std::ifstream metainfo(staged(std::string(QD_METAINFO_DIR) + "/" + QD_APP_ID + ".metainfo.xml"));
    ASSERT_TRUE(metainfo);
    const std::string xml{std::istreambuf_iterator<char>(metainfo), {}};
    EXPECT_NE(
        xml.find("<launchable type=\"desktop-id\">" + fs::path(entry).filename().string() + "</launchable>"),
        std::string::npos);
    for (const std::string& program : {platform::managerExecutable(), std::string(QD_AGENT_PATH)})
        EXPECT_TRUE(fs::is_regular_file(
            staged(std::string(QD_MAN1_DIR) + "/" + fs::path(program).filename().string() + ".1.gz")))
            << program << " has no manual page";
}

TEST_F(InstallLayout, BrowserManifestsRunTheInstalledBridge) {
    // Each host's manifest, for each browser, runs that host.
    for (const char* dir : {QD_CHROMIUM_HOSTS_DIR, QD_FIREFOX_HOSTS_DIR}) {
        for (const std::string program : {"ombrel-bridge", "varnex-bridge"}) {
            std::string name = program;
            name[name.find('-')] = '_';
            SCOPED_TRACE(std::string(dir) + "/" + name + ".json");
            std::ifstream in(staged(std::string(dir) + "/" + name + ".json"));
            ASSERT_TRUE(in);
            const auto manifest = nlohmann::json::parse(in, nullptr, false);
            ASSERT_FALSE(manifest.is_discarded());
            EXPECT_EQ(manifest.value("name", ""), name);
            const std::string host = manifest.value("path", "");
            EXPECT_TRUE(executable(host)) << host;
            EXPECT_EQ(fs::path(host).filename(), program);
        }
    }
}

TEST_F(InstallLayout, NothingOfTheSimulatorsOrTheTokenMakerIsInstalled) {
    // Development tools, test data, and the token maker's own libraries.
    const std::set<std::string> foreign = {"keysim",
                                           "nphost",
                                           "qd-keyinfo",
                                           "qd-usbwatch",
                                           "carrow_demo",
                                           "dorn-encrypt",
                                           "dorn-decrypt",
                                           fs::path(platform::tokenLibraryPath()).filename().string(),
                                           fs::path(platform::pkcs11ModulePath()).filename().string()};
    std::vector<std::string> found;
    for (const auto& item : fs::recursive_directory_iterator(stage_)) {
        const std::string name = item.path().filename().string();
        if (foreign.count(name) || name.find("test") != std::string::npos ||
            item.path().extension() == ".a" || item.path().extension() == ".pem")
            found.push_back(item.path().string());
    }
    EXPECT_TRUE(found.empty()) << found.front();
}

}  // namespace
