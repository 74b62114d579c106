// Script values as the plug-ins read and return them. A value of another
// type than the one asked for is refused (never read through the wrong
// member of the union).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "npapi/npruntime.h"

namespace pluginbase {

// The bytes of a string value (not NUL-terminated); nothing for any other
// type, or for a string whose characters are missing.
std::optional<std::string_view> textOf(const NPVariant& value);

// A 32-bit integer value, or a double truncated toward zero when it lies in
// the 32-bit range; nothing for any other value.
std::optional<int32_t> int32Of(const NPVariant& value);

// Stores a copy of the text in browser memory (length + 1 bytes from
// NPN_MemAlloc, zero-filled, then the characters) as a string result of that
// length. False, with *result void, when the browser gives no memory.
bool setTextResult(NPVariant* result, const char* text, size_t length);
bool setTextResult(NPVariant* result, std::string_view text);

}  // namespace pluginbase
