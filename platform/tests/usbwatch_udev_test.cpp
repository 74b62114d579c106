// The libudev backend against a fake sysfs and fake uevents. Runs only under
// umockdev-wrapper, which redirects this process's libudev to the testbed.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/usbwatch.h"
#include "scoped_env.h"
#include "watch_events.h"

namespace {

using watchtest::ScopedEnv;
using watchtest::WatchRunner;
using Events = std::vector<std::string>;

struct GFreeDeleter {
    void operator()(gchar* p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

class UdevBus : public ::testing::Test {
protected:
    void SetUp() override {
        // Without the preload the watch would see the machine's real bus.
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload || !std::strstr(preload, "libumockdev-preload"))
            GTEST_FAIL() << "run this test under umockdev-wrapper";
        testbed_ = umockdev_testbed_new();
        ASSERT_NE(testbed_, nullptr);
    }
    void TearDown() override {
        if (testbed_) g_object_unref(testbed_);
    }

    // A USB device as the kernel shows it: sysfs attributes in lower-case
    // hex, and the PRODUCT property that survives into the removal event.
    std::string addKey(const char* sysname, const char* vid, const char* pid, const char* product,
                       const char* devpath, const char* busnum = "1") {
        // PRODUCT is written without leading zeros ("d449/4/100").
        char productProperty[32];
        std::snprintf(productProperty, sizeof productProperty, "%lx/%lx/100", std::stoul(vid, nullptr, 16),
                      std::stoul(pid, nullptr, 16));
        GText path(umockdev_testbed_add_device(testbed_, "usb", sysname, nullptr, "idVendor", vid,
                                               "idProduct", pid, "product", product, "busnum", busnum,
                                               "devpath", devpath, nullptr, "DEVTYPE", "usb_device",
                                               "PRODUCT", productProperty, "BUSNUM", busnum, nullptr));
        return path ? std::string(path.get()) : std::string();
    }

    // "+/sys/devices/.../1-2" -> "+1-2"
    static Events shortened(const Events& events) {
        Events out;
        for (const auto& e : events)
            out.push_back(e.find('/') == std::string::npos ? e : e.substr(0, 1) + e.substr(e.rfind('/') + 1));
        return out;
    }

    UMockdevTestbed* testbed_ = nullptr;
};

TEST_F(UdevBus, PresentDevicesThenLaterArrivalAndRemoval) {
    addKey("1-2", "d449", "0004", "QDV Key", "2");
    addKey("1-3", "d449", "0005", "Other product", "3");
    addKey("1-4", "6a9f", "0004", "Other vendor", "4");
    WatchRunner watch(0xD449, 4);
    watch.markPresentReported();
    watch.start();
    ASSERT_EQ(shortened(watch.waitForEvents(2)), Events({"+1-2", "="}));

    // A key plugged in later; the foreign one before it must stay silent, so
    // the key's arrival is the very next event.
    std::string foreign = addKey("2-1", "d449", "0104", "Not ours", "1", "2");
    std::string later = addKey("2-1.3", "d449", "0004", "", "1.3", "2");
    ASSERT_FALSE(later.empty());
    // A second add of the same device (as when the scan and the monitor both
    // see it) is one arrival.
    umockdev_testbed_uevent(testbed_, later.c_str(), "add");
    umockdev_testbed_uevent(testbed_, foreign.c_str(), "remove");
    umockdev_testbed_uevent(testbed_, later.c_str(), "change");
    umockdev_testbed_uevent(testbed_, later.c_str(), "remove");
    EXPECT_EQ(shortened(watch.waitForEvents(4)), Events({"+1-2", "=", "+2-1.3", "-2-1.3"}));
    EXPECT_TRUE(watch.stop());
    EXPECT_EQ(watch.events().size(), 4u);

    auto devices = watch.devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].name, "QDV Key");
    EXPECT_EQ(devices[0].locationId, 0x01200000u);
    EXPECT_EQ(devices[1].locationId, 0x02130000u);
    EXPECT_EQ(devices[1].name, "");
    EXPECT_EQ(devices[2].locationId, devices[1].locationId);
    EXPECT_EQ(devices[0].vendorId, 0xD449);
    EXPECT_EQ(devices[0].productId, 4);
    EXPECT_EQ(watch.callbackThread(), watch.runThread());
}

TEST_F(UdevBus, UnreadableAttributesFallBackToProductProperty) {
    addKey("3-2", "6a9f", "0004", "Present", "2", "3");
    WatchRunner watch(0x6A9F, 4);
    watch.start();
    ASSERT_EQ(shortened(watch.waitForEvents(1)), Events({"+3-2"}));
    // No attributes at all, only the uevent's properties, as for a device
    // that is already leaving: still recognised as ours, with an empty name.
    GText path(umockdev_testbed_add_device(testbed_, "usb", "3-1", nullptr, nullptr, "DEVTYPE", "usb_device",
                                           "PRODUCT", "6a9f/4/100", "BUSNUM", "3", nullptr));
    ASSERT_TRUE(path);
    umockdev_testbed_uevent(testbed_, path.get(), "remove");
    EXPECT_EQ(shortened(watch.waitForEvents(3)), Events({"+3-2", "+3-1", "-3-1"}));
    auto devices = watch.devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[1].locationId, 0x03100000u);
    EXPECT_EQ(devices[1].name, "");
}

