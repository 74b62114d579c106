#include "FieldScript.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "FieldEngine.h"

namespace fieldscript {
namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

// An output's heap text as the answer; a missing text fails the call.
std::optional<Answer> textAnswer(char* text) {
    const HeapText owned(text);
    if (!owned) return std::nullopt;
    return Answer(std::string(owned.get()));
}

// A text argument as a NUL-terminated copy (the engine reads C texts: a
// page's text ends at its first NUL, if any).
std::string cText(const Args& args) { return std::string(args[0].text); }

const Answer kNothing{};

}  // namespace

const std::array<Method, kMethodCount> kMethods = {{
    {"addEventListener", Rule::Listener, false, nullptr},
    {"removeEventListener", Rule::Listener, false, nullptr},
    {"focus", Rule::Ignored, false,
     [](FieldEngine&, const Args&) { return std::optional<Answer>(kNothing); }},
    {"getValue", Rule::Ignored, true, [](FieldEngine& e, const Args&) { return textAnswer(e.getValue()); }},
    {"lastError", Rule::Ignored, false,
     [](FieldEngine& e, const Args&) { return textAnswer(e.lastError()); }},
    {"verify", Rule::Ignored, true,
     [](FieldEngine& e, const Args&) { return std::optional<Answer>(int32_t{e.Verify()}); }},
    {"setTimestamp", Rule::OneText, false,
     [](FieldEngine& e, const Args& a) {
         e.setTimestamp(a[0].text.data(), a[0].text.size());
         return std::optional<Answer>(kNothing);
     }},
    {"setCalcFactor", Rule::OneText, false,
     [](FieldEngine& e, const Args& a) {
         e.setCalcFactor(cText(a).c_str());
         return std::optional<Answer>(kNothing);
     }},
    {"getPinValue", Rule::Ignored, true,
     [](FieldEngine& e, const Args&) { return textAnswer(e.getPinValue()); }},
    // Exactly one value of any type; it does nothing with it.
    {"setMode", Rule::OneValue, false,
     [](FieldEngine&, const Args&) { return std::optional<Answer>(kNothing); }},
    {"getComplexDegree", Rule::Ignored, true,
     [](FieldEngine& e, const Args&) { return textAnswer(e.getComplexDegree()); }},
    {"publicKeyBlob", Rule::OneValue, false,
     [](FieldEngine&, const Args&) { return std::optional<Answer>(kNothing); }},
    {"publicKeyModulus", Rule::OneText, false,
     [](FieldEngine& e, const Args& a) {
         e.publicKeyModulus(cText(a).c_str());
         return std::optional<Answer>(kNothing);
     }},
    {"publicKeyDER", Rule::OneValue, false,
     [](FieldEngine&, const Args&) { return std::optional<Answer>(kNothing); }},
    {"sm2PublicKey", Rule::OneText, false,
     [](FieldEngine& e, const Args& a) {
         e.sm2PublicKey(cText(a).c_str());
         return std::optional<Answer>(kNothing);
     }},
    {"clear", Rule::Ignored, false,
     [](FieldEngine& e, const Args&) {
         e.clear();
         return std::optional<Answer>(kNothing);
     }},
    {"getLength", Rule::Ignored, true,
     [](FieldEngine& e, const Args&) { return std::optional<Answer>(int32_t{e.getLength()}); }},
    {"getMFM", Rule::Ignored, false, [](FieldEngine& e, const Args&) { return textAnswer(e.getMFM()); }},
    {"getVersion", Rule::Ignored, false,
     [](FieldEngine& e, const Args&) { return textAnswer(e.getVersion()); }},
    {"getMeasureValue", Rule::Ignored, true,
     [](FieldEngine& e, const Args&) { return textAnswer(e.getMeasureValue()); }},
}};

const Method* findMethod(std::string_view name) {
    for (const Method& method : kMethods)
        if (name == method.name) return &method;
    return nullptr;
}

bool accepts(const Method& method, const Args& args) {
    switch (method.rule) {
        case Rule::OneText:
            return args.size() == 1 && args[0].isText;
        case Rule::OneValue:
            return args.size() == 1;
        case Rule::Ignored:
        case Rule::Listener:
            return true;
    }
    return false;
}

std::optional<Answer> call(const Method& method, FieldEngine& engine, const Args& args) {
    if (method.run == nullptr || !accepts(method, args)) return std::nullopt;
    return method.run(engine, args);
}

std::optional<int32_t> getProperty(const FieldEngine& engine, std::string_view name) {
    if (name == kProperties[0]) return engine.getMinLength();
    if (name == kProperties[1]) return engine.getMaxLength();
    return std::nullopt;
}

bool setProperty(FieldEngine& engine, std::string_view name, int32_t value) {
    if (name == kProperties[0])
        engine.setMinLength(value);
    else if (name == kProperties[1])
        engine.setMaxLength(value);
    else
        return false;
    return true;
}

}  // namespace fieldscript
