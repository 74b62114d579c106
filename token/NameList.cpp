#include "token/NameList.h"

#include <cstring>

namespace token {

NameListWalk::NameListWalk(const char* buffer, uint32_t reported, uint32_t capacity)
    : buffer_(buffer), end_(reported < capacity ? reported : capacity), capacity_(capacity) {}

bool NameListWalk::next(std::string_view* name) {
    if (buffer_ == nullptr || offset_ >= end_) return false;
    const char* at = buffer_ + offset_;
    if (*at == '\0') {
        endedAtEmptyName_ = true;
        return false;
    }
    const size_t len = strnlen(at, capacity_ - offset_);
    if (len == capacity_ - offset_) {
        offset_ = end_;  // cut off by the buffer's end
        return false;
    }
    *name = std::string_view(at, len);
    offset_ += static_cast<uint32_t>(len) + 1;
    if (offset_ < capacity_ && buffer_[offset_] == '\0') endedAtEmptyName_ = true;
    return true;
}

std::vector<std::string> nameList(const char* buffer, uint32_t reported, uint32_t capacity) {
    std::vector<std::string> names;
    NameListWalk walk(buffer, reported, capacity);
    for (std::string_view name; walk.next(&name);) names.emplace_back(name);
    return names;
}

}  // namespace token
