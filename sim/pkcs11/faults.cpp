#include "sim/pkcs11/faults.h"

#include <cerrno>
#include <cstdlib>

namespace qdpkcs11 {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::optional<unsigned long> number(std::string_view text) {
    const std::string s(trim(text));
    if (s.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || s.front() == '-') return std::nullopt;
    return value;
}

std::optional<CK_ATTRIBUTE_TYPE> attributeNamed(std::string_view name) {
    if (name == "ID") return CKA_ID;
    if (name == "VALUE") return CKA_VALUE;
    if (name == "CLASS") return CKA_CLASS;
    return std::nullopt;
}

bool isFunctionName(std::string_view name) {
    if (name.size() < 3 || name.substr(0, 2) != "C_") return false;
    for (char c : name.substr(2)) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

// "C_Name[@N]" into name and occurrence.
bool splitOccurrence(std::string_view spec, std::string_view* name, unsigned* nth) {
    const size_t at = spec.find('@');
    *name = spec.substr(0, at);
    *nth = 0;
    if (at != std::string_view::npos) {
        const auto n = number(spec.substr(at + 1));
        if (!n || *n == 0 || *n > 1000000) return false;
        *nth = static_cast<unsigned>(*n);
    }
    return isFunctionName(*name);
}

}  // namespace

std::optional<Faults> parseFaults(std::string_view text, std::string* error) {
    Faults faults;
    auto fail = [&](std::string_view directive, const char* why) {
        *error = "QDPKCS11_FAULTS: " + std::string(why) + ": '" + std::string(directive) + "'";
        return std::nullopt;
    };
    while (!text.empty()) {
        const size_t end = text.find_first_of(";\n");
        const std::string_view directive = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (directive.empty()) continue;
        const size_t eq = directive.find('=');
        if (eq == std::string_view::npos) return fail(directive, "no '='");
        const std::string_view key = trim(directive.substr(0, eq));
        const std::string_view value = trim(directive.substr(eq + 1));
        if (key == "remove") {
            std::string_view name;
            unsigned nth = 0;
            if (!splitOccurrence(value, &name, &nth)) return fail(directive, "bad function");
            faults.removeAt = std::string(name);
            faults.removeNth = nth == 0 ? 1 : nth;
        } else if (key == "nosign" || key == "noverify") {
            if (value.empty()) return fail(directive, "no token label");
            (key == "nosign" ? faults.noSign : faults.noVerify).emplace_back(value);
        } else if (key == "badlength" || key == "overlength" || key == "hugelength") {
            if (key != "badlength" && value == "SIGN") {
                (key == "overlength" ? faults.overLongSignature : faults.hugeSignature) = true;
                continue;
            }
            const auto attribute = attributeNamed(value);
            if (!attribute) return fail(directive, "unknown attribute");
            (key == "badlength"    ? faults.badLength
             : key == "overlength" ? faults.overLength
                                   : faults.hugeLength)
                .push_back(*attribute);
        } else if (key == "slotcount") {
            faults.slotCount = number(value);
            if (!faults.slotCount) return fail(directive, "bad number");
        } else if (key == "longsig" || key == "certs" || key == "overcount" || key == "nulllist") {
            const auto n = number(value);
            if (!n || *n > 1000000) return fail(directive, "bad number");
            if (key == "longsig") faults.longSignature = *n;
            if (key == "certs") faults.certificates = *n;
            if (key == "overcount") faults.overCount = *n;
            if (key == "nulllist") faults.nullFunctionList = *n != 0;
        } else {
            // C_Name[.ATTR][@N]
            StatusFault fault;
            std::string_view name = key;
            unsigned nth = 0;
            const size_t at = key.find('@');
            if (at != std::string_view::npos) {
                const auto n = number(key.substr(at + 1));
                if (!n || *n == 0 || *n > 1000000) return fail(directive, "bad occurrence");
                nth = static_cast<unsigned>(*n);
                name = key.substr(0, at);
            }
            const size_t dot = name.find('.');
            if (dot != std::string_view::npos) {
                const auto attribute = attributeNamed(name.substr(dot + 1));
                if (!attribute) return fail(directive, "unknown attribute");
                fault.attribute = *attribute;
                fault.anyAttribute = false;
                name = name.substr(0, dot);
            }
            if (!isFunctionName(name)) return fail(directive, "bad function");
            fault.function = std::string(name);
            fault.nth = nth;
            const auto status = number(value);
            if (!status) return fail(directive, "bad status");
            fault.status = *status;
            faults.statuses.push_back(std::move(fault));
        }
    }
    return faults;
}

}  // namespace qdpkcs11
