// Certificate helpers and the ASN.1 time parser, checked against fixed cases
// and against OpenSSL's own time conversion. Runs with TZ=CST-8 (UTC+8).
#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <ctime>
#include <memory>
#include <random>

#include "OpensslOperate.h"
#include "Qd_MacIntf.h"
#include "core_support.h"
#include "platform/ossl.h"

namespace {

using TimePtr = ossl::Asn1TimePtr;

// An ASN.1 time holding the text unchecked, as a certificate may carry it.
TimePtr rawTime(int type, const std::string& text) {
    TimePtr t(ASN1_STRING_type_new(type));
    ASN1_STRING_set(t.get(), text.data(), static_cast<int>(text.size()));
    return t;
}

int64_t parse(int type, const std::string& text, int* err) {
    return ASN1_TIME_get(rawTime(type, text).get(), err);
}

constexpr int kUtc = V_ASN1_UTCTIME;
constexpr int kGen = V_ASN1_GENERALIZEDTIME;

}  // namespace

TEST(CoreAsn1Time, KnownValues) {
    struct {
        int type;
        const char* text;
        int64_t secs;
    } cases[] = {
        {kUtc, "491231235959Z", 2524607999},  // 2049
        {kUtc, "500101000000Z", -631152000},  // 1950
        {kUtc, "700101000000Z", 0},
        {kUtc, "150107093000+0800", 1420594200},  // 01:30 UTC
        {kUtc, "150107093000-0130", 1420628400},
        {kUtc, "1501070930Z", 1420623000},  // no seconds
        {kGen, "20150107093000.123Z", 1420623000},
        {kGen, "20150107093000,5+0800", 1420594200},
        {kGen, "20380119031408Z", 2147483648},  // past 32 bits
        {kGen, "99991231235959Z", 253402300799},
        {kGen, "19000301000000Z", -2203891200},  // 1900 not leap
        {kGen, "18991231235959Z", -2208988801},
        {kGen, "16000301000000Z", -11670912000},  // 1600 leap
        {kGen, "00010101000000Z", -62135596800},
    };
    for (const auto& c : cases) {
        int err = -1;
        EXPECT_EQ(parse(c.type, c.text, &err), c.secs) << c.text;
        EXPECT_EQ(err, 0) << c.text;
    }
}

TEST(CoreAsn1Time, LeapYears) {
    int err = 0;
    // 2100 is not a leap year, 2000 is; 2400 is again.
    EXPECT_EQ(parse(kGen, "21000301000000Z", &err) - parse(kGen, "21000228000000Z", &err), 86400);
    EXPECT_EQ(parse(kGen, "20000301000000Z", &err) - parse(kGen, "20000228000000Z", &err), 2 * 86400);
    EXPECT_EQ(parse(kGen, "24000301000000Z", &err) - parse(kGen, "24000228000000Z", &err), 2 * 86400);
    EXPECT_EQ(parse(kGen, "21010101000000Z", &err) - parse(kGen, "21000101000000Z", &err), 365 * 86400);
    EXPECT_EQ(err, 0);
}

TEST(CoreAsn1Time, LocalTimeWithoutZone) {
    int err = -1;
    // TZ is UTC+8 in this test's environment.
    EXPECT_EQ(parse(kGen, "20150107093000", &err), 1420594200);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(parse(kGen, "20150107093000.999", &err), 1420594200);
    EXPECT_EQ(err, 0);
}

TEST(CoreAsn1Time, BadTextsGiveErrorOneAndZero) {
    const struct {
        int type;
        const char* text;
    } bad[] = {
        {kUtc, "491331235959Z"},       // month 13
        {kUtc, "491231235959Zx"},      // trailing character after the zone
        {kUtc, "491231235959+0800x"},  // same after an offset
        {kUtc, "491231235959"},        // UTCTime needs a zone
        {kUtc, "4912312359.5Z"},       // fractions only in GeneralizedTime
        {kUtc, "491232235959Z"},       // day 32
        {kUtc, "491231245959Z"},       // hour 24
        {kUtc, "491231236059Z"},       // minute 60
        {kUtc, "491231235960Z"},       // second 60
        {kUtc, "491231235959+1300"},   // offset hours above 12
        {kUtc, "491231235959+0860"},
        {kUtc, "491231235959+08"},
        {kUtc, "4912312359"},
        {kUtc, "49123"},
        {kUtc, ""},
        {kUtc, "4912a1235959Z"},
        {kGen, "2015010709"},
        {kGen, "20150107093000Q"},
        {V_ASN1_OCTET_STRING, "491231235959Z"},
    };
    for (const auto& b : bad) {
        int err = 0;
        EXPECT_EQ(parse(b.type, b.text, &err), 0) << b.text;
        EXPECT_EQ(err, 1) << b.text;
    }
    // A NUL inside the length is trailing junk, not the end.
    int err = 0;
    EXPECT_EQ(parse(kUtc, std::string("491231235959Z\0junk", 18), &err), 0);
    EXPECT_EQ(err, 1);
    // No out-parameter: still 0.
    EXPECT_EQ(ASN1_TIME_get(rawTime(kUtc, "491331235959Z").get(), nullptr), 0);
    EXPECT_EQ(ASN1_TIME_get(nullptr, nullptr), 0);
}

