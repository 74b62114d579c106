// The signing service's script interface, one table for both front ends that
// pages reach it through (the plug-in's script object and the bridge): its 7
// properties and 19 methods in the plug-in's table order, and what each does
// on a ServiceBase. A front end turns the page's values into texts and the
// answers into its own values; the names and calls stay in step here.
//
// Threads: constant tables; a call runs on the caller's ServiceBase.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sign/ServiceBase.h"

namespace script {

struct Property {
    const char* name;
    std::string (ServiceBase::*read)();            // null: not readable
    void (ServiceBase::*write)(std::string_view);  // null: not writable
};

// A method's answer: nothing, a text or a number.
using Answer = std::variant<std::monostate, std::string, int32_t>;
using Texts = std::vector<std::string_view>;

struct Method {
    const char* name;
    // How many text arguments it takes, exactly; -1 for those whose
    // arguments the plug-in never examined (they get none).
    int texts;
    Answer (*run)(ServiceBase& service, const Texts& texts);
};

inline constexpr size_t kPropertyCount = 7;
inline constexpr size_t kMethodCount = 19;
extern const std::array<Property, kPropertyCount> kProperties;
extern const std::array<Method, kMethodCount> kMethods;

// The entry named `name` (exactly), or null.
const Property* findProperty(std::string_view name);
const Method* findMethod(std::string_view name);

}  // namespace script
