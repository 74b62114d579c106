// dornEncrypt with every mode's inputs from the fuzzer: mode, key texts,
// text and extra argument. With the demo keys every output is opened again
// with the private keys (the server's decoder) and must give back exactly
// what went in; an input the mode must refuse must leave no output. With
// fuzzed key texts only the sanitizers and the output's alphabet judge.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../demo_keys.h"
#include "../hex_digits.h"
#include "decoder.h"
#include "fuzz/fuzz_input.h"
#include "security/security.h"

namespace {

using fuzzhex::nibble;

// The PIN block mode 1 must carry: whole hex pairs up to the first bad one,
// then 0xFF.
decoder::Bytes expectedPinBlock(const std::string& pin) {
    decoder::Bytes block(8, 0xFF);
    for (size_t i = 0; i < 8 && 2 * i + 1 < pin.size(); ++i) {
        const int high = nibble(pin[2 * i]), low = nibble(pin[2 * i + 1]);
        if (high < 0 || low < 0) break;
        block[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return block;
}

// The server random as mode 1 must carry it: left-filled with '0' to 256
// digits, bytes after a pair holding a non-hex character left 0.
decoder::Bytes expectedServerRandom(const std::string& random) {
    const std::string text = std::string(256 - random.size(), '0') + random;
    decoder::Bytes out(128, 0);
    for (size_t i = 0; i < 128; ++i) {
        const int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0) break;
        out[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return out;
}

void checkOutput(int mode, const std::string& text, const std::string& extra, const char* out) {
    const auto& keys = fuzzkeys::demoKeys();
    const size_t n = text.size();
    std::string error;
    decoder::Envelope env;
    switch (mode) {
        case 0:
            fuzz::require(out != nullptr && decoder::openEnvelope(keys.app.get(), out, env, error));
            fuzz::require(env.timestamp == extra && env.text == text);
            return;
        case 1: {
            const bool valid = n <= 31 && extra.size() <= 128;
            fuzz::require((out != nullptr) == valid);
            if (!valid) return;
            decoder::PinResult r;
            fuzz::require(decoder::openMode1(keys.rsa.get(), out, r, error));
            fuzz::require(r.pinBlock == expectedPinBlock(text));
            fuzz::require(r.serverRandom == expectedServerRandom(extra));
            return;
        }
        case 2: {
            fuzz::require((out != nullptr) == (n <= 117));
            if (out == nullptr) return;
            std::string password;
            fuzz::require(decoder::openMode2(keys.app.get(), keys.rsa.get(), out, env, password, error));
            fuzz::require(env.timestamp == extra && password == text);
            return;
        }
        default: {
            const bool valid = mode == 3 ? n <= 19 : mode == 4 ? n <= 30 : n > 0;
            fuzz::require((out != nullptr) == valid);
            if (!valid) return;
            decoder::Bytes block;
            fuzz::require(decoder::openSm2Mode(keys.app.get(), keys.sm2.get(), out, env, block, error));
            fuzz::require(env.timestamp == extra && block.size() == 32);
            if (mode == 3) {
                decoder::LayoutB b;
                fuzz::require(decoder::parseLayoutB(block, b, error) && b.text == text);
            } else if (mode == 4) {
                std::string got;
                decoder::Bytes random;
                fuzz::require(decoder::parseLayoutC(block, got, random, error) && got == text);
            } else {
                decoder::Bytes want(32, 0);
                std::memcpy(want.data(), text.data(), std::min<size_t>(n, 32));
                fuzz::require(block == want);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // 0 to 5, and now and then a mode that does nothing.
    const uint8_t pick = in.byte();
    const int mode = pick < 240 ? pick % 6 : static_cast<int>(in.u32());
    const uint8_t keyChoice = in.byte();
    const bool demoApp = (keyChoice & 1) == 0, demoPlatform = (keyChoice & 2) == 0;
    const auto c = [](const std::string& s) { return s.substr(0, std::strlen(s.c_str())); };
    const std::string fuzzedApp = c(in.bytes(600)), fuzzedPlatform = c(in.bytes(600));
    std::string extra = c(in.bytes(300));
    const std::string text = c(in.rest());
    // The envelope's plain text is "S" timestamp ":" text: a colon in the
    // timestamp would make it ambiguous to any reader (the plug-in passes
    // digits), so the timestamps here have none.
    if (mode != 1)
        for (char& ch : extra)
            if (ch == ':') ch = '.';

    const auto& keys = fuzzkeys::demoKeys();
    const std::string& app = demoApp ? keys.appHex : fuzzedApp;
    const std::string& platform = !demoPlatform              ? fuzzedPlatform
                                  : (mode == 1 || mode == 2) ? keys.rsaHex
                                                             : keys.sm2Hex;
    const EncryptionKeys k{app.c_str(), platform.c_str()};
    char* out = nullptr;
    dornEncrypt(mode, &k, &out, text.c_str(), extra.c_str());
    if (out != nullptr) {
        // Base64 (modes 0, 2 to 5) or upper-case hex (mode 1), nothing else.
        for (const char* p = out; *p; ++p)
            fuzz::require((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ||
                          *p == '+' || *p == '/' || *p == '=');
    }
    // Judged when the keys the mode uses are the demo keys.
    const bool judged = mode >= 0 && mode <= 5 && (mode == 1 || demoApp) && (mode == 0 || demoPlatform);
    if (judged) checkOutput(mode, text, extra, out);
    if (mode < 0 || mode > 5) fuzz::require(out == nullptr);
    std::free(out);
    return 0;
}
