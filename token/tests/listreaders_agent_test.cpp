// The key agent's KpListReaders (token_agent): a plain wrapper, the
// library's own result and list passed through unfiltered. And the device
// session both bindings share, against the strict simulator: whatever it
// holds is released, once.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/token/keysim_gtest.h"
#include "token/Func_init.h"
#include "token/Session.h"

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

// Each row opens a session, begins `begins` times and closes it twice; the
// strict simulator notes a release of a handle twice, a handle it never
// handed out, and a disconnect inside a transaction.
TEST_F(AgentListReaders, SessionReleasesWhatItHoldsOnce) {
    addKey("bank", KP_PCODE_BANK);
    struct Row {
        const char* what;
        const char* reader;
        int begins;
        uint32_t connect;
        uint32_t lastBegin;
    };
    const Row rows[] = {
        {"connected only", "USBQdvKey bank", 0, 0, 0},
        {"holding the transaction", "USBQdvKey bank", 1, 0, 0},
        {"a second begin refused, the first still held", "USBQdvKey bank", 2, 0, 0x8800000Bu},
        {"no such reader: nothing to begin or release", "USBQdvKey none", 1, 0x88000002u,
         KP_STATUS_UNAVAILABLE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        {
            token::Session session(row.reader);
            EXPECT_EQ(session.connectStatus(), row.connect);
            EXPECT_EQ(session.open(), row.connect == 0);
            uint32_t begin = 0;
            for (int i = 0; i < row.begins; ++i) begin = session.begin();
            EXPECT_EQ(begin, row.lastBegin);
            EXPECT_EQ(session.close(), 0u);
            EXPECT_FALSE(session.open());
            EXPECT_EQ(session.handle(), nullptr);
            EXPECT_EQ(session.close(), 0u);
        }
        kpsim::testing::expectNothingLeftOpen(row.what);
    }
    // Left to its destructor, a held transaction is ended and the handle released.
    {
        token::Session session("USBQdvKey bank");
        ASSERT_EQ(session.begin(), 0u);
    }
    kpsim::testing::expectNothingLeftOpen("after a session left to its destructor");
}

}  // namespace
