// The key agent's KpListReaders (token_agent): a plain wrapper, the
// library's own result and list passed through unfiltered.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/token/keysim_gtest.h"
#include "token/Func_init.h"

namespace {

class AgentListReaders : public testing::Test {
protected:
    void SetUp() override {
        Func_Finalize();
        ASSERT_EQ(Func_Init(kpsim::testing::libraryPath().c_str()), 0);
    }
    void TearDown() override { Func_Finalize(); }

    void addKey(const std::string& name, uint32_t pcode, const std::string& fault = "none") {
        keys_.keysim({"create", name});
        keys_.keysim({"set", name, "pcode", std::to_string(pcode)});
        if (fault != "none") keys_.keysim({"set", name, "fault", fault});
        keys_.keysim({"plug", name});
    }

    kpsim::testing::CheckedKeys keys_;
};

TEST_F(AgentListReaders, ForeignKeysArePassedThrough) {
    addKey("bank", KP_PCODE_BANK);
    addKey("other", 20245);
    char names[1024] = {};
    uint32_t len = sizeof names, count = 0;
    EXPECT_EQ(KpListReaders(names, &len, &count), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(names, len), std::string("USBQdvKey bank\0USBQdvKey other\0\0", 32));
}

TEST_F(AgentListReaders, CapacityZeroGoesToTheLibrary) {
    addKey("bank", KP_PCODE_BANK);
    uint32_t len = 0, count = 0;
    char names[4];
    std::memset(names, 0x55, sizeof names);
    EXPECT_EQ(KpListReaders(names, &len, &count), 0x88000004u);  // the simulator's "buffer too small"
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(names[0], 0x55);
}

TEST_F(AgentListReaders, BadAnswersArePassedThrough) {
    addKey("bank", KP_PCODE_BANK, "overlong");
    char names[1024] = {};
    uint32_t len = sizeof names, count = 0;
    EXPECT_EQ(KpListReaders(names, &len, &count), 0u);
    EXPECT_EQ(len, 1024u + 512u);
}

}  // namespace
