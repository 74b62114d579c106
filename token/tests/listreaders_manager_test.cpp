// The key manager's KpListReaders (token_manager): filtering by PCODE,
// against the simulated keys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/token/keysim_gtest.h"
#include "token/Func_init.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr unsigned char kPattern = 0xAA;

class ManagerListReaders : public testing::Test {
protected:
    void SetUp() override {
        Func_Finalize();
        ASSERT_EQ(Func_Init(kpsim::testing::libraryPath().c_str()), 0);
        std::memset(buffer_, kPattern, sizeof buffer_);
    }
    void TearDown() override { Func_Finalize(); }

    // A plugged key named `name` (reader "USBQdvKey <name>") with this PCODE.
    void addKey(const std::string& name, uint32_t pcode = KP_PCODE_BANK, const std::string& fault = "none") {
        keys_.keysim({"create", name});
        if (pcode != KP_PCODE_BANK) keys_.keysim({"set", name, "pcode", std::to_string(pcode)});
        if (fault != "none") keys_.keysim({"set", name, "fault", fault});
        keys_.keysim({"plug", name});
    }

    uint32_t list(uint32_t capacity) {
        len_ = capacity;
        count_ = 30;
        CaptureStdout();
        uint32_t status = KpListReaders(buffer_, &len_, &count_);
        stdout_ = GetCapturedStdout();
        return status;
    }

    // The caller's buffer from `from` on still holds the pattern.
    bool untouchedFrom(size_t from) const {
        for (size_t i = from; i < sizeof buffer_; ++i) {
            if (static_cast<unsigned char>(buffer_[i]) != kPattern) return false;
        }
        return true;
    }

    kpsim::testing::CheckedKeys keys_;
    char buffer_[2048];
    uint32_t len_ = 0;
    uint32_t count_ = 0;
    std::string stdout_;
};

TEST_F(ManagerListReaders, NullLengthFailsWithoutCallingTheLibrary) {
    // Were the library called, its status (from the key's fault) would come back.
    addKey("a", KP_PCODE_BANK, "status:0xE0001234");
    uint32_t count = 30;
    CaptureStdout();
    EXPECT_EQ(KpListReaders(buffer_, nullptr, &count), 0xFFFFFFFFu);
    EXPECT_EQ(GetCapturedStdout(),
              "KpListReaders error params,pdwReaderNameLen == NULL || *pdwReaderNameLen == 0!");
    EXPECT_EQ(count, 30u);
    EXPECT_TRUE(untouchedFrom(0));
}

TEST_F(ManagerListReaders, CapacityZeroFailsWithoutCallingTheLibrary) {
    addKey("a", KP_PCODE_BANK, "status:0xE0001234");
    EXPECT_EQ(list(0), 0xFFFFFFFFu);
    EXPECT_EQ(stdout_, "KpListReaders error params,pdwReaderNameLen == NULL || *pdwReaderNameLen == 0!");
    EXPECT_EQ(len_, 0u);
    EXPECT_EQ(count_, 30u);
    EXPECT_TRUE(untouchedFrom(0));
}

TEST_F(ManagerListReaders, NoKey) {
    EXPECT_EQ(list(1024), 0u);
    EXPECT_EQ(count_, 0u);
    EXPECT_EQ(len_, 0u);
    EXPECT_TRUE(untouchedFrom(0));
}

TEST_F(ManagerListReaders, OneBankKey) {
    addKey("a");
    EXPECT_EQ(list(1024), 0u);
    EXPECT_EQ(stdout_, "");
    EXPECT_EQ(count_, 1u);
    const std::string name = "USBQdvKey a";
    EXPECT_EQ(len_, name.size() + 1);
    EXPECT_EQ(std::string(buffer_, len_), name + '\0');
    EXPECT_TRUE(untouchedFrom(len_));
}

TEST_F(ManagerListReaders, UnpluggedKeysAreNotListed) {
    addKey("a");
    keys_.keysim({"create", "b"});  // never plugged
    addKey("c");
    keys_.keysim({"unplug", "c"});
    EXPECT_EQ(list(1024), 0u);
    EXPECT_EQ(count_, 1u);
    EXPECT_EQ(std::string(buffer_, len_), std::string("USBQdvKey a") + '\0');
}

