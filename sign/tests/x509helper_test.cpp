// X509Helper on certificates made here: which name entry names a certificate,
// how values and serial numbers are cut or refused, and what a failed load
// leaves behind.
#include "sign/X509Helper.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sign/tests/sign_testing.h"

namespace {

using signtest::buildCertificate;
using signtest::NameEntry;

NameEntry utf8(int nid, const std::string& value) { return {nid, V_ASN1_UTF8STRING, value}; }

std::string repeat(const std::string& piece, size_t times) {
    std::string s;
    for (size_t i = 0; i < times; ++i) s += piece;
    return s;
}

std::string subjectOf(const std::vector<unsigned char>& der, size_t capacity = 512) {
    X509Helper helper;
    EXPECT_TRUE(helper.loadDERCert(der.data(), static_cast<int32_t>(der.size())));
    std::vector<char> buffer(capacity + 8, '#');
    EXPECT_TRUE(helper.GetSubjectName(buffer.data(), capacity));
    if (capacity == 0) return std::string(buffer.data(), 1);
    // The text must end inside the capacity.
    const void* nul = std::memchr(buffer.data(), '\0', capacity);
    EXPECT_NE(nul, nullptr) << "not terminated within " << capacity;
    return nul ? std::string(buffer.data()) : std::string();
}

struct NameCase {
    const char* label;
    std::vector<NameEntry> subject;
    std::string expected;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

class SubjectName : public ::testing::TestWithParam<NameCase> {};

TEST_P(SubjectName, IsTheFirstNonEmptyCommonNameElseTheLastOrganisation) {
    const auto& c = GetParam();
    EXPECT_EQ(subjectOf(buildCertificate(c.subject, {0x01})), c.expected);
}

const std::string kZhang = "\xE5\xBC\xA0\xE4\xB8\x89";  // 张三
const std::string kBank = "\xE4\xB8\xAD\xE5\x9B\xBD\xE6\xB5\x8B\xE8\xAF\x95\xE9\x93\xB6\xE8\xA1\x8C";

INSTANTIATE_TEST_SUITE_P(
    Cases, SubjectName,
    ::testing::Values(
        NameCase{"common name", {utf8(NID_commonName, "Alice")}, "Alice"},
        NameCase{"CN after O", {utf8(NID_organizationName, "Bank"), utf8(NID_commonName, "Alice")}, "Alice"},
        NameCase{"CN before O", {utf8(NID_commonName, "Alice"), utf8(NID_organizationName, "Bank")}, "Alice"},
        NameCase{"only O", {utf8(NID_countryName, "CN"), utf8(NID_organizationName, "Bank")}, "Bank"},
        NameCase{"last O wins",
                 {utf8(NID_organizationName, "First"), utf8(NID_organizationName, "Second")},
                 "Second"},
        NameCase{"neither", {utf8(NID_countryName, "CN"), utf8(NID_organizationalUnitName, "Unit")}, ""},
        NameCase{"empty CN then CN", {utf8(NID_commonName, ""), utf8(NID_commonName, "Second")}, "Second"},
        NameCase{
            "first of two CNs", {utf8(NID_commonName, "First"), utf8(NID_commonName, "Second")}, "First"},
        NameCase{"empty CN falls back to O",
                 {utf8(NID_organizationName, "Bank"), utf8(NID_commonName, "")},
                 "Bank"},
        NameCase{
            "Chinese UTF8String", {utf8(NID_organizationName, kBank), utf8(NID_commonName, kZhang)}, kZhang},
        NameCase{"Chinese only O", {utf8(NID_organizationName, kBank)}, kBank},
        // BMPString (UCS-2, big-endian) comes out as UTF-8.
        NameCase{
            "BMPString", {{NID_commonName, V_ASN1_BMPSTRING, std::string("\x5F\x20\x4E\x09", 4)}}, kZhang},
        // A value that cannot be turned into UTF-8 is passed over.
        NameCase{"unconvertible CN",
                 {utf8(NID_organizationName, "Bank"), {NID_commonName, V_ASN1_OCTET_STRING, "x"}},
                 "Bank"},
        NameCase{"long ASCII value", {utf8(NID_commonName, std::string(600, 'a'))}, std::string(511, 'a')},
        // 200 three-byte characters: 170 fit in 511 bytes without splitting one.
        NameCase{"long Chinese value",
                 {utf8(NID_commonName, repeat("\xE4\xB8\xAD", 200))},
                 repeat("\xE4\xB8\xAD", 170)},
        NameCase{"exactly 511 bytes", {utf8(NID_commonName, std::string(511, 'b'))}, std::string(511, 'b')},
        NameCase{"512 bytes", {utf8(NID_commonName, std::string(512, 'c'))}, std::string(511, 'c')}));

TEST(SubjectNameCapacity, IsCutToTheCallersBufferAndAlwaysTerminated) {
    const auto der = buildCertificate({utf8(NID_commonName, "abcdefgh")}, {0x01});
    EXPECT_EQ(subjectOf(der, 5), "abcd");
    EXPECT_EQ(subjectOf(der, 9), "abcdefgh");
    EXPECT_EQ(subjectOf(der, 1), "");
    EXPECT_EQ(subjectOf(der, 0), "#");  // nothing written
    // 张三 in 5 bytes: only the first character fits whole.
    EXPECT_EQ(subjectOf(buildCertificate({utf8(NID_commonName, kZhang)}, {0x01}), 5), "\xE5\xBC\xA0");
}

TEST(IssuerName, ReadsTheIssuerByTheSameRule) {
    const auto der = buildCertificate({utf8(NID_commonName, "Subject")}, {0x01},
                                      {utf8(NID_organizationName, "Issuing Bank"), utf8(NID_commonName, "")});
    X509Helper helper;
    ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int32_t>(der.size())));
    char buffer[512] = {};
    ASSERT_TRUE(helper.GetIssuerName(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "Issuing Bank");
}

struct SerialCase {
    const char* label;
    std::vector<unsigned char> serial;
    size_t capacity;
    bool fits;
    std::string expected;
};
void PrintTo(const SerialCase& c, std::ostream* os) { *os << c.label; }

class SerialNumber : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialNumber, IsUpperCaseHexOfTheIntegerBytesWhenItFits) {
    const auto& c = GetParam();
    const auto der = buildCertificate({utf8(NID_commonName, "x")}, c.serial);
    X509Helper helper;
    ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int32_t>(der.size())));
    std::vector<char> buffer(c.capacity + 1, 'Z');
    buffer[c.capacity] = '\0';
    EXPECT_EQ(helper.GetSerialNumber(buffer.data(), c.capacity), c.fits);
    EXPECT_EQ(std::string(buffer.data()), c.fits ? c.expected : std::string(c.capacity, 'Z'));
}

