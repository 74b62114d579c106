// The one walk of a name list, on hand-made buffers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "token/NameList.h"

namespace {

using Names = std::vector<std::string>;

TEST(NameList, EndsAtTheEmptyNameTheLengthOrTheBuffersEnd) {
    struct Case {
        std::string buffer;  // exactly `capacity` bytes are handed over
        uint32_t reported;
        Names names;
        bool endedAtEmptyName;
    } cases[] = {
        {std::string("A\0B\0\0", 5), 5, {"A", "B"}, true},
        {std::string("A\0B\0\0", 5), 4, {"A", "B"}, true},   // the empty name lies past the length
        {std::string("A\0B\0C\0", 6), 2, {"A"}, false},      // the length ends the list
        {std::string("A\0BC\0", 5), 3, {"A", "BC"}, false},  // a name runs on to its NUL
        {std::string("\0A\0", 3), 3, {}, true},              // an empty first name: no names
        {std::string("A\0BC\0", 5), 5, {"A", "BC"}, false},  // the last NUL on the last byte: an exact fit
        {std::string("A\0BCD", 5), 5, {"A"}, false},         // "BCD" was cut off by the buffer's end
        {std::string("\0", 1), 1, {}, true},                 // the smallest list
        {std::string("A\0BCD", 5), 900, {"A"}, false},       // a length beyond the buffer changes nothing
        {std::string("ABCDE", 5), 5, {}, false},
        {std::string("A\0", 2), 0, {}, false},
    };
    for (const auto& c : cases) {
        token::NameListWalk walk(c.buffer.data(), c.reported, static_cast<uint32_t>(c.buffer.size()));
        Names names;
        for (std::string_view name; walk.next(&name);) names.emplace_back(name);
        EXPECT_EQ(names, c.names) << c.reported;
        EXPECT_EQ(walk.endedAtEmptyName(), c.endedAtEmptyName) << c.reported;
        EXPECT_EQ(token::nameList(c.buffer.data(), c.reported, static_cast<uint32_t>(c.buffer.size())),
                  c.names);
    }
    EXPECT_TRUE(token::nameList(nullptr, 10, 10).empty());
}

}  // namespace