TEST_F(ManagerListReaders, SeveralBankKeysAreAllKept) {
    addKey("a");
    addKey("b");
    addKey("c");
    EXPECT_EQ(list(1024), 0u);
    EXPECT_EQ(count_, 3u);
    EXPECT_EQ(std::string(buffer_, len_), std::string("USBQdvKey a\0USBQdvKey b\0USBQdvKey c\0", 36));
}

// A key of another PCODE anywhere in the list: 34, the caller's buffer,
// length and count exactly as they were.
class ForeignKey : public ManagerListReaders, public testing::WithParamInterface<int> {};

TEST_P(ForeignKey, AnywhereInTheListRefusesTheWholeList) {
    const int foreignAt = GetParam();
    for (int i = 0; i < 3; ++i) addKey("k" + std::to_string(i), i == foreignAt ? 20245 : KP_PCODE_BANK);
    EXPECT_EQ(list(1024), KP_STATUS_FOREIGN_KEY);
    EXPECT_EQ(len_, 1024u);
    EXPECT_EQ(count_, 30u);
    EXPECT_TRUE(untouchedFrom(0));
}

INSTANTIATE_TEST_SUITE_P(Position, ForeignKey, testing::Values(0, 1, 2));

// The filtering walk reads the library's list into 1024 bytes of its own.
// At its edges: the smallest name; a list of exactly 1024 bytes (names, their
// NULs and the final empty name) read whole; one byte more and the
// library's "buffer too small" (0x88000004) comes back, nothing copied. A
// walk that kept one byte less, or one more, fails a row.
struct ListEdge {
    const char* label;
    std::vector<size_t> readerLengths;
    uint32_t status;
};
void PrintTo(const ListEdge& e, std::ostream* os) { *os << e.label; }

class ListEdges : public ManagerListReaders, public testing::WithParamInterface<ListEdge> {};

TEST_P(ListEdges, PrivateBufferHoldsExactlyTheLargestList) {
    std::string expected;
    char letter = 'a';
    for (size_t length : GetParam().readerLengths) {
        const std::string name(1, letter);
        const std::string reader(length, letter++);
        addKey(name);
        keys_.keysim({"set", name, "reader", reader});
        expected += reader + '\0';
    }
    EXPECT_EQ(list(sizeof buffer_), GetParam().status);
    if (GetParam().status != 0) {
        EXPECT_TRUE(untouchedFrom(0));
        return;
    }
    EXPECT_EQ(count_, GetParam().readerLengths.size());
    EXPECT_EQ(len_, expected.size());
    EXPECT_EQ(std::string(buffer_, len_), expected);
    EXPECT_TRUE(untouchedFrom(len_));
}

