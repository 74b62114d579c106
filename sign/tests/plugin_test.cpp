// The signing plug-in as a page drives it in the test browser: its script
// table, the values it refuses, and a whole signing through the plug-in
// against a SoftHSM2 token behind the stand-in module, checked by OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <QTimer>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "identity.h"
#include "np_entry.h"
#include "sign/tests/pin_user.h"
#include "sign/tests/sign_testing.h"
#include "sim/browser/npbrowser.h"

namespace {

using npbrowser::Value;
using signtest::ScopedEnv;
using signtest::StandIn;
using signtest::Tokens;

Value text(const std::string& s) { return Value::makeText(s); }

// A page with the signing plug-in, in a host that uses the plug-in's objects
// linked into the test.
struct Page {
    npbrowser::Browser browser;
    std::unique_ptr<npbrowser::Instance> plugin;

    // `origin`: what the browser reports as the page's origin (nothing: it does not say).
    explicit Page(std::optional<std::string> origin = std::nullopt) {
        std::string error;
        browser.settings().documentOrigin = std::move(origin);
        EXPECT_TRUE(browser.attach(NP_Initialize, NP_GetEntryPoints, NP_Shutdown, NP_GetValue, &error))
            << error;
        plugin = browser.newInstance(kPluginIdentity.mimeType, {{"width", "1"}, {"height", "1"}}, nullptr);
        EXPECT_NE(plugin, nullptr);
        if (plugin) plugin->setWindow(1, 1);
    }
    ~Page() { plugin.reset(); }

