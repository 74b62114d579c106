// varnex-bridge as a browser runs it (a child process with pipes), against
// the password field plug-in in the test browser host: the same typing and
// settings must give the same answers through both front ends, the page's
// requests are checked as the plug-in checks its script calls, and the typed
// text is gone from the host's memory once it has answered.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/tests/host_pipes.h"
#include "decoder.h"
#include "field_support.h"
#include "platform/tests/scoped_env.h"
#include "platform/tests/secret_watch.h"

namespace {

using bridgetest::frame;
using nlohmann::json;
using npbrowser::Value;
using watchtest::ScopedEnv;

constexpr const char* kListed = "https://bank.example";
constexpr const char* kForeign = "https://shop.example";

// An allow-list of its own for every test (the host reads the system file
// named by QD_BRIDGE_SYSTEM_ORIGINS and the user's under XDG_CONFIG_HOME).
class FieldHost : public ::testing::Test {
protected:
    FieldHost()
        : dir_(makeDir()),
          system_("QD_BRIDGE_SYSTEM_ORIGINS", (dir_ + "/allowed-origins").c_str()),
          config_("XDG_CONFIG_HOME", dir_.c_str()) {
        std::ofstream(dir_ + "/allowed-origins") << kListed << "\n";
    }
    ~FieldHost() override { std::filesystem::remove_all(dir_); }

    static std::string makeDir() {
        char name[] = "/tmp/field-host-XXXXXX";
        return ::mkdtemp(name) != nullptr ? name : "/tmp";
    }

