// Demo key material for `keysim create --demo`: a test CA and four user
// certificates in two containers, made with OpenSSL (RSA-2048, SHA-256,
// Chinese subject names as UTF8String, one validity in UTCTime and one in
// GeneralizedTime, one certificate without a CN).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kpsim {

struct DemoCertificate {
    std::string container;  // container name
    bool signing = false;   // key spec 2 (signing) or 1 (encryption)
    std::vector<uint8_t> der;
    std::string certPem;
    std::string keyPem;  // the private key, PKCS#8 PEM (for a PKCS#11 test token)
};

struct DemoMaterial {
    std::string caCertPem;
    std::string caKeyPem;
    std::vector<DemoCertificate> certificates;
};

// Generates fresh material; false with *error (one line) when OpenSSL fails.
[[nodiscard]] bool makeDemoMaterial(DemoMaterial* out, std::string* error);

// A realistic serial number: "QD20244" followed by nine random digits.
std::string makeDemoSerial();

}  // namespace kpsim