    std::string call(const std::string& method, std::vector<Value> args = {}) {
        Value result;
        return plugin->invoke(method, args, &result) ? result.describe() : "<failed>";
    }
    std::string get(const std::string& property) {
        Value result;
        return plugin->getProperty(property, &result) ? result.describe() : "<failed>";
    }
    bool set(const std::string& property, const Value& v) { return plugin->setProperty(property, v); }
};

std::string unquote(const std::string& s) { return s.size() >= 2 ? s.substr(1, s.size() - 2) : s; }

TEST(OmbrelScript, FixedAnswersAndArgumentChecks) {
    StandIn standIn(Tokens::get().one());
    Page page;
    const std::vector<std::pair<std::pair<const char*, std::vector<Value>>, const char*>> rows = {
        {{"PKCS7Data", {}}, "\"pkcs7Data:not supported\""},
        {{"VerifyPKCS7", {text("x")}}, "\"verifyPKCS7:not supported\""},
        {{"VerifyPKCS7", {}}, "<failed>"},
        {{"VerifyPKCS7", {text("x"), text("y")}}, "<failed>"},
        {{"VerifyPKCS7", {Value::makeInt(5)}}, "<failed>"},
        {{"VerifySignature", {text("a"), text("b"), text("c")}}, "\"verifySignature:not supported\""},
        {{"VerifySignature", {text("a"), text("b")}}, "<failed>"},
        {{"VerifySignature", {text("a"), Value::makeDouble(2), text("c")}}, "<failed>"},
        {{"LastError", {}}, "\"OK\""},
        {{"getProviderName", {}}, "\"dorn\""},
        {{"getVersion", {}}, "\"1.0.0.28\""},
        {{"saGetTokenCount", {}}, "1"},
        {{"saGetTokenSN", {Value::makeInt(0)}}, "\"getTokenSN:not supported\""},
        {{"saGetTokenCFCAId", {Value::makeObject(nullptr)}}, "\"getTokenCFCAId:not supported\""},
        {{"SetUKeyVendor", {Value::makeInt(3)}}, "void"},
        {{"GetUKeyCount", {}}, "1"},
        {{"GetUKeySN", {text("not an index")}}, "\"getUKeySN:not supported\""},
        {{"GetUKeyCertCount", {Value::makeInt(9)}}, "1"},
        {{"ChangeUKeyPIN", {}}, "1"},
        {{"CreateX509ReqData", {text("a"), Value::makeInt(1)}}, "\"createX509ReqData:not supported\""},
        {{"ImportCertData", {}}, "\"importCertData:not supported\""},
        {{"getProviderCertList", {text("x")}}, "\"getProviderCertList:not supported\""},
        {{"getprovidername", {}}, "<failed>"},
        {{"CN", {}}, "<failed>"},
    };
    for (const auto& [call, expected] : rows)
        EXPECT_EQ(page.call(call.first, call.second), expected) << call.first;
    Value r;
    ASSERT_TRUE(page.plugin->invokeDefault({text("x")}, &r));
    EXPECT_EQ(r.describe(), "\"default method return val\"");
    for (const char* m : {"PKCS7Data", "getCertList", "ChangeUKeyPIN", "getProviderCertList"})
        EXPECT_TRUE(page.plugin->hasMethod(m)) << m;
    for (const char* p : {"CN", "SignData", "IssuerCN", "Signature", "SignFile", "HashAlgorithm", "JSCB"})
        EXPECT_TRUE(page.plugin->hasProperty(p)) << p;
    EXPECT_FALSE(page.plugin->hasProperty("LastError"));
    EXPECT_EQ(standIn.counter("loads"), 0);  // none of these touched the module
}

TEST(OmbrelScript, PropertiesReadAndWriteAsTheTableSays) {
    StandIn standIn(Tokens::get().one());
    Page page;
    for (const char* p : {"CN", "IssuerCN", "HashAlgorithm"}) {
        EXPECT_TRUE(page.set(p, text("x"))) << p;
        EXPECT_EQ(page.get(p), "<failed>") << p;  // written, never read
    }
    EXPECT_EQ(page.get("JSCB"), "<failed>");
    EXPECT_FALSE(page.set("JSCB", text("x")));
    EXPECT_FALSE(page.set("Signature", text("x")));
    EXPECT_FALSE(page.set("Nope", text("x")));
    EXPECT_EQ(page.get("SignFile"), "\"getSignFile:not supported\"");
    EXPECT_TRUE(page.set("SignFile", text("c:\\a.txt")));
    EXPECT_EQ(page.get("SignFile"), "\"getSignFile:not supported\"");

    // Values that are not texts are refused and change nothing.
    const auto& cert = Tokens::get().one().byId("QD Key A", "02");
    EXPECT_TRUE(page.set("CN", text(cert.serial)));
    EXPECT_TRUE(page.set("SignData", text("abc")));
    EXPECT_FALSE(page.set("CN", Value::makeInt(12)));
    EXPECT_FALSE(page.set("SignData", Value::makeDouble(1.5)));
    EXPECT_FALSE(page.set("HashAlgorithm", Value::makeBool(true)));
    EXPECT_FALSE(page.set("SignData", Value::makeNull()));
    const std::string signedText = unquote(page.get("SignData"));
    EXPECT_EQ(signedText.substr(0, 19), "UD65001:00000003abc");
    EXPECT_EQ(page.call("LastError"), "\"OK\"");
    EXPECT_TRUE(standIn.tornDown());

    // A text with a NUL stores what comes before it.
    EXPECT_TRUE(page.set("SignData", text(std::string("ab\0cd", 5))));
    EXPECT_EQ(unquote(page.get("SignData")).substr(0, 18), "UD65001:00000002ab");
    EXPECT_EQ(npbrowser::ledger().memAllocated, 0);
}

TEST(OmbrelScript, EmptySignDataFailsWithoutLoadingTheModule) {
    StandIn standIn(Tokens::get().one());
    Page page;
    EXPECT_EQ(page.get("SignData"), "\"E:1000\"");
    EXPECT_EQ(page.call("LastError"), "\"Params invalid\"");
    EXPECT_EQ(page.get("Signature"), "\"E:1000\"");
    EXPECT_EQ(standIn.counter("loads"), 0);
    // A lower-case selector finds nothing.
    const auto& cert = Tokens::get().one().byId("QD Key A", "02");  // 80F00D2048
    std::string lower = cert.serial;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    page.set("CN", text(lower));
    page.set("SignData", text("data"));
    EXPECT_EQ(page.get("SignData"), "\"E:1000\"");
    EXPECT_EQ(page.call("LastError"), "\"CN not matched\"");
    EXPECT_TRUE(standIn.tornDown());
}

// The page's whole road: list, choose, sign, export the certificate, and
// OpenSSL checks the signature against the exported certificate.
TEST(OmbrelScript, APageListsSignsAndExportsThroughThePlugin) {
    StandIn standIn(Tokens::get().one());
    Page page;
    const std::string list = unquote(page.call("getCertList"));
    const auto& cert = Tokens::get().one().byId("QD Key A", "02");
    ASSERT_NE(list.find("CN=\xE5\xBC\xA0\xE4\xB8\x89," + cert.serial + ";"), std::string::npos) << list;
    EXPECT_TRUE(standIn.tornDown());

    ASSERT_TRUE(page.set("CN", text(cert.serial)));
    ASSERT_TRUE(page.set("SignData", text("pay 100 to 6222")));
    for (const char* hash : {"md5", "sha1", "sha256"}) {
        ASSERT_TRUE(page.set("HashAlgorithm", text(hash)));
        const std::string signature = unquote(page.get("Signature"));
        ASSERT_EQ(signature.substr(0, 8), "US65001:") << signature;
        const std::string hex = signature.substr(16);
        EXPECT_EQ(signature.substr(8, 8), "00000512");  // 2048 bits: 256 bytes, 512 digits
        const std::string exported = unquote(page.call("SignCert"));
        std::vector<unsigned char> der(exported.size());
        const int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(exported.data()),
                                      static_cast<int>(exported.size()));
        ASSERT_GT(n, 0);
        der.resize(cert.der().size());
        EXPECT_EQ(der, cert.der());
        EXPECT_TRUE(
            signtest::verifies(der, "pay 100 to 6222", signtest::fromHex(hex), signtest::digestNamed(hash)))
            << hash;
        EXPECT_TRUE(standIn.tornDown());
    }
    EXPECT_EQ(page.call("LastError"), "\"OK\"");
}

