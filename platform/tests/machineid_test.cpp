#include "platform/machineid.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "scoped_env.h"

namespace {

namespace fs = std::filesystem;
using watchtest::ScopedEnv;

// A machine of the test's own under QD_MACHINE_ROOT.
class FakeMachine : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("machineid-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
        env_ = std::make_unique<ScopedEnv>("QD_MACHINE_ROOT", root_.c_str());
    }
    void TearDown() override {
        env_.reset();
        fs::remove_all(root_);
    }
    void write(const std::string& path, const std::string& text) {
        const fs::path p = root_ / path.substr(1);
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    void routes(const std::string& rows) {
        write("/proc/net/route",
              "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n" + rows);
    }
    fs::path root_;
    std::unique_ptr<ScopedEnv> env_;
};

TEST_F(FakeMachine, MacComesFromTheDefaultRouteInterfaceWithTheLowestMetric) {
    routes(
        "lo\t0000007F\t00000000\t0001\t0\t0\t0\t000000FF\t0\t0\t0\n"
        "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "eth1\t0000A8C0\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n");
    write("/sys/class/net/eth0/address", "00:1a:2b:3c:4d:5e\n");
    write("/sys/class/net/wlan0/address", "aa:bb:cc:dd:ee:ff\n");
    const auto mac = platform::primaryMacAddress();
    ASSERT_TRUE(mac.has_value());
    EXPECT_EQ(*mac, (platform::MacAddress{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
}

TEST_F(FakeMachine, NoMacWithoutAnUpDefaultRouteOrAReadableAddress) {
    routes(
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"    // not a default route
        "eth1\t00000000\t0101A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n");  // default, but down
    write("/sys/class/net/eth0/address", "00:1a:2b:3c:4d:5e\n");
    write("/sys/class/net/eth1/address", "00:1a:2b:3c:4d:5f\n");
    EXPECT_FALSE(platform::primaryMacAddress().has_value());

    routes("eth2\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    EXPECT_FALSE(platform::primaryMacAddress().has_value());  // no address file
    write("/sys/class/net/eth2/address", "00:1a:2b:3c:4d\n");
    EXPECT_FALSE(platform::primaryMacAddress().has_value());  // malformed
    write("/sys/class/net/eth2/address", "00:1a:2b:3c:4d:5g\n");
    EXPECT_FALSE(platform::primaryMacAddress().has_value());
}

TEST_F(FakeMachine, SerialPrefersTheFirmwareAndSkipsItsPlaceholders) {
    write("/etc/machine-id", "0123456789abcdef0123456789abcdef\n");
    EXPECT_EQ(platform::platformSerialNumber(), "0123456789abcdef0123456789abcdef");
    for (const char* placeholder : {"Not Specified", "To Be Filled By O.E.M.", "  ", "0"}) {
        write("/sys/class/dmi/id/product_serial", std::string(placeholder) + "\n");
        EXPECT_EQ(platform::platformSerialNumber(), "0123456789abcdef0123456789abcdef") << placeholder;
    }
    write("/sys/class/dmi/id/product_serial", "VMW-4211 ABC\n");
    EXPECT_EQ(platform::platformSerialNumber(), "VMW-4211 ABC");

    const auto property = platform::platformSerialNumberProperty();
    ASSERT_TRUE(property.has_value());
    ASSERT_EQ(property->size(), 13u + 12u);
    EXPECT_EQ(std::string(property->begin(), property->begin() + 13), std::string(13, '\0'));
    EXPECT_EQ(std::string(property->begin() + 13, property->end()), "VMW-4211 ABC");
}

TEST_F(FakeMachine, NoSerialWhenNeitherSourceHasOne) {
    EXPECT_FALSE(platform::platformSerialNumber().has_value());
    EXPECT_FALSE(platform::platformSerialNumberProperty().has_value());
    write("/etc/machine-id", "\n");
    EXPECT_FALSE(platform::platformSerialNumber().has_value());
}

}  // namespace
