#pragma GCC visibility push(default)
#include "fake_library.h"

#include "token/Func_init.h"
#pragma GCC visibility pop

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"

namespace {

struct Certificate {
    std::string container;
    uint32_t keySpec;
    uint32_t reported;
    std::string bytes;
};

struct Script {
    fuzz::KeptInput in;
    std::vector<std::string> readers, containers;  // whole names of the last lists answered
    std::string connected;                         // reader of the open handle
    uint32_t readersStatus = 0;
    bool foreign = false;
    std::string kept;
    std::vector<Certificate> certificates;
};

Script& script() {
    static Script s;
    return s;
}

uint32_t status() {
    const uint8_t b = script().in.byte();
    if (b < 200) return 0;
    if (b < 230) return script().in.u32();
    static const uint32_t kUsual[] = {0x88000002u, 0x88000004u, 34u, 0xE0020013u};
    return kUsual[b % 4];
}

// The whole names of a list as it lies in a buffer of `capacity` bytes:
// walked from the start, ending at an empty name or at a name that runs to
// the buffer's end.
std::vector<std::string> wholeNames(const char* buffer, uint32_t capacity) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at < capacity && buffer[at] != '\0') {
        const size_t len = strnlen(buffer + at, capacity - at);
        if (at + len == capacity) break;
        names.emplace_back(buffer + at, len);
        at += len + 1;
    }
    return names;
}

// Answers a name-list call: content (never past the capacity) and a
// reported length that may be anything.
uint32_t nameList(char* buffer, uint32_t* len, uint32_t* count, std::vector<std::string>* names) {
    names->clear();
    if (len == nullptr) return 0x88000003u;
    const uint32_t st = status();
    const uint32_t capacity = *len;
    const std::string content = script().in.bytes(capacity);
    if (buffer != nullptr) {
        std::memcpy(buffer, content.data(), content.size());
        *names = wholeNames(buffer, capacity);
    }
    const uint8_t how = script().in.byte();
    *len = how < 100   ? static_cast<uint32_t>(content.size())
           : how < 150 ? capacity
           : how < 200 ? static_cast<uint32_t>(content.size()) + 1
                       : script().in.u32();
    if (count != nullptr) *count = script().in.byte();
    return st;
}

void mustBeListed(const char* name, const std::vector<std::string>& names) {
    if (name == nullptr) std::abort();
    if (*name != '\0' && std::find(names.begin(), names.end(), std::string(name)) == names.end())
        std::abort();
}

}  // namespace

extern "C" {

void fakekp_load(const uint8_t* data, size_t size) {
    Script& s = script();
    s.in.load(data, size);
    s.readers.clear();
    s.containers.clear();
    s.connected.clear();
    s.kept.clear();
    s.certificates.clear();
    s.readersStatus = 0;
    s.foreign = false;
}

const char* fakekp_kept(size_t* length) {
    *length = script().kept.size();
    return script().kept.data();
}

size_t fakekp_certificates(void) { return script().certificates.size(); }

const char* fakekp_certificate(size_t index, uint32_t* keySpec, uint32_t* reported, const uint8_t** bytes,
                               size_t* size) {
    const Certificate& c = script().certificates.at(index);
    *keySpec = c.keySpec;
    *reported = c.reported;
    *bytes = reinterpret_cast<const uint8_t*>(c.bytes.data());
    *size = c.bytes.size();
    return c.container.c_str();
}

uint32_t fakekp_readers_status(void) { return script().readersStatus; }

int fakekp_foreign_pcode(void) { return script().foreign ? 1 : 0; }

uint32_t KpListReaders(char* szReaderNames, uint32_t* pdwReaderNameLen, uint32_t* pdwReaderNum) {
    script().readersStatus = nameList(szReaderNames, pdwReaderNameLen, pdwReaderNum, &script().readers);
    return script().readersStatus;
}

uint32_t KpConnectDev(const char* szReaderName, KPHANDLE* phDev) {
    mustBeListed(szReaderName, script().readers);
    const uint32_t st = status();
    if (st == 0 && phDev != nullptr) {
        *phDev = reinterpret_cast<KPHANDLE>(uintptr_t{0x1000} + script().in.byte());
        script().connected = szReaderName;
    }
    return st;
}

uint32_t KpBeginTransaction(KPHANDLE) { return status(); }
uint32_t KpEndTransaction(KPHANDLE) { return status(); }
uint32_t KpDisconnectDev(KPHANDLE) { return status(); }

uint32_t KpReadPCODE(KPHANDLE, uint32_t* pdwPCODE, uint32_t* pdwReserved) {
    const uint32_t st = status();
    if (st != 0) return st;
    const uint8_t b = script().in.byte();
    const uint32_t pcode = b < 200 ? KP_PCODE_BANK : script().in.u32();
    if (pdwPCODE != nullptr) *pdwPCODE = pcode;
    if (pdwReserved != nullptr) *pdwReserved = script().in.u32();
    if (pcode == KP_PCODE_BANK) script().kept += script().connected + '\0';
    if (pcode != KP_PCODE_BANK) script().foreign = true;
    return 0;
}

uint32_t KpListContainers(KPHANDLE, char* szContainerNames, uint32_t* pdwLen, uint32_t* pdwNum) {
    return nameList(szContainerNames, pdwLen, pdwNum, &script().containers);
}

uint32_t KpReadCert(KPHANDLE, const char* szContainerName, uint32_t dwKeySpec, unsigned char* pbCert,
                    uint32_t* pdwCertLen) {
    mustBeListed(szContainerName, script().containers);
    if (dwKeySpec != KP_KEYSPEC_SIGN && dwKeySpec != KP_KEYSPEC_ENC) std::abort();
    if (pdwCertLen == nullptr) return 0x88000003u;
    const uint32_t st = status();
    const uint32_t capacity = *pdwCertLen;
    const std::string content = script().in.bytes(capacity);
    if (pbCert != nullptr) std::memcpy(pbCert, content.data(), content.size());
    const uint8_t how = script().in.byte();
    const uint32_t reported = how < 150   ? static_cast<uint32_t>(content.size())
                              : how < 180 ? 0
                              : how < 210 ? capacity + script().in.byte()
                                          : script().in.u32();
    *pdwCertLen = reported;
    if (st == 0 && reported != 0 && pbCert != nullptr) {
        const size_t held = std::min<size_t>(reported, capacity);
        script().certificates.push_back(
            {szContainerName, dwKeySpec, reported, std::string(reinterpret_cast<const char*>(pbCert), held)});
    }
    return st;
}

}  // extern "C"
