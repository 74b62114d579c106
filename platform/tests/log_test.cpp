#include "platform/log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(Log, OneLineEachWithExactlyOneNewline) {
    CaptureStderr();
    platform::logLine("Starting run loop.");
    platform::logLine("deviceName: \n");
    platform::systemLog("设备插入");
    platform::logLinef("Location ID: 0x%x", 0x14100000u);
    // A '%' in a plain line is text, not a format (syslog gets it the same way).
    platform::systemLog("100% sure");
    platform::systemLogf("load dylib %s!", "fail");
    EXPECT_EQ(GetCapturedStderr(),
              "Starting run loop.\ndeviceName: \n设备插入\nLocation ID: 0x14100000\n100% sure\n"
              "load dylib fail!\n");
}

TEST(Log, LongFormattedLineIsNotCut) {
    std::string big(10000, 'k');
    CaptureStderr();
    platform::logLinef("<%s>", big.c_str());
    EXPECT_EQ(GetCapturedStderr(), "<" + big + ">\n");
}

}  // namespace