// A key shows up on the bus as its device and one child per USB interface,
// each in subsystem usb with the key's PRODUCT in its uevent: only the device
// is the key, at start, on arrival and on removal.
TEST_F(UdevBus, InterfaceChildrenOfAKeyAreNotKeys) {
    const std::string present = addKey("1-2", "d449", "0004", "Present", "2");
    GText presentIface(umockdev_testbed_add_device(
        testbed_, "usb", "1-2:1.0", present.c_str(), "bInterfaceClass", "0b", nullptr, "DEVTYPE",
        "usb_interface", "PRODUCT", "d449/4/100", "INTERFACE", "11/0/0", nullptr));
    ASSERT_TRUE(presentIface);
    WatchRunner watch(0xD449, 4);
    watch.markPresentReported();
    watch.start();
    ASSERT_EQ(shortened(watch.waitForEvents(2)), Events({"+1-2", "="}));

    const std::string later = addKey("1-3", "d449", "0004", "Later", "3");
    GText laterIface(umockdev_testbed_add_device(testbed_, "usb", "1-3:1.0", later.c_str(), "bInterfaceClass",
                                                 "0b", nullptr, "DEVTYPE", "usb_interface", "PRODUCT",
                                                 "d449/4/100", "INTERFACE", "11/0/0", nullptr));
    ASSERT_TRUE(laterIface);
    umockdev_testbed_uevent(testbed_, later.c_str(), "add");
    umockdev_testbed_uevent(testbed_, laterIface.get(), "add");
    // The kernel removes the interfaces before the device.
    umockdev_testbed_uevent(testbed_, laterIface.get(), "remove");
    umockdev_testbed_uevent(testbed_, later.c_str(), "remove");
    umockdev_testbed_uevent(testbed_, presentIface.get(), "remove");
    umockdev_testbed_uevent(testbed_, present.c_str(), "remove");
    EXPECT_EQ(shortened(watch.waitForEvents(5)), Events({"+1-2", "=", "+1-3", "-1-3", "-1-2"}));
    EXPECT_TRUE(watch.stop());
    EXPECT_EQ(watch.events().size(), 5u);
}

// By the time the remove event is read, the device's sysfs attributes are
// gone already: the key still leaves, under the name it arrived with.
// (umockdev needs the folder's uevent file to send the event, so everything
// else in the folder goes.)
TEST_F(UdevBus, RemovalAfterTheSysfsAttributesAreGone) {
    const std::string path = addKey("4-1", "d449", "0004", "Going", "1", "4");
    WatchRunner watch(0xD449, 4);
    watch.start();
    ASSERT_EQ(shortened(watch.waitForEvents(1)), Events({"+4-1"}));
    const GText root(umockdev_testbed_get_root_dir(testbed_));
    const std::filesystem::path folder = std::string(root.get()) + path;
    for (const char* attribute : {"idVendor", "idProduct", "product", "busnum", "devpath"}) {
        ASSERT_TRUE(std::filesystem::remove(folder / attribute)) << folder / attribute;
    }
    umockdev_testbed_uevent(testbed_, path.c_str(), "remove");
    EXPECT_EQ(shortened(watch.waitForEvents(2)), Events({"+4-1", "-4-1"}));
    auto devices = watch.devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1].name, "Going");
    EXPECT_EQ(devices[1].locationId, devices[0].locationId);
}

// A stop asked for while the devices present at start are being reported
// (here by the first arrival's callback) ends the scan there, and run()
// returns as after any stop: true, nothing more reported.
TEST_F(UdevBus, StopDuringTheScanOfPresentDevicesEndsItCleanly) {
    addKey("5-1", "d449", "0004", "First", "1", "5");
    addKey("5-2", "d449", "0004", "Second", "2", "5");
    int arrivals = 0;
    std::unique_ptr<platform::UsbWatch> watch;
    watch = std::make_unique<platform::UsbWatch>(
        0xD449, 4,
        [&](const platform::UsbDevice&) {
            ++arrivals;
            watch->stop();
        },
        [](const platform::UsbDevice&) {});
    std::string error;
    EXPECT_TRUE(watch->run(&error)) << error;
    EXPECT_EQ(arrivals, 1);
}

TEST_F(UdevBus, StopReturnsRunFromAnotherThread) {
    WatchRunner watch(0xD449, 4);
    watch.start();
    watch.requestStop();
    std::string error;
    EXPECT_EQ(watch.waitForReturn(&error), std::optional<bool>(true)) << error;
    EXPECT_TRUE(watch.events().empty());
}

}  // namespace
