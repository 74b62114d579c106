// hex2Byte and data2HEXString against a plain model of their rules, and
// against each other: bytes to hex and back give the bytes again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../hex_digits.h"
#include "decoder.h"
#include "fuzz/fuzz_input.h"
#include "security/security.h"

namespace {

using fuzzhex::nibble;

// What hex2Byte must leave in a buffer filled with 0xAA.
std::vector<unsigned char> model(const std::string& text, int length, size_t bufferSize) {
    std::vector<unsigned char> out(bufferSize, 0xAA);
    if (length < 2) {
        out[0] = 0;
        return out;
    }
    const int pairs = length / 2;
    for (int i = 0; i < pairs; ++i) {
        // The text ends at its NUL, which no pair may pass.
        const size_t at = 2 * static_cast<size_t>(i);
        const int high = at < text.size() ? nibble(text[at]) : -1;
        const int low = high >= 0 && at + 1 < text.size() ? nibble(text[at + 1]) : -1;
        if (high < 0 || low < 0) return out;
        out[static_cast<size_t>(i)] = static_cast<unsigned char>(high << 4 | low);
    }
    out[static_cast<size_t>(pairs)] = 0;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const int length = static_cast<int>(in.below(600)) - 8;  // also negative lengths
    std::string text = in.rest();
    text = text.substr(0, std::strlen(text.c_str()));  // a C string ends at its NUL

    // The buffer is exactly as large as the caller must make it.
    const size_t need = length < 2 ? 1 : static_cast<size_t>(length / 2) + 1;
    std::vector<unsigned char> got(need, 0xAA);
    hex2Byte(text.c_str(), length, got.data());
    if (got != model(text, length, need)) std::abort();

    // Bytes to hex and back.
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    char* hex = data2HEXString(bytes, static_cast<int>(text.size()));
    if (hex == nullptr || std::strlen(hex) != 2 * text.size()) std::abort();
    for (const char* p = hex; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'A' && *p <= 'F'))) std::abort();
    std::vector<unsigned char> back(text.size() + 1, 0xAA);
    hex2Byte(hex, static_cast<int>(2 * text.size()), back.data());
    if (std::memcmp(back.data(), bytes, text.size()) != 0 || back[text.size()] != 0) std::abort();
    // The server's decoder reads the same hex the same way.
    decoder::Bytes decoded;
    if (!decoder::unhex(hex, decoded) || decoder::hex(decoded) != hex) std::abort();
    std::free(hex);
    return 0;
}
