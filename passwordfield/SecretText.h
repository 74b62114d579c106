// Storage for typed characters (UTF-16 units) that never leaves a copy
// behind: growing moves the units to a new block and wipes the old one, and
// every block is wiped before it is released. Also a NUL-terminated byte text
// that wipes itself, for the UTF-8 forms handed to the encryption library.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <memory>
#include <string_view>

class SecretText {
public:
    explicit SecretText(size_t capacity = 0);
    ~SecretText();
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    char16_t at(size_t i) const { return units_[i]; }
    const char16_t* data() const { return units_.get(); }

    void insert(size_t pos, const char16_t* units, size_t count);
    void insert(size_t pos, char16_t unit) { insert(pos, &unit, 1); }
    void append(char16_t unit) { insert(size_, &unit, 1); }
    void remove(size_t pos, size_t count = 1);
    void clear();

private:
    void reserve(size_t capacity);

    std::unique_ptr<char16_t[]> units_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A NUL-terminated byte text in one block that is wiped on destruction.
class WipedBytes {
public:
    explicit WipedBytes(size_t length);
    ~WipedBytes();
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;

    char* data() { return bytes_.get(); }
    const char* c_str() const { return bytes_.get(); }
    size_t size() const { return length_; }
    std::string_view view() const { return {bytes_.get(), length_}; }

private:
    std::unique_ptr<char[]> bytes_;
    size_t length_;
};

// UTF-8 of UTF-16 units (a lone surrogate becomes U+FFFD), in a wiped block.
std::unique_ptr<WipedBytes> toUtf8(const char16_t* units, size_t count);
