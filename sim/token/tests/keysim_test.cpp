// The keysim command: bad input exits 2 and changes nothing; fields, import,
// the demo key, concurrent use.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ossl.h"
#include "sim/token/keysim_testing.h"
#include "sim/token/keystore.h"

namespace {

using kpsim::testing::runKeysim;
using kpsim::testing::SimulatedKeys;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

kpsim::State loadState(const SimulatedKeys& keys) {
    kpsim::State state;
    std::string error;
    EXPECT_TRUE(kpsim::Store(keys.dir()).load(&state, &error)) << error;
    return state;
}

class Keysim : public testing::Test {
protected:
    void SetUp() override {
        keys_.keysim({"create", "--demo", "a"});
        keys_.keysim({"create", "b"});
        certPem_ = keys_.dir() + "/a.demo/container1-sign-cert.pem";
    }
    SimulatedKeys keys_;
    std::string certPem_;
};

struct BadCase {
    std::vector<std::string> args;
    std::string error;  // start of the expected line after "keysim: "
};

TEST_F(Keysim, BadInputExitsTwoWithOneLineAndChangesNothing) {
    writeFile(keys_.dir() + "/garbage.der", "this is no certificate");
    const std::string garbage = keys_.dir() + "/garbage.der";
    const std::vector<BadCase> cases = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"create"}, "usage: keysim create"},
        {{"create", "a"}, "a key named \"a\" exists already"},
        {{"create", "--demo", "a"}, "a key named \"a\" exists already"},
        {{"create", "bad name"}, "name may hold only"},
        {{"create", "x", "y"}, "usage: keysim create"},
        {{"show", "nokey"}, "no key named \"nokey\""},
        {{"remove", "nokey"}, "no key named \"nokey\""},
        {{"plug", "nokey"}, "no key named \"nokey\""},
        {{"unplug"}, "usage: keysim unplug NAME"},
        {{"press", "a"}, "key \"a\" is not waiting for a button press"},
        {{"press", "b"}, "key \"b\" is not plugged in"},
        {{"set", "nokey", "pin", "1"}, "no key named \"nokey\""},
        {{"set", "a", "pin"}, "usage: keysim set NAME FIELD VALUE"},
        {{"set", "a", "color", "red"}, "unknown field \"color\""},
        {{"set", "a", "pcode", "abc"}, "pcode: \"abc\" is not a number"},
        {{"set", "a", "pcode", "-1"}, "pcode: \"-1\" is not a number"},
        {{"set", "a", "pcode", "0x1FFFFFFFF"}, "pcode: \"0x1FFFFFFFF\" is not a number"},
        {{"set", "a", "keytype", "1.5"}, "keytype: \"1.5\" is not a number"},
        {{"set", "a", "tries", "7"}, "tries must not exceed max_tries (6)"},
        {{"set", "a", "maxtries", "0"}, "max_tries must be 1 to 255"},
        {{"set", "a", "vendor", "0x10000"}, "vendor must be at most 0xFFFF"},
        {{"set", "a", "product", "70000"}, "product must be at most 0xFFFF"},
        {{"set", "a", "button", "later"}, "button: \"later\" is not"},
        {{"set", "a", "button", "press:"}, "button: \"press:\" is not"},
        {{"set", "a", "button", "press"}, "button: \"press\" is not"},
        {{"set", "a", "button", "never:-1"}, "button: \"never:-1\" is not"},
        {{"set", "a", "button", "status:88000044"}, "button: \"status:88000044\" is not"},
        {{"set", "a", "fault", "status:12"}, "fault: \"status:12\" is not"},
        {{"set", "a", "fault", "slow:fast"}, "fault: \"slow:fast\" is not"},
        {{"set", "a", "fault", "sometimes"}, "fault: \"sometimes\" is not"},
        {{"set", "a", "fault", "nocert1"},
         "fault: \"nocert1\" is not none, overlong, unterminated, status:0xHEX, connect:0xHEX, slow:MS, "
         "notready:MS or nocert0"},
        // Two faults at once: the first check wins.
        {{"set", "nokey", "color", "red"}, "no key named \"nokey\""},
        {{"set", "nokey", "fault", "sometimes"}, "no key named \"nokey\""},
        {{"import", "nokey", "c", "both", "x"}, "\"both\" is neither sign nor enc"},
        {{"set", "a", "reader", std::string(256, 'r')}, "reader name must have 1 to 255 bytes"},
        {{"set", "a", "reader", ""}, "reader name must have 1 to 255 bytes"},
        {{"set", "a", "reader", "USBQdvKey b"}, "reader \"USBQdvKey b\" is already the reader of key \"b\""},
        {{"set", "a", "serial", std::string(64, '1')}, "serial must have 1 to 63 bytes"},
        {{"set", "a", "pin", ""}, "PIN must have 1 to 64 bytes"},
        // JSON holds only UTF-8: such texts could never be stored.
        {{"set", "a", "pin", "\xc3"}, "PIN must have 1 to 64 bytes of UTF-8"},
        {{"set", "a", "reader", "\xff\xfe"}, "reader name must have 1 to 255 bytes of UTF-8"},
        {{"set", "a", "serial", "\xed\xa0\x80"}, "serial must have 1 to 63 bytes of UTF-8"},  // a surrogate
        {{"show", "x\ny"}, "no key named \"x?y\""},  // still one line
        {{"import", "a", "c", "sign", "DIR"}, "cannot read DIR: Is a directory"},
        {{"import", "a", "c", "sign", "/nonexistent/cert.pem"}, "cannot read /nonexistent/cert.pem"},
        {{"import", "a", "c", "sign", garbage}, garbage + ": not an X.509 certificate"},
        {{"import", "a", "c", "both", "x"}, "\"both\" is neither sign nor enc"},
        {{"import", "nokey", "c", "sign", "PEM"}, "no key named \"nokey\""},
        {{"drop", "a", "nocontainer"}, "key \"a\" has no container \"nocontainer\""},
        {{"drop", "a"}, "usage: keysim drop"},
    };
    const std::string before = readFile(keys_.statePath());
    for (BadCase c : cases) {
        for (auto& arg : c.args) {
            if (arg == "PEM") arg = certPem_;
            if (arg == "DIR") arg = keys_.dir();
        }
        if (c.error.find("DIR") != std::string::npos) c.error.replace(c.error.find("DIR"), 3, keys_.dir());
        std::string line;
        for (const auto& a : c.args) line += " " + a;
        auto r = runKeysim(c.args);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_EQ(r.err.rfind("keysim: " + c.error, 0), 0u) << line << " -> " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_EQ(readFile(keys_.statePath()), before) << line;
    }
}