TEST(CoreAsn1Time, OutOfRangeGivesErrorTwo) {
    int err = 0;
    EXPECT_EQ(parse(kUtc, "700101000000+0100", &err), 0);  // before the epoch, year 1970
    EXPECT_EQ(err, 2);
    err = 0;
    EXPECT_EQ(parse(kUtc, "691231235959-0100", &err), 0);  // after the epoch, year 1969
    EXPECT_EQ(err, 2);
}

TEST(CoreAsn1Time, MypintReadsExactDigits) {
    const unsigned char text[] = "12a";
    const unsigned char* p = text;
    int err = 0;
    EXPECT_EQ(mypint(&p, 2, 0, 99, &err), 12);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(p, text + 2);
    EXPECT_EQ(mypint(&p, 1, 0, 9, &err), 0);
    EXPECT_EQ(err, 1);
    p = text;
    err = 0;
    EXPECT_EQ(mypint(&p, 2, 13, 99, &err), 12);  // out of range: value kept, error set
    EXPECT_EQ(err, 1);
}

// OpenSSL's own conversion: days and seconds from the epoch to the time.
int64_t opensslSeconds(const ASN1_TIME* t) {
    static const TimePtr epoch = rawTime(kGen, "19700101000000Z");
    int days = 0, secs = 0;
    if (ASN1_TIME_diff(&days, &secs, epoch.get(), t) != 1) {
        ADD_FAILURE() << "OpenSSL rejected "
                      << std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)));
        return 0;
    }
    return static_cast<int64_t>(days) * 86400 + secs;
}

TEST(CoreAsn1Time, MatchesOpenSslOnRandomTimes) {
    std::mt19937 rng(1970);
    const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    auto pick = [&](int lo, int hi) {
        return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1));
    };
    int compared = 0;
    for (int i = 0; i < 4000; ++i) {
        const bool gen = (i % 2) == 1;
        const bool zulu = rng() % 2 == 0;
        // OpenSSL applies an offset only to results from 1900 on.
        const int year = gen ? (zulu ? pick(1, 9999) : pick(1901, 9998)) : pick(1950, 2049);
        const int month = pick(1, 12);
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int dim = month == 2 && leap ? 29 : monthDays[month - 1];
        char text[64];
        int n = gen ? std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", year, month, pick(1, dim),
                                    pick(0, 23), pick(0, 59), pick(0, 59))
                    : std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02d", year % 100, month,
                                    pick(1, dim), pick(0, 23), pick(0, 59), pick(0, 59));
        if (gen && rng() % 3 == 0) {
            n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ".%d", pick(0, 999));
        }
        if (zulu) {
            std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "Z");
        } else {
            std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%c%02d%02d", rng() % 2 ? '+' : '-',
                          pick(0, 12), pick(0, 59));
        }
        const TimePtr t = rawTime(gen ? kGen : kUtc, text);
        int err = -1;
        const int64_t ours = ASN1_TIME_get(t.get(), &err);
        const int64_t theirs = opensslSeconds(t.get());
        if (err == 2) {
            // Only the epoch-crossing corner (a zone moving the time across
            // 1970-01-01) is out of range.
            EXPECT_TRUE((year == 1970 && theirs < 0) || (year == 1969 && theirs >= 0)) << text;
            continue;
        }
        ASSERT_EQ(err, 0) << text;
        EXPECT_EQ(ours, theirs) << text;
        ++compared;
    }
    EXPECT_GT(compared, 3900);
}

