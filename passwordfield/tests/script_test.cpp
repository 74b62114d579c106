// The page's side: every script method and property with its argument checks,
// the events, and the outputs opened again with the demo private keys.
#include <openssl/evp.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "decoder.h"
#include "field_support.h"
#include "platform/tests/secret_watch.h"
#include "varnex_deployment.h"

namespace {

using npbrowser::Value;
namespace fs = std::filesystem;

Value text(const std::string& s) { return Value::makeText(s); }
Value num(int32_t i) { return Value::makeInt(i); }

std::string unquote(const std::string& described) {
    if (described.size() < 2 || described.front() != '"') return "<not a text: " + described + ">";
    return described.substr(1, described.size() - 2);
}

struct Keys {
    decoder::PkeyPtr app, platformRsa, sm2;
    Keys() {
        std::string error;
        app = decoder::loadPrivateKey(std::string(SECURITY_KEYS_DIR) + "/app_rsa1024.pem", error);
        platformRsa =
            decoder::loadPrivateKey(std::string(SECURITY_KEYS_DIR) + "/platform_rsa1024.pem", error);
        sm2 = decoder::loadPrivateKey(std::string(SECURITY_KEYS_DIR) + "/platform_sm2.pem", error);
    }
};

decoder::Envelope open(const std::string& base64) {
    static Keys keys;
    decoder::Envelope env;
    std::string error;
    EXPECT_TRUE(decoder::openEnvelope(keys.app.get(), base64, env, error)) << error;
    return env;
}

std::string md5Hex(const std::string& bytes) {
    unsigned char d[16];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), d, &n, EVP_md5(), nullptr);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02X", d[i]);
    return hex;
}

// Every method and property, with the argument shapes the page may use.
struct CallRow {
    const char* method;
    std::vector<Value> args;
    const char* expected;  // described result, or "<failed>"
};