INSTANTIATE_TEST_SUITE_P(Lengths, ListEdges,
                         testing::Values(ListEdge{"smallest name", {1}, 0},
                                         ListEdge{"exactly 1024 bytes", {255, 255, 255, 254}, 0},
                                         ListEdge{"1025 bytes", {255, 255, 255, 255}, 0x88000004u}),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(ManagerListReaders, UnconnectableReaderFirstIsLeftOut) {
    addKey("a", KP_PCODE_BANK, "connect:0xE0005678");
    addKey("b");
    EXPECT_EQ(list(1024), 0u);
    EXPECT_EQ(count_, 1u);
    EXPECT_EQ(std::string(buffer_, len_), std::string("USBQdvKey b") + '\0');
}

TEST_F(ManagerListReaders, ForeignKeyAloneGives34) {
    addKey("other", 1);
    EXPECT_EQ(list(1024), 34u);
    EXPECT_TRUE(untouchedFrom(0));
}

TEST_F(ManagerListReaders, UnconnectableReaderInTheMiddleIsLeftOut) {
    addKey("a");
    addKey("b", KP_PCODE_BANK, "connect:0x0BADC0DE");
    addKey("c");
    EXPECT_EQ(list(1024), 0u);  // the last reader was kept
    EXPECT_EQ(count_, 2u);
    EXPECT_EQ(std::string(buffer_, len_), std::string("USBQdvKey a\0USBQdvKey c\0", 24));
}

TEST_F(ManagerListReaders, UnconnectableReaderAtTheEndGivesItsStatus) {
    addKey("a");
    addKey("b", KP_PCODE_BANK, "connect:0x0BADC0DE");
    EXPECT_EQ(list(1024), 0x0BADC0DEu);
    EXPECT_EQ(count_, 1u);
    EXPECT_EQ(std::string(buffer_, len_), std::string("USBQdvKey a") + '\0');
}

TEST_F(ManagerListReaders, ReaderGoneAtTheEndGivesItsConnectStatus) {
    // As a key pulled out between the listing and the connect would.
    addKey("a");
    addKey("b", KP_PCODE_BANK, "connect:0x88000002");
    EXPECT_EQ(list(1024), 0x88000002u);
    EXPECT_EQ(count_, 1u);
}

TEST_F(ManagerListReaders, CopyIsCutToTheCapacityButTheLengthIsTheKeptLength) {
    addKey("a");
    addKey("b");
    EXPECT_EQ(list(5), 0u);
    EXPECT_EQ(count_, 2u);
    EXPECT_EQ(len_, 24u);  // larger than the capacity: callers rely on it
    EXPECT_EQ(std::string(buffer_, 5), "USBQd");
    EXPECT_TRUE(untouchedFrom(5));
}

TEST_F(ManagerListReaders, NullNamesBufferStillCountsAndMeasures) {
    addKey("a");
    uint32_t len = 1024, count = 0;
    EXPECT_EQ(KpListReaders(nullptr, &len, &count), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(len, 12u);
}

TEST_F(ManagerListReaders, NullCountPointerIsAllowed) {
    addKey("a");
    uint32_t len = 1024;
    EXPECT_EQ(KpListReaders(buffer_, &len, nullptr), 0u);
    EXPECT_EQ(len, 12u);
}

TEST_F(ManagerListReaders, LibraryStatusIsReturnedAtOnce) {
    addKey("a");
    addKey("b", KP_PCODE_BANK, "status:0xE0001234");
    EXPECT_EQ(list(1024), 0xE0001234u);
    EXPECT_EQ(len_, 1024u);
    EXPECT_EQ(count_, 30u);
    EXPECT_TRUE(untouchedFrom(0));
}

// Bad answers of the library: the walk stays inside the private buffer
// (AddressSanitizer would catch a read past it).
TEST_F(ManagerListReaders, OverlongReportedLengthStaysInsideTheBuffer) {
    addKey("a", KP_PCODE_BANK, "overlong");  // reports 1024 + 512 bytes
    addKey("b");
    EXPECT_EQ(list(1024), 0u);
    EXPECT_EQ(count_, 2u);
    EXPECT_EQ(std::string(buffer_, len_), std::string("USBQdvKey a\0USBQdvKey b\0", 24));
}

TEST_F(ManagerListReaders, UnterminatedListStaysInsideTheBuffer) {
    // "USBQdvKey a\0USBQdvKey b\0XXXX...X" filling all 1024 bytes, no NUL at the end.
    addKey("a", KP_PCODE_BANK, "unterminated");
    addKey("b");
    // The junk was cut off by the buffer's end: not a reader, so it is
    // neither connected nor its failure the result.
    EXPECT_EQ(list(1024), 0u);
    EXPECT_EQ(count_, 2u);
    // Walk stopped at the reported length, not at an empty name: one less.
    EXPECT_EQ(len_, 23u);
    EXPECT_EQ(std::string(buffer_, len_), std::string("USBQdvKey a\0USBQdvKey b", 23));
    EXPECT_TRUE(untouchedFrom(len_));
}

TEST_F(ManagerListReaders, UnterminatedListOfForeignKeyStillGives34) {
    addKey("a", KP_PCODE_BANK, "unterminated");
    addKey("b", 20245);
    EXPECT_EQ(list(1024), 34u);
    EXPECT_TRUE(untouchedFrom(0));
}

TEST_F(ManagerListReaders, SlowLibraryStillAnswers) {
    addKey("a", KP_PCODE_BANK, "slow:30");
    EXPECT_EQ(list(1024), 0u);
    EXPECT_EQ(count_, 1u);
}

}  // namespace