// Page script runs while a signing call waits in the module's PIN window (a
// page timer fires in the window's nested event loop): whatever the page
// does there, the call in progress goes on to its signature. A script call
// that arrives meanwhile is refused (a second bracket would finalise the
// module under the first); a page that removes the plug-in gets its
// signature all the same, and the instance goes once the call has returned.
TEST(OmbrelScript, WhatThePageDoesWhileThePinWindowIsUpLeavesTheSigningWhole) {
    ScopedEnv carrow("QD_CARROW_LIBRARY", QD_CARROW_PATH);
    const auto& cert = Tokens::get().one().byId("QD Key A", "02");
    struct Row {
        const char* label;
        std::function<std::string(Page&)> meanwhile;  // what the page's timer does; what it got
        const char* got;
    } rows[] = {
        {"reads SignData again", [](Page& p) { return p.get("SignData"); }, "<failed>"},
        {"lists the certificates", [](Page& p) { return p.call("getCertList"); }, "<failed>"},
        {"sets the hash algorithm",
         [](Page& p) { return p.set("HashAlgorithm", text("md5")) ? "ok" : "<failed>"; }, "<failed>"},
        {"asks for the last error", [](Page& p) { return p.call("LastError"); }, "<failed>"},
        {"removes the plug-in",
         [](Page& p) {
             p.plugin->destroy();
             return std::string("removed");
         },
         "removed"},
        {"removes the plug-in and calls the object it kept",
         [](Page& p) {
             p.plugin->destroy();
             return p.call("LastError");  // it answers nothing
         },
         "<failed>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        StandIn standIn(Tokens::get().one(), nullptr);  // no test PIN: the module asks the user
        Page page;
        ASSERT_TRUE(page.set("CN", text(cert.serial)));
        ASSERT_TRUE(page.set("SignData", text("pay 100 to 6222")));
        ASSERT_TRUE(page.set("HashAlgorithm", text("sha256")));
        NPObject* scriptable = page.plugin->scriptableObject();
        ASSERT_NE(scriptable, nullptr);
        std::string got = "<not run>";
        signtest::Seen seen;
        QTimer* user = signtest::playUser(&seen, "12345678", nullptr, [&] { got = row.meanwhile(page); });
        const std::string signedText = unquote(page.get("SignData"));
        delete user;

        EXPECT_EQ(got, row.got);
        EXPECT_EQ(seen.prompts, 1);
        EXPECT_EQ(signedText.substr(0, 27), "UD65001:00000015pay 100 to ")
            << signedText << " " << (page.plugin->destroyed() ? "" : page.call("LastError"));
        EXPECT_TRUE(signedText.size() > 39 &&
                    signtest::verifies(cert.der(), "pay 100 to 6222",
                                       signtest::fromHex(signedText.substr(39)), EVP_sha256()));
        EXPECT_EQ(standIn.counter("pin_prompts"), 1);
        EXPECT_TRUE(standIn.tornDown());
        if (!page.plugin->destroyed()) {
            EXPECT_EQ(page.call("LastError"), "\"OK\"");
        }
        page.plugin.reset();  // the page goes: the host lets go of what it held
        EXPECT_FALSE(npbrowser::isLiveObject(scriptable));
    }
}

// Any page that loads the plug-in could read the key's certificates. Where
// the browser tells the page's origin, only the origins the signing bridge's
// allow-list names get the service; a browser that does not tell serves
// every page, as before.
TEST(OmbrelScript, WhereTheBrowserTellsTheOriginOnlyAllowedPagesAreServed) {
    StandIn standIn(Tokens::get().one());
    const std::string list = standIn.dir() + "/allowed-origins";
    std::ofstream(list) << "https://bank.example\n";
    signtest::ScopedEnv system("QD_BRIDGE_SYSTEM_ORIGINS", list);
    signtest::ScopedEnv user("XDG_CONFIG_HOME", standIn.dir() + "/config");
    const std::vector<std::pair<std::optional<std::string>, bool>> pages = {
        {"https://bank.example", true},
        {"https://BANK.example:443", true},
        {std::nullopt, true},
        {"https://evil.example", false},
        {"null", false},  // an opaque origin: a sandboxed page
        {"http://bank.example", false},
        {"", false},
    };
    for (const auto& [origin, served] : pages) {
        const long loads = standIn.counter("loads");
        {
            Page page(origin);
            const std::string certs = page.call("getCertList");
            EXPECT_EQ(certs.rfind("\"CN=", 0) == 0, served) << origin.value_or("(not told)") << ": " << certs;
            if (!served) {
                EXPECT_EQ(page.call("getVersion"), "<failed>");
                EXPECT_FALSE(page.set("CN", text("80F00D2048")));
                EXPECT_EQ(page.get("SignData"), "<failed>");
                EXPECT_EQ(standIn.counter("loads"), loads) << "a refused page never reaches the module";
            }
        }
        EXPECT_EQ(npbrowser::ledger().memAllocated, 0) << "the origin's text goes back to the browser";
    }
}

TEST(OmbrelEvents, AcknowledgesDrawMouseAndFocusOnly) {
    StandIn standIn(Tokens::get().one());
    Page page;
    const std::map<NPCocoaEventType, int16_t> rows = {
        {NPCocoaEventDrawRect, 1},     {NPCocoaEventMouseDown, 1},   {NPCocoaEventMouseMoved, 1},
        {NPCocoaEventFocusChanged, 1}, {NPCocoaEventMouseUp, 0},     {NPCocoaEventKeyDown, 0},
        {NPCocoaEventKeyUp, 0},        {NPCocoaEventScrollWheel, 0}, {NPCocoaEventTextInput, 0},
    };
    for (const auto& [type, handled] : rows) {
        NPCocoaEvent e{};
        e.type = type;
        EXPECT_EQ(page.plugin->sendEvent(e), handled) << type;
    }
}

}  // namespace
