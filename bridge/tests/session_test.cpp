// Every request of the page's interface through a session over the real
// signing engine, against a SoftHSM2 token through the stand-in module: the
// answers are the engine's own, bad requests change nothing, and only the
// allowed origin is served.
#include "bridge/host/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/tests/scoped_env.h"
#include "sign/PKCS11Impl.h"
#include "sign/tests/sign_testing.h"

namespace {

using nlohmann::json;
using signtest::StandIn;
using signtest::Tokens;

const std::string kBank = "https://bank.example";
const std::string kSerial = "80F00D2048";  // RSA-2048, CN=张三

class SessionTest : public ::testing::Test {
protected:
    SessionTest() : standIn_(Tokens::get().one()) {
        allowList_ = standIn_.dir() + "/allowed-origins";
        std::ofstream(allowList_) << kBank << "\nhttps://second.example\n";
    }

    json ask(const json& request) { return ask(request.dump()); }
    json ask(const std::string& body) {
        bridge::Frame frame;
        frame.kind = bridge::Frame::Kind::Message;
        frame.body = body;
        const std::string reply = session_.answer(frame);
        EXPECT_LE(reply.size(), bridge::kMaxMessage);
        return json::parse(reply);
    }
    json request(const char* op, const std::string& name, const std::string& origin = kBank) {
        return json{{"id", ++id_}, {"origin", origin}, {op, name}};
    }
    json set(const std::string& name, const json& value, const std::string& origin = kBank) {
        auto r = request("set", name, origin);
        r["value"] = value;
        return ask(r);
    }
    json get(const std::string& name) { return ask(request("get", name)); }
    json call(const std::string& name, const json& args = json::array()) {
        auto r = request("call", name);
        r["args"] = args;
        return ask(r);
    }

