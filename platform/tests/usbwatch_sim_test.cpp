// The simulated bus, driven by writing the simulator's state file by hand the
// way the simulator does (temporary file, then rename over keys.json).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/usbwatch.h"
#include "platform/usbwatch_backend.h"
#include "scoped_env.h"
#include "watch_events.h"

namespace {

namespace fs = std::filesystem;
using watchtest::ScopedEnv;
using watchtest::WatchRunner;
using Events = std::vector<std::string>;

constexpr uint16_t kVendorA = 0xD449;
constexpr uint16_t kVendorB = 0x6A9F;

std::string key(const std::string& name, bool plugged, int vendor = kVendorA, int product = 4,
                int plugs = 1) {
    return "{\"name\":\"" + name + "\",\"plugged\":" + (plugged ? "true" : "false") +
           ",\"vendor\":" + std::to_string(vendor) + ",\"product\":" + std::to_string(product) +
           ",\"plug_count\":" + std::to_string(plugs) + ",\"pcode\":20244,\"reader\":\"QDV " + name + "\"}";
}

class SimBus : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/usbwatch-sim-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        env_ = std::make_unique<ScopedEnv>("KEYSIM_DIR", dir_.c_str());
        backend_ = std::make_unique<ScopedEnv>("QD_USB_BACKEND", "sim");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void writeRaw(const std::string& content) {
        std::string tmp = dir_ + "/keys.json.tmp";
        {
            std::ofstream out(tmp, std::ios::trunc);
            out << content;
        }
        ASSERT_EQ(std::rename(tmp.c_str(), (dir_ + "/keys.json").c_str()), 0);
    }
    void writeKeys(const std::vector<std::string>& keys) {
        std::string body = "{\"keys\":[";
        for (size_t i = 0; i < keys.size(); ++i) body += (i ? "," : "") + keys[i];
        writeRaw(body + "]}");
    }

    std::string dir_;
    std::unique_ptr<ScopedEnv> env_, backend_;
};

TEST_F(SimBus, PresentKeysOnceThenPlugAndUnplugOfMatchingKeysOnly) {
    writeKeys({key("a", true), key("b", true, kVendorB), key("c", false), key("d", true, kVendorA, 5)});
    WatchRunner watch(kVendorA, 4);
    watch.start();
    EXPECT_EQ(watch.waitForEvents(1), Events({"+a"}));

    // Same plugged set rewritten, a foreign key plugged: nothing. The next
    // real change must be the very next event.
    writeKeys({key("a", true), key("b", true, kVendorB), key("c", false), key("d", true, kVendorA, 5),
               key("e", true, kVendorB)});
    writeKeys({key("a", true), key("c", true)});
    EXPECT_EQ(watch.waitForEvents(2), Events({"+a", "+c"}));

    writeKeys({key("a", false), key("c", true)});
    EXPECT_EQ(watch.waitForEvents(3), Events({"+a", "+c", "-a"}));

    // A key's vendor changed while plugged: it is no longer ours.
    writeKeys({key("a", false), key("c", true, kVendorB)});
    EXPECT_EQ(watch.waitForEvents(4), Events({"+a", "+c", "-a", "-c"}));

    // Unplugged and plugged again between two reads: both are reported.
    writeKeys({key("a", true, kVendorA, 4, 5)});
    EXPECT_EQ(watch.waitForEvents(5).size(), 5u);
    writeKeys({key("a", true, kVendorA, 4, 6)});
    EXPECT_EQ(watch.waitForEvents(7), Events({"+a", "+c", "-a", "-c", "+a", "-a", "+a"}));

    EXPECT_TRUE(watch.stop());
    EXPECT_EQ(watch.events().size(), 7u);
    EXPECT_EQ(watch.callbackThread(), watch.runThread());

    auto devices = watch.devices();
    ASSERT_EQ(devices.size(), 7u);
    EXPECT_EQ(devices[0].name, "USB Key a");
    EXPECT_EQ(devices[0].vendorId, kVendorA);
    EXPECT_EQ(devices[0].productId, 4);
    // The removal carries what the arrival reported, location included.
    EXPECT_EQ(devices[2].locationId, devices[0].locationId);
    EXPECT_NE(devices[0].locationId, devices[1].locationId);
}

