// What dorn-decrypt reads: the decoder's openers and layout parsers on any
// text, and on real outputs of the library with bytes changed on the way
// (so the checks past the RSA step are reached too). Nothing may crash; an
// output that was not changed must open.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../demo_keys.h"
#include "decoder.h"
#include "fuzz/fuzz_input.h"
#include "security/security.h"

namespace {

using decoder::Bytes;

bool open(int mode, const std::string& text) {
    const auto& keys = fuzzkeys::demoKeys();
    std::string error;
    decoder::Envelope env;
    switch (mode) {
        case 0:
            return decoder::openEnvelope(keys.app.get(), text, env, error);
        case 1: {
            decoder::PinResult r;
            return decoder::openMode1(keys.rsa.get(), text, r, error);
        }
        case 2: {
            std::string password;
            return decoder::openMode2(keys.app.get(), keys.rsa.get(), text, env, password, error);
        }
        default: {
            Bytes block;
            if (!decoder::openSm2Mode(keys.app.get(), keys.sm2.get(), text, env, block, error)) return false;
            decoder::LayoutB b;
            std::string got;
            Bytes random;
            if (mode == 3) return decoder::parseLayoutB(block, b, error);
            if (mode == 4) return decoder::parseLayoutC(block, got, random, error);
            return true;
        }
    }
}

// A real output of `mode`, then up to eight changed bytes: in the decoded
// envelope (Base64 modes) or in the hex text (mode 1).
void mutatedOutput(fuzz::Input& in) {
    const auto& keys = fuzzkeys::demoKeys();
    const int mode = in.byte() % 6;
    std::string extra = in.bytes(16);
    for (char& ch : extra)
        if (ch == ':' || ch == '\0') ch = '7';
    std::string text = in.bytes(mode == 1 ? 31 : mode == 3 ? 19 : mode == 4 ? 30 : mode == 2 ? 117 : 40);
    text.resize(std::strlen(text.c_str()));
    if (mode == 5 && text.empty()) text.push_back('x');
    const EncryptionKeys k{keys.appHex.c_str(),
                           (mode == 1 || mode == 2) ? keys.rsaHex.c_str() : keys.sm2Hex.c_str()};
    char* out = nullptr;
    dornEncrypt(mode, &k, &out, text.c_str(), extra.c_str());
    if (out == nullptr) std::abort();
    std::string output(out);
    std::free(out);

    const unsigned changes = in.byte() % 9;
    if (mode == 1) {
        for (unsigned i = 0; i < changes; ++i)
            output[in.u32() % output.size()] = static_cast<char>(in.byte());
    } else if (changes > 0) {
        Bytes raw(output.size() / 4 * 3);
        const int n = EVP_DecodeBlock(raw.data(), reinterpret_cast<const unsigned char*>(output.data()),
                                      static_cast<int>(output.size()));
        if (n < 0) std::abort();
        const size_t pad = output.back() != '=' ? 0 : output[output.size() - 2] == '=' ? 2 : 1;
        raw.resize(static_cast<size_t>(n) - pad);
        for (unsigned i = 0; i < changes; ++i) {
            const uint8_t how = in.byte();
            if (how < 200 || raw.empty()) {
                if (!raw.empty()) raw[in.u32() % raw.size()] = in.byte();
            } else {
                raw.resize(in.u32() % (raw.size() + 64), static_cast<unsigned char>(how));  // cut or grown
            }
        }
        std::string encoded(4 * ((raw.size() + 2) / 3) + 1, '\0');
        encoded.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                           raw.data(), static_cast<int>(raw.size()))));
        output = encoded;
    }
    const bool opened = open(mode, output);
    if (changes == 0 && !opened) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t what = in.byte() % 8;
    if (what == 7) {
        mutatedOutput(in);
        return 0;
    }
    const std::string text = in.rest();
    std::string error;
    if (what <= 5) {
        if (what == 4 || what == 5) {
            const Bytes block(text.begin(), text.end());
            decoder::LayoutB b;
            std::string got;
            Bytes random;
            (void)(what == 4 ? decoder::parseLayoutB(block, b, error)
                             : decoder::parseLayoutC(block, got, random, error));
        } else {
            (void)open(what == 3 ? 3 : what, text);
        }
        return 0;
    }
    // SM2 raw output of any length, rearranged and decrypted.
    const Bytes raw(text.begin(), text.end());
    Bytes der, plain;
    if (decoder::sm2RawToDer(raw, der))
        (void)decoder::sm2DecryptRaw(fuzzkeys::demoKeys().sm2.get(), raw, plain, error);
    return 0;
}
