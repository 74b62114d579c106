#include "OpensslOperate.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <array>
#include <cstring>
#include <ctime>

#include "platform/log.h"

namespace {

QString boundDate(const ASN1_TIME* t) {
    int err = 0;
    // A bad time gives 0 seconds: the local date of 1970-01-01, as the
    // system has always shown it.
    const int64_t secs = t != nullptr ? ASN1_TIME_get(t, &err) : 0;
    return dateToString(QDateTime::fromSecsSinceEpoch(secs));
}

std::string oneline(const X509_NAME* name) {
    if (name == nullptr) {
        return {};
    }
    const ossl::OsslText text(X509_NAME_oneline(name, nullptr, 0));
    return text ? std::string(text.get()) : std::string();
}

bool isLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

qsizetype OpensslOperate::derLength(const QByteArray& der) {
    const auto* start = reinterpret_cast<const unsigned char*>(der.constData());
    const unsigned char* p = start;
    long content = 0;
    int tag = 0;
    int cls = 0;
    // 0x80 is OpenSSL's error bit; indefinite lengths are not DER.
    const int info = ASN1_get_object(&p, &content, &tag, &cls, static_cast<long>(der.size()));
    if ((info & 0x80) != 0 || (info & V_ASN1_CONSTRUCTED) == 0 || info == 0x21) {
        return 0;
    }
    return static_cast<qsizetype>(p - start) + static_cast<qsizetype>(content);
}

X509Ptr OpensslOperate::getX509Data(const QByteArray& der) {
    if (der.isEmpty() || der.size() > kMaxCertLength) {
        return nullptr;
    }
    const qsizetype length = derLength(der);
    if (length <= 0) {
        return nullptr;
    }
    std::array<unsigned char, kMaxCertLength> work{};
    std::memcpy(work.data(), der.constData(), static_cast<size_t>(length));
    const unsigned char* p = work.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
    // The structure must be the certificate, not a shorter one inside it.
    if (cert && p != work.data() + length) {
        return nullptr;
    }
    return cert;
}

QString OpensslOperate::getStartTime(const X509* cert) {
    return cert != nullptr ? boundDate(X509_get0_notBefore(cert)) : QString();
}

QString OpensslOperate::getEndTime(const X509* cert) {
    return cert != nullptr ? boundDate(X509_get0_notAfter(cert)) : QString();
}

QString OpensslOperate::serialHex(const X509* cert) {
    if (cert == nullptr) {
        return {};
    }
    const ossl::BnPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
    if (!bn) {
        return {};
    }
    const ossl::OsslText hex(BN_bn2hex(bn.get()));
    return hex ? QString::fromLatin1(hex.get()) : QString();
}

QString OpensslOperate::getcerSerialNumber(const X509* cert) {
    const QString hex = serialHex(cert);
    if (!hex.isEmpty()) {
        platform::logLinef("%s", hex.toLatin1().constData());
    }
    return hex;
}

std::string OpensslOperate::getsbjctName(const X509* cert) {
    return cert != nullptr ? oneline(X509_get_subject_name(cert)) : std::string();
}

std::string OpensslOperate::getIssuerName(const X509* cert) {
    return cert != nullptr ? oneline(X509_get_issuer_name(cert)) : std::string();
}

int mypint(const unsigned char** s, int n, int min, int max, int* e) {
    int retval = 0;
    while (n > 0) {
        const unsigned char c = **s;
        if (c < '0' || c > '9') {
            *e = 1;
            return 0;
        }
        retval = retval * 10 + (c - '0');
        ++*s;
        --n;
    }
    if (retval < min || retval > max) {
        *e = 1;
    }
    return retval;
}

int64_t ASN1_TIME_get(const ASN1_TIME* time, int* err) {
    int localErr = 0;
    int* e = err != nullptr ? err : &localErr;
    *e = 0;
    if (time == nullptr) {
        *e = 1;
        return 0;
    }
    const int type = ASN1_STRING_type(time);
    const int length = ASN1_STRING_length(time);
    const unsigned char* s = ASN1_STRING_get0_data(time);
    if ((type != V_ASN1_UTCTIME && type != V_ASN1_GENERALIZEDTIME) || s == nullptr || length < 0 ||
        s[length] != '\0') {
        *e = 1;
        return 0;
    }
    // The text ends at its length (checked above); mypint stops at the NUL,
    // so no read goes past it.
    const unsigned char* const end = s + length;
    const bool generalized = type == V_ASN1_GENERALIZEDTIME;
    int year = 0;
    if (generalized) {
        year = mypint(&s, 4, 0, 9999, e);
    } else {
        year = mypint(&s, 2, 0, 99, e);
        year += year < 50 ? 2000 : 1900;
    }
    const int month = *e == 0 ? mypint(&s, 2, 1, 12, e) : 0;
    const int day = *e == 0 ? mypint(&s, 2, 1, 31, e) : 0;
    const int hour = *e == 0 ? mypint(&s, 2, 0, 23, e) : 0;
    const int minute = *e == 0 ? mypint(&s, 2, 0, 59, e) : 0;
    int second = 0;
    if (*e == 0 && *s >= '0' && *s <= '9') {
        second = mypint(&s, 2, 0, 59, e);
    }
    if (*e != 0) {
        *e = 1;
        return 0;
    }

    if (generalized) {
        while (*s == '.' || *s == ',' || (*s >= '0' && *s <= '9')) {
            ++s;
        }
        if (s == end) {
            std::tm tm{};
            tm.tm_year = year - 1900;
            tm.tm_mon = month - 1;
            tm.tm_mday = day;
            tm.tm_hour = hour;
            tm.tm_min = minute;
            tm.tm_sec = second;
            tm.tm_isdst = -1;
            const std::time_t t = std::mktime(&tm);
            if (t == static_cast<std::time_t>(-1)) {
                *e = 2;
                return 0;
            }
            return static_cast<int64_t>(t);
        }
    }

    int64_t offset = 0;  // minutes east of UTC
    if (*s == 'Z') {
        ++s;
    } else if (*s == '+' || *s == '-') {
        const bool negative = *s == '-';
        ++s;
        const int oh = mypint(&s, 2, 0, 12, e);
        const int om = *e == 0 ? mypint(&s, 2, 0, 59, e) : 0;
        if (*e != 0) {
            *e = 1;
            return 0;
        }
        offset = static_cast<int64_t>(oh) * 60 + om;
        if (negative) {
            offset = -offset;
        }
    } else {
        *e = 1;
        return 0;
    }
    // The zone must end the text: a NUL inside the length is trailing junk too.
    if (s != end) {
        *e = 1;
        return 0;
    }

    static constexpr std::array<int64_t, 12> kMonthDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t sum = static_cast<int64_t>(second) + (static_cast<int64_t>(minute) - offset) * 60 +
                  static_cast<int64_t>(hour) * 3600 + (static_cast<int64_t>(day) - 1) * 86400;
    for (int m = 0; m < month - 1; ++m) {
        const int64_t days = (m == 1 && isLeap(year)) ? 29 : kMonthDays[static_cast<size_t>(m)];
        sum += days * 86400;
    }
    sum += (static_cast<int64_t>(year) - 1970) * 31536000;

    if (year >= 1970) {
        sum += ((static_cast<int64_t>(year) - 1969) / 4) * 86400;
        for (int c = 2100; c < year; c += 100) {
            if (c % 400 != 0) {
                sum -= 86400;
            }
        }
        if (sum < 0) {
            *e = 2;
            return 0;
        }
    } else {
        sum -= ((1972 - static_cast<int64_t>(year)) / 4) * 86400;
        for (int c = 1900; c >= year; c -= 100) {
            if (c % 400 != 0) {
                sum += 86400;
            }
        }
        if (sum >= 0) {
            *e = 2;
            return 0;
        }
    }
    return sum;
}

QString dateToString(const QDateTime& date) {
    return date.toLocalTime().toString(QStringLiteral("yyyyMMdd"));
}
