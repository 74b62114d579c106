// The key agent on the libudev backend, against umockdev's fake sysfs and
// uevents (the agent process inherits the testbed from this one): a key shows
// up as its USB device and one child per interface, and only the device is a
// key, so each plug launches once and each removal asks once.
#include <umockdev.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/tests/agent_harness.h"

namespace {

using namespace agenttest;

struct GFreeDeleter {
    void operator()(gchar* p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

class AgentOnUdev : public AgentTest {
protected:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload || !std::strstr(preload, "libumockdev-preload"))
            GTEST_FAIL() << "run this test under umockdev-wrapper";
        AgentTest::SetUp();
        setenv("QD_USB_BACKEND", "udev", 1);
        testbed_ = umockdev_testbed_new();  // sets UMOCKDEV_DIR, which the agent inherits
        ASSERT_NE(testbed_, nullptr);
        // The PCODE comes from the simulated token library whatever the bus.
        makeKey("bank");
        keysim({"plug", "bank"});
    }
    void TearDown() override {
        AgentTest::TearDown();
        if (testbed_) g_object_unref(testbed_);
    }

    // The key's USB device (sysfs attributes, and the PRODUCT property that
    // survives into the removal event) and its interface child, which
    // carries the key's PRODUCT too. Adding each sends its "add" event.
    struct UsbKey {
        std::string device, interface;
    };
    UsbKey addKey(const std::string& sysname) {
        UsbKey key;
        GText device(umockdev_testbed_add_device(
            testbed_, "usb", sysname.c_str(), nullptr, "idVendor", "d449", "idProduct", "0004", "product",
            "Key", "busnum", "1", "devpath", sysname.substr(2).c_str(), nullptr, "DEVTYPE", "usb_device",
            "PRODUCT", "d449/4/100", "BUSNUM", "1", nullptr));
        if (!device) return key;
        key.device = device.get();
        GText interface(umockdev_testbed_add_device(
            testbed_, "usb", (sysname + ":1.0").c_str(), device.get(), "bInterfaceClass", "0b", nullptr,
            "DEVTYPE", "usb_interface", "PRODUCT", "d449/4/100", "INTERFACE", "11/0/0", nullptr));
        if (interface) key.interface = interface.get();
        return key;
    }
    // The kernel removes the interface before the device.
    void remove(const UsbKey& key) {
        umockdev_testbed_uevent(testbed_, key.interface.c_str(), "remove");
        umockdev_testbed_uevent(testbed_, key.device.c_str(), "remove");
    }

    UMockdevTestbed* testbed_ = nullptr;
};

TEST_F(AgentOnUdev, AKeyWithItsInterfaceLaunchesOnceAndIsAskedToQuitOnce) {
    // Present at start, interface and all: no launch.
    const UsbKey present = addKey("1-2");
    ASSERT_FALSE(present.interface.empty());
    startAgent();
    waitUntilWatching();

    remove(present);
    ASSERT_TRUE(waitForOutput("DeviceDisappeared", 3));

    const UsbKey later = addKey("1-3");
    ASSERT_FALSE(later.interface.empty());
    ASSERT_TRUE(waitForManager("launch ", 1));
    remove(later);
    ASSERT_TRUE(waitForManager("term ", 1));
    EXPECT_EQ(folder_.terms().at(0), folder_.launches().at(0).pid);

    std::this_thread::sleep_for(kQuietPeriod);
    const auto lines = splitLines(output());
    // Start-up's arming calls (two each), then one arrival and two removals.
    EXPECT_EQ(countEqual(lines, "DeviceAppeared"), 3u) << output();
    EXPECT_EQ(countEqual(lines, "DeviceDisappeared"), 4u) << output();
    EXPECT_EQ(managerLog("launch ").size(), 1u);
    EXPECT_EQ(managerLog("term ").size(), 1u);
}

// By the time the removal event is read, the sysfs folders of the device and
// its interface have lost every attribute (umockdev needs their uevent file
// and subsystem link to send the event): the key still leaves, once.
TEST_F(AgentOnUdev, ARemovalAfterTheSysfsEntryIsGoneStillAsksTheManagerToQuit) {
    startAgent();
    waitUntilWatching();
    const UsbKey key = addKey("2-1");
    ASSERT_FALSE(key.interface.empty());
    ASSERT_TRUE(waitForManager("launch ", 1));

    const GText root(umockdev_testbed_get_root_dir(testbed_));
    for (const std::string& path : {key.interface, key.device}) {
        std::vector<fs::path> gone;
        for (const auto& entry : fs::directory_iterator(std::string(root.get()) + path)) {
            const auto name = entry.path().filename();
            if (name != "uevent" && name != "subsystem" && !entry.is_directory())
                gone.push_back(entry.path());
        }
        for (const auto& file : gone) ASSERT_TRUE(fs::remove(file)) << file;
    }
    remove(key);
    ASSERT_TRUE(waitForManager("term ", 1));
    std::this_thread::sleep_for(kQuietPeriod);
    EXPECT_EQ(countEqual(splitLines(output()), "DeviceDisappeared"), 3u) << output();
    EXPECT_EQ(managerLog("term ").size(), 1u);
}

}  // namespace