TEST(Script, MethodsCheckTheirArgumentCountsAndTypes) {
    Field f;
    NPObject* listener = f.page->newListener("l");
    const std::vector<CallRow> rows = {
        {"addEventListener", {text("eventReturn")}, "<failed>"},
        {"addEventListener", {text("eventReturn"), Value::makeObject(listener)}, "void"},
        {"addEventListener", {text("eventReturn"), Value::makeObject(listener), num(1)}, "void"},
        {"addEventListener", {text("eventReturn"), Value::makeObject(listener), num(1), num(2)}, "<failed>"},
        {"addEventListener", {num(5), Value::makeObject(listener)}, "<failed>"},
        {"addEventListener", {text("eventReturn"), text("not a function")}, "<failed>"},
        {"removeEventListener", {}, "<failed>"},
        {"removeEventListener", {num(1)}, "<failed>"},
        {"removeEventListener", {text("eventReturn"), num(7)}, "void"},
        {"focus", {num(1), num(2)}, "void"},
        {"verify", {}, "-1"},
        {"getValue", {}, "<failed>"},
        {"getPinValue", {}, "<failed>"},
        {"lastError", {}, "\"\""},
        {"setTimestamp", {}, "<failed>"},
        {"setTimestamp", {text("1"), text("2")}, "<failed>"},
        {"setTimestamp", {num(1000)}, "<failed>"},
        {"setTimestamp", {text("1000")}, "void"},
        {"setCalcFactor", {num(3)}, "<failed>"},
        {"setCalcFactor", {text("ABCDEFGHIJ")}, "void"},
        {"setMode", {}, "<failed>"},
        {"setMode", {num(1)}, "void"},
        {"setMode", {Value::makeNull()}, "void"},
        {"setMode", {Value::makeObject(listener)}, "void"},
        {"setMode", {text("1")}, "void"},
        {"setMode", {text("1"), num(2)}, "<failed>"},
        {"getComplexDegree", {}, "\"S\""},
        {"publicKeyBlob", {}, "<failed>"},
        {"publicKeyBlob", {num(1)}, "void"},
        {"publicKeyDER", {text("x"), text("y")}, "<failed>"},
        {"publicKeyDER", {text("x")}, "void"},
        {"publicKeyModulus", {}, "<failed>"},
        {"publicKeyModulus", {Value::makeDouble(1.5)}, "<failed>"},
        {"publicKeyModulus", {text("C0FFEE")}, "void"},
        {"sm2PublicKey", {Value::makeNull()}, "<failed>"},
        {"sm2PublicKey", {text("C0FFEE")}, "void"},
        {"clear", {}, "void"},
        {"getLength", {}, "0"},
        {"getVersion", {}, "\"2003009006\""},
        {"noSuchMethod", {}, "<failed>"},
        {"MinLength", {}, "<failed>"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(f.call(row.method, row.args), row.expected) << row.method << " with " << row.args.size();
    EXPECT_EQ(f.impl->timestampForTesting(), 1000);

    for (const char* m : {"addEventListener", "getValue", "getMeasureValue", "clear", "verify"})
        EXPECT_TRUE(f.page->hasMethod(m)) << m;
    EXPECT_FALSE(f.page->hasMethod("minLength"));
    EXPECT_TRUE(f.page->hasProperty("minLength"));
    EXPECT_TRUE(f.page->hasProperty("maxLength"));
    EXPECT_FALSE(f.page->hasProperty("getValue"));
    Value r;
    ASSERT_TRUE(f.page->invokeDefault({num(1), text("x")}, &r));
    EXPECT_EQ(r.describe(), "\"default method return val\"");
}

TEST(Script, LengthPropertiesTakeIntegersAndTruncatedDoublesOnly) {
    Field f;
    Value v;
    ASSERT_TRUE(f.page->getProperty("minLength", &v));
    EXPECT_EQ(v.describe(), "6");
    ASSERT_TRUE(f.page->getProperty("maxLength", &v));
    EXPECT_EQ(v.describe(), "255");
    EXPECT_TRUE(f.page->setProperty("minLength", num(8)));
    EXPECT_TRUE(f.page->setProperty("maxLength", Value::makeDouble(12.9)));
    EXPECT_TRUE(f.page->setProperty("minLength", Value::makeDouble(-3.7)));
    for (const Value& bad : {text("9"), Value::makeBool(true), Value::makeNull(), Value::makeDouble(1e12),
                             Value::makeDouble(std::nan(""))})
        EXPECT_FALSE(f.page->setProperty("maxLength", bad)) << bad.describe();
    EXPECT_FALSE(f.page->setProperty("length", num(1)));
    EXPECT_FALSE(f.page->getProperty("length", &v));
    EXPECT_EQ(f.impl->getMinLength(), -3);
    EXPECT_EQ(f.impl->getMaxLength(), 12);
}

TEST(Script, ListenersAreChosenByTheSixthCharacterAndFiredWhileTheKeyIsHandled) {
    Field f({{"width", "220"}, {"height", "30"}, {"minlength", "3"}});
    std::vector<std::string> seen;  // what the page read from inside each event
    NPObject* onReturn = f.page->newListener("ret", [&] { seen.push_back(f.call("getLength")); });
    NPObject* onDegree = f.page->newListener("deg", [&] { seen.push_back("degree " + f.call("verify")); });
    f.call("addEventListener", {text("onXYzeReturn"), Value::makeObject(onDegree)});  // index 5 is "e"
    f.call("addEventListener", {text("abcdR"), Value::makeObject(onReturn)});         // five characters
    f.activate();
    f.page->typeText("a");
    f.page->pressKey("return");
    EXPECT_TRUE(f.page->listenerCalls().empty());

    f.call("addEventListener", {text("12345r"), Value::makeObject(onReturn)});
    f.call("addEventListener", {text("xxxxxD"), Value::makeObject(onDegree)});
    f.page->typeText("bc");
    f.page->pressKey("return");
    EXPECT_EQ(seen, (std::vector<std::string>{"degree -2", "degree 0", "3"}));

    // Removal by the same rule. A listener that removes itself inside its
    // call, the page keeping no reference of its own, lives through that
    // call (the field holds it) and goes right after.
    f.call("removeEventListener", {text("....?d")});
    f.page->typeText("d");
    EXPECT_EQ(seen.size(), 3u);
    NPObject* once = nullptr;
    bool aliveAfterRemoving = false;
    once = f.page->newListener("once", [&f, &once, &aliveAfterRemoving] {
        // Taken first: this function object goes with the listener if the field lets it go.
        Field* field = &f;
        NPObject* self = once;
        bool* alive = &aliveAfterRemoving;
        field->call("removeEventListener", {text("eventTab")});
        *alive = npbrowser::isLiveObject(self);
    });
    f.call("addEventListener", {text("eventTab"), Value::makeObject(once)});
    ASSERT_TRUE(f.page->dropReference(once));  // only the field holds it now
    f.page->pressKey("tab");
    EXPECT_TRUE(aliveAfterRemoving);
    EXPECT_FALSE(npbrowser::isLiveObject(once));
    f.page->pressKey("tab");
    EXPECT_EQ(onReturn->referenceCount, 2u);  // the host's and the field's, after many calls
    int tabs = 0;
    for (const auto& c : f.page->listenerCalls()) tabs += c.listener == "once";
    EXPECT_EQ(tabs, 1);
}

TEST(Script, ReplacedAndDestroyedListenersAreReleased) {
    const long releasedBefore = npbrowser::ledger().releases;
    NPObject* first = nullptr;
    {
        Field f;
        first = f.page->newListener("a");
        NPObject* second = f.page->newListener("b");
        f.call("addEventListener", {text("eventDegree"), Value::makeObject(first)});
        EXPECT_EQ(first->referenceCount, 2u);  // the host's and the field's
        f.call("addEventListener", {text("eventDegree"), Value::makeObject(second)});
        EXPECT_EQ(first->referenceCount, 1u);
        EXPECT_EQ(second->referenceCount, 2u);
        f.call("addEventListener", {text("eventReturn"), Value::makeObject(second)});
        EXPECT_EQ(second->referenceCount, 3u);
    }
    EXPECT_FALSE(npbrowser::isLiveObject(first));
    EXPECT_GT(npbrowser::ledger().releases, releasedBefore);
    EXPECT_EQ(npbrowser::ledger().memAllocated, 0) << "browser memory left behind";
}

// A page handler that removes the field from inside the field's own event
// (the field calls page script from its key handling): the field stays whole
// until that handling has returned and goes then; what the page still holds
// of it answers nothing, and the browser's handle, freed as the page removes
// the plug-in, is not used again.
TEST(Script, AHandlerThatRemovesTheFieldInsideItsEventEndsItSafely) {
    struct Row {
        const char* event;
        const char* key;  // null: a character is typed
    } rows[] = {{"eventDegree", nullptr}, {"eventReturn", "return"}, {"eventTab", "tab"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.event);
        Field f;
        NPObject* handler = nullptr;
        std::vector<std::string> answers;
        uint32_t heldDuringCall = 0;
        handler = f.page->newListener("remover", [&] {
            f.page->destroy();
            answers.push_back(f.call("getLength"));
            answers.push_back(f.call("getValue"));
            heldDuringCall = handler->referenceCount;
        });
        ASSERT_EQ(f.call("addEventListener", {text(row.event), Value::makeObject(handler)}), "void");
        f.activate();
        if (row.key != nullptr)
            f.page->pressKey(row.key);
        else
            f.page->typeText("a");
        EXPECT_EQ(answers, (std::vector<std::string>{"<failed>", "<failed>"}));
        EXPECT_EQ(heldDuringCall, 3u);  // the page's, the field's and the call's own: the field was whole
        EXPECT_EQ(handler->referenceCount, 1u);  // the field let go once the key was handled
        EXPECT_EQ(f.call("getLength"), "<failed>");
    }
}

// The typed characters leave no copy once the page clears the field, nor in
// the memory given back when the field goes (password mode: nothing else
// holds them as UTF-16; each key event carries one character).
TEST(Script, TheTypedTextIsWipedByClearAndWhenTheFieldGoes) {
    static const char16_t typed[] = u"Qz7Wipe9Me";
    const size_t bytes = sizeof typed - sizeof typed[0];
    auto type = [](Field& f) {
        f.activate();
        for (const char16_t* c = typed; *c != 0; ++c) f.page->keyDown(QString(QChar(*c)));
    };
    Field cleared;
    type(cleared);
    ASSERT_GE(secretwatch::copiesInProcessMemory(typed, bytes), 1u)
        << "the watch does not see the field's text";
    EXPECT_EQ(cleared.call("clear"), "void");
    EXPECT_EQ(secretwatch::copiesInProcessMemory(typed, bytes), 0u);

    Field removed(cleared, {{"width", "220"}, {"height", "30"}});
    type(removed);
    EXPECT_EQ(secretwatch::copiesFreedDuring(typed, bytes, [&] { removed.page->destroy(); }), 0L);

    // The calculation factor, which goes into an envelope beside the text, too.
    static const char factor[] = "Fq3Factor7";
    Field withFactor(cleared, {{"width", "220"}, {"height", "30"}});
    ASSERT_EQ(withFactor.call("setCalcFactor", {text(factor)}), "void");
    EXPECT_EQ(secretwatch::copiesFreedDuring(factor, sizeof factor - 1, [&] { withFactor.page->destroy(); }),
              0L);
}

TEST(Outputs, GetValueIsTheEnvelopeOfTheTypedTextAndItsTimestamp) {
    Field f;
    f.activate();
    f.page->typeText("abc_12");
    f.call("setTimestamp", {text("1000")});
    const decoder::Envelope env = open(unquote(f.call("getValue")));
    EXPECT_EQ(env.text, "abc_12");
    EXPECT_EQ(env.timestamp, "1000");  // password mode: the page's timestamp as given
    EXPECT_EQ(unquote(f.call("getPinValue")).empty(), false);
    EXPECT_EQ(open(unquote(f.call("getPinValue"))).text, "abc_12");

    // Edit mode advances the timestamp by the whole seconds since creation.
    Field e(f, {{"width", "220"}, {"height", "30"}, {"entertype", "EDIT"}});
    e.activate();
    e.page->typeText("abc_12");
    e.call("setTimestamp", {text("1000")});
    const long long before = std::time(nullptr);
    e.impl->setCreatedAtForTesting(static_cast<int32_t>(before - 3));
    const std::string ts = open(unquote(e.call("getValue"))).timestamp;
    const long long after = std::time(nullptr);
    EXPECT_GE(std::stoll(ts), 4000);
    EXPECT_LE(std::stoll(ts), (after - before + 3) * 1000 + 1000);
}

TEST(Outputs, VerifyCodesComeInTheirOrder) {
    // Why a page's pattern matches nothing, for the page's developer.
    const char* const kRepeatLimit =
        "accepts pattern refused: a counted repeat {n,m} needs n <= m <= 1000 (nested repeats: their "
        "product)";
    const char* const kInvalid = "accepts pattern refused: not a valid pattern";
    const char* const kNotAscii = "accepts pattern refused: a character outside ASCII";
    struct Row {
        Params params;
        std::string typed;
        int32_t minLength;
        const char* code;
        const char* lastError = "";
    } rows[] = {
        {{}, "", 6, "-1"},
        {{}, "", -1, "-1"},
        {{}, "ab1c2", 6, "-2"},
        {{}, "abc_12", 6, "0"},
        {{}, "abc-12", 6, "-3"},
        {{}, "abc 12", 6, "-3"},
        {{}, "abc", -1, "-2"},  // a negative minimum compares as a huge one
        {{}, "ab-", 6, "-2"},   // too short wins over the pattern
        {{{"contentType", "3"}}, "abcdef", 6, "-6"},
        {{{"contentType", "2"}}, "123456", 6, "-6"},
        {{{"contentType", "3"}}, "abc123", 6, "0"},
        {{{"contentType", "8"}}, "abcdef", 6, "0"},
        {{{"contentType", "4"}}, "abc123", 6, "-6"},
        {{{"contentType", "4"}, {"accepts", "[[:alnum:][:punct:]]+"}}, "abc12!", 6, "0"},
        {{{"contentType", "4"}}, "abc12!", 6, "-3"},  // the pattern is checked first
        {{{"accepts", "(a|aa)*b"}}, "aaaaaaab", 6, "0"},
        {{{"accepts", "[:digit:]+"}}, "digitdigit", 6, "-3"},
        {{{"accepts", "[:digit:]+"}}, "123456", 6, "0"},
        {{{"accepts", "(unclosed"}}, "abcdef", 6, "-3", kInvalid},
        {{{"accepts", "(unclosed"}}, "", 6, "-1", kInvalid},
        {{{"accepts", "\xC3\xA9+"}}, "abcdef", 6, "-3", kNotAscii},  // no ASCII form: matches nothing
        {{{"accepts", "\\w{6,1000}"}}, "abcdef", 6, "0"},
        {{{"accepts", "\\w{6,1001}"}}, "abcdef", 6, "-3", kRepeatLimit},
        {{{"accepts", "\\w{1001,}"}}, "abcdef", 6, "-3", kRepeatLimit},
        {{{"accepts", "(\\w{1,50}){1,20}"}}, "abcdef", 6, "0"},
        {{{"accepts", "(\\w{1,50}){1,30}"}}, "abcdef", 6, "-3", kRepeatLimit},
        {{{"accepts", "\\w{7,6}"}}, "abcdef", 6, "-3", kRepeatLimit},
        {{}, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 6, "-3"},
    };
    for (const auto& row : rows) {
        Params p = {{"width", "220"}, {"height", "30"}};
        p.insert(p.end(), row.params.begin(), row.params.end());
        Field f(p);
        f.page->setProperty("minLength", num(row.minLength));
        f.activate();
        f.page->typeText(QString::fromUtf8(row.typed.c_str()));
        EXPECT_EQ(f.call("verify"), row.code) << "'" << row.typed << "' min " << row.minLength;
        EXPECT_EQ(f.call("getValue") == "<failed>", std::string(row.code) != "0") << row.typed;
        EXPECT_EQ(f.call("lastError"), "\"" + std::string(row.lastError) + "\"") << row.params.back().second;
    }
}

TEST(Outputs, APasswordLongerThanANarrowFieldIsNotTooShort) {
    // 65 points show 5 characters; 20 points not even one (about 0.9), and
    // the field still shows one at a time rather than an unlimited window.
    struct Row {
        const char* width;
        uint64_t capacity;
        const char* shown;
    } rows[] = {{"65", 5, "*****"}, {"20", 1, "*"}};
    for (const auto& row : rows) {
        Field f({{"width", row.width}, {"height", "30"}});
        f.activate();
        f.page->typeText("abcdefgh");
        ASSERT_EQ(f.impl->visibleCapacityForTesting(), row.capacity) << row.width;
        EXPECT_EQ(f.shown(), row.shown);
        EXPECT_EQ(f.call("verify"), "0");
        EXPECT_EQ(open(unquote(f.call("getValue"))).text, "abcdefgh");
    }
}

TEST(Outputs, MeasureDigestIsTheSaltedMd5OfTheTypedText) {
    Field f({{"width", "220"}, {"height", "30"}, {"entertype", "edit"}});
    EXPECT_EQ(unquote(f.call("getMeasureValue")), md5Hex(VARNEX_MEASURE_SALT));
    f.activate();
    f.page->typeText("pass\\w0rd");
    EXPECT_EQ(unquote(f.call("getMeasureValue")), md5Hex(std::string(VARNEX_MEASURE_SALT) + "pass\\\\w0r"));
    f.call("clear");
    f.page->typeText(QString::fromUtf8("x\xC3\xA9\xE4\xB8\xAD"));  // x, e-acute, a CJK character
    // Non-lossy escapes \351 and \u4e2d, cut to as many bytes as there are units (3).
    EXPECT_EQ(unquote(f.call("getMeasureValue")), md5Hex(std::string(VARNEX_MEASURE_SALT) + "x\\3"));
}

TEST(Outputs, TimestampsParseLeadingDigitsAndNeverGoBackToZero) {
    Field f;
    struct Row {
        const char* text;
        long long stored;
    } rows[] = {{"1234", 1234},
                {"0", 1234},
                {"abc", 1234},
                {"  56xyz", 56},
                {"-7", -7},
                {"", -7},
                {"99999999999999999999", LLONG_MAX}};
    for (const auto& r : rows) {
        f.call("setTimestamp", {text(r.text)});
        EXPECT_EQ(f.impl->timestampForTesting(), r.stored) << r.text;
    }
}

// The edit-mode timestamp is the page's advanced by the seconds since the
// field was made; at the ends of its range it stays there instead of
// wrapping to the other end (also for a clock set back since).
TEST(Outputs, ElapsedTimestampsStopAtTheEndsOfTheirRange) {
    struct Row {
        const char* set;
        int secondsAgo;
        const char* sent;
    } rows[] = {
        {"9223372036854775807", 2, "9223372036854775807"},
        {"9223372036854774808", 2, "9223372036854775807"},
        {"9223372036854773807", 2, "9223372036854775807"},  // exactly at the end: 2000 later
        {"-9223372036854775808", -2, "-9223372036854775808"},
        {"-9223372036854774808", -2, "-9223372036854775808"},
    };
    Field page;
    for (const auto& row : rows) {
        Field f(page, {{"width", "220"}, {"height", "30"}, {"entertype", "edit"}});
        f.activate();
        f.page->typeText("abc_12");
        f.call("setTimestamp", {text(row.set)});
        // A second passing before getValue moves nothing: every row is at an end.
        f.impl->setCreatedAtForTesting(static_cast<int32_t>(std::time(nullptr) - row.secondsAgo));
        EXPECT_EQ(open(unquote(f.call("getValue"))).timestamp, row.sent) << row.set;
    }
}

class FakeMachine {
public:
    FakeMachine(const char* mac, const char* serial) {
        root_ = fs::temp_directory_path() / ("varnex-machine-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "proc/net");
        fs::create_directories(root_ / "sys/class/net/eth0");
        fs::create_directories(root_ / "etc");
        std::ofstream(root_ / "proc/net/route")
            << "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n"
            << "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\n";
        if (mac != nullptr) std::ofstream(root_ / "sys/class/net/eth0/address") << mac << "\n";
        if (serial != nullptr) std::ofstream(root_ / "etc/machine-id") << serial << "\n";
        setenv("QD_MACHINE_ROOT", root_.c_str(), 1);
    }
    ~FakeMachine() {
        unsetenv("QD_MACHINE_ROOT");
        fs::remove_all(root_);
    }

private:
    fs::path root_;
};

TEST(Outputs, MachineFingerprintJoinsWhatTheMachineHas) {
    struct Row {
        const char* mac;
        const char* serial;
        const char* fingerprint;
    } rows[] = {
        {"00:1a:2b:3c:4d:5e", "0f9e8d7c6b5a49382716054433221100",
         "001a2b3c4d5e-0f9e8d7c6b5a49382716054433221100-1.0.0.1"},
        {"00:1A:2B:3C:4D:5E", nullptr, "001a2b3c4d5e-1.0.0.1"},
        {nullptr, "SERIAL9", "SERIAL9-1.0.0.1"},
        {nullptr, nullptr, "-1"},
    };
    for (const auto& r : rows) {
        FakeMachine machine(r.mac, r.serial);
        Field f;
        EXPECT_EQ(open(unquote(f.call("getMFM"))).text, r.fingerprint);
    }
}

TEST(Outputs, PageKeyVariantsUseThePageKeyAsThePlatformKey) {
    Keys keys;
    auto readHex = [](const char* name) {
        std::ifstream in(std::string(SECURITY_KEYS_DIR) + "/" + name);
        std::string hex;
        in >> hex;
        return hex;
    };
    Field f;
    f.activate();
    f.page->typeText("s3cret");
    f.call("setCalcFactor", {text("ABCDEFGHIJ")});
    // Without a page key the variants keep mode 0.
    char* plain = f.impl->getPinValueForKESTA();
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(open(plain).text, "s3cret");
    std::free(plain);

    f.call("publicKeyModulus", {text(readHex("platform_rsa1024.modulus.hex"))});
    char* orvisa = f.impl->getPinValueForORVISA();
    ASSERT_NE(orvisa, nullptr);
    decoder::Envelope env;
    std::string password, error;
    ASSERT_TRUE(decoder::openMode2(keys.app.get(), keys.platformRsa.get(), orvisa, env, password, error))
        << error;
    EXPECT_EQ(password, "s3cretABCDEFGH");  // the first 8 characters of the factor
    std::free(orvisa);

    f.call("sm2PublicKey", {text(readHex("platform_sm2.pub.hex"))});
    char* kesta = f.impl->getPinValueForKESTA();
    ASSERT_NE(kesta, nullptr);
    decoder::Bytes block;
    ASSERT_TRUE(decoder::openSm2Mode(keys.app.get(), keys.sm2.get(), kesta, env, block, error)) << error;
    std::string t;
    decoder::Bytes random;
    ASSERT_TRUE(decoder::parseLayoutC(block, t, random, error)) << error;
    EXPECT_EQ(t, "s3cret");
    std::free(kesta);
    // The change lasts: the page's getValue now gives the SM2 form too.
    ASSERT_TRUE(
        decoder::openSm2Mode(keys.app.get(), keys.sm2.get(), unquote(f.call("getValue")), env, block, error))
        << error;
}

}  // namespace
