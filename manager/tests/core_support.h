// Helpers of the core tests and the lookCer benchmark: the keysim command
// (simulated keys live in a kpsim::testing::SimulatedKeys folder), test
// certificates, a QApplication.
#pragma once

#include <QByteArray>
#include <QString>
#include <string>
#include <vector>

#include "platform/tests/qstring_print.h"
#include "sim/token/keysim_testing.h"

namespace coretest {

// Runs keysim with the arguments; returns its exit status and puts its
// standard output into *out when given.
inline int keysim(const std::vector<std::string>& args, std::string* out = nullptr) {
    const kpsim::testing::CommandResult r = kpsim::testing::runKeysim(args);
    if (out != nullptr) {
        *out = r.out;
    }
    return r.status;
}

// A self-signed-looking certificate (EC P-256) with the given common names
// and validity texts (UTCTime "YYMMDDhhmmssZ" or GeneralizedTime), DER.
QByteArray makeCert(const std::string& subjectCN, const std::string& issuerCN,
                    const std::string& notBefore = "200101000000Z",
                    const std::string& notAfter = "300101000000Z", long serial = 1);

// One entry of a made name: field ("CN", "O", ...), ASN.1 string type
// (V_ASN1_UTF8STRING, V_ASN1_BMPSTRING, ...) and the value's bytes in that
// type's own encoding (UTF-16BE for BMPString, Latin-1 for T61String).
struct NameEntry {
    std::string field;
    int type;
    std::string bytes;
};

// A certificate like makeCert's whose subject and issuer hold exactly these
// entries, in this order.
QByteArray makeCertNamed(const std::vector<NameEntry>& subject, const std::vector<NameEntry>& issuer);

// Writes bytes to a file in dir; returns its path.
std::string writeFile(const std::string& dir, const std::string& name, const QByteArray& bytes);

// The QApplication of the test process (made on first call, offscreen).
void ensureApp();

}  // namespace coretest
