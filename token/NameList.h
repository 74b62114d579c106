// Name lists of the token device library (reader names from KpListReaders,
// container names from KpListContainers): NUL-terminated names laid end to
// end, ending at an empty name or at the reported length, whichever comes
// first.
//
// One walk for every reader of such a list (the filtering KpListReaders, the
// key manager, qd-keyinfo), so they all see the same names. It is bounded
// twice: never past the reported length and never past the buffer's
// capacity, whatever the library reports. A name whose NUL does not come
// before the capacity was cut off by the buffer's end: it is not a name.
//
// Thread safety: no state beyond the walk object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace token {

class NameListWalk {
public:
    // `buffer` holds at least `capacity` bytes: the capacity the library was
    // told of. `reported` is the length it wrote back.
    NameListWalk(const char* buffer, uint32_t reported, uint32_t capacity);

    // The next name; false at the end of the list.
    bool next(std::string_view* name);
    // True once the walk met the empty name that ends a list (rather than
    // the reported length or the capacity).
    bool endedAtEmptyName() const { return endedAtEmptyName_; }

private:
    const char* buffer_;
    uint32_t end_;
    uint32_t capacity_;
    uint32_t offset_ = 0;
    bool endedAtEmptyName_ = false;
};

// Every name of a list, in order.
std::vector<std::string> nameList(const char* buffer, uint32_t reported, uint32_t capacity);

}  // namespace token
