#include "bridge/field/session.h"

#include <openssl/crypto.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <variant>

#include "passwordfield/FieldEngine.h"
#include "passwordfield/FieldScript.h"
#include "passwordfield/SecretText.h"

namespace bridge::field {
namespace {

using nlohmann::json;

// A request is an object holding create's parameters or a list of arguments.
constexpr int kMaxDepth = 4;
// Ids are echoed in every answer, so they stay short.
constexpr size_t kMaxId = 256;
const nlohmann::json kNull;

struct Refusal {
    const char* code;
    std::string message;
};

std::string serialise(const json& reply) {
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string errorReply(const json& id, const char* code, const std::string& message) {
    return serialise(json{{"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

// A name from the page, cut short for messages.
std::string shown(const json& name) { return name.get_ref<const std::string&>().substr(0, 64); }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether brackets outside strings reach `depth` levels: a body that might
// nest deeper than the parser's callback allows (it decides exactly).
bool nestsDeeperThan(const std::string& text, int depth) {
    int level = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++level > depth) return true;
        } else if (c == '}' || c == ']') {
            --level;
        }
    }
    return false;
}

// The UTF-16 unit of a \uXXXX escape at `at` (the backslash), or -1.
long escapedUnit(const std::string& text, size_t at) {
    if (at + 6 > text.size() || text[at + 1] != 'u') return -1;
    long unit = 0;
    for (size_t i = at + 2; i < at + 6; ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// The units of a UTF-8 text the parser has validated, in a wiped block.
void toUnits(std::string_view utf8, SecretText& units) {
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t cp = width == 1 ? lead : width == 2 ? lead & 0x1F : width == 3 ? lead & 0x0F : lead & 0x07;
        for (size_t k = 1; k < width && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += width;
        if (cp >= 0x10000) {
            units.append(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            units.append(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            units.append(static_cast<char16_t>(cp));
        }
        cp = 0;
    }
}

// The page's value of a length property: an integer or a number truncated
// toward zero, within 32 bits (as the plug-in takes them).
std::optional<int32_t> int32Of(const json& value) {
    if (value.is_number_integer()) {
        const auto n = value.get<int64_t>();
        if (value.is_number_unsigned() && value.get<uint64_t>() > INT32_MAX) return std::nullopt;
        if (n < INT32_MIN || n > INT32_MAX) return std::nullopt;
        return static_cast<int32_t>(n);
    }
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        if (std::isfinite(d) && d >= INT32_MIN && d <= INT32_MAX) return static_cast<int32_t>(d);
    }
    return std::nullopt;
}

// The calls answered only to listed origins, and what the refusal says.
const char* listedOnly(std::string_view call) {
    if (call == "getMeasureValue") return "getMeasureValue is answered to allow-listed origins only";
    if (call == "degree") return "degree events are sent to allow-listed origins only";
    return nullptr;
}

// The members of a request, found in one pass over it (null: absent).
struct Members {
    json* id = nullptr;
    json* origin = nullptr;
    json* field = nullptr;
    json* text = nullptr;
    json* args = nullptr;
    json* value = nullptr;
    const char* op = nullptr;  // create, call, get, set or destroy
    json* operand = nullptr;
    int ops = 0;
};

Members membersOf(json& request) {
    Members m;
    if (!request.is_object()) return m;
    static const char* const kOps[] = {"create", "call", "get", "set", "destroy"};
    for (auto it = request.begin(); it != request.end(); ++it) {
        const std::string& key = it.key();
        json* value = &*it;
        if (key == "id")
            m.id = value;
        else if (key == "origin")
            m.origin = value;
        else if (key == "field")
            m.field = value;
        else if (key == "text")
            m.text = value;
        else if (key == "args")
            m.args = value;
        else if (key == "value")
            m.value = value;
        else
            for (const char* op : kOps)
                if (key == op) {
                    m.op = op;
                    m.operand = value;
                    ++m.ops;
                }
    }
    return m;
}

// A call's answer, ready to send. Written by hand: an envelope is a few
// hundred bytes of Base64, which need no escaping, and escaping them through
// the serialiser was a fifth of the host's own share of getValue.
std::string answerReply(const json& id, const fieldscript::Answer& answer) {
    std::string reply = "{\"id\":" + serialise(id) + ",\"result\":";
    if (const auto* text = std::get_if<std::string>(&answer)) {
        const bool plain = std::all_of(text->begin(), text->end(),
                                       [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
        reply += plain ? "\"" + *text + "\"" : serialise(json(*text));
    } else if (const auto* number = std::get_if<int32_t>(&answer)) {
        reply += std::to_string(*number);
    } else {
        reply += "null";
    }
    return reply + "}";
}

// Puts the text through the engine's typing path for the length of one
// call, and wipes the engine's copy afterwards whatever happens.
class Typed {
public:
    Typed(FieldEngine& engine, const std::string& text) : engine_(engine) {
        SecretText units(text.size() + 1);
        toUnits(text, units);
        engine_.retype(units.data(), units.size());
    }
    ~Typed() { engine_.clear(); }
    Typed(const Typed&) = delete;
    Typed& operator=(const Typed&) = delete;

private:
    FieldEngine& engine_;
};

}  // namespace

bool replaceLoneSurrogates(std::string& text) {
    bool found = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') continue;
        const long unit = escapedUnit(text, i);
        if (unit < 0) {
            ++i;  // another escape: skip its letter (a doubled backslash included)
            continue;
        }
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high && i + 6 < text.size() && text[i + 6] == '\\') {
            const long next = escapedUnit(text, i + 6);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                i += 11;  // a whole pair
                continue;
            }
        }
        if (high || low) {
            text.replace(i, 6, "\\ufffd");
            found = true;
        }
        i += 5;
    }
    return found;
}

__attribute__((noinline)) void scrubStack() {
    // Deeper than the parser's and the frame reader's locals (its scratch
    // buffer is 64 KiB) ever reach.
    char stack[256 * 1024];
    explicit_bzero(stack, sizeof stack);
    asm volatile("" : : "r"(stack) : "memory");
}

Session::Session(AllowList allowList) : allowList_(std::move(allowList)) {}

Session::~Session() = default;

std::string Session::answer(Frame& frame) {
    std::string reply;
    try {
        if (frame.kind == Frame::Kind::TooLarge)
            reply = errorReply(
                nullptr, "too-large",
                "a message of " + std::to_string(frame.length) + " bytes is over the limit of 1 MiB");
        else
            reply = handle(frame.body);
    } catch (...) {
        // Only memory can run out here; the answer is short.
        reply =
            R"({"id":null,"error":{"code":"internal","message":"the password field service ran out of memory"}})";
    }
    OPENSSL_cleanse(frame.body.data(), frame.body.capacity());
    return reply;
}

std::string Session::handle(std::string& body) {
    const bool loneSurrogate = replaceLoneSurrogates(body);
    bool tooDeep = false;
    // The parser's callback, which keeps what is too deep out of the
    // request, slows every parse: only a body that nests deeper needs it.
    json request = nestsDeeperThan(body, kMaxDepth) ? json::parse(
                                                          body.begin(), body.end(),
                                                          [&tooDeep](int depth, json::parse_event_t, json&) {
                                                              if (depth > kMaxDepth) tooDeep = true;
                                                              return depth <= kMaxDepth;
                                                          },
                                                          false)
                                                    : json::parse(body.begin(), body.end(), nullptr, false);
    const Members m = membersOf(request);
    // The text's own copy goes when the request does.
    struct WipeText {
        json* text;
        ~WipeText() {
            if (text != nullptr && text->is_string()) {
                auto& bytes = text->get_ref<std::string&>();
                OPENSSL_cleanse(bytes.data(), bytes.capacity());
            }
        }
    } wipeText{m.text};
    if (request.is_discarded()) return errorReply(nullptr, "malformed", "the message is not JSON");
    if (!request.is_object()) return errorReply(nullptr, "bad-request", "a request is a JSON object");
    const json& id = m.id != nullptr ? *m.id : kNull;
    if ((!id.is_null() && !id.is_number() && !id.is_string()) ||
        (id.is_string() && id.get_ref<const std::string&>().size() > kMaxId))
        return errorReply(nullptr, "bad-request", "id is a number or a text of at most 256 bytes");
    if (tooDeep)
        return errorReply(id, "bad-request", "a request nests no deeper than its parameters or arguments");
    if (m.origin == nullptr || !m.origin->is_string())
        return errorReply(id, "bad-request", "a request carries the page's origin");

    // Any https page may use the field; an origin that is not one (opaque,
    // empty, http) ends the session, as does a second origin.
    const std::string& originText = m.origin->get_ref<const std::string&>();
    const auto parsed = parseOrigin(originText);
    if (!parsed) {
        ended_ = true;
        return errorReply(id, "not-allowed",
                          "origin \"" + originText.substr(0, 256) +
                              "\" may not use the password field: only https pages may");
    }
    const std::string origin = parsed->text();
    if (!boundOrigin_.empty() && origin != boundOrigin_) {
        ended_ = true;
        return errorReply(
            id, "not-allowed",
            "this connection serves " + boundOrigin_ + ", not " + origin + "; each page opens its own");
    }
    boundOrigin_ = origin;
    // The lists are read again whenever it matters (an origin taken off them
    // is refused from then on), and only then: most requests do not ask.
    auto listed = [&] { return allowList_.decide(origin).allowed; };
    if (loneSurrogate)
        return errorReply(id, "bad-request", "a text holds a lone UTF-16 surrogate (half of a pair)");

    if (m.field == nullptr || !m.field->is_number_integer() || m.field->get<int64_t>() < 1 ||
        (m.field->is_number_unsigned() && m.field->get<uint64_t>() > INT64_MAX))
        return errorReply(id, "bad-request", "a request names its field: an integer from 1");
    const int64_t number = m.field->get<int64_t>();
    if (m.ops != 1)
        return errorReply(id, "bad-request",
                          "a request names exactly one of create, call, get, set or destroy");
    const std::string_view op = m.op;
    const bool hasText = m.text != nullptr;
    if (hasText && !m.text->is_string()) return errorReply(id, "bad-request", "text is a text");

    const auto found = fields_.find(number);
    if (op == "create") {
        if (hasText) return errorReply(id, "bad-request", "create takes no text");
        const json& params = *m.operand;
        if (!params.is_object())
            return errorReply(id, "bad-request", "create takes an object of page parameters");
        if (found != fields_.end())
            return errorReply(id, "bad-request", "field " + std::to_string(number) + " exists already");
        if (fields_.size() >= kMaxFields)
            return errorReply(
                id, "busy", "a page has at most " + std::to_string(kMaxFields) + " password fields at once");
        for (const auto& item : params.items()) {
            if (!item.value().is_string() && !item.value().is_number())
                return errorReply(id, "bad-request",
                                  "parameter " + item.key().substr(0, 64) + " takes a text or a number");
        }
        auto engine = std::make_unique<FieldEngine>();
        for (const auto& item : params.items()) {
            const std::string value =
                item.value().is_string() ? item.value().get<std::string>() : item.value().dump();
            engine->setParameter(item.key().c_str(), value.c_str());
        }
        fields_.emplace(number, std::move(engine));
        return serialise(json{{"id", id}, {"result", {{"listed", listed()}}}});
    }
    if (found == fields_.end())
        return errorReply(id, "bad-request", "field " + std::to_string(number) + " has not been created");
    FieldEngine& engine = *found->second;

    if (op == "destroy") {
        if (hasText) return errorReply(id, "bad-request", "destroy takes no text");
        if (*m.operand != true) return errorReply(id, "bad-request", "destroy takes true");
        fields_.erase(found);
        return answerReply(id, fieldscript::Answer());
    }

    if (op == "get" || op == "set") {
        if (hasText) return errorReply(id, "bad-request", std::string(op) + " takes no text");
        const json& name = *m.operand;
        if (!name.is_string())
            return errorReply(id, "bad-request", std::string(op) + " takes a property name");
        const auto current = fieldscript::getProperty(engine, name.get_ref<const std::string&>());
        if (!current) return errorReply(id, "bad-request", "no property " + shown(name));
        if (op == "get") return answerReply(id, fieldscript::Answer(*current));
        const auto value = m.value != nullptr ? int32Of(*m.value) : std::nullopt;
        if (!value) return errorReply(id, "bad-request", shown(name) + " takes a number within 32 bits");
        fieldscript::setProperty(engine, name.get_ref<const std::string&>(), *value);
        return answerReply(id, fieldscript::Answer());
    }

    const json& name = *m.operand;
    if (!name.is_string()) return errorReply(id, "bad-request", "call takes a method name");
    const std::string& call = name.get_ref<const std::string&>();
    const bool degree = call == "degree";
    const fieldscript::Method* method = degree ? nullptr : fieldscript::findMethod(call);
    if (!degree && method == nullptr) return errorReply(id, "bad-request", "no method " + shown(name));
    if (method != nullptr && method->rule == fieldscript::Rule::Listener)
        return errorReply(id, "bad-request", call + " is the extension's: listeners stay in the page");
    const bool readsText = degree || method->readsText;
    if (readsText != hasText)
        return errorReply(id, "bad-request",
                          readsText ? call + " needs the typed text" : call + " takes no text");
    const json empty = json::array();
    const json& args = m.args != nullptr ? *m.args : empty;
    if (!args.is_array()) return errorReply(id, "bad-request", "args is a list");
    fieldscript::Args values(args.size());
    for (size_t i = 0; i < args.size(); ++i)
        if (args[i].is_string()) values[i] = {true, args[i].get_ref<const std::string&>()};
    if (method != nullptr && !fieldscript::accepts(*method, values)) {
        const char* takes =
            method->rule == fieldscript::Rule::OneText ? " takes one text" : " takes one value";
        return errorReply(id, "bad-request", call + takes);
    }
    if (const char* refusal = listedOnly(call); refusal != nullptr && !listed()) {
        std::string files;
        for (const auto& file : allowList_.files()) files += (files.empty() ? "" : " or ") + file;
        std::fprintf(stderr, "varnex-bridge: %s, and %s is not one; to list it, add the line %s to %s\n",
                     refusal, origin.c_str(), origin.c_str(), files.c_str());
        return errorReply(id, "refused", refusal);
    }

    std::optional<fieldscript::Answer> answer;
    std::string failure;
    {
        std::optional<Typed> typed;
        if (hasText) typed.emplace(engine, m.text->get_ref<const std::string&>());
        if (degree) {
            answer = fieldscript::Answer(std::string(1, static_cast<char>(engine.pinComplexDegree())));
        } else {
            answer = fieldscript::call(*method, engine, values);
            if (!answer && (call == "getValue" || call == "getPinValue"))
                failure = call + " gives no value: verify answers " + std::to_string(engine.Verify());
        }
    }
    if (!answer) return errorReply(id, "refused", failure.empty() ? call + " gives no value" : failure);
    return answerReply(id, *answer);
}

}  // namespace bridge::field
