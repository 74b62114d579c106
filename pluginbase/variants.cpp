#include "variants.h"

#include <cmath>
#include <cstring>

#include "pluginbase.h"

namespace pluginbase {

std::optional<std::string_view> textOf(const NPVariant& value) {
    if (value.type != NPVariantType_String) return std::nullopt;
    const NPString& s = value.value.stringValue;
    if (s.UTF8Characters == nullptr)
        return s.UTF8Length == 0 ? std::optional<std::string_view>(std::string_view()) : std::nullopt;
    return std::string_view(s.UTF8Characters, s.UTF8Length);
}

std::optional<int32_t> int32Of(const NPVariant& value) {
    if (value.type == NPVariantType_Int32) return value.value.intValue;
    if (value.type == NPVariantType_Double) {
        const double d = std::trunc(value.value.doubleValue);
        if (std::isfinite(d) && d >= INT32_MIN && d <= INT32_MAX) return static_cast<int32_t>(d);
    }
    return std::nullopt;
}

bool setTextResult(NPVariant* result, const char* text, size_t length) {
    VOID_TO_NPVARIANT(*result);
    if (length >= UINT32_MAX) return false;
    char* copy = static_cast<char*>(NPN_MemAlloc(static_cast<uint32_t>(length + 1)));
    if (copy == nullptr) return false;
    std::memset(copy, 0, length + 1);
    if (length > 0) std::memcpy(copy, text, length);
    STRINGN_TO_NPVARIANT(copy, static_cast<uint32_t>(length), *result);
    return true;
}

bool setTextResult(NPVariant* result, std::string_view text) {
    return setTextResult(result, text.data(), text.size());
}

}  // namespace pluginbase
