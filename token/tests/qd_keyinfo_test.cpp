// qd-keyinfo, end to end against the simulated keys.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ossl.h"
#include "sim/token/keysim_gtest.h"

namespace {

using kpsim::testing::runProgram;

TEST(QdKeyinfo, ShowsTheDemoKey) {
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "--demo", "demo"});
    keys.keysim({"plug", "demo"});
    auto r = runProgram(QD_KEYINFO_PATH, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(KpListReaders, PCODE 20244 only): 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[1] USBQdvKey demo"), std::string::npos);
    EXPECT_NE(r.out.find("PCODE:               20244"), std::string::npos);
    EXPECT_NE(r.out.find("Serial (DSN):        QD20244"), std::string::npos);
    EXPECT_NE(r.out.find("User PIN tries left: 6\n"), std::string::npos);
    EXPECT_NE(r.out.find("Key type:            2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Change-PIN flag:     0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Containers:          2"), std::string::npos);
    EXPECT_NE(r.out.find("CN = 张三"), std::string::npos);
    EXPECT_NE(r.out.find("OU = 上海某某贸易有限公司, serialNumber"), std::string::npos);
}

TEST(QdKeyinfo, NoKeyPluggedIsNoError) {
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "k"});  // never plugged in
    auto r = runProgram(QD_KEYINFO_PATH, {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(KpListReaders, PCODE 20244 only): 0\n  no key of the bank is plugged in\n"),
              std::string::npos)
        << r.out;
}

TEST(QdKeyinfo, ForeignKeyIsReported) {
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "x"});
    keys.keysim({"set", "x", "pcode", "1"});
    keys.keysim({"plug", "x"});
    auto r = runProgram(QD_KEYINFO_PATH, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("another product code"), std::string::npos) << r.out;
}

TEST(QdKeyinfo, ListsWithoutTheirEndingShowWhatTheKeyManagerShows) {
    // The reader and container lists end in a junk name without its NUL.
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "--demo", "cut"});
    keys.keysim({"set", "cut", "fault", "unterminated"});
    auto r = runProgram(QD_KEYINFO_PATH, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(KpListReaders, PCODE 20244 only): 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[1] USBQdvKey cut\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[2]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Containers:          2\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\n        XXXX"), std::string::npos) << r.out;  // no junk container
}

// Every fault setting of the simulator against qd-keyinfo: it says what it
// could not read, exits 1 only when no reader could be listed at all, and
// leaves no handle open (CheckedKeys).
struct FaultRow {
    const char* fault;
    int status;
    const char* shown;  // what the report must hold
};

class QdKeyinfoFaults : public testing::TestWithParam<FaultRow> {};

TEST_P(QdKeyinfoFaults, EveryFaultIsReportedAndNothingIsLeftOpen) {
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "--demo", "demo"});
    keys.keysim({"set", "demo", "fault", GetParam().fault});
    keys.keysim({"unplug", "demo"});
    keys.keysim({"plug", "demo"});
    auto r = runProgram(QD_KEYINFO_PATH, {});
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_NE(r.out.find(GetParam().shown), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, QdKeyinfoFaults,
    testing::Values(FaultRow{"none", 0, "Containers:          2\n"},
                    FaultRow{"nocert0", 0, "signing (2):     none (status 0x00000000)\n"},
                    FaultRow{"overlong", 0, "more than the 4096-byte buffer\n"},
                    FaultRow{"unterminated", 0, "Containers:          2\n"},
                    FaultRow{"status:0xE0001234", 1, "listing failed (status 0xE0001234)\n"},
                    FaultRow{"connect:0xE0005678", 1, "listing failed (status 0xE0005678)\n"},
                    FaultRow{"slow:20", 0, "Containers:          2\n"},
                    FaultRow{"notready:60000", 1, "listing failed (status 0x88000007)\n"}),
    [](const auto& info) { return std::to_string(info.index); });