    std::string dir_;
    ScopedEnv system_, config_;
};

class Host : public bridgetest::Host {
public:
    Host() : bridgetest::Host(VARNEX_BRIDGE, {"chrome-extension://test/"}) {}
    // A request of this page (id, origin and field 1 unless given).
    json ask(json request, const char* origin = kListed) {
        if (!request.contains("id")) request["id"] = ++id_;
        if (!request.contains("origin")) request["origin"] = origin;
        if (!request.contains("field")) request["field"] = 1;
        return bridgetest::Host::ask(request);
    }
    json askRaw(const std::string& body) {
        send(frame(body));
        return reply();
    }

private:
    int id_ = 0;
};

// An answer in the test browser host's words: void, a number, "text", or
// <failed> for any error.
std::string described(const json& reply) {
    if (!reply.is_object() || reply.contains("error") || !reply.contains("result")) return "<failed>";
    const json& result = reply["result"];
    if (result.is_null()) return "void";
    if (result.is_string()) return "\"" + result.get<std::string>() + "\"";
    return result.dump();
}

std::string errorCode(const json& reply) {
    return reply.contains("error") ? reply["error"]["code"].get<std::string>() : "";
}

// A page value as the plug-in gets it from the test browser host.
Value pageValue(const json& value, NPObject* object) {
    if (value.is_string()) return Value::makeText(value.get<std::string>());
    if (value.is_number_integer()) return Value::makeInt(value.get<int32_t>());
    if (value.is_number_float()) return Value::makeDouble(value.get<double>());
    if (value.is_null()) return Value::makeNull();
    return Value::makeObject(object);
}

Params pluginParams(const json& params) {
    Params out = {{"width", "220"}, {"height", "30"}};
    for (const auto& item : params.items())
        out.emplace_back(item.key(),
                         item.value().is_string() ? item.value().get<std::string>() : item.value().dump());
    return out;
}

struct Keys {
    decoder::PkeyPtr app;
    Keys() {
        std::string error;
        app = decoder::loadPrivateKey(std::string(SECURITY_KEYS_DIR) + "/app_rsa1024.pem", error);
    }
};

// The envelope opened with the demo application key: "text|timestamp".
std::string opened(const std::string& base64) {
    static Keys keys;
    decoder::Envelope envelope;
    std::string error;
    if (!decoder::openEnvelope(keys.app.get(), base64, envelope, error))
        return "<not an envelope: " + error + ">";
    return envelope.text + "|" + envelope.timestamp;
}

// Every script method with the argument shapes a page may use, on both front
// ends: each row's answer must be the same, and refused arguments are a
// bad request for the host. The text, when given, is typed first.
TEST_F(FieldHost, ScriptCallsAndArgumentChecksAnswerAsThePlugIn) {
    struct Row {
        const char* method;
        json args;
        std::optional<std::string> text;
        const char* expected;  // described answer
    };
    const json create = {
        {"maxlength", 12}, {"minLength", "4"}, {"accepts", "[a-z0-9_]+"}, {"contentType", "1"}};
    const std::vector<Row> rows = {
        {"focus", {1, 2}, {}, "void"},
        {"verify", json::array(), "", "-1"},
        {"verify", json::array(), "ab1", "-2"},
        {"verify", json::array(), "abc_1", "0"},
        {"verify", json::array(), "ABC_1", "-3"},
        {"verify", json::array(), "abcdef", "-6"},
        // maxLength stops the typing: the digit after the twelfth is not typed.
        {"verify", json::array(), "abcdefghijkl9", "-6"},
        {"getLength", json::array(), "abcdefghijkl9", "12"},
        {"getLength", {"ignored", 3}, "ab\xF0\x9F\x98\x80", "4"},
        {"getComplexDegree", json::array(), "abc_1", "\"S\""},
        {"getValue", json::array(), "ab", "<failed>"},
        {"getPinValue", json::array(), "ABC_1", "<failed>"},
        {"lastError", json::array(), {}, "\"\""},
        {"setTimestamp", json::array(), {}, "<failed>"},
        {"setTimestamp", {"1", "2"}, {}, "<failed>"},
        {"setTimestamp", {1000}, {}, "<failed>"},
        {"setTimestamp", {"1000"}, {}, "void"},
        {"setCalcFactor", {3}, {}, "<failed>"},
        {"setCalcFactor", {"ABCDEFGHIJ"}, {}, "void"},
        {"setMode", json::array(), {}, "<failed>"},
        {"setMode", {1}, {}, "void"},
        {"setMode", {nullptr}, {}, "void"},
        {"setMode", {json::object()}, {}, "void"},
        {"setMode", {"1", 2}, {}, "<failed>"},
        {"publicKeyBlob", json::array(), {}, "<failed>"},
        {"publicKeyBlob", {1}, {}, "void"},
        {"publicKeyDER", {"x", "y"}, {}, "<failed>"},
        {"publicKeyDER", {"x"}, {}, "void"},
        {"publicKeyModulus", json::array(), {}, "<failed>"},
        {"publicKeyModulus", {1.5}, {}, "<failed>"},
        {"sm2PublicKey", {nullptr}, {}, "<failed>"},
        {"clear", json::array(), {}, "void"},
        {"getVersion", json::array(), {}, "\"2003009006\""},
        {"noSuchMethod", json::array(), {}, "<failed>"},
        {"MinLength", json::array(), {}, "<failed>"},
    };
    Field plugin(pluginParams(create));
    NPObject* object = plugin.page->newListener("o");
    Host host;
    ASSERT_EQ(host.ask({{"create", create}}), (json{{"id", 1}, {"result", {{"listed", true}}}}));
    for (const auto& row : rows) {
        std::vector<Value> values;
        for (const auto& arg : row.args) values.push_back(pageValue(arg, object));
        if (row.text) {
            plugin.call("clear");
            plugin.activate();
            plugin.page->typeText(QString::fromStdString(*row.text));
        }
        const std::string pluginAnswer = plugin.call(row.method, values);
        json request = {{"call", row.method}, {"args", row.args}};
        if (row.text) request["text"] = *row.text;
        const json reply = host.ask(request);
        EXPECT_EQ(pluginAnswer, row.expected) << row.method << " " << row.args;
        EXPECT_EQ(described(reply), row.expected) << row.method << " " << row.args << " -> " << reply;
        if (std::string(row.expected) == "<failed>" && row.text == std::nullopt) {
            EXPECT_EQ(errorCode(reply), "bad-request") << row.method << " " << row.args;
        }
    }
    EXPECT_EQ(host.finish(), 0) << host.errors();
    EXPECT_TRUE(host.rest().empty());
}

// One table of settings and typing for both front ends: verify codes,
// lengths, the digest, the degree event's letter and the envelope's text.
TEST_F(FieldHost, TheSameTypingAndSettingsGiveThePlugInsAnswers) {
    struct Row {
        json params;
        std::string text;
        int lowered = 0;  // maxLength the page sets once the text is typed (0: none)
    };
    const std::vector<Row> rows = {
        {json::object(), "abc_12"},
        {json::object(), ""},
        {{{"accepts", "[0-9]{6}"}}, "12345a"},
        {{{"accepts", "[0-9]{6}"}}, "123456"},
        {{{"ACCEPTS", "[:alpha:]+[:digit:]+"}}, "abc123"},
        {{{"accepts", "\\w{6,1001}"}}, "abcdefg"},
        {{{"accepts", "p\xC3\xA4ss"}}, "p\xC3\xA4ss"},
        {{{"contentType", "7"}}, "abc123"},
        {{{"contentType", 7}, {"accepts", ".*"}}, "ab1!cd"},
        {{{"maxlength", "5"}}, "abcdefgh"},
        {{{"maxlength", "3"}, {"accepts", ".*"}, {"minlength", "1"}}, "ab\xF0\x9F\x98\x80z"},
        {{{"minlength", "10"}}, "short1"},
        {{{"maxlength", "8"}, {"accepts", ".*"}}, "abcdefgh", 6},  // what was typed stays
        {{{"minlength", "-4"}, {"maxlength", "-1"}}, std::string(300, 'x')},
        {{{"entertype", "edit"}, {"accepts", ".*"}}, "plain text 1"},
        {{{"accepts", ".*"}}, "p\xC3\xA4ssw\xC3\xB6rd\\"},
        {{{"accepts", ".*"}},
         "\xE5\xAF\x86\xE7\xA0\x81"
         "abc123"},
    };
    Host host;
    int number = 0;
    for (const auto& row : rows) {
        ++number;
        Field plugin(pluginParams(row.params));
        plugin.call("addEventListener",
                    {Value::makeText("eventDegree"), Value::makeObject(plugin.page->newListener("d"))});
        plugin.call("setTimestamp", {Value::makeText("1000")});
        plugin.activate();
        plugin.page->typeText(QString::fromStdString(row.text));
        const auto& events = plugin.page->listenerCalls();

        ASSERT_EQ(host.ask({{"field", number}, {"create", row.params}})["result"]["listed"], true);
        if (row.lowered != 0) {
            ASSERT_TRUE(plugin.page->setProperty("maxLength", Value::makeInt(row.lowered)));
            // The frame's input kept what it had; the page's later settings reach the host.
            ASSERT_EQ(host.ask({{"field", number}, {"set", "maxLength"}, {"value", row.lowered}})["result"],
                      nullptr);
        }
        auto ask = [&](const char* method) {
            return host.ask({{"field", number}, {"call", method}, {"text", row.text}});
        };
        host.ask({{"field", number}, {"call", "setTimestamp"}, {"args", {"1000"}}});
        const std::string context = row.params.dump() + " typing " + row.text;
        for (const char* method : {"verify", "getLength", "getComplexDegree", "getMeasureValue"})
            EXPECT_EQ(described(ask(method)), plugin.call(method)) << method << " " << context;
        EXPECT_EQ(described(host.ask({{"field", number}, {"call", "lastError"}})), plugin.call("lastError"))
            << context;
        if (!row.text.empty()) {
            ASSERT_FALSE(events.empty()) << context;
            EXPECT_EQ(described(ask("degree")), events.back().args.at(0).describe()) << context;
        }
        const json value = ask("getValue");
        const std::string pluginValue = plugin.call("getValue");
        if (pluginValue == "<failed>") {
            EXPECT_EQ(errorCode(value), "refused") << context;
        } else {
            ASSERT_TRUE(value["result"].is_string()) << value;
            std::string plain = opened(value["result"].get<std::string>());
            std::string pluginPlain = opened(pluginValue.substr(1, pluginValue.size() - 2));
            // Edit mode's timestamp counts the seconds since the field was made.
            if (row.params.contains("entertype")) {
                plain = plain.substr(0, plain.find('|'));
                pluginPlain = pluginPlain.substr(0, pluginPlain.find('|'));
            }
            EXPECT_EQ(plain, pluginPlain) << context;
            EXPECT_NE(plain.rfind("<not", 0), 0u) << plain;
        }
        EXPECT_EQ(host.ask({{"field", number}, {"destroy", true}})["result"], nullptr);
    }
    EXPECT_EQ(host.finish(), 0) << host.errors();
}

// Requests the plug-in has no counterpart for: their shape, the fields'
// numbers and lifetimes, texts where they do not belong.
TEST_F(FieldHost, RequestsOfTheWrongShapeAreRefusedAndChangeNothing) {
    struct Row {
        const char* request;   // JSON; id, origin and field 1 added unless given
        const char* expected;  // the result as JSON, or an error code
    };
    const std::vector<Row> rows = {
        {R"({"get":"maxLength"})", "bad-request"},  // not created yet
        {R"({"create":{"maxlength":"8"},"text":"x"})", "bad-request"},
        {R"({"create":[]})", "bad-request"},
        {R"({"create":{"maxlength":true}})", "bad-request"},
        {R"({"create":{"MaxLength":8.0,"width":120}})", R"({"listed":true})"},
        {R"({"create":{}})", "bad-request"},  // field 1 exists
        {R"({"field":0,"create":{}})", "bad-request"},
        {R"({"field":"2","create":{}})", "bad-request"},
        {R"({"field":2.5,"create":{}})", "bad-request"},
        {R"({"field":2})", "bad-request"},
        {R"({"get":"maxLength","destroy":true})", "bad-request"},
        {R"({"get":"maxLength"})", "8"},
        {R"({"get":"MaxLength"})", "bad-request"},
        {R"({"get":"maxLength","text":"x"})", "bad-request"},
        {R"({"set":"minLength","value":"8"})", "bad-request"},
        {R"({"set":"minLength"})", "bad-request"},
        {R"({"set":"maxLength","value":4294967296})", "bad-request"},
        {R"({"set":"minLength","value":-2.9})", "null"},
        {R"({"get":"minLength"})", "-2"},
        {R"({"set":"maxLength","value":3})", "null"},
        {R"({"call":"getLength","text":"abcdefghij"})", "8"},  // typed under the widest maxLength it had
        {R"({"call":"getLength"})", "bad-request"},
        {R"({"call":"degree"})", "bad-request"},
        {R"({"call":"getLength","text":5})", "bad-request"},
        {R"({"call":"getVersion","text":"x"})", "bad-request"},
        {R"({"call":"getLength","text":"ab","args":"x"})", "bad-request"},
        {R"({"call":"addEventListener","args":["eventReturn",{}]})", "bad-request"},
        {R"({"call":"removeEventListener","args":["eventReturn"]})", "bad-request"},
        {R"({"call":["getVersion"]})", "bad-request"},
        {R"({"call":"getLength","text":"a\ud800b"})", "bad-request"},
        {R"({"call":"getLength","text":"a\udc00\ud800"})", "bad-request"},
        {R"({"call":"getLength","text":"a\\ud800"})", "7"},  // a backslash and letters, no escape
        {R"({"call":"getLength","text":"\ud83d\ude00"})", "2"},
        {R"({"id":{"a":1},"call":"getVersion"})", "bad-request"},
        {R"({"call":"getVersion","origin":5})", "bad-request"},
        {R"({"call":"getVersion","args":[[[[[[1]]]]]]})", "bad-request"},
        {R"({"destroy":false})", "bad-request"},
        {R"({"destroy":true})", "null"},
        {R"({"destroy":true})", "bad-request"},  // gone
        {R"({"call":"getVersion"})", "bad-request"},
        {R"({"field":1,"create":{}})", R"({"listed":true})"},  // the number is free again
        {R"({"get":"maxLength"})", "255"},
        {"not json", "malformed"},
        {"[1,2]", "bad-request"},
    };
    Host host;
    int id = 100;
    for (const auto& row : rows) {
        // Sent as written (surrogate escapes included), with an id, the
        // origin and field 1 in front unless the row has its own.
        std::string body = row.request;
        const bool object = body.front() == '{';
        const bool ownId = body.find("\"id\"") != std::string::npos;
        if (object) {
            std::string front = "\"id\":" + std::to_string(++id) + ",";
            if (body.find("\"origin\"") == std::string::npos)
                front += "\"origin\":\"" + std::string(kListed) + "\",";
            if (body.find("\"field\"") == std::string::npos) front += "\"field\":1,";
            body.insert(1, front);
        }
        const json reply = host.askRaw(body);
        const json expected = json::parse(row.expected, nullptr, false);
        if (expected.is_discarded()) {
            EXPECT_EQ(errorCode(reply), row.expected) << row.request << " -> " << reply;
        } else {
            EXPECT_FALSE(reply.contains("error")) << row.request << " -> " << reply;
            EXPECT_EQ(reply.contains("result") ? reply["result"] : json("<none>"), expected)
                << row.request << " -> " << reply;
        }
        // The id is echoed whenever the request had a usable one.
        if (object && !ownId) {
            EXPECT_EQ(reply["id"], id) << row.request;
        }
    }
    // Frames over 1 MiB are read and dropped; the next one is still in step.
    host.send(frame(std::string(bridge::kMaxMessage + 1, ' ')));
    EXPECT_EQ(errorCode(host.reply()), "too-large");
    EXPECT_EQ(host.ask({{"call", "getVersion"}})["result"], "2003009006");
    EXPECT_EQ(host.finish(), 0) << host.errors();
    EXPECT_TRUE(host.rest().empty());
}

TEST_F(FieldHost, APageHasAtMostSixteenFieldsAtOnce) {
    Host host;
    for (int field = 1; field <= 16; ++field)
        ASSERT_EQ(host.ask({{"field", field}, {"create", json::object()}})["result"]["listed"], true)
            << field;
    EXPECT_EQ(errorCode(host.ask({{"field", 17}, {"create", json::object()}})), "busy");
    EXPECT_EQ(host.ask({{"field", 3}, {"destroy", true}})["result"], nullptr);
    EXPECT_EQ(host.ask({{"field", 17}, {"create", json::object()}})["result"]["listed"], true);
    EXPECT_EQ(host.finish(), 0);
}

// Any https page gets envelopes; the digest and the degree letter only a
// listed one; an origin that is no https page's, or a second origin, ends
// the host after its answer.
TEST_F(FieldHost, OriginsDecideWhatAPageGetsAndWhetherTheHostGoesOn) {
    {
        Host host;
        EXPECT_EQ(host.ask({{"create", json::object()}}, kForeign)["result"]["listed"], false);
        const json digest = host.ask({{"call", "getMeasureValue"}, {"text", "abc_12"}}, kForeign);
        EXPECT_EQ(errorCode(digest), "refused");
        EXPECT_NE(digest["error"]["message"].get<std::string>().find("allow-listed origins only"),
                  std::string::npos);
        EXPECT_EQ(errorCode(host.ask({{"call", "degree"}, {"text", "abc_12"}}, kForeign)), "refused");
        const json value = host.ask({{"call", "getValue"}, {"text", "abc_12"}}, kForeign);
        ASSERT_TRUE(value["result"].is_string()) << value;
        EXPECT_EQ(opened(value["result"].get<std::string>()), "abc_12|0");
        // The page's refusal names nothing of the machine; standard error names the lists.
        EXPECT_EQ(digest.dump().find(dir_), std::string::npos);
        const json other = host.ask({{"call", "getVersion"}}, kListed);
        EXPECT_EQ(errorCode(other), "not-allowed");
        EXPECT_EQ(host.finish(false), 0);
        EXPECT_NE(host.errors().find(dir_ + "/allowed-origins"), std::string::npos) << host.errors();
    }
    for (const char* origin :
         {"null", "", "http://bank.example", "https://bank.example/login", "bank.example"}) {
        Host host;
        EXPECT_EQ(errorCode(host.ask({{"create", json::object()}}, origin)), "not-allowed") << origin;
        EXPECT_EQ(host.finish(false), 0) << origin;  // ended by itself
    }
    Host listed;
    EXPECT_EQ(listed.ask({{"create", json::object()}}, "https://BANK.example:443")["result"]["listed"], true);
    EXPECT_EQ(
        listed.ask({{"call", "getMeasureValue"}, {"text", "abc_12"}})["result"].get<std::string>().size(),
        32u);
    EXPECT_EQ(listed.finish(), 0);
}

// Occurrences of `needle` in the memory of process `pid` (heap, stacks,
// data; freed blocks the allocator keeps included).
size_t copiesInMemoryOf(pid_t pid, const std::string& needle) {
    return secretwatch::copiesInProcessMemory(needle.data(), needle.size(), {}, pid);
}

std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

// Once the host has answered, the typed text is nowhere in its memory, in
// UTF-8 or UTF-16: not in the request it came in, the parser's buffers, the
// engine, the envelope's input, nor the dead stack, whatever the request's fate.
TEST_F(FieldHost, TheTypedTextLeavesNoCopyInTheHostOnceAnswered) {
    // Long enough that a freed block's first bytes (the allocator's own links)
    // leave some of it whole: its tail is searched as well.
    const std::string typed = "Qz7Wipe9Me_host_the_typed_password_0123456789";
    const std::string tail = typed.substr(typed.size() - 20);
    // Short enough to be kept inside a string object, on the stack.
    const std::string shortText = "Zq8Short_pw4";
    Host host;
    ASSERT_EQ(host.ask({{"create", json::object()}})["result"]["listed"], true);
    for (const char* method :
         {"getValue", "verify", "getMeasureValue", "degree", "getComplexDegree", "getLength"})
        ASSERT_FALSE(host.ask({{"call", method}, {"text", typed}}).contains("error")) << method;
    EXPECT_EQ(errorCode(host.ask({{"call", "getVersion"}, {"text", typed}})), "bad-request");
    EXPECT_EQ(errorCode(host.askRaw(R"({"id":1,"text":")" + typed + R"(","x":)")), "malformed");
    EXPECT_EQ(errorCode(host.askRaw(
                  R"({"id":1,"origin":"https://bank.example","field":1,"call":"verify","text":")" + typed +
                  R"(\udc00"})")),
              "bad-request");
    // Last, so that no later request's frames overwrite what it left.
    ASSERT_FALSE(host.ask({{"call", "verify"}, {"text", shortText}}).contains("error"));
    // The watch reads the host's memory: the origin it serves is there.
    const size_t origins = copiesInMemoryOf(host.pid(), kListed);
    ASSERT_TRUE(origins >= 1 && origins != static_cast<size_t>(-1)) << origins;
    EXPECT_EQ(copiesInMemoryOf(host.pid(), typed), 0u);
    EXPECT_EQ(copiesInMemoryOf(host.pid(), tail), 0u);
    EXPECT_EQ(copiesInMemoryOf(host.pid(), utf16(tail)), 0u);
    EXPECT_EQ(copiesInMemoryOf(host.pid(), shortText), 0u);
    EXPECT_EQ(copiesInMemoryOf(host.pid(), utf16(shortText)), 0u);
    EXPECT_EQ(host.finish(), 0);
}

}  // namespace