std::vector<unsigned char> bytes(size_t n, unsigned char first) {
    std::vector<unsigned char> v(n, 0xAB);
    v[0] = first;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialNumber,
    ::testing::Values(SerialCase{"small", {0x0A, 0x10, 0x24}, 512, true, "0A1024"},
                      // DER puts a zero byte before 0x80; OpenSSL does not keep it, nor do we.
                      SerialCase{"first byte 0x80", {0x80, 0xF0, 0x0D}, 512, true, "80F00D"},
                      SerialCase{"first byte 0xFF", {0xFF}, 512, true, "FF"},
                      SerialCase{"exact fit", {0xC0, 0xFF, 0xEE}, 7, true, "C0FFEE"},
                      SerialCase{"one short", {0xC0, 0xFF, 0xEE}, 6, false, ""},
                      SerialCase{"255 bytes fit 512", bytes(255, 0x91), 512, true, "91" + repeat("AB", 254)},
                      SerialCase{"256 bytes do not", bytes(256, 0x91), 512, false, ""}));

TEST(LoadDERCert, AFailedLoadDropsTheCertificateHeldBefore) {
    const auto der = buildCertificate({utf8(NID_commonName, "Held")}, {0x01});
    X509Helper helper;
    char buffer[64] = {};
    EXPECT_FALSE(helper.GetSubjectName(buffer, sizeof buffer));
    EXPECT_FALSE(helper.GetSerialNumber(buffer, sizeof buffer));
    ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int32_t>(der.size())));
    ASSERT_TRUE(helper.GetSubjectName(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "Held");

    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01};
    EXPECT_FALSE(helper.loadDERCert(garbage, sizeof garbage));
    EXPECT_FALSE(helper.GetSubjectName(buffer, sizeof buffer));
    EXPECT_FALSE(helper.GetIssuerName(buffer, sizeof buffer));
    EXPECT_FALSE(helper.GetSerialNumber(buffer, sizeof buffer));

    ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int32_t>(der.size())));
    EXPECT_FALSE(helper.loadDERCert(der.data(), 0));
    EXPECT_FALSE(helper.loadDERCert(nullptr, 10));
    EXPECT_FALSE(helper.loadDERCert(der.data(), static_cast<int32_t>(der.size()) - 1));  // cut short
}

}  // namespace
