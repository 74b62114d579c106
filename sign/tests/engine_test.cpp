// The signing engine against SoftHSM2 tokens through the stand-in module: the
// page's result texts, verified by OpenSSL and by pkcs11-tool; the
// certificate search; every failure text in its step; and the teardown after
// every path, read from the stand-in's counters.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "sign/PKCS11Impl.h"
#include "sign/tests/sign_testing.h"

namespace {

using signtest::Certificate;
using signtest::digestNamed;
using signtest::fromHex;
using signtest::ScopedEnv;
using signtest::StandIn;
using signtest::Tokens;
using signtest::verifies;

const char* const kFailure = "E:1000";

// "UD65001:" + %08d + data + %08d + hex, split into its parts.
struct Signed {
    std::string data;
    std::string hex;
};

::testing::AssertionResult parseSignData(const std::string& text, Signed* out) {
    const std::string head = "UD65001:";
    if (text.compare(0, head.size(), head) != 0)
        return ::testing::AssertionFailure() << "no UD head: " << text;
    const size_t dataLength = std::stoul(text.substr(head.size(), 8));
    const size_t at = head.size() + 8;
    if (text.size() < at + dataLength + 8) return ::testing::AssertionFailure() << "too short: " << text;
    out->data = text.substr(at, dataLength);
    const std::string hexLength = text.substr(at + dataLength, 8);
    out->hex = text.substr(at + dataLength + 8);
    if (hexLength.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(hexLength) != out->hex.size())
        return ::testing::AssertionFailure()
               << "signature length " << hexLength << " for " << out->hex.size();
    if (out->hex.find_first_not_of("0123456789ABCDEF") != std::string::npos)
        return ::testing::AssertionFailure() << "not upper-case hexadecimal: " << out->hex;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult parseSignature(const std::string& text, std::string* hex) {
    const std::string head = "US65001:";
    if (text.compare(0, head.size(), head) != 0)
        return ::testing::AssertionFailure() << "no US head: " << text;
    *hex = text.substr(head.size() + 8);
    if (text.substr(head.size(), 8) != [&] {
            char n[16];
            std::snprintf(n, sizeof n, "%08zu", hex->size());
            return std::string(n);
        }())
        return ::testing::AssertionFailure() << "wrong length field: " << text.substr(0, 16);
    if (hex->find_first_not_of("0123456789ABCDEF") != std::string::npos)
        return ::testing::AssertionFailure() << "not upper-case hexadecimal";
    return ::testing::AssertionSuccess();
}

std::vector<unsigned char> fromBase64(const std::string& text) {
    std::vector<unsigned char> out(text.size());
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return {};
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') ++padding;
    if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
    out.resize(static_cast<size_t>(n) - padding);
    return out;
}

const Tokens& tokens() { return Tokens::get(); }

// The entries of a certificate list, sorted: a module lists in its own order.
std::vector<std::string> entries(const std::string& list) {
    std::vector<std::string> out;
    for (size_t start = 0; start < list.size();) {
        const size_t end = list.find(';', start);
        if (end == std::string::npos) {
            out.push_back("unterminated: " + list.substr(start));
            break;
        }
        out.push_back(list.substr(start, end + 1 - start));
        start = end + 1;
    }
    std::sort(out.begin(), out.end());
    return out;
}

const std::vector<std::string> kKeyBEntries = {"CN=QD Key B Only,B0B0;", "CN=QD Key B Twin,0A1024;"};

// ---- signatures -----------------------------------------------------------------

struct SignCase {
    const char* hash;
    const char* id;
    int bits;
};
void PrintTo(const SignCase& c, std::ostream* os) { *os << c.hash << "/" << c.bits; }

class Signing : public ::testing::TestWithParam<SignCase> {};

TEST_P(Signing, SignDataAndSignatureVerifyWithTheCertificate) {
    const auto& c = GetParam();
    StandIn standIn(tokens().one());
    const Certificate& cert = tokens().one().byId("QD Key A", c.id);
    PKCS11Impl engine;
    engine.setCN(cert.serial);
    const std::string data = "abc \xE4\xB8\xAD\xE6\x96\x87 payment 42.00";
    engine.setSignData(data);
    engine.setHashAlgorithm(c.hash);

    Signed result;
    ASSERT_TRUE(parseSignData(engine.getSignData(), &result)) << engine.lastError();
    EXPECT_EQ(result.data, data);
    EXPECT_EQ(result.hex.size(), static_cast<size_t>(c.bits / 4));
    EXPECT_TRUE(verifies(cert.der(), data, fromHex(result.hex), digestNamed(c.hash)));
    EXPECT_EQ(engine.lastError(), "OK");

    std::string hex;
    ASSERT_TRUE(parseSignature(engine.getSignature(), &hex)) << engine.lastError();
    EXPECT_TRUE(verifies(cert.der(), data, fromHex(hex), digestNamed(c.hash)));
    EXPECT_EQ(hex, result.hex);  // PKCS#1 v1.5 signatures are deterministic

    EXPECT_EQ(standIn.counter("logins"), 2);
    EXPECT_EQ(standIn.counter("logouts"), 2);
    EXPECT_TRUE(standIn.tornDown());
}

INSTANTIATE_TEST_SUITE_P(HashesAndKeys, Signing,
                         ::testing::Values(SignCase{"md5", "01", 1024}, SignCase{"sha1", "01", 1024},
                                           SignCase{"sha256", "01", 1024}, SignCase{"md5", "02", 2048},
                                           SignCase{"sha1", "02", 2048}, SignCase{"sha256", "02", 2048},
                                           SignCase{"md5", "03", 4096}, SignCase{"sha1", "03", 4096},
                                           SignCase{"sha256", "03", 4096}));

TEST(HashAlgorithm, OnlyTheExactLowerCaseNamesChooseAndTheRestIsSha1) {
    StandIn standIn(tokens().one());
    const Certificate& cert = tokens().one().byId("QD Key A", "02");
    PKCS11Impl engine;
    EXPECT_EQ(engine.mechanism(), 6u);
    engine.setCN(cert.serial);
    engine.setSignData("abc");
    engine.setHashAlgorithm("sha256");
    EXPECT_EQ(engine.mechanism(), 0x40u);
    for (const char* name : {"SHA256", "sha-256", "md4", "", "sha1 "}) {
        engine.setHashAlgorithm(name);
        Signed result;
        ASSERT_TRUE(parseSignData(engine.getSignData(), &result)) << name;
        EXPECT_TRUE(verifies(cert.der(), "abc", fromHex(result.hex), EVP_sha1())) << name;
    }
    engine.setHashAlgorithm("md5");
    EXPECT_EQ(engine.mechanism(), 5u);
}

TEST(SignData, KeepsTheTextUpToItsFirstNulAndSignsThoseBytes) {
    StandIn standIn(tokens().one());
    const Certificate& cert = tokens().one().byId("QD Key A", "01");
    PKCS11Impl engine;
    engine.setCN(cert.serial);
    engine.setSignData(std::string_view("ab\0cd", 5));
    const std::string text = engine.getSignData();
    EXPECT_EQ(text.substr(0, 26), "UD65001:00000002ab00000256");
    Signed result;
    ASSERT_TRUE(parseSignData(text, &result));
    EXPECT_TRUE(verifies(cert.der(), "ab", fromHex(result.hex), EVP_sha1()));
}

// A key over 4096 bits answers more than the 512 bytes the engine once had
// room for: the engine takes the size the module gives.
TEST(SignData, ASignatureLongerThan512BytesArrivesWhole) {
    StandIn standIn(tokens().one());
    standIn.faults("longsig=100");
    const Certificate& cert = tokens().one().byId("QD Key A", "03");
    PKCS11Impl engine;
    engine.setCN(cert.serial);
    engine.setSignData("abc");
    Signed result;
    ASSERT_TRUE(parseSignData(engine.getSignData(), &result)) << engine.lastError();
    ASSERT_EQ(result.hex.size(), 2u * (512 + 100));
    EXPECT_TRUE(verifies(cert.der(), "abc", fromHex(result.hex.substr(0, 1024)), EVP_sha1()));
    std::string tail;
    for (int i = 0; i < 100; ++i) tail += "A5";
    EXPECT_EQ(result.hex.substr(1024), tail);
    EXPECT_TRUE(standIn.tornDown());
}

// ---- the certificate search --------------------------------------------------------

TEST(Search, TheSelectorMustEqualTheUpperCaseSerialByteForByte) {
    StandIn standIn(tokens().one());
    PKCS11Impl engine;
    engine.setSignData("abc");
    for (const char* selector : {"80f00d2048", "", "0A10", "0A1024 ", "00A1024", "DEADBEEF"}) {
        engine.setCN(selector);
        EXPECT_EQ(engine.getSignData(), kFailure) << selector;
        EXPECT_EQ(engine.lastError(), "CN not matched") << selector;
        EXPECT_EQ(engine.signCert(), kFailure) << selector;
        EXPECT_EQ(engine.lastError(), "CN not matched") << selector;
    }
    EXPECT_EQ(standIn.counter("logins"), 0);
    EXPECT_TRUE(standIn.tornDown());
}

TEST(Search, WithTwoKeysTheFirstSlotHoldingTheSerialSigns) {
    StandIn standIn(tokens().two());
    const auto& two = tokens().two();
    PKCS11Impl engine;
    engine.setSignData("abc");
    // "QD Key A" comes first and holds 0A1024 with its 1024-bit key.
    engine.setCN("0A1024");
    Signed result;
    ASSERT_TRUE(parseSignData(engine.getSignData(), &result)) << engine.lastError();
    EXPECT_TRUE(verifies(two.byId("QD Key A", "01").der(), "abc", fromHex(result.hex), EVP_sha1()));
    // A certificate of the second key is found too.
    engine.setCN("B0B0");
    ASSERT_TRUE(parseSignData(engine.getSignData(), &result)) << engine.lastError();
    EXPECT_TRUE(verifies(two.byId("QD Key B", "12").der(), "abc", fromHex(result.hex), EVP_sha1()));
    EXPECT_TRUE(standIn.tornDown());
}

// A slot whose RSA mechanism cannot both sign and verify is passed over, even
// when it holds the certificate.
TEST(Search, ASlotWithoutSignOrVerifyIsPassedOver) {
    const auto& two = tokens().two();
    for (const char* plan : {"nosign=QD Key A", "noverify=QD Key A"}) {
        StandIn standIn(two);
        standIn.faults(plan);
        PKCS11Impl engine;
        engine.setSignData("abc");
        engine.setCN("0A1024");
        Signed result;
        ASSERT_TRUE(parseSignData(engine.getSignData(), &result)) << plan << ": " << engine.lastError();
        EXPECT_TRUE(verifies(two.byId("QD Key B", "11").der(), "abc", fromHex(result.hex), EVP_sha1()))
            << plan;
        engine.setCN("80F00D2048");  // only on the key passed over
        EXPECT_EQ(engine.getSignData(), kFailure) << plan;
        EXPECT_EQ(engine.lastError(), "CN not matched") << plan;
        EXPECT_TRUE(standIn.tornDown()) << plan;
    }
}

// A serial number of 256 bytes does not fit the 512-byte text: the
// certificate is listed without one, and only an empty selector reaches it.
TEST(Search, ASerialTooLongForTheTextIsListedEmptyAndChosenByAnEmptySelector) {
    std::vector<unsigned char> serial(256, 0x11);
    serial[0] = 0x91;
    const auto der = signtest::buildCertificate({{NID_commonName, V_ASN1_UTF8STRING, "Long Serial"}}, serial);
    StandIn standIn(tokens().one());
    ASSERT_TRUE(signtest::addCertificate("QD Key A", der, "07"));

    PKCS11Impl engine;
    const std::string list = engine.getCertList();
    EXPECT_NE(list.find("CN=Long Serial,;"), std::string::npos) << list;
    engine.setCN("");
    const auto exported = fromBase64(engine.signCert());
    EXPECT_EQ(exported, der);
    EXPECT_TRUE(standIn.tornDown());
}

// ---- the certificate list and export ----------------------------------------------------

// What pkcs11-tool lists for the same token through the same module.
std::vector<std::string> pkcs11ToolSerials() {
#ifdef QD_ASAN_RUNTIME
    // pkcs11-tool is not built with the sanitizers that the module carries.
    ScopedEnv preload("LD_PRELOAD", QD_ASAN_RUNTIME);
    ScopedEnv options("ASAN_OPTIONS", "detect_leaks=0");
#endif
    auto r =
        signtest::runProgram(QD_PKCS11_TOOL, {"--module", signtest::standInPath(), "-O", "--type", "cert"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> serials;
    const std::regex line(R"(^\s*serial:\s*([0-9A-Fa-f]+)\s*$)");
    std::istringstream in(r.out);
    for (std::string s; std::getline(in, s);) {
        std::smatch m;
        if (std::regex_match(s, m, line)) serials.push_back(m[1]);
    }
    return serials;
}

TEST(CertList, ListsEveryCertificateOfTheKeyAsPkcs11ToolDoes) {
    StandIn standIn(tokens().one());
    const std::vector<std::string> toolSerials = pkcs11ToolSerials();
    ASSERT_EQ(toolSerials.size(), tokens().one().certificates.size());

    PKCS11Impl engine;
    const std::string list = engine.getCertList();
    EXPECT_EQ(engine.lastError(), "OK");
    std::vector<std::string> names, serials;
    const std::regex entry("CN=([^,;]*),([0-9A-F]*);");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), entry); it != std::sregex_iterator();
         ++it) {
        names.push_back((*it)[1]);
        serials.push_back((*it)[2]);
    }
    // Nothing but whole entries.
    std::string rebuilt;
    for (size_t i = 0; i < names.size(); ++i) rebuilt += "CN=" + names[i] + "," + serials[i] + ";";
    EXPECT_EQ(rebuilt, list);
    EXPECT_EQ(serials, toolSerials);  // same certificates, same order
    std::map<std::string, std::string> nameBySerial;
    for (size_t i = 0; i < names.size(); ++i) nameBySerial[serials[i]] = names[i];
    EXPECT_EQ(nameBySerial["0A1024"], "QD Test 1024");
    EXPECT_EQ(nameBySerial["80F00D2048"], "\xE5\xBC\xA0\xE4\xB8\x89");
    EXPECT_EQ(nameBySerial["C0FFEE4096"], "QD Test 4096");
    EXPECT_EQ(nameBySerial["8000000004"], "Only Organisation Ltd");
    EXPECT_EQ(nameBySerial["FF05"], "");
    EXPECT_EQ(nameBySerial["06"], "No Private Key");
    EXPECT_EQ(list.find("CN=,FF05;") != std::string::npos, true);
    EXPECT_TRUE(standIn.tornDown());
}

TEST(CertList, WithTwoKeysShowsOnlyTheLastSlot) {
    StandIn standIn(tokens().two());
    PKCS11Impl engine;
    EXPECT_EQ(entries(engine.getCertList()), kKeyBEntries);
    EXPECT_EQ(engine.lastError(), "OK");
    // The last slot without the flags: nothing, and no failure.
    standIn.faults("nosign=QD Key B");
    EXPECT_EQ(engine.getCertList(), "");
    EXPECT_EQ(engine.lastError(), "OK");
    // A failed mechanism query on the last slot fails the whole list.
    standIn.faults("C_GetMechanismInfo@2=0x30");
    EXPECT_EQ(engine.getCertList(), kFailure);
    EXPECT_EQ(engine.lastError(), "Device error(0x0030)");
    // On the first slot it is forgotten when the next one answers.
    standIn.faults("C_GetMechanismInfo@1=0x30");
    EXPECT_EQ(entries(engine.getCertList()), kKeyBEntries);
    EXPECT_EQ(engine.lastError(), "OK");
    EXPECT_TRUE(standIn.tornDown());
}

TEST(CertList, ACertificateWhoseBytesCannotBeReadIsLeftOut) {
    StandIn standIn(tokens().one());
    PKCS11Impl engine;
    const std::string all = engine.getCertList();
    const std::string first = all.substr(0, all.find(';') + 1);
    // Only the first certificate's length query fails; later ones succeed
    // but do not clear the reason.
    standIn.faults("C_GetAttributeValue.VALUE@1=0x12");
    EXPECT_EQ(engine.getCertList(), all.substr(first.size()));
    EXPECT_EQ(engine.lastError(), "Load cert C_GetAttributeValue failed:Attribute type invalid(0x0012)");
    standIn.faults("C_GetAttributeValue.VALUE@2=0x30");  // its value
    EXPECT_EQ(engine.getCertList(), all.substr(first.size()));
    EXPECT_EQ(engine.lastError(), "Load cert C_GetAttributeValue failed:Device error(0x0030)");
    EXPECT_TRUE(standIn.tornDown());
}

// A list that walks no slot (the key pulled out between the count and the
// list) is empty, and its last error says nothing of an earlier operation.
TEST(CertList, AListWithoutSlotsKeepsNoEarlierOperationsFailure) {
    StandIn standIn(tokens().one());
    PKCS11Impl engine;
    engine.setCN("DEADBEEF");
    engine.setSignData("abc");
    EXPECT_EQ(engine.getSignData(), kFailure);
    EXPECT_EQ(engine.lastError(), "CN not matched");
    standIn.faults("remove=C_GetSlotList@2");
    EXPECT_EQ(engine.getCertList(), "");
    EXPECT_EQ(engine.lastError(), "OK");
    EXPECT_TRUE(standIn.tornDown());
}

TEST(CertList, ReadsAtMost64CertificatesOfASlot) {
    // A module that fills the room, and one that also counts what did not
    // fit (70 for a room of 64, 7 for the key search's room of 1): nothing
    // past the room is taken for a handle.
    for (const char* plan : {"certs=70", "certs=70;overcount=6"}) {
        SCOPED_TRACE(plan);
        StandIn standIn(tokens().one());
        standIn.faults(plan);
        PKCS11Impl engine;
        const std::string list = engine.getCertList();
        EXPECT_EQ(std::count(list.begin(), list.end(), ';'), 64) << list;
        engine.setCN("C0FFEE4096");
        engine.setSignData("abc");
        Signed result;
        EXPECT_TRUE(parseSignData(engine.getSignData(), &result)) << engine.lastError();
        EXPECT_EQ(standIn.counter("unknown_objects"), 0);
        EXPECT_TRUE(standIn.tornDown());
    }
}

TEST(SignCert, ExportsTheChosenCertificatesDerInOneLineOfBase64) {
    StandIn standIn(tokens().two());
    PKCS11Impl engine;
    for (const Certificate& cert : tokens().two().certificates) {
        if (cert.token == "QD Key B" && cert.serial == "0A1024") continue;  // hidden behind QD Key A's
        engine.setCN(cert.serial);
        const std::string text = engine.signCert();
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(fromBase64(text), cert.der()) << cert.id;
        EXPECT_EQ(engine.lastError(), "OK");
    }
    EXPECT_EQ(standIn.counter("logins"), 0);  // exporting needs no PIN
    EXPECT_TRUE(standIn.tornDown());
}

// ---- failures, step by step ---------------------------------------------------------------

enum class Op { SignData, Signature, SignCert, CertList };

struct FailureCase {
    const char* label;
    Op op;
    const char* plan;  // QDPKCS11_FAULTS
    const char* lastError;
    const char* result;  // kFailure unless given
    int logouts;         // -1: not checked
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

std::string run(PKCS11Impl& engine, Op op) {
    switch (op) {
        case Op::SignData:
            return engine.getSignData();
        case Op::Signature:
            return engine.getSignature();
        case Op::SignCert:
            return engine.signCert();
        case Op::CertList:
            return engine.getCertList();
    }
    return {};
}

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, NamesItsStepAndLeavesNothingBehind) {
    const auto& c = GetParam();
    StandIn standIn(tokens().one());
    standIn.faults(c.plan);
    PKCS11Impl engine;
    engine.setCN(tokens().one().byId("QD Key A", "02").serial);
    engine.setSignData("abc");
    EXPECT_EQ(run(engine, c.op), c.result ? c.result : kFailure);
    EXPECT_EQ(engine.lastError(), c.lastError);
    if (c.logouts >= 0) {
        EXPECT_EQ(standIn.counter("logouts"), c.logouts);
    }
    EXPECT_TRUE(standIn.tornDown());
}

constexpr Op SD = Op::SignData, SG = Op::Signature, SC = Op::SignCert, CL = Op::CertList;

INSTANTIATE_TEST_SUITE_P(
    Steps, Failure,
    ::testing::Values(
        FailureCase{"GetFunctionList/sign", SD, "C_GetFunctionList=0x5", "loadPKCS11Library failed:", nullptr,
                    -1},
        FailureCase{"GetFunctionList/export", SC, "C_GetFunctionList=0x5",
                    "C_GetFunctionList failed:General error(0x0005)", nullptr, -1},
        FailureCase{"null list/export", SC, "nulllist=1", "Function list of pkcs11 is null", nullptr, -1},
        FailureCase{"null list/list", CL, "nulllist=1", "Function list of pkcs11 is null", nullptr, -1},
        FailureCase{"Initialize/sign", SD, "C_Initialize=0x30", "initialize failed:", nullptr, -1},
        FailureCase{"Initialize/signature", SG, "C_Initialize=0x30", "initialize failed:", nullptr, -1},
        FailureCase{"Initialize/export", SC, "C_Initialize=0x30", "C_Initialize failed:Device error(0x0030)",
                    nullptr, -1},
        FailureCase{"Initialize/list", CL, "C_Initialize=0x6", "C_Initialize failed:Function failed(0x0006)",
                    nullptr, -1},
        FailureCase{"GetSlotList1", SD, "C_GetSlotList@1=0x30", "C_GetSlotList1 failed:Device error(0x0030)",
                    nullptr, -1},
        FailureCase{"GetSlotList1 too small", SD, "C_GetSlotList@1=0x150", "Not found UKey", nullptr, -1},
        FailureCase{"GetSlotList2", SG, "C_GetSlotList@2=0x32",
                    "C_GetSlotList2 failed:Device removed(0x0032)", nullptr, -1},
        // A slot count no array can hold.
        FailureCase{"absurd slot count", SD, "slotcount=0xFFFFFFFFFFFFFFFF", "Params invalid", nullptr, -1},
        FailureCase{"absurd slot count/list", CL, "slotcount=0xFFFFFFFFFFFFFFFF", "Params invalid", nullptr,
                    -1},
        FailureCase{"GetSlotList1/list", CL, "C_GetSlotList@1=0x30",
                    "C_GetSlotList failed:Device error(0x0030)", nullptr, -1},
        FailureCase{"GetSlotList2/list", CL, "C_GetSlotList@2=0x30",
                    "C_GetSlotList failed:Device error(0x0030)", nullptr, -1},
        FailureCase{"mechanism query/sign", SD, "C_GetMechanismInfo=0x30", "CN not matched", nullptr, -1},
        FailureCase{"mechanism query/list", CL, "C_GetMechanismInfo=0x30", "Device error(0x0030)", nullptr,
                    -1},
        FailureCase{"no sign flag/list", CL, "nosign=QD Key A", "OK", "", -1},
        FailureCase{"OpenSession/sign", SD, "C_OpenSession=0xB1", "CN not matched", nullptr, -1},
        FailureCase{"OpenSession/list", CL, "C_OpenSession=0xB1", "OK", "", -1},
        FailureCase{"FindObjectsInit/sign", SD, "C_FindObjectsInit=0x91", "CN not matched", nullptr, -1},
        FailureCase{"FindObjectsInit/list", CL, "C_FindObjectsInit=0x91",
                    "C_FindObjectsInit failed:Operation not initialized(0x0091)", "", -1},
        FailureCase{"FindObjects/list", CL, "C_FindObjects=0x30", "C_FindObjects failed:Device error(0x0030)",
                    "", -1},
        FailureCase{"FindObjectsFinal/list", CL, "C_FindObjectsFinal=0x30",
                    "C_FindObjectsFinal failed:Device error(0x0030)", "", -1},
        FailureCase{"cert bytes/sign", SD, "C_GetAttributeValue.VALUE=0x30", "CN not matched", nullptr, -1},
        FailureCase{"cert bytes/list", CL, "C_GetAttributeValue.VALUE=0x30",
                    "Load cert C_GetAttributeValue failed:Device error(0x0030)", "", -1},
        FailureCase{"key id", SD, "C_GetAttributeValue.ID=0x30",
                    "Find key C_GetAttributeValue failed:Device error(0x0030)", nullptr, 1},
        FailureCase{"key id value", SD, "C_GetAttributeValue.ID@2=0x150",
                    "Find key C_GetAttributeValue failed:Buffer too small(0x0150)", nullptr, 1},
        // Lengths a module gets wrong are not trusted.
        FailureCase{"cert length unavailable/list", CL, "badlength=VALUE",
                    "Load cert C_GetAttributeValue failed:Attribute sensitive(0x0011)", "", -1},
        FailureCase{"cert overstated/list", CL, "overlength=VALUE",
                    "Load cert C_GetAttributeValue failed:Buffer too small(0x0150)", "", -1},
        FailureCase{"key id unavailable", SD, "badlength=ID",
                    "Find key C_GetAttributeValue failed:Attribute sensitive(0x0011)", nullptr, 1},
        FailureCase{"key id overstated", SD, "overlength=ID",
                    "Find key C_GetAttributeValue failed:Buffer too small(0x0150)", nullptr, 1},
        FailureCase{"signature overstated", SD, "overlength=SIGN",
                    "C_SignFinal2 failed:Buffer too small(0x0150)", nullptr, 1},
        // Lengths no key has are refused before any memory is set aside for them.
        FailureCase{"cert length absurd/list", CL, "hugelength=VALUE",
                    "Load cert C_GetAttributeValue failed:Host memory(0x0002)", "", -1},
        FailureCase{"cert length absurd/sign", SD, "hugelength=VALUE", "CN not matched", nullptr, -1},
        FailureCase{"key id absurd", SD, "hugelength=ID",
                    "Find key C_GetAttributeValue failed:Host memory(0x0002)", nullptr, 1},
        FailureCase{"signature absurd", SG, "hugelength=SIGN", "C_SignFinal1 failed:Host memory(0x0002)",
                    nullptr, 1},
        FailureCase{"slot count absurd", SD, "slotcount=0x1000000", "Params invalid", nullptr, -1},
        FailureCase{"Login", SD, "C_Login=0xA0", "C_Login failed:Pin incorrect(0x00A0)", nullptr, 0},
        FailureCase{"already logged in", SG, "C_Login=0x100", "C_Login failed:User already logged in(0x0100)",
                    nullptr, 0},
        FailureCase{"SignInit", SD, "C_SignInit=0x70", "C_SignInit failed:Mechanism invalid(0x0070)", nullptr,
                    1},
        FailureCase{"SignUpdate", SD, "C_SignUpdate=0x21", "C_SignUpdate failed:Data len range(0x0021)",
                    nullptr, 1},
        FailureCase{"SignFinal1", SD, "C_SignFinal@1=0x30", "C_SignFinal1 failed:Device error(0x0030)",
                    nullptr, 1},
        FailureCase{"SignFinal2", SG, "C_SignFinal@2=0x31", "C_SignFinal2 failed:Device memory(0x0031)",
                    nullptr, 1},
        FailureCase{"Logout", SD, "C_Logout=0x101", "C_Logout failed:User not logged in(0x0101)", nullptr, 1},
        FailureCase{"key search", SD, "C_FindObjects@2=0x30", "C_FindObjects failed:Device error(0x0030)",
                    nullptr, 1},
        FailureCase{"key search final", SD, "C_FindObjectsFinal@2=0x30",
                    "C_FindObjectsFinal failed:Device error(0x0030)", nullptr, 1},
        FailureCase{"removed before login", SD, "remove=C_Login", "C_Login failed:Device removed(0x0032)",
                    nullptr, 0},
        FailureCase{"removed while signing", SD, "remove=C_SignFinal@2",
                    "C_SignFinal2 failed:Device removed(0x0032)", nullptr, 1},
        FailureCase{"removed before the walk/sign", SD, "remove=C_GetMechanismInfo", "CN not matched",
                    nullptr, -1},
        FailureCase{"removed before the walk/list", CL, "remove=C_GetMechanismInfo",
                    "Token not persent(0x00E0)", nullptr, -1},
        FailureCase{"removed before the list", CL, "remove=C_GetSlotList", "Not found UKey", nullptr, -1}));

// A module that someone else in the process initialised is ready all the
// same, and is finalised afterwards like any other.
TEST(Initialise, AlreadyInitialisedCountsAsReady) {
    StandIn standIn(tokens().one());
    standIn.faults("C_Initialize=0x191");
    const Certificate& cert = tokens().one().byId("QD Key A", "04");
    PKCS11Impl engine;
    engine.setCN(cert.serial);
    EXPECT_EQ(fromBase64(engine.signCert()), cert.der());
    EXPECT_EQ(engine.lastError(), "OK");
    EXPECT_TRUE(standIn.tornDown());
}

TEST(Failure, AWrongPinIsTheModulesAnswerToTheLogin) {
    StandIn standIn(tokens().one(), "00000000");
    PKCS11Impl engine;
    engine.setCN("0A1024");
    engine.setSignData("abc");
    EXPECT_EQ(engine.getSignData(), kFailure);
    EXPECT_EQ(engine.lastError(), "C_Login failed:Pin incorrect(0x00A0)");
    EXPECT_TRUE(standIn.tornDown());
}

TEST(Failure, ACertificateWithoutItsKeyFailsAfterLoggingOut) {
    StandIn standIn(tokens().one());
    PKCS11Impl engine;
    engine.setCN(tokens().one().byId("QD Key A", "06").serial);
    engine.setSignData("abc");
    EXPECT_EQ(engine.getSignData(), kFailure);
    EXPECT_EQ(engine.lastError(), "C_FindObjects failed:OK(0x0000)");
    EXPECT_EQ(standIn.counter("logins"), 1);
    EXPECT_EQ(standIn.counter("logouts"), 1);
    EXPECT_TRUE(standIn.tornDown());
}

TEST(Failure, EmptySignDataFailsWithoutLoadingTheModule) {
    StandIn standIn(tokens().one());
    PKCS11Impl engine;
    engine.setCN("0A1024");
    EXPECT_EQ(engine.getSignData(), kFailure);
    EXPECT_EQ(engine.lastError(), "Params invalid");
    engine.setSignData(std::string_view("\0abc", 4));
    EXPECT_EQ(engine.getSignature(), kFailure);
    EXPECT_EQ(engine.lastError(), "Params invalid");
    EXPECT_EQ(standIn.counter("loads"), 0);
}

TEST(Failure, NoKeyPluggedIn) {
    const std::string dir = signtest::makeTempDir("no-key");
    std::filesystem::create_directory(dir + "/tokens");
    {
        std::ofstream conf(dir + "/softhsm2.conf");
        conf << "directories.tokendir = " << dir
             << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
    }
    StandIn standIn(signtest::TokenSet{dir + "/softhsm2.conf", {}});
    PKCS11Impl engine;
    engine.setCN("0A1024");
    engine.setSignData("abc");
    for (Op op : {SD, SC, CL}) {
        EXPECT_EQ(run(engine, op), kFailure);
        EXPECT_EQ(engine.lastError(), "Not found UKey");
    }
    EXPECT_TRUE(standIn.tornDown());
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

struct ModuleCase {
    const char* label;
    std::string path;
};

TEST(Failure, AModuleThatCannotBeUsedIsALoadFailureAndIsNotKept) {
    const ModuleCase cases[] = {{"missing", "/nonexistent/qdpkcs11-darwin.so"},
                                {"not a PKCS#11 module", QD_NO_FUNCTION_LIST_MODULE}};
    for (const auto& c : cases) {
        ScopedEnv module("QD_PKCS11_MODULE", c.path);
        PKCS11Impl engine;
        engine.setCN("0A1024");
        engine.setSignData("abc");
        EXPECT_EQ(engine.getSignData(), kFailure) << c.label;
        EXPECT_EQ(engine.lastError(), "loadPKCS11Library failed:") << c.label;
        EXPECT_FALSE(signtest::isLoaded(c.path)) << c.label;
        for (Op op : {SC, CL}) {
            EXPECT_EQ(run(engine, op), kFailure) << c.label;
            EXPECT_EQ(engine.lastError(), "Load pkcs11 lib fail") << c.label;
            EXPECT_FALSE(signtest::isLoaded(c.path)) << c.label;
        }
    }
}

// ---- what needs no module -------------------------------------------------------------------

struct Plain : ServiceBase {};

TEST(FixedAnswers, TheServiceBaseAndTheEngineGiveThemWithoutTheModule) {
    ScopedEnv module("QD_PKCS11_MODULE", "/nonexistent/qdpkcs11-darwin.so");
    Plain base;
    base.setSignData("data");
    base.setSignFile("file.txt");
    base.setCN("0A1024");
    base.setIssuerCN("Issuer");
    EXPECT_EQ(base.getSignData(), "data");
    EXPECT_EQ(base.getSignature(), "");
    EXPECT_EQ(base.getSignFile(), "file.txt");
    EXPECT_EQ(base.pkcs7Data(), "pkcs7Data");
    EXPECT_EQ(base.verifyPKCS7("x"), "");
    EXPECT_EQ(base.verifySignature("a", "b", "c"), "");
    EXPECT_EQ(base.lastError(), "");
    EXPECT_EQ(base.signCert(), "");
    EXPECT_EQ(base.getCertList(), "");
    EXPECT_EQ(base.getProviderName(), "");
    EXPECT_EQ(base.getCN(), "0A1024");
    EXPECT_EQ(base.getIssuerCN(), "Issuer");

    PKCS11Impl engine;
    ServiceBase& service = engine;
    service.setSignFile("file.txt");
    EXPECT_EQ(service.lastError(), "OK");
    EXPECT_EQ(service.getSignFile(), "getSignFile:not supported");
    EXPECT_EQ(service.pkcs7Data(), "pkcs7Data:not supported");
    EXPECT_EQ(service.verifyPKCS7("x"), "verifyPKCS7:not supported");
    EXPECT_EQ(service.verifySignature("a", "b", "c"), "verifySignature:not supported");
    EXPECT_EQ(service.getProviderName(), "dorn");
    EXPECT_EQ(service.getVersion(), "1.0.0.28");
    EXPECT_EQ(service.getTokenCount(), 1);
    EXPECT_EQ(service.getTokenSN(3), "getTokenSN:not supported");
    EXPECT_EQ(service.getTokenCFCAId(3), "getTokenCFCAId:not supported");
    service.setUKeyVendor("anyone");
    EXPECT_EQ(service.getUKeyCount(), 1);
    EXPECT_EQ(service.getUKeySN(-1), "getUKeySN:not supported");
    EXPECT_EQ(service.getUKeyCertCount(7), 1);
    EXPECT_EQ(service.changeUKeyPIN(7), 1);
    EXPECT_EQ(service.createX509ReqData("a", "b", 1, 2, "c"), "createX509ReqData:not supported");
    EXPECT_EQ(service.importCertData("x"), "importCertData:not supported");
    EXPECT_EQ(service.getProviderCertList("x"), "getProviderCertList:not supported");
    // None of these touched the module, so nothing failed.
    EXPECT_EQ(service.lastError(), "OK");
}

TEST(Instances, TwoEnginesInOneProcessEachFindTheModuleUninitialised) {
    StandIn standIn(tokens().one());
    PKCS11Impl first, second;
    for (PKCS11Impl* e : {&first, &second}) {
        e->setCN("0A1024");
        e->setSignData("abc");
    }
    for (int i = 0; i < 3; ++i) {
        Signed result;
        EXPECT_TRUE(parseSignData(first.getSignData(), &result)) << first.lastError();
        EXPECT_TRUE(parseSignData(second.getSignData(), &result)) << second.lastError();
    }
    EXPECT_EQ(standIn.counter("initializations"), 6);
    EXPECT_TRUE(standIn.tornDown());
}

}  // namespace
