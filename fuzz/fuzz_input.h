// Reading a fuzz input as a sequence of values, for the harnesses. Every
// read succeeds: past the end it gives zeros and empty texts, so a harness
// never has to check, and a short input is simply a run with fewer choices.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

// A harness's verdict: a broken expectation stops the run as a crash would,
// so libFuzzer keeps the input.
inline void require(bool ok) {
    if (!ok) std::abort();
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    bool flag() { return (byte() & 1) != 0; }
    // A count below `limit`, mostly small.
    uint32_t below(uint32_t limit) {
        const uint8_t b = byte();
        return limit == 0 ? 0 : (b < 224 ? b : u32()) % limit;
    }
    // Up to `max` bytes: a one-byte or four-byte length, then the bytes.
    std::string bytes(size_t max) {
        const uint8_t first = byte();
        size_t len = first < 0xF0 ? first : u32();
        len = std::min({len, max, size_ - pos_});
        std::string s(reinterpret_cast<const char*>(data_ + pos_), len);
        pos_ += len;
        return s;
    }
    // Everything not read yet.
    std::string rest() {
        std::string s(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
        pos_ = size_;
        return s;
    }
    bool empty() const { return pos_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// An Input over a copy of its own: what a fake library answers from long
// after the harness's call that handed the bytes over has returned. Neither
// copied nor moved, so the reader never points into another object's bytes.
class KeptInput : public Input {
public:
    KeptInput() : Input(nullptr, 0) {}
    KeptInput(const KeptInput&) = delete;
    KeptInput& operator=(const KeptInput&) = delete;

    // Replaces the bytes and reads them from the start.
    void load(const uint8_t* data, size_t size) {
        bytes_.assign(reinterpret_cast<const char*>(data), size);
        static_cast<Input&>(*this) = Input(reinterpret_cast<const uint8_t*>(bytes_.data()), bytes_.size());
    }

private:
    std::string bytes_;
};

}  // namespace fuzz