    StandIn standIn_;
    std::string allowList_;
    PKCS11Impl engine_;
    bridge::Session session_{engine_, bridge::AllowList({standIn_.dir() + "/allowed-origins"})};
    int id_ = 0;
};

std::string errorCode(const json& reply) {
    return reply.contains("error") ? reply["error"]["code"].get<std::string>() : "";
}

TEST_F(SessionTest, ThePagesSigningGivesTheEnginesOwnAnswersWhichOpenSslVerifies) {
    const json list = call("getCertList");
    EXPECT_EQ(list["result"], engine_.getCertList());
    EXPECT_NE(list["result"].get<std::string>().find("CN=张三," + kSerial + ";"), std::string::npos);

    const std::string data = "pay 100 to 6222 付款";
    const json written = set("CN", kSerial);
    EXPECT_EQ(written, (json{{"id", id_}, {"result", nullptr}}));
    EXPECT_EQ(set("SignData", data)["result"], nullptr);
    EXPECT_EQ(set("HashAlgorithm", "sha256")["result"], nullptr);
    const json signedData = get("SignData");
    ASSERT_TRUE(signedData.contains("result")) << signedData;
    const std::string text = signedData["result"];
    ASSERT_EQ(text.rfind("UD65001:" + std::string("00000022") + data + "00000512", 0), 0u) << text;
    const auto signature = qdpkcs11::testing::fromHex(text.substr(text.size() - 512));
    const auto& cert = Tokens::get().one().byId("QD Key A", "02");
    EXPECT_TRUE(signtest::verifies(cert.der(), data, signature, EVP_sha256()));

    // RSA PKCS#1 v1.5 is deterministic: the signature read alone is the same one.
    const json signatureOnly = get("Signature");
    EXPECT_EQ(signatureOnly["result"], "US65001:00000512" + text.substr(text.size() - 512));
    EXPECT_EQ(call("LastError")["result"], "OK");
    const json exported = call("SignCert");
    EXPECT_EQ(exported["result"], engine_.signCert());
    EXPECT_TRUE(standIn_.tornDown());
}

TEST_F(SessionTest, EachWriteReachesItsOwnText) {
    set("CN", kSerial);
    set("SignData", "abc");
    const std::string sha1 = get("SignData")["result"];
    set("HashAlgorithm", "md5");
    const std::string md5 = get("SignData")["result"];
    EXPECT_NE(md5, sha1) << "HashAlgorithm chooses the mechanism";
    set("HashAlgorithm", std::string("md5\0sha256", 10));  // the name ends at its NUL
    EXPECT_EQ(get("SignData")["result"], md5);
    set("HashAlgorithm", "SHA256");  // any other name is SHA-1, as in the plug-in
    EXPECT_EQ(get("SignData")["result"], sha1);
    set("IssuerCN", "0A1024");
    set("SignFile", "0A1024");
    EXPECT_EQ(get("SignData")["result"], sha1) << "IssuerCN and SignFile do not choose the certificate";
    EXPECT_EQ(engine_.getIssuerCN(), "0A1024");
    set("CN", std::string("0A1024\0tail", 11));  // kept up to the NUL, as the plug-in keeps it
    EXPECT_EQ(engine_.getCN(), "0A1024");
    set("SignData", std::string("abc\0def", 7));
    EXPECT_EQ(get("SignData")["result"].get<std::string>().rfind("UD65001:00000003abc00000256", 0), 0u);
    set("CN", "nothing like it");
    EXPECT_EQ(get("SignData")["result"], "E:1000");
    EXPECT_EQ(call("LastError")["result"], "CN not matched");
}

TEST_F(SessionTest, TheFixedAnswersAreThePluginsWithTheirTypes) {
    const std::vector<std::pair<std::string, json>> fixed = {
        {"PKCS7Data", "pkcs7Data:not supported"},
        {"getProviderName", "dorn"},
        {"getVersion", "1.0.0.28"},
        {"saGetTokenCount", 1},
        {"saGetTokenSN", "getTokenSN:not supported"},
        {"saGetTokenCFCAId", "getTokenCFCAId:not supported"},
        {"SetUKeyVendor", nullptr},
        {"GetUKeyCount", 1},
        {"GetUKeySN", "getUKeySN:not supported"},
        {"GetUKeyCertCount", 1},
        {"ChangeUKeyPIN", 1},
        {"CreateX509ReqData", "createX509ReqData:not supported"},
        {"ImportCertData", "importCertData:not supported"},
        {"getProviderCertList", "getProviderCertList:not supported"},
    };
    for (const auto& [name, answer] : fixed) {
        const json reply = call(name, json::array({0, "unused"}));  // arguments the plug-in never examines
        EXPECT_EQ(reply, (json{{"id", id_}, {"result", answer}})) << name;
    }
    EXPECT_EQ(call("VerifyPKCS7", {"x"})["result"], "verifyPKCS7:not supported");
    EXPECT_EQ(call("VerifySignature", {"a", "b", "c"})["result"], "verifySignature:not supported");
    EXPECT_EQ(get("SignFile")["result"], "getSignFile:not supported");
    EXPECT_EQ(standIn_.counter("loads"), 0) << "no fixed answer loads the module";
}

TEST_F(SessionTest, ABadRequestGetsItsErrorAndChangesNothing) {
    set("CN", kSerial);
    set("SignData", "abc");
    set("HashAlgorithm", "sha256");
    const json before = get("SignData");
    ASSERT_EQ(before["result"].get<std::string>().rfind("UD65001:00000003abc", 0), 0u) << before;
    const int loads = standIn_.counter("loads");

    struct Case {
        std::string body;
        const char* code;
    };
    const std::vector<Case> cases = {
        {R"({"id":1,"origin":"https://bank.example","set":"CN","value":5})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"CN","value":null})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"CN","value":["0A1024"]})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"CN"})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"HashAlgorithm","value":true})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"SignData","value":{"a":"b"}})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"Cn","value":"0A1024"})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":7,"value":"0A1024"})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"Signature","value":"x"})", "refused"},
        {R"({"id":1,"origin":"https://bank.example","set":"JSCB","value":"x"})", "refused"},
        {R"({"id":1,"origin":"https://bank.example","get":"CN"})", "refused"},
        {R"({"id":1,"origin":"https://bank.example","get":"HashAlgorithm"})", "refused"},
        {R"({"id":1,"origin":"https://bank.example","get":"Nothing"})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","call":"SetCN","args":["0A1024"]})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","call":"VerifySignature","args":["a","b"]})",
         "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","call":"VerifyPKCS7","args":[1]})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","call":"VerifyPKCS7"})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","call":"getVersion","args":"x"})", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"CN","value":"0A1024","get":"SignData"})",
         "bad-request"},
        {R"({"id":1,"origin":"https://bank.example"})", "bad-request"},
        {R"({"id":1,"set":"CN","value":"0A1024"})", "bad-request"},
        {R"({"id":1,"origin":7,"set":"CN","value":"0A1024"})", "bad-request"},
        {R"({"id":{},"origin":"https://bank.example","set":"CN","value":"0A1024"})", "bad-request"},
        {R"({"id":[[[[[[1]]]]]],"origin":"https://bank.example","set":"CN","value":"0A1024"})",
         "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"CN","value":"0A1024","x":[[[[[1]]]]]})",
         "bad-request"},
        {R"({"id":1,"origin":"https://evil.example","set":"CN","value":"0A1024"})", "not-allowed"},
        {R"({"id":1,"origin":"http://bank.example","set":"CN","value":"0A1024"})", "not-allowed"},
        {R"({"id":1,"origin":"null","set":"CN","value":"0A1024"})", "not-allowed"},  // an opaque origin
        {R"({"id":1,"origin":"https://second.example","set":"CN","value":"0A1024"})", "not-allowed"},
        {R"(["set","CN"])", "bad-request"},
        {R"("text")", "bad-request"},
        {R"({"id":1,"origin":"https://bank.example","set":"CN","value":"0A1024")", "malformed"},
        {"", "malformed"},
        {"\xff\xfe{}", "malformed"},
        {R"({"id":1,"origin":"https://bank.example","set":"CN","value":"\xC3"})", "malformed"},
    };
    for (const auto& c : cases) {
        const json reply = ask(c.body);
        EXPECT_EQ(errorCode(reply), c.code) << c.body << " -> " << reply;
        EXPECT_FALSE(reply["error"]["message"].get<std::string>().empty()) << c.body;
    }
    EXPECT_EQ(standIn_.counter("loads"), loads) << "no refused request reached the module";
    const json after = get("SignData");
    EXPECT_EQ(after, (json{{"id", id_}, {"result", before["result"]}}));
}

TEST_F(SessionTest, AnswersEchoTheIdOfTheRequest) {
    for (const json& id : {json(7), json(-1.5), json("page-3"), json(nullptr)}) {
        json r = {{"origin", kBank}, {"call", "getVersion"}};
        r["id"] = id;
        EXPECT_EQ(ask(r)["id"], id);
    }
    EXPECT_EQ(ask(json{{"origin", kBank}, {"call", "getVersion"}}),
              (json{{"id", nullptr}, {"result", "1.0.0.28"}}));
    EXPECT_EQ(ask(json{{"id", 5}, {"origin", "https://evil.example"}, {"call", "getVersion"}})["id"], 5);
    const std::string longest(256, 'i');
    EXPECT_EQ(ask(json{{"id", longest}, {"origin", kBank}, {"call", "getVersion"}})["id"], longest);
    const json longId = ask(json{{"id", std::string(257, 'i')}, {"origin", kBank}, {"call", "getVersion"}});
    EXPECT_EQ(errorCode(longId), "bad-request");
    EXPECT_EQ(longId["id"], nullptr) << "a long id is not echoed";
}

TEST_F(SessionTest, ASessionServesOnlyTheFirstOriginItServed) {
    EXPECT_FALSE(session_.ended());
    const json refused = ask(json{{"id", 1}, {"origin", "https://evil.example"}, {"call", "getVersion"}});
    EXPECT_EQ(errorCode(refused), "not-allowed");
    EXPECT_EQ(refused["error"]["message"],
              "origin https://evil.example is not allowed to use the signing service");
    EXPECT_TRUE(session_.ended()) << "the host stops after refusing";
    // A refusal binds nothing: the first origin served is the allowed one that comes next.
    EXPECT_EQ(set("CN", kSerial, "https://second.example")["result"], nullptr);
    const json other = set("CN", "0A1024", "https://BANK.example/");
    EXPECT_EQ(errorCode(other), "not-allowed") << other;
    EXPECT_NE(other["error"]["message"].get<std::string>().find("serves https://second.example"),
              std::string::npos);
    EXPECT_EQ(engine_.getCN(), kSerial);
    EXPECT_EQ(set("SignData", "x", "https://SECOND.example/")["result"], nullptr)
        << "the same origin, written otherwise";
}

TEST_F(SessionTest, AnOriginTakenOffTheListIsRefusedFromTheNextRequestOn) {
    EXPECT_EQ(call("getVersion")["result"], "1.0.0.28");
    std::ofstream(allowList_) << "https://second.example\n";
    EXPECT_EQ(errorCode(call("getVersion")), "not-allowed");
}

TEST_F(SessionTest, MessagesTooLargeAndAnswersTooLargeAreRefused) {
    bridge::Frame big;
    big.kind = bridge::Frame::Kind::TooLarge;
    big.length = bridge::kMaxMessage + 1;
    const json tooLarge = json::parse(session_.answer(big));
    EXPECT_EQ(errorCode(tooLarge), "too-large");
    EXPECT_NE(tooLarge["error"]["message"].get<std::string>().find("1048577"), std::string::npos);

    // An answer that would be over what a browser accepts is refused before
    // the module is loaded: the user types no PIN for a signature thrown
    // away. Control characters take six bytes each in JSON (300,000 of
    // them, about 1.8 MB); plain data just under 1 MiB leaves no room for
    // the signature.
    set("CN", kSerial);
    set("HashAlgorithm", "sha256");
    for (const std::string& data :
         {std::string(300000, '\x01'), std::string(bridge::kMaxMessage - 200, 'a')}) {
        ASSERT_EQ(set("SignData", data)["result"], nullptr);
        const json reply = get("SignData");
        EXPECT_EQ(errorCode(reply), "reply-too-large") << reply.dump().substr(0, 200);
        EXPECT_EQ(reply["id"], id_);
    }
    EXPECT_EQ(standIn_.counter("loads"), 0) << "nothing was signed to be thrown away";
    // Data with room for its signature is signed.
    const std::string fits(bridge::kMaxMessage - 6000, 'a');
    set("SignData", fits);
    const json reply = get("SignData");
    ASSERT_TRUE(reply.contains("result")) << reply.dump().substr(0, 200);
    EXPECT_EQ(reply["result"].get<std::string>().rfind("UD65001:0" + std::to_string(fits.size()) + "aaa", 0),
              0u);
    EXPECT_TRUE(standIn_.tornDown());
}

// Signing operations take turns with other hosts of the user; one that
// cannot get its turn within the wait is told the key is busy, and the
// module is not touched.
TEST_F(SessionTest, AModuleCallWaitsItsTurnAndIsBusyWhenItDoesNotCome) {
    const std::string lockPath = standIn_.dir() + "/turns.lock";
    const bridge::Turns turns(lockPath, std::chrono::milliseconds(300));
    bridge::Session session(engine_, bridge::AllowList({allowList_}), &turns);
    auto ask = [&session](const json& request) {
        bridge::Frame frame;
        frame.body = request.dump();
        return json::parse(session.answer(frame));
    };
    const json version = {{"id", 1}, {"origin", kBank}, {"call", "getVersion"}};
    const json list = {{"id", 2}, {"origin", kBank}, {"call", "getCertList"}};
    const json signedData = {{"id", 3}, {"origin", kBank}, {"get", "SignData"}};
    ask({{"id", 0}, {"origin", kBank}, {"set", "SignData"}, {"value", "abc"}});
    ask({{"id", 0}, {"origin", kBank}, {"set", "CN"}, {"value", kSerial}});

    const int other = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);  // another host is signing
    EXPECT_EQ(ask(version)["result"], "1.0.0.28") << "what needs no module does not wait";
    for (const json& request : {list, signedData}) {
        const auto start = std::chrono::steady_clock::now();
        const json reply = ask(request);
        EXPECT_EQ(errorCode(reply), "busy") << reply;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    }
    EXPECT_EQ(standIn_.counter("loads"), 0);
    ::close(other);  // its signing is done
    EXPECT_EQ(ask(signedData)["result"].get<std::string>().rfind("UD65001:00000003abc", 0), 0u);
    EXPECT_TRUE(standIn_.tornDown());

    // The first host of the user makes the lock's folder, closed to others.
    const std::string fresh = standIn_.dir() + "/fresh";
    bridge::Turns::Failure failure{};
    std::string why;
    EXPECT_TRUE(bridge::Turns(fresh + "/lock", std::chrono::milliseconds(0)).take(&failure, &why)) << why;
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Turns, TheLockIsInTheUsersRuntimeFolderElseInTmp) {
    const std::string fallback = "/tmp/ombrel-bridge-" + std::to_string(::geteuid()) + "/lock";
    for (const char* runtime : {static_cast<const char*>(nullptr), "", "relative/run"}) {
        watchtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime);  // nullptr: unset
        EXPECT_EQ(bridge::turnsLockPath(), fallback) << (runtime ? runtime : "(unset)");
    }
    watchtest::ScopedEnv env("XDG_RUNTIME_DIR", "/run/user/7");
    EXPECT_EQ(bridge::turnsLockPath(), "/run/user/7/ombrel-bridge.lock");
}

// A lock in a folder others may enter is not waited on (whoever could enter
// could hold it forever, stopping every signing): the host signs without its
// turn and says why on standard error.
TEST_F(SessionTest, ALockOthersCouldHoldIsNotWaitedOn) {
    set("SignData", "abc");
    set("CN", kSerial);
    const std::string open = standIn_.dir() + "/open";
    std::filesystem::create_directories(open);
    ::chmod(open.c_str(), 0777);
    const std::string theirs = standIn_.dir() + "/theirs";
    std::filesystem::create_directories(theirs);
    ::chmod(theirs.c_str(), 0700);
    const bool asRoot = ::geteuid() == 0 && ::chown(theirs.c_str(), 4321, 4321) == 0;
    struct Case {
        std::string lock;
        std::string why;  // what Turns::take says
    };
    std::vector<Case> cases = {
        {open + "/lock", open + " is not a folder of this user's that only this user may enter"},
        {standIn_.dir() + "/missing/folder/lock",
         "cannot make " + standIn_.dir() + "/missing/folder: No such file or directory"},
    };
    if (asRoot)
        cases.push_back(
            {theirs + "/lock", theirs + " is not a folder of this user's that only this user may enter"});
    for (const auto& c : cases) {
        const int held = ::open(c.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);  // someone holds it
        if (held >= 0) {
            ASSERT_EQ(::flock(held, LOCK_EX), 0);
        }
        const bridge::Turns turns(c.lock, std::chrono::milliseconds(200));
        bridge::Turns::Failure failure{};
        std::string why;
        EXPECT_FALSE(turns.take(&failure, &why)) << c.lock;
        EXPECT_EQ(failure, bridge::Turns::Failure::NoLockFile) << c.lock;
        EXPECT_EQ(why, c.why);
        bridge::Session session(engine_, bridge::AllowList({allowList_}), &turns);
        bridge::Frame frame;
        frame.body = json({{"id", 1}, {"origin", kBank}, {"get", "SignData"}}).dump();
        const json reply = json::parse(session.answer(frame));
        EXPECT_EQ(reply.value("result", std::string()).rfind("UD65001:00000003abc", 0), 0u)
            << c.lock << reply;
        if (held >= 0) ::close(held);
    }
}

}  // namespace