TEST_F(Keysim, HelpPrintsTheUsage) {
    auto r = runKeysim({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: keysim COMMAND", 0), 0u);
    for (const char* word : {"create", "list", "show", "remove", "set", "import", "plug", "unplug", "press",
                             "overlong", "unterminated", "status:0xHEX", "slow:MS", "never:T", "wait"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST_F(Keysim, SetsEveryField) {
    for (const auto& [field, value] :
         std::vector<std::pair<std::string, std::string>>{{"reader", "Reader Zwei"},
                                                          {"pcode", "0x4F15"},
                                                          {"serial", "SN-1"},
                                                          {"keytype", "1"},
                                                          {"changepin", "1"},
                                                          {"maxtries", "10"},
                                                          {"tries", "9"},
                                                          {"pin", "中文密码"},
                                                          {"vendor", "0x6A9F"},
                                                          {"product", "5"},
                                                          {"button", "wait:2.5"},
                                                          {"fault", "slow:5"}})
        keys_.keysim({"set", "b", field, value});
    kpsim::State state = loadState(keys_);
    const kpsim::Key& b = *state.findByName("b");
    EXPECT_EQ(b.reader, "Reader Zwei");
    EXPECT_EQ(b.pcode, 0x4F15u);
    EXPECT_EQ(b.serial, "SN-1");
    EXPECT_EQ(b.keytype, 1u);
    EXPECT_EQ(b.changepin, 1u);
    EXPECT_EQ(b.maxTries, 10u);
    EXPECT_EQ(b.tries, 9u);
    EXPECT_EQ(b.pin, "中文密码");
    EXPECT_EQ(b.vendor, 0x6A9Fu);
    EXPECT_EQ(b.product, 5u);
    EXPECT_EQ(b.button, "wait:2.5");
    EXPECT_EQ(b.fault, "slow:5");
}

TEST_F(Keysim, CreateListShowRemovePlug) {
    auto list = keys_.keysim({"list"});
    EXPECT_NE(list.out.find("a                plugged"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("b                out"), std::string::npos) << list.out;
    keys_.keysim({"plug", "b"});
    keys_.keysim({"plug", "b"});  // already in: no second plug
    EXPECT_EQ(loadState(keys_).findByName("b")->plugCount, 1u);
    keys_.keysim({"unplug", "b"});
    keys_.keysim({"plug", "b"});
    EXPECT_EQ(loadState(keys_).findByName("b")->plugCount, 2u);
    auto show = keys_.keysim({"show", "b"});
    EXPECT_NE(show.out.find("key b (plugged in)"), std::string::npos);
    EXPECT_NE(show.out.find("PCODE:           20244"), std::string::npos);
    EXPECT_NE(show.out.find("vendor 0xD449, product 0x0004"), std::string::npos);
    keys_.keysim({"remove", "b"});
    EXPECT_EQ(loadState(keys_).findByName("b"), nullptr);
    keys_.keysim({"create", "b"});  // a new key, a new id
    EXPECT_EQ(loadState(keys_).findByName("b")->id, 3u);
}

TEST_F(Keysim, ImportsDerAndPem) {
    // The PEM file and its DER form give the same stored bytes.
    ossl::BioPtr bio(BIO_new_file(certPem_.c_str(), "r"));
    ossl::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(cert);
    unsigned char* der = nullptr;
    int n = i2d_X509(cert.get(), &der);
    ASSERT_GT(n, 0);
    std::vector<uint8_t> expected(der, der + n);
    OPENSSL_free(der);
    writeFile(keys_.dir() + "/c.der", std::string(expected.begin(), expected.end()));

    keys_.keysim({"import", "b", "C1", "sign", certPem_});
    keys_.keysim({"import", "b", "C1", "enc", keys_.dir() + "/c.der"});
    keys_.keysim({"import", "b", "C2", "enc", keys_.dir() + "/c.der"});
    kpsim::State state = loadState(keys_);
    const kpsim::Key& b = *state.findByName("b");
    ASSERT_EQ(b.containers.size(), 2u);
    EXPECT_EQ(b.containers[0].name, "C1");
    EXPECT_EQ(b.containers[0].sign, expected);
    EXPECT_EQ(b.containers[0].enc, expected);
    EXPECT_TRUE(b.containers[1].sign.empty());
    keys_.keysim({"drop", "b", "C1"});
    EXPECT_EQ(loadState(keys_).findByName("b")->containers.size(), 1u);
}

ossl::X509Ptr parseDer(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    return ossl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

TEST_F(Keysim, DemoKeyIsRealistic) {
    kpsim::State state = loadState(keys_);
    const kpsim::Key& a = *state.findByName("a");
    EXPECT_TRUE(a.plugged);
    EXPECT_EQ(a.pcode, 20244u);
    EXPECT_EQ(a.vendor, 0xD449u);
    EXPECT_EQ(a.product, 4u);
    EXPECT_EQ(a.changepin, 0u);
    EXPECT_EQ(a.tries, 6u);
    EXPECT_EQ(a.serial.rfind("QD20244", 0), 0u);
    EXPECT_EQ(a.serial.size(), 16u);
    ASSERT_EQ(a.containers.size(), 2u);

    ossl::BioPtr caBio(BIO_new_file((keys_.dir() + "/a.demo/ca-cert.pem").c_str(), "r"));
    ossl::X509Ptr ca(PEM_read_bio_X509(caBio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(ca);
    ossl::PkeyPtr caKey(X509_get_pubkey(ca.get()));

    // Version 3 (they carry extensions) and a serial of their own each.
    EXPECT_EQ(X509_get_version(ca.get()), X509_VERSION_3);
    std::set<std::string> serials;
    auto serialOf = [](X509* cert) {
        ossl::BnPtr bn(ASN1_INTEGER_to_BN(X509_get_serialNumber(cert), nullptr));
        if (!bn || BN_is_zero(bn.get())) return std::string();
        char* hex = BN_bn2hex(bn.get());
        std::string text = hex ? hex : "";
        OPENSSL_free(hex);
        return text;
    };
    serials.insert(serialOf(ca.get()));
    int withoutCn = 0, generalized = 0, utc = 0;
    for (const auto& container : a.containers) {
        for (const auto* der : {&container.sign, &container.enc}) {
            auto cert = parseDer(*der);
            ASSERT_TRUE(cert);
            EXPECT_EQ(X509_get_version(cert.get()), X509_VERSION_3);
            serials.insert(serialOf(cert.get()));
            EXPECT_EQ(X509_verify(cert.get(), caKey.get()), 1);  // issued by the test CA
            ossl::PkeyPtr key(X509_get_pubkey(cert.get()));
            EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), EVP_PKEY_RSA);
            EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 2048);
            X509_NAME* subject = X509_get_subject_name(cert.get());
            if (X509_NAME_get_index_by_NID(subject, NID_commonName, -1) < 0) ++withoutCn;
            int org = X509_NAME_get_index_by_NID(subject, NID_organizationName, -1);
            ASSERT_GE(org, 0);
            ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, org));
            EXPECT_EQ(ASN1_STRING_type(value), V_ASN1_UTF8STRING);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                  static_cast<size_t>(ASN1_STRING_length(value))),
                      "中国某某银行股份有限公司");
            (ASN1_STRING_type(X509_get0_notAfter(cert.get())) == V_ASN1_GENERALIZEDTIME ? generalized
                                                                                        : utc)++;
        }
    }
    EXPECT_EQ(withoutCn, 1);
    EXPECT_EQ(serials.size(), 5u);
    EXPECT_EQ(serials.count(""), 0u) << "a certificate without a serial";
    EXPECT_GE(generalized, 1);
    EXPECT_GE(utc, 1);
    EXPECT_TRUE(std::filesystem::exists(keys_.dir() + "/a.demo/container2-enc-key.pem"));
}

TEST_F(Keysim, ConcurrentWritersLoseNothing) {
    std::vector<std::thread> threads;
    std::vector<int> statuses(8, -1);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i, &statuses] {
            statuses[i] = runKeysim({"create", "k" + std::to_string(i)}).status;
        });
    }
    for (auto& t : threads) t.join();
    for (int s : statuses) EXPECT_EQ(s, 0);
    EXPECT_EQ(loadState(keys_).keys.size(), 10u);
}

TEST(KeysimState, MissingStateIsEmptyAndFolderIsMadeOnFirstWrite) {
    SimulatedKeys keys;
    std::filesystem::remove_all(keys.dir());
    auto r = runKeysim({"list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "NAME             STATE    PCODE  SERIAL             TRIES  READER\n");
    keys.keysim({"create", "x"});
    EXPECT_TRUE(std::filesystem::exists(keys.statePath()));
    EXPECT_EQ(std::filesystem::status(keys.dir()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
}

}  // namespace