TEST_F(SimBus, PresentKeysComeBeforeTheMarkAndLaterArrivalsAfterIt) {
    writeKeys({key("a", true), key("b", true)});
    WatchRunner watch(kVendorA, 4);
    watch.markPresentReported();
    watch.start();
    EXPECT_EQ(watch.waitForEvents(3), Events({"+a", "+b", "="}));
    writeKeys({key("a", true), key("b", true), key("c", true)});
    EXPECT_EQ(watch.waitForEvents(4), Events({"+a", "+b", "=", "+c"}));
}

// Ids at their edges: only the watched pair arrives. Each neighbour, both
// wrong at once, an id above 16 bits (not cut down to the watched one) and a
// vendor written as a fraction are not it; the largest ids are watched as
// any other.
TEST_F(SimBus, OnlyTheWatchedIdsArriveAtTheirEdges) {
    writeKeys({key("v-1", true, kVendorA - 1), key("v+1", true, kVendorA + 1), key("p3", true, kVendorA, 3),
               key("p5", true, kVendorA, 5), key("both", true, kVendorA + 1, 5),
               key("v17", true, kVendorA + 0x10000), key("p17", true, kVendorA, 4 + 0x10000),
               "{\"name\":\"float\",\"plugged\":true,\"vendor\":54345.0,\"product\":4}",
               key("max", true, 0xFFFF, 0xFFFF), key("max17", true, 0x1FFFF, 0xFFFF), key("ok", true)});
    WatchRunner watch(kVendorA, 4);
    watch.markPresentReported();
    watch.start();
    EXPECT_EQ(watch.waitForEvents(2), Events({"+ok", "="}));
    WatchRunner largest(0xFFFF, 0xFFFF);
    largest.markPresentReported();
    largest.start();
    EXPECT_EQ(largest.waitForEvents(2), Events({"+max", "="}));
}

TEST_F(SimBus, DamagedOrMissingFileMeansNoKeyAndOneDiagnostic) {
    writeKeys({key("s", true)});
    testing::internal::CaptureStderr();
    WatchRunner watch(kVendorA, 4);
    watch.start();
    ASSERT_EQ(watch.waitForEvents(1), Events({"+s"}));
    writeRaw("{\"keys\":[{\"name\":\"s\",\"plugged\":tr");
    ASSERT_EQ(watch.waitForEvents(2), Events({"+s", "-s"}));

    // Badly typed fields lose only their own key.
    writeKeys({"{\"name\":\"x\",\"plugged\":\"yes\",\"vendor\":54345,\"product\":4}",
               "{\"name\":\"y\",\"plugged\":true,\"vendor\":\"0xd449\",\"product\":4}",
               "{\"name\":\"z\",\"plugged\":true,\"vendor\":-1,\"product\":4}", "17", key("a", true)});
    EXPECT_EQ(watch.waitForEvents(3), Events({"+s", "-s", "+a"}));

    writeRaw("[1,2,3]");
    EXPECT_EQ(watch.waitForEvents(4), Events({"+s", "-s", "+a", "-a"}));
    writeRaw("not json at all");
    writeKeys({key("b", true)});
    EXPECT_EQ(watch.waitForEvents(5), Events({"+s", "-s", "+a", "-a", "+b"}));

    ASSERT_TRUE(fs::remove(dir_ + "/keys.json"));
    EXPECT_EQ(watch.waitForEvents(6), Events({"+s", "-s", "+a", "-a", "+b", "-b"}));
    EXPECT_TRUE(watch.stop());

    std::string diagnostics = testing::internal::GetCapturedStderr();
    size_t damaged = 0;
    for (size_t pos = 0; (pos = diagnostics.find("damaged", pos)) != std::string::npos; ++pos) ++damaged;
    // The cut-off file and "[1,2,3]"; the second bad write in a row says nothing new.
    EXPECT_EQ(damaged, 2u) << diagnostics;
    EXPECT_NE(diagnostics.find("No such file"), std::string::npos) << diagnostics;
}