// A certificate (Ed25519: its signature is always 64 bytes) with subject
// CN=cn, padded by a comment extension to exactly `size` bytes of DER.
std::string certificateOfSize(size_t size, const std::string& cn) {
    static EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    auto make = [&](size_t pad) {
        ossl::X509Ptr x(X509_new());
        X509_set_version(x.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
        for (X509_NAME* name : {X509_get_subject_name(x.get()), X509_get_issuer_name(x.get())})
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        X509_set_pubkey(x.get(), key);
        if (pad > 0) {
            std::unique_ptr<ASN1_IA5STRING, decltype(&ASN1_IA5STRING_free)> text(ASN1_IA5STRING_new(),
                                                                                 ASN1_IA5STRING_free);
            const std::string filler(pad, 'p');
            ASN1_STRING_set(text.get(), filler.data(), static_cast<int>(pad));
            X509_add1_ext_i2d(x.get(), NID_netscape_comment, text.get(), 0, 0);
        }
        if (X509_sign(x.get(), key, nullptr) <= 0) throw std::runtime_error("X509_sign failed");
        unsigned char* der = nullptr;
        const int n = i2d_X509(x.get(), &der);
        std::string bytes(reinterpret_cast<const char*>(der), static_cast<size_t>(n));
        OPENSSL_free(der);
        return bytes;
    };
    // The size grows with the padding byte for byte, once the extension is there.
    long pad = 0;
    std::string cert = make(0);
    for (int step = 0; step < 10 && cert.size() != size; ++step) {
        pad += static_cast<long>(size) - static_cast<long>(cert.size());
        if (pad < 1) throw std::runtime_error("certificate too large for its size");
        cert = make(static_cast<size_t>(pad));
    }
    if (cert.size() != size) throw std::runtime_error("no certificate of " + std::to_string(size) + " bytes");
    return cert;
}

// qd-keyinfo's buffers at their edges, through what the key holds: a serial
// of 63 characters fits the 64-byte buffer with its NUL (its last character
// shown), one that fills all 64 shows 64 and no byte past them; a certificate of exactly 4096 bytes is read
// whole (its subject parses only from every byte), 4097 is not; a container list of exactly 1024 bytes is
// read whole (the last name whole), 1025 is not. A buffer declared one byte smaller or larger, or a length
// cut by one, fails a row.
struct BufferRow {
    const char* label;
    std::string serial;
    size_t certBytes;
    std::vector<size_t> containerLengths;
    std::vector<std::string> shown;  // lines (or parts) the report must hold
    const char* fault = "none";
};
void PrintTo(const BufferRow& r, std::ostream* os) { *os << r.label; }

class QdKeyinfoBuffers : public testing::TestWithParam<BufferRow> {};

TEST_P(QdKeyinfoBuffers, ExactFitIsReadWholeAndOneMoreIsRefused) {
    const BufferRow& row = GetParam();
    kpsim::testing::CheckedKeys keys;
    keys.keysim({"create", "k"});
    keys.keysim({"set", "k", "serial", row.serial});
    const std::string file = keys.dir() + "/cert.der";
    std::ofstream(file, std::ios::binary)
        << certificateOfSize(row.certBytes, "Edge " + std::to_string(row.certBytes));
    char letter = 'a';
    for (size_t length : row.containerLengths) {
        const std::string container = std::string(length - 1, letter++) + "Z";
        keys.keysim({"import", "k", container, "sign", file});
    }
    keys.keysim({"set", "k", "fault", row.fault});
    keys.keysim({"plug", "k"});
    auto r = kpsim::testing::runProgram(QD_KEYINFO_PATH, {});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string& part : row.shown)
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Edges, QdKeyinfoBuffers,
    testing::Values(
        BufferRow{"serial of 1",
                  "S",
                  600,
                  {1},
                  {"Serial (DSN):        S\n", "Containers:          1\n        Z\n"}},
        BufferRow{"serial of 63",
                  std::string(62, 'S') + "Z",
                  600,
                  {8},
                  {"Serial (DSN):        " + std::string(62, 'S') + "Z\n"}},
        // A key holds at most 63; one that fills all 64 bytes without a NUL
        // (fault "unterminated") shows those 64 and nothing past them.
        BufferRow{"serial filling all 64 bytes",
                  std::string(62, 'S') + "Z",
                  600,
                  {8},
                  {"Serial (DSN):        " + std::string(62, 'S') + "ZS\n"},
                  "unterminated"},
        BufferRow{"certificate of 4096 bytes",
                  "S",
                  4096,
                  {8},
                  {"signing (2):     4096 bytes\n", "CN = Edge 4096\n"}},
        BufferRow{
            "certificate of 4097 bytes", "S", 4097, {8}, {"signing (2):     none (status 0x88000004)\n"}},
        BufferRow{"container list of 1024 bytes",
                  "S",
                  600,
                  {255, 255, 255, 254},
                  {"Containers:          4\n", "        " + std::string(253, 'd') + "Z\n"}},
        BufferRow{"container list of 1025 bytes",
                  "S",
                  600,
                  {255, 255, 255, 255},
                  {"Containers:          unreadable (status 0x88000004)\n"}}),
    [](const auto& info) { return std::to_string(info.index); });

TEST(QdKeyinfo, UsageGoesToStandardErrorUnlessAskedFor) {
    auto help = runProgram(QD_KEYINFO_PATH, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: qd-keyinfo", 0), 0u) << help.out;
    // The default the build was configured with, not a copy of it.
    EXPECT_NE(help.out.find("$QD_TOKEN_LIBRARY, else " QD_TOKEN_LIBRARY_DEFAULT ".\n"), std::string::npos)
        << help.out;
    EXPECT_EQ(help.err, "");
    auto bogus = runProgram(QD_KEYINFO_PATH, {"--bogus"});
    EXPECT_EQ(bogus.status, 2);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(bogus.err.rfind("qd-keyinfo: unknown option \"--bogus\"\nusage: qd-keyinfo", 0), 0u)
        << bogus.err;
    auto huge = runProgram(QD_KEYINFO_PATH, {std::string(100000, 'x')});
    EXPECT_EQ(huge.status, 2);
    EXPECT_LT(huge.err.find('\n'), 200u) << "the first line repeats the whole argument";
}

TEST(QdKeyinfo, MissingLibraryExitsNonZeroWithAClearMessage) {
    kpsim::testing::CheckedKeys keys;
    kpsim::testing::ScopedEnv env("QD_TOKEN_LIBRARY", "/nonexistent/libUSBQdvKey_20244.so");
    auto r = runProgram(QD_KEYINFO_PATH, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "qd-keyinfo: cannot load the token device library /nonexistent/libUSBQdvKey_20244.so "
              "(set QD_TOKEN_LIBRARY)\n");
}

}  // namespace