TEST(CoreCertDates, LocalDateStrings) {
    // UTC+8: 2049-06-15 12:00 UTC is 20:00 local, the same day; 16:30 UTC is the next day.
    const QByteArray der = coretest::makeCert("Test User", "Test CA", "150107093000Z", "490615120000Z");
    const X509Ptr cert = OpensslOperate::getX509Data(der);
    ASSERT_TRUE(cert);
    EXPECT_EQ(OpensslOperate::getStartTime(cert.get()), QString("20150107"));
    EXPECT_EQ(OpensslOperate::getEndTime(cert.get()), QString("20490615"));

    const QByteArray late = coretest::makeCert("A", "B", "20150107163000Z", "20991231170000Z");
    const X509Ptr lateCert = OpensslOperate::getX509Data(late);
    ASSERT_TRUE(lateCert);
    EXPECT_EQ(OpensslOperate::getStartTime(lateCert.get()), QString("20150108"));
    EXPECT_EQ(OpensslOperate::getEndTime(lateCert.get()), QString("21000101"));

    EXPECT_EQ(dateToString(QDateTime::fromSecsSinceEpoch(0)), QString("19700101"));
    EXPECT_EQ(dateToString(QDateTime::fromSecsSinceEpoch(-1)), QString("19700101"));  // 07:59:59 local
}

TEST(CoreCertRecord, NamesDatesAndSerial) {
    const QByteArray der =
        coretest::makeCert("Test User", "Test CA", "150107093000Z", "490615120000Z", 0x1A2B3C);
    Qd_MacIntf intf;
    const CertificateRecord rec = intf.fzX509(der);
    EXPECT_EQ(rec.keys(), (QStringList{"isser", "sub", "valid"}));
    EXPECT_EQ(rec.value(CertKey::isser).toString(), QString("Test CA"));
    EXPECT_EQ(rec.value(CertKey::sub).toString(), QString("Test User"));
    EXPECT_EQ(rec.value(CertKey::valid).toString(), QString("20150107-20490615"));

    const X509Ptr cert = OpensslOperate::getX509Data(der);
    EXPECT_EQ(OpensslOperate::getcerSerialNumber(cert.get()), QString("1A2B3C"));
    EXPECT_EQ(OpensslOperate::getsbjctName(cert.get()), "/C=CN/O=Bank/CN=Test User");
    EXPECT_EQ(OpensslOperate::getIssuerName(cert.get()), "/O=Bank/CN=Test CA");

    // Chinese names come out as the one-line form's escapes, unchanged.
    const QByteArray zh = coretest::makeCert("张三", "CA");
    const CertificateRecord zhRec = intf.fzX509(zh);
    EXPECT_EQ(zhRec.value(CertKey::sub).toString(), QString("\\xE5\\xBC\\xA0\\xE4\\xB8\\x89"));
}

TEST(CoreCertRecord, BytesThatAreNotACertificate) {
    Qd_MacIntf intf;
    for (const QByteArray& bad : {QByteArray(), QByteArray("not a certificate"), QByteArray(5000, '\x30'),
                                  coretest::makeCert("A", "B").left(100)}) {
        const CertificateRecord rec = intf.fzX509(bad);
        EXPECT_EQ(rec.keys(), (QStringList{"isser", "sub", "valid"}));
        EXPECT_TRUE(rec.value(CertKey::isser).toString().isEmpty());
        EXPECT_TRUE(rec.value(CertKey::sub).toString().isEmpty());
        EXPECT_TRUE(rec.value(CertKey::valid).toString().isEmpty());
    }
    // A certificate longer than the 4096-byte work buffer is refused, not overrun.
    QByteArray big = coretest::makeCert("A", "B");
    big.append(QByteArray(5000, 0));
    EXPECT_FALSE(OpensslOperate::getX509Data(big));
    EXPECT_EQ(OpensslOperate::getStartTime(nullptr), QString());
}

TEST(CoreCertRecord, CommonNameOfOneLineName) {
    EXPECT_EQ(Qd_MacIntf::getZqStr("/C=CN/O=Bank/CN=Test User"), QString("Test User"));
    EXPECT_EQ(Qd_MacIntf::getZqStr("/C=CN/O=Bank"), QString("/C=CN/O=Bank"));
    EXPECT_EQ(Qd_MacIntf::getZqStr("/CN=A/OU=B"), QString("A/OU=B"));
    EXPECT_EQ(Qd_MacIntf::getZqStr("/CN=A/CN=B"), QString("B"));
    EXPECT_EQ(Qd_MacIntf::getZqStr(""), QString());
    EXPECT_EQ(Qd_MacIntf::getZqStr(nullptr), QString());
}
