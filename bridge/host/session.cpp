#include "bridge/host/session.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <variant>

#include "sign/ScriptTable.h"
#include "sign/ServiceBase.h"

namespace bridge {
namespace {

using nlohmann::json;

// Our own requests are flat: an object, an args array, texts.
constexpr int kMaxDepth = 4;
// Ids are echoed in every answer, so they stay short.
constexpr size_t kMaxId = 256;
// Room kept for the signature in a signed-data answer judged before signing:
// the hexadecimal signature of a 16384-bit RSA key. A longer one (a larger
// key) is still caught once made.
constexpr size_t kSignatureRoom = 2 * 2048;

struct Refusal {
    const char* code;
    std::string message;
};

// A method's answer as JSON: null, a text or a number.
json answerJson(const script::Answer& answer) {
    if (const auto* text = std::get_if<std::string>(&answer)) return json(*text);
    if (const auto* number = std::get_if<int32_t>(&answer)) return json(*number);
    return json();
}

std::string serialise(const json& reply) {
    // Texts from the module (certificate names) are not trusted to be UTF-8.
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

// An error answer, ready to send.
std::string errorReply(const json& id, const char* code, const std::string& message) {
    return serialise(json{{"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

// The requests whose engine call loads the module (and unloads it before it
// returns): these take turns with other hosts.
bool usesModule(std::string_view op, std::string_view name) {
    return op == "get" ? name == "SignData" || name == "Signature"
                       : name == "SignCert" || name == "getCertList";
}

// The answer of one well-formed request, or the reason it is refused.
// Nothing is changed before every check has passed.
std::variant<json, Refusal> run(ServiceBase& service, const json& request, const json& id,
                                const Turns* turns) {
    auto refuse = [](const char* code, std::string message) { return Refusal{code, std::move(message)}; };
    std::optional<Turns::Turn> turn;
    // Called once every check has passed, right before the engine.
    auto takeTurn = [&](std::string_view op, std::string_view name) -> std::optional<Refusal> {
        if (turns == nullptr || !usesModule(op, name)) return std::nullopt;
        Turns::Failure failure{};
        std::string why;
        turn = turns->take(&failure, &why);
        if (turn) return std::nullopt;
        if (failure == Turns::Failure::TimedOut) {
            std::fprintf(stderr, "ombrel-bridge: %s\n", why.c_str());
            return refuse("busy", "another page is signing with the key; try again when it is done");
        }
        std::fprintf(stderr, "ombrel-bridge: %s; using the key without waiting for other pages\n",
                     why.c_str());
        return std::nullopt;
    };
    const int ops = static_cast<int>(request.contains("set")) + static_cast<int>(request.contains("get")) +
                    static_cast<int>(request.contains("call"));
    if (ops != 1) return refuse("bad-request", "a request names exactly one of set, get or call");

    for (const char* op : {"set", "get"}) {
        if (!request.contains(op)) continue;
        const json& name = request[op];
        if (!name.is_string()) return refuse("bad-request", std::string(op) + " takes a property name");
        const script::Property* property = script::findProperty(name.get<std::string>());
        if (property == nullptr)
            return refuse("bad-request", "no property " + name.get<std::string>().substr(0, 64));
        if (op[0] == 'g') {
            if (property->read == nullptr)
                return refuse("refused", std::string(property->name) + " can be written, not read");
            if (std::string_view(property->name) == "SignData") {
                // The answer holds the data: judge its size before the user
                // types the PIN and the key signs, not after. The base class
                // answers the stored sign data without signing.
                const std::string data = service.ServiceBase::getSignData();
                const json answer = {
                    {"id", id},
                    {"result", "UD65001:" + std::string(16, '0') + data + std::string(kSignatureRoom, 'F')}};
                if (serialise(answer).size() > kMaxMessage)
                    return refuse(
                        "reply-too-large",
                        "the signed data would be over the browsers' limit of 1 MiB; sign less data");
            }
            if (auto busy = takeTurn(op, property->name)) return *busy;
            return json((service.*property->read)());
        }
        if (property->write == nullptr)
            return refuse("refused", std::string(property->name) + " cannot be written");
        if (!request.contains("value") || !request["value"].is_string())
            return refuse("bad-request",
                          std::string(property->name) + " takes a text (got " +
                              (request.contains("value") ? request["value"].type_name() : "nothing") + ")");
        // The service keeps the text up to its first NUL, as the plug-in's does.
        (service.*property->write)(request["value"].get<std::string>());
        return json();
    }

    const json& name = request["call"];
    if (!name.is_string()) return refuse("bad-request", "call takes a method name");
    const script::Method* method = script::findMethod(name.get<std::string>());
    if (method == nullptr) return refuse("bad-request", "no method " + name.get<std::string>().substr(0, 64));
    const json empty = json::array();
    const json& args = request.contains("args") ? request["args"] : empty;
    if (!args.is_array()) return refuse("bad-request", "args is a list");
    script::Texts texts;  // views of the request's own texts
    if (method->texts >= 0) {
        if (args.size() != static_cast<size_t>(method->texts))
            return refuse("bad-request", std::string(method->name) + " takes " +
                                             std::to_string(method->texts) +
                                             (method->texts == 1 ? " text" : " texts"));
        for (const auto& arg : args) {
            if (!arg.is_string())
                return refuse("bad-request", std::string(method->name) + " takes texts (got " +
                                                 std::string(arg.type_name()) + ")");
            texts.push_back(arg.get_ref<const std::string&>());
        }
    }
    if (auto busy = takeTurn("call", method->name)) return *busy;
    return answerJson(method->run(service, texts));
}

}  // namespace

std::string Session::answer(const Frame& frame) {
    try {
        if (frame.kind == Frame::Kind::TooLarge)
            return errorReply(
                nullptr, "too-large",
                "a message of " + std::to_string(frame.length) + " bytes is over the limit of 1 MiB");
        return handle(frame.body);
    } catch (...) {
        // Only memory can run out here; the answer is short.
        return R"({"id":null,"error":{"code":"internal","message":"the signing service ran out of memory"}})";
    }
}

std::string Session::handle(std::string_view body) {
    bool tooDeep = false;
    const json request = json::parse(
        body.begin(), body.end(),
        [&tooDeep](int depth, json::parse_event_t, json&) {
            if (depth > kMaxDepth) tooDeep = true;
            return depth <= kMaxDepth;
        },
        false);
    if (request.is_discarded()) return errorReply(nullptr, "malformed", "the message is not JSON");
    if (!request.is_object()) return errorReply(nullptr, "bad-request", "a request is a JSON object");
    const json id = request.contains("id") ? request["id"] : json();
    if ((!id.is_null() && !id.is_number() && !id.is_string()) ||
        (id.is_string() && id.get_ref<const std::string&>().size() > kMaxId))
        return errorReply(nullptr, "bad-request", "id is a number or a text of at most 256 bytes");
    if (tooDeep) return errorReply(id, "bad-request", "a request nests no deeper than a list of texts");
    if (!request.contains("origin") || !request["origin"].is_string())
        return errorReply(id, "bad-request", "a request carries the page's origin");

    const auto decision = allowList_.decide(request["origin"].get<std::string>());
    if (!decision.allowed) {
        std::fprintf(stderr, "ombrel-bridge: %s\n", decision.detail.c_str());
        ended_ = true;
        return errorReply(id, "not-allowed", decision.refusal);
    }
    if (!boundOrigin_.empty() && decision.origin != boundOrigin_) {
        ended_ = true;
        return errorReply(id, "not-allowed",
                          "this connection serves " + boundOrigin_ + ", not " + decision.origin +
                              "; each page opens its own");
    }

    auto outcome = run(service_, request, id, turns_);
    if (auto* refusal = std::get_if<Refusal>(&outcome))
        return errorReply(id, refusal->code, refusal->message);
    boundOrigin_ = decision.origin;
    std::string reply = serialise(json{{"id", id}, {"result", std::get<json>(outcome)}});
    if (reply.size() > kMaxMessage)
        return errorReply(id, "reply-too-large",
                          "the answer (" + std::to_string(reply.size()) +
                              " bytes) is over the browsers' limit of 1 MiB; sign less data");
    return reply;
}

}  // namespace bridge
