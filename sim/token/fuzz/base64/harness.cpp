// The simulator's Base64: any bytes encode to a text that decodes to them
// again, and a text that decodes is in the canonical alphabet and re-encodes
// to a text decoding to the same bytes. Compared with OpenSSL's decoder.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/token/keystore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const std::string encoded = kpsim::base64Encode(bytes);
    const auto decoded = kpsim::base64Decode(encoded);
    if (!decoded || *decoded != bytes) std::abort();

    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto read = kpsim::base64Decode(text);
    if (!read) return 0;
    if (kpsim::base64Decode(kpsim::base64Encode(*read)) != read) std::abort();
    // OpenSSL reads the same bytes (its block decoder keeps the padding's zeros).
    if (!text.empty()) {
        std::vector<unsigned char> ref(text.size() / 4 * 3);
        const int n = EVP_DecodeBlock(ref.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
        if (n < 0 || static_cast<size_t>(n) < read->size() ||
            !std::equal(read->begin(), read->end(), ref.begin()))
            std::abort();
    }
    return 0;
}
