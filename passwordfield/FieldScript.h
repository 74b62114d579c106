// The password field's script interface, one table for both front ends that
// pages reach it through (the plug-in's script object and the browsers'
// native host): its 2 properties and 20 methods in the plug-in's table
// order, each method's argument rule and what it does on a FieldEngine. A
// front end turns the page's values into Args and the answers into its own
// values; the names, checks and calls stay in step here.
//
// Threads: constant tables; a call runs on the caller's engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class FieldEngine;

namespace fieldscript {

// One argument as the checks see it: a text (with its bytes) or any other value.
struct Arg {
    bool isText = false;
    std::string_view text;
};
using Args = std::vector<Arg>;

// A call's answer: nothing, a text or a number. A call that fails (a check
// that does not pass, an output that could not be made) has no answer: the
// plug-in fails the page's call, the host answers an error.
using Answer = std::variant<std::monostate, std::string, int32_t>;

enum class Rule {
    Ignored,   // any arguments, none examined
    OneText,   // exactly one, a text
    OneValue,  // exactly one, of any type
    Listener,  // the front end's own (addEventListener, removeEventListener)
};

struct Method {
    const char* name;
    Rule rule;
    // It works on the typed text (the host needs the text for it).
    bool readsText;
    // Null for the front end's own methods.
    std::optional<Answer> (*run)(FieldEngine& engine, const Args& args);
};

inline constexpr size_t kMethodCount = 20;
extern const std::array<Method, kMethodCount> kMethods;
inline constexpr std::array<const char*, 2> kProperties = {"minLength", "maxLength"};

// The entry named `name` (exactly), or null.
const Method* findMethod(std::string_view name);
// Whether the arguments pass the method's rule (Listener: always; the front end checks).
bool accepts(const Method& method, const Args& args);
// Checks the arguments, then runs the method; nothing when either fails.
std::optional<Answer> call(const Method& method, FieldEngine& engine, const Args& args);

// The properties: a name of kProperties, or nothing for another name.
std::optional<int32_t> getProperty(const FieldEngine& engine, std::string_view name);
bool setProperty(FieldEngine& engine, std::string_view name, int32_t value);

}  // namespace fieldscript