TEST_F(SimBus, MissingFolderIsCreated) {
    std::string nested = dir_ + "/not/yet";
    ScopedEnv env("KEYSIM_DIR", nested.c_str());
    WatchRunner watch(kVendorB, 4);
    watch.start();
    // Nothing to sync on but the folder itself appearing.
    for (int i = 0; i < 1000 && !fs::is_directory(nested); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::is_directory(nested));
    std::string tmp = nested + "/k.tmp";
    std::ofstream(tmp) << "{\"keys\":[" << key("b", true, kVendorB) << "]}";
    ASSERT_EQ(std::rename(tmp.c_str(), (nested + "/keys.json").c_str()), 0);
    EXPECT_EQ(watch.waitForEvents(1), Events({"+b"}));
}

TEST_F(SimBus, UnusableFolderFailsRunWithTheCall) {
    std::string file = dir_ + "/plain";
    std::ofstream(file) << "x";
    ScopedEnv env("KEYSIM_DIR", file.c_str());
    platform::UsbWatch watch(
        kVendorA, 4, [](const platform::UsbDevice&) {}, [](const platform::UsbDevice&) {});
    std::string error;
    EXPECT_FALSE(watch.run(&error));
    EXPECT_NE(error.find("mkdir"), std::string::npos) << error;
}

TEST_F(SimBus, StopFromAnotherThreadAndBeforeRun) {
    WatchRunner watch(kVendorA, 4);
    watch.start();
    watch.requestStop();
    std::string error;
    EXPECT_EQ(watch.waitForReturn(&error), std::optional<bool>(true)) << error;

    writeKeys({key("a", true)});
    int arrivals = 0;
    platform::UsbWatch early(
        kVendorA, 4, [&](const platform::UsbDevice&) { ++arrivals; }, [](const platform::UsbDevice&) {});
    early.stop();
    EXPECT_TRUE(early.run(&error));
    EXPECT_EQ(arrivals, 0);
}

TEST(UsbWatchBackend, SelectionByEnvironment) {
    {
        ScopedEnv env("QD_USB_BACKEND", nullptr);
        EXPECT_EQ(platform::UsbWatch::backendName(), "udev");
    }
    {
        ScopedEnv env("QD_USB_BACKEND", "");
        EXPECT_EQ(platform::UsbWatch::backendName(), "udev");
    }
    ScopedEnv env("QD_USB_BACKEND", "usbfs");
    EXPECT_EQ(platform::UsbWatch::backendName(), "usbfs");
    platform::UsbWatch watch(
        kVendorA, 4, [](const platform::UsbDevice&) {}, [](const platform::UsbDevice&) {});
    std::string error;
    EXPECT_FALSE(watch.run(&error));
    EXPECT_NE(error.find("QD_USB_BACKEND=\"usbfs\""), std::string::npos) << error;
}

TEST(UsbWatchHelpers, LocationIdFromBusAndPorts) {
    struct Case {
        unsigned bus;
        const char* ports;
        uint32_t expected;
    } cases[] = {
        {1, "2", 0x01200000},
        {1, "2.3", 0x01230000},
        {20, "1.4.2", 0x14142000},
        {3, "0", 0x03000000},
        {3, "", 0x03000000},
        {1, "1.2.3.4.5.6", 0x01123456},
        {1, "1.2.3.4.5.6.7", 0x01123456},  // too deep: cut, not spilled into the bus byte
        {1, "16.2", 0x01F20000},
        {0x1FF, "1", 0xFF100000},
        {2, "1.x", 0x02100000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::locationIdFromPath(c.bus, c.ports), c.expected) << c.bus << " " << c.ports;
}

TEST(UsbWatchHelpers, ProductPropertyAndHexIds) {
    auto p = platform::parseProductProperty("d449/4/100");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->vendorId, 0xD449);
    EXPECT_EQ(p->productId, 4);
    p = platform::parseProductProperty("6A9F/0004");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->vendorId, 0x6A9F);
    for (const char* bad : {"", "d449", "d449/", "/4/1", "xyz/4/1", "1d449/4/1", "d449/-4/1", "d449 4 1"})
        EXPECT_FALSE(platform::parseProductProperty(bad)) << bad;
    EXPECT_EQ(platform::parseHexId("0004\n"), std::optional<uint16_t>(4));
    EXPECT_FALSE(platform::parseHexId("0x04"));
    EXPECT_FALSE(platform::parseHexId("10000"));
}

}  // namespace
