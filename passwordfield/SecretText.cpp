#include "SecretText.h"

#include <cstring>

SecretText::SecretText(size_t capacity) { reserve(capacity); }

SecretText::~SecretText() { clear(); }

void SecretText::reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<char16_t[]> bigger(new char16_t[capacity]());
    if (size_ > 0) std::memcpy(bigger.get(), units_.get(), size_ * sizeof(char16_t));
    if (units_) OPENSSL_cleanse(units_.get(), capacity_ * sizeof(char16_t));
    units_ = std::move(bigger);
    capacity_ = capacity;
}

void SecretText::insert(size_t pos, const char16_t* units, size_t count) {
    if (pos > size_ || count == 0) return;
    if (size_ + count > capacity_) reserve((size_ + count) * 2);
    std::memmove(units_.get() + pos + count, units_.get() + pos, (size_ - pos) * sizeof(char16_t));
    std::memcpy(units_.get() + pos, units, count * sizeof(char16_t));
    size_ += count;
}

void SecretText::remove(size_t pos, size_t count) {
    if (pos >= size_) return;
    if (count > size_ - pos) count = size_ - pos;
    std::memmove(units_.get() + pos, units_.get() + pos + count, (size_ - pos - count) * sizeof(char16_t));
    size_ -= count;
    OPENSSL_cleanse(units_.get() + size_, count * sizeof(char16_t));
}

void SecretText::clear() {
    if (units_) OPENSSL_cleanse(units_.get(), capacity_ * sizeof(char16_t));
    size_ = 0;
}

WipedBytes::WipedBytes(size_t length) : bytes_(new char[length + 1]()), length_(length) {}

WipedBytes::~WipedBytes() { OPENSSL_cleanse(bytes_.get(), length_ + 1); }

std::unique_ptr<WipedBytes> toUtf8(const char16_t* units, size_t count) {
    auto codePointAt = [&](size_t& i) -> char32_t {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            const char32_t cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00);
            i += 2;
            return cp;
        }
        ++i;
        return (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u;
    };
    auto width = [](char32_t cp) -> size_t { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; };

    size_t length = 0;
    for (size_t i = 0; i < count;) length += width(codePointAt(i));
    auto out = std::make_unique<WipedBytes>(length);
    char* p = out->data();
    for (size_t i = 0; i < count;) {
        const char32_t cp = codePointAt(i);
        switch (width(cp)) {
            case 1:
                *p++ = static_cast<char>(cp);
                break;
            case 2:
                *p++ = static_cast<char>(0xC0 | (cp >> 6));
                *p++ = static_cast<char>(0x80 | (cp & 0x3F));
                break;
            case 3:
                *p++ = static_cast<char>(0xE0 | (cp >> 12));
                *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                *p++ = static_cast<char>(0x80 | (cp & 0x3F));
                break;
            default:
                *p++ = static_cast<char>(0xF0 | (cp >> 18));
                *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                *p++ = static_cast<char>(0x80 | (cp & 0x3F));
                break;
        }
    }
    return out;
}
