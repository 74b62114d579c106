// qd-keyinfo: shows, through the binding (token_manager), what the key
// manager reads of the attached keys: the readers its filtering KpListReaders
// keeps and, per kept reader, PCODE, serial, user PIN tries, key type,
// change-PIN flag, containers and their certificates.
//
// Exit status: 0 shown (also when no key is attached); 1 the token library
// cannot be loaded, or the reader listing failed.
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/cli.h"
#include "platform/log.h"
#include "platform/ossl.h"
#include "platform/paths.h"
#include "token/Func_init.h"
#include "token/NameList.h"
#include "token/Session.h"

namespace {

constexpr uint32_t kNamesCapacity = 1024;
constexpr uint32_t kCertCapacity = 4096;
constexpr uint32_t kDsnCapacity = 64;

std::string hex(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

std::string subjectLine(const unsigned char* der, uint32_t length) {
    const unsigned char* p = der;
    const ossl::X509Ptr cert(d2i_X509(nullptr, &p, length));
    if (!cert) return "(not a readable X.509 certificate)";
    const ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return "";
    X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert.get()), 0,
                       XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

void showCertificate(KPHANDLE handle, const std::string& container, uint32_t keySpec, const char* label) {
    unsigned char cert[kCertCapacity] = {};
    uint32_t length = kCertCapacity;
    uint32_t status = KpReadCert(handle, container.c_str(), keySpec, cert, &length);
    // Present only with status 0 and a length that is not 0.
    if (status != 0 || length == 0) {
        std::printf("          %-16s none (status %s)\n", label, hex(status).c_str());
        return;
    }
    if (length > kCertCapacity) {
        std::printf("          %-16s reported %u bytes, more than the %u-byte buffer\n", label, length,
                    kCertCapacity);
        return;
    }
    std::printf("          %-16s %u bytes\n", label, length);
    std::printf("          %-16s %s\n", "", subjectLine(cert, length).c_str());
}

void showReader(int index, const std::string& reader) {
    std::printf("\n  [%d] %s\n", index, reader.c_str());
    const token::Session session(reader.c_str());
    uint32_t status = session.connectStatus();
    if (status != 0) {
        std::printf("      cannot connect (status %s)\n", hex(status).c_str());
        return;
    }
    KPHANDLE handle = session.handle();

    uint32_t pcode = 0;
    uint32_t reserved = 0;
    status = KpReadPCODE(handle, &pcode, &reserved);
    if (status == 0) {
        std::printf("      %-20s %u%s\n", "PCODE:", pcode, pcode == KP_PCODE_BANK ? " (the bank's key)" : "");
    } else {
        std::printf("      %-20s unreadable (status %s)\n", "PCODE:", hex(status).c_str());
    }

    char dsn[kDsnCapacity + 1] = {};
    uint32_t dsnLength = kDsnCapacity;
    status = KpReadDSN(handle, dsn, &dsnLength);
    if (status == 0) {
        std::printf("      %-20s %s%s\n", "Serial (DSN):", dsn,
                    dsnLength > kDsnCapacity ? " (length overstated)" : "");
    } else {
        std::printf("      %-20s unreadable (status %s)\n", "Serial (DSN):", hex(status).c_str());
    }

    uint32_t tries = 6;  // preset as the key manager does
    status = KpGetUserPinRetryNum(handle, &tries);
    if (status == 0) {
        std::printf("      %-20s %u%s\n", "User PIN tries left:", tries, tries == 0 ? " (locked)" : "");
    } else {
        std::printf("      %-20s unreadable (status %s)\n", "User PIN tries left:", hex(status).c_str());
    }

    uint32_t keyType = 0;
    status = KpGetKeyType(handle, &keyType);
    if (status == 0) {
        std::printf("      %-20s %u%s\n", "Key type:", keyType, keyType == 1 ? " (no button prompt)" : "");
    } else {
        std::printf("      %-20s unreadable (status %s)\n", "Key type:", hex(status).c_str());
    }

    uint32_t flag = 0;
    status = KpGetChangePINFlage(handle, &flag);
    if (status == 0) {
        std::printf("      %-20s %u\n", "Change-PIN flag:", flag);
    } else {
        std::printf("      %-20s unreadable (status %s)\n", "Change-PIN flag:", hex(status).c_str());
    }

    char names[kNamesCapacity + 1] = {};
    uint32_t namesLength = kNamesCapacity;
    uint32_t count = 0;
    status = KpListContainers(handle, names, &namesLength, &count);
    if (status != 0) {
        std::printf("      %-20s unreadable (status %s)\n", "Containers:", hex(status).c_str());
    } else {
        std::vector<std::string> containers = token::nameList(names, namesLength, kNamesCapacity);
        std::printf("      %-20s %zu\n", "Containers:", containers.size());
        for (const std::string& container : containers) {
            std::printf("        %s\n", container.c_str());
            showCertificate(handle, container, KP_KEYSPEC_SIGN, "signing (2):");
            showCertificate(handle, container, KP_KEYSPEC_ENC, "encryption (1):");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        // Asked for, the usage is the output; otherwise it explains an error.
        const std::string usage =
            "usage: qd-keyinfo [--help | --version]\n\n"
            "Shows through the token library binding what the key manager reads of the\n"
            "attached keys. Library: $QD_TOKEN_LIBRARY, else " +
            platform::tokenLibraryDefault() + ".\n";
        const platform::Asked asked = platform::askedFor(argv[1]);
        if (asked != platform::Asked::Nothing && argc == 2)
            return platform::answer(asked, "qd-keyinfo", usage);
        const char* odd = asked == platform::Asked::Nothing ? argv[1] : argv[2];
        std::fprintf(stderr, "qd-keyinfo: unknown option %s\n%s", platform::quoted(odd).c_str(),
                     usage.c_str());
        return 2;
    }

    const std::string library = platform::tokenLibraryPath();
    std::printf("Token device library: %s\n", library.c_str());
    std::fflush(stdout);
    if (!IsInitedOK()) {  // prints the loader's error text on stdout
        std::fflush(stdout);
        std::fprintf(stderr, "qd-keyinfo: cannot load the token device library %s (set QD_TOKEN_LIBRARY)\n",
                     library.c_str());
        return 1;
    }

    char readers[kNamesCapacity + 1] = {};
    uint32_t readersLength = kNamesCapacity;
    uint32_t count = 30;  // as the key manager presets it
    uint32_t status = KpListReaders(readers, &readersLength, &count);
    if (status == KP_STATUS_FOREIGN_KEY) {
        std::printf(
            "Readers kept by the key manager: none: a key of another product code is attached (status 34)\n");
        return 0;
    }
    std::vector<std::string> kept = token::nameList(readers, readersLength, kNamesCapacity);
    if (status != 0 && kept.empty()) {
        std::printf("Readers kept by the key manager: listing failed (status %s)\n", hex(status).c_str());
        return 1;
    }
    std::printf("Readers kept by the key manager (KpListReaders, PCODE %u only): %u", KP_PCODE_BANK, count);
    if (status != 0) std::printf(" (status %s from the last reader)", hex(status).c_str());
    std::printf("\n");
    if (kept.empty()) {
        std::printf("  no key of the bank is plugged in\n");
        return 0;
    }
    int index = 1;
    for (const std::string& reader : kept) showReader(index++, reader);
    return 0;
}
