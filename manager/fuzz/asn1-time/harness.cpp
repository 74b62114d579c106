// ASN1_TIME_get, the key manager's own time parser, against OpenSSL's
// conversion of the same UTCTime or GeneralizedTime: wherever both read a
// time with a zone, they must give the same second. Texts OpenSSL refuses
// (a 31st of February, say) only have to be survived.
#include <openssl/asn1.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "OpensslOperate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool utc = [] { return setenv("TZ", "UTC", 1) == 0; }();
    (void)utc;
    if (size == 0) return 0;
    const int type = (data[0] & 1) ? V_ASN1_GENERALIZEDTIME : V_ASN1_UTCTIME;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    ASN1_TIME* t = ASN1_STRING_type_new(type);
    if (t == nullptr || ASN1_STRING_set(t, text.data(), static_cast<int>(text.size())) != 1) std::abort();
    int err = -1;
    const int64_t ours = ASN1_TIME_get(t, &err);
    if (err < 0 || err > 2 || (err != 0 && ours != 0)) std::abort();

    std::tm tm{};
    const bool zoned = !text.empty() && (text.back() == 'Z' || text.find_first_of("+-") != std::string::npos);
    if (err == 0 && zoned && ASN1_TIME_to_tm(t, &tm) == 1) {
        const int64_t theirs = static_cast<int64_t>(timegm(&tm));
        if (ours != theirs) {
            std::fprintf(stderr, "%s \"%s\": ours %lld, OpenSSL %lld\n",
                         type == V_ASN1_UTCTIME ? "UTCTime" : "GeneralizedTime", text.c_str(),
                         static_cast<long long>(ours), static_cast<long long>(theirs));
            std::abort();
        }
    }
    ASN1_STRING_free(t);
    return 0;
}
