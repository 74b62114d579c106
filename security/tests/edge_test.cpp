// dornEncrypt at the edges of its limits, through the exported call: each
// mode's text length (the exact fit, the largest accepted, one more, the
// smallest, a bad character at the first and the last place that counts),
// the key lengths, and the order of the checks when two fail at once.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "decoder.h"
#include "demo_keys_fixture.h"
#include "security/security.h"
#include "security/secutil.h"
#include "sm_helpers.h"

using decoder::Bytes;

namespace {

struct Edges : sectest::DemoKeys {
    void SetUp() override { ASSERT_TRUE(app && platformRsa && platformSm2 && sm2Hex.size() == 128); }

    // One call: the output ("" when none) and what went to standard error.
    static std::string run(int mode, const EncryptionKeys* keys, const char* text, const char* extra,
                           std::string* messages, bool nullOut = false) {
        char sentinel[] = "untouched";
        char* out = sentinel;
        testing::internal::CaptureStderr();
        EXPECT_EQ(dornEncrypt(mode, keys, nullOut ? nullptr : &out, text, extra), 0);
        *messages = testing::internal::GetCapturedStderr();
        if (out == sentinel) return "";
        EXPECT_NE(out, nullptr);
        std::string s = out != nullptr ? out : "";
        std::free(out);
        return s;
    }

    // The first `bytes` bytes of a Base64 envelope, decoded.
    static Bytes envelopeStart(const std::string& b64, size_t bytes) {
        const size_t chars = (bytes + 2) / 3 * 4;
        if (b64.size() < chars) return {};
        Bytes out(chars / 4 * 3);
        const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                                      static_cast<int>(chars));
        if (n < 0) return {};
        out.resize(bytes);
        return out;
    }
    // The key length field (k + 12) and the text length field of an envelope
    // made under a key of k bytes, read off the output without the key.
    static std::pair<std::string, std::string> lengthFields(const std::string& b64, size_t k) {
        const Bytes start = envelopeStart(b64, 8 + 12 + k + 8);
        if (start.empty()) return {};
        return {std::string(start.begin(), start.begin() + 8), std::string(start.end() - 8, start.end())};
    }
};

std::string repeat(size_t n, char c) { return std::string(n, c); }

}  // namespace

// Each mode's text limit, in bytes (a three-byte character counts three).
// Every accepted row is opened again and must give back what went in.
TEST_F(Edges, TextLengthsAtEachModesLimit) {
    const EncryptionKeys rsa{appHex.c_str(), rsaHex.c_str()}, sm2{appHex.c_str(), sm2Hex.c_str()};
    const std::string cjk = "密";  // three bytes of UTF-8
    struct Row {
        int mode;
        std::string text;
        const char* refusal;  // nullptr: accepted
        std::string expect;   // mode 1: the PIN block; mode 5: the block's text; else the text
    } rows[] = {
        // mode 1: hex digits, at most 31; the block takes the first 16 whole pairs.
        {1, "", nullptr, "FFFFFFFFFFFFFFFF"},
        {1, "7", nullptr, "FFFFFFFFFFFFFFFF"},
        {1, "78", nullptr, "78FFFFFFFFFFFFFF"},
        {1, "1234567890ABCDEF", nullptr, "1234567890ABCDEF"},
        {1, "1234567890ABCDEF12345678901234", nullptr, "1234567890ABCDEF"},   // 30
        {1, "1234567890ABCDEF123456789012345", nullptr, "1234567890ABCDEF"},  // 31: the most
        {1, "1234567890ABCDEF1234567890123456", "The length of the text is too big!\n", ""},
        {1, "G234567890ABCDEF", nullptr, "FFFFFFFFFFFFFFFF"},  // bad first digit: nothing converted
        {1, "1234567890ABCDEG", nullptr, "1234567890ABCDFF"},  // bad last digit of the block
        {1, "1234567890ABCDEF12345678901234G", nullptr, "1234567890ABCDEF"},  // past the block: no effect
        // mode 2: PKCS#1 under a 128-byte key holds at most 117 bytes.
        {2, "", nullptr, ""},
        {2, repeat(117, 'q'), nullptr, repeat(117, 'q')},
        {2, repeat(118, 'q'), "RSA public encryption failed!\n", ""},
        {2, repeat(114, 'q') + cjk, nullptr, repeat(114, 'q') + cjk},
        {2, repeat(115, 'q') + cjk, "RSA public encryption failed!\n", ""},
        // mode 3: at most 19 bytes.
        {3, "", nullptr, ""},
        {3, "a", nullptr, "a"},
        {3, repeat(18, 'b'), nullptr, repeat(18, 'b')},
        {3, repeat(19, 'b'), nullptr, repeat(19, 'b')},
        {3, repeat(20, 'b'), "The length of the text is too big!\n", ""},
        {3, cjk + repeat(16, 'c'), nullptr, cjk + repeat(16, 'c')},
        {3, repeat(16, 'c') + cjk, nullptr, repeat(16, 'c') + cjk},
        {3, repeat(17, 'c') + cjk, "The length of the text is too big!\n", ""},
        // mode 4: at most 30 bytes.
        {4, "", nullptr, ""},
        {4, repeat(29, 'd'), nullptr, repeat(29, 'd')},
        {4, repeat(30, 'd'), nullptr, repeat(30, 'd')},
        {4, repeat(31, 'd'), "The length of the text is too big!\n", ""},
        {4, repeat(27, 'd') + cjk, nullptr, repeat(27, 'd') + cjk},
        {4, repeat(28, 'd') + cjk, "The length of the text is too big!\n", ""},
        // mode 5: not empty; the first 32 bytes, zero-filled.
        {5, "", "The length of the text is zero!\n", ""},
        {5, "e", nullptr, "e"},
        {5, repeat(31, 'e'), nullptr, repeat(31, 'e')},
        {5, repeat(32, 'e'), nullptr, repeat(32, 'e')},
        {5, repeat(32, 'e') + "F", nullptr, repeat(32, 'e')},
        {5, repeat(30, 'e') + cjk, nullptr, repeat(30, 'e') + cjk.substr(0, 2)},  // cut inside a character
        // mode 0: the envelope takes any text short of its length field.
        {0, "", nullptr, ""},
        {0, cjk, nullptr, cjk},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("mode " + std::to_string(r.mode) + ", " + std::to_string(r.text.size()) + " bytes");
        std::string messages, error;
        const std::string out = run(r.mode, r.mode <= 2 ? &rsa : &sm2, r.text.c_str(), "1", &messages);
        if (r.refusal != nullptr) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(messages, r.refusal);
            continue;
        }
        ASSERT_NE(out, "") << messages;
        EXPECT_EQ(messages, "");
        decoder::Envelope env;
        switch (r.mode) {
            case 0:
                ASSERT_TRUE(decoder::openEnvelope(app, out, env, error)) << error;
                EXPECT_EQ(env.text, r.expect);
                break;
            case 1: {
                decoder::PinResult pin;
                ASSERT_TRUE(decoder::openMode1(platformRsa, out, pin, error)) << error;
                EXPECT_EQ(decoder::hex(pin.pinBlock), r.expect);
                break;
            }
            case 2: {
                std::string password;
                ASSERT_TRUE(decoder::openMode2(app, platformRsa, out, env, password, error)) << error;
                EXPECT_EQ(password, r.expect);
                break;
            }
            default: {
                Bytes block;
                ASSERT_TRUE(decoder::openSm2Mode(app, platformSm2, out, env, block, error)) << error;
                std::string text;
                if (r.mode == 3) {
                    decoder::LayoutB b;
                    ASSERT_TRUE(decoder::parseLayoutB(block, b, error)) << error;
                    text = b.text;
                } else if (r.mode == 4) {
                    Bytes random;
                    ASSERT_TRUE(decoder::parseLayoutC(block, text, random, error)) << error;
                } else {
                    Bytes zeroFilled(r.expect.begin(), r.expect.end());
                    zeroFilled.resize(32, 0);
                    EXPECT_EQ(decoder::hex(block), decoder::hex(zeroFilled));
                    break;
                }
                EXPECT_EQ(text, r.expect);
            }
        }
    }
}

// The envelope's text length field has eight digits: "S" + timestamp + ":" +
// text may be 99999999 bytes, not one more. The refusal comes before any key
// work, so a text one byte too long wins over a bad key.
TEST_F(Edges, EnvelopeLengthFieldTakesEightDigits) {
    const EncryptionKeys rsa{appHex.c_str(), nullptr}, bad{"XYZ", nullptr};
    std::string text(99999999 - 3, 't');  // with "S", "1" and ":"
    std::string messages;
    const std::string out = run(0, &rsa, text.c_str(), "1", &messages);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(lengthFields(out, 128), std::make_pair(std::string("00000140"), std::string("99999999")));
    EXPECT_EQ(out.size(), (128 + 28 + 99999999 + 2) / 3 * 4);
    text.push_back('t');
    EXPECT_EQ(run(0, &rsa, text.c_str(), "1", &messages), "");
    EXPECT_EQ(messages, "The length of the text is too big!\n");
    EXPECT_EQ(run(0, &bad, text.c_str(), "1", &messages), "");
    EXPECT_EQ(messages, "The length of the text is too big!\n");
    // The timestamp counts as much as the text.
    text.resize(3);
    const std::string ts(99999999 - 5, '9');
    EXPECT_NE(run(0, &rsa, text.c_str(), ts.c_str(), &messages), "");
    EXPECT_EQ(run(0, &rsa, (text + "t").c_str(), ts.c_str(), &messages), "");
    EXPECT_EQ(messages, "The length of the text is too big!\n");
}

// RSA moduli: the smallest each use can carry, the largest OpenSSL takes
// (16384 bits, 4096 digits) and one digit more, a bad digit first and last.
// Outputs under keys the test has no private key for are checked by their
// length fields and sizes.
TEST_F(Edges, RsaModulusLengths) {
    auto modulus = [](size_t bytes) {
        return "C1" + repeat(2 * bytes - 4, 'F') + "03";
    };  // odd, top byte set
    auto damaged = [](std::string key, size_t at) {
        key[at] = 'G';
        return key;
    };
    const std::string largest(4096, 'F'), tooLong(4097, 'F');
    const char* appImport = "Importing the RSA public key 's modulus failed!\n";
    const char* platformImport = "Importing the RSA public key's modulus failed!\n";
    struct Row {
        int mode;
        std::string key;  // the application key in mode 0, else the platform key
        size_t k;         // bytes of an accepted key; 0: refused
        const char* messages;
    } rows[] = {
        // mode 0: PKCS#1 of the 16-byte RC4 key needs 27 bytes.
        {0, modulus(27), 27, ""},
        {0, modulus(26), 0, "RSA public encryption failed!\n"},
        {0, largest, 2048, ""},
        {0, tooLong, 0, appImport},
        {0, "0" + appHex, 128, ""},  // an odd digit count, same value
        {0, damaged(appHex, 0), 0, appImport},
        {0, damaged(appHex, 255), 0, appImport},
        {0, "", 0, appImport},
        // mode 1: the DES key block needs 33 bytes.
        {1, modulus(33), 33, ""},
        {1, modulus(32), 0, "The length of the text is too big!\nEncrypting des key failed with rsa!\n"},
        {1, largest, 2048, ""},
        {1, tooLong, 0,
         "Importing the RSA public key's modulus failed!\nEncrypting des key failed with rsa!\n"},
        {1, damaged(rsaHex, 0), 0,
         "Importing the RSA public key's modulus failed!\nEncrypting des key failed with rsa!\n"},
        {1, damaged(rsaHex, 255), 0,
         "Importing the RSA public key's modulus failed!\nEncrypting des key failed with rsa!\n"},
        // mode 2: PKCS#1 of the two-byte text needs 13 bytes.
        {2, modulus(13), 13, ""},
        {2, modulus(12), 0, "RSA public encryption failed!\n"},
        {2, tooLong, 0, platformImport},
        {2, damaged(rsaHex, 0), 0, platformImport},
        {2, damaged(rsaHex, 255), 0, platformImport},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("mode " + std::to_string(r.mode) + ", key of " + std::to_string(r.key.size()) +
                     " digits");
        const EncryptionKeys keys = r.mode == 0 ? EncryptionKeys{r.key.c_str(), nullptr}
                                                : EncryptionKeys{appHex.c_str(), r.key.c_str()};
        std::string messages;
        const std::string out = run(r.mode, &keys, r.mode == 1 ? "1234" : "pw", "1", &messages);
        EXPECT_EQ(messages, r.messages);
        if (r.k == 0) {
            EXPECT_EQ(out, "");
            continue;
        }
        char field[9];
        std::snprintf(field, sizeof field, "%08zu", r.k + 12);
        switch (r.mode) {
            case 0:
                EXPECT_EQ(lengthFields(out, r.k),
                          std::make_pair(std::string(field), std::string("00000005")));
                EXPECT_EQ(out.size(), (r.k + 28 + 5 + 2) / 3 * 4);
                break;
            case 1:  // PIN block, then the DES key block and the server random, k bytes each
                EXPECT_EQ(out.size(), 16 + 4 * r.k);
                EXPECT_EQ(out.find_first_not_of("0123456789ABCDEF"), std::string::npos);
                break;
            case 2: {  // the envelope's text is the hex of a k-byte ciphertext
                decoder::Envelope env;
                std::string error;
                ASSERT_TRUE(decoder::openEnvelope(app, out, env, error)) << error;
                EXPECT_EQ(env.text.size(), 2 * r.k);
                break;
            }
        }
    }
}

// The SM2 key is exactly 128 hex digits, X then Y: a bad digit at either
// end of each half, or one digit too few or too many, is no key.
TEST_F(Edges, Sm2KeyLengthAndDigits) {
    auto damaged = [](std::string key, size_t at) {
        key[at] = 'G';
        return key;
    };
    std::string lower = sm2Hex;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Row {
        std::string key;
        bool accepted;
    } rows[] = {
        {sm2Hex, true},
        {lower, true},
        {sm2Hex.substr(0, 127), false},
        {sm2Hex + "0", false},
        {damaged(sm2Hex, 0), false},
        {damaged(sm2Hex, 63), false},
        {damaged(sm2Hex, 64), false},
        {damaged(sm2Hex, 127), false},
        {"", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key.size() > 8 ? r.key.substr(0, 8) + "... (" + std::to_string(r.key.size()) + ")"
                                      : r.key);
        const EncryptionKeys keys{appHex.c_str(), r.key.c_str()};
        for (int mode : {3, 4, 5}) {
            std::string messages;
            const std::string out = run(mode, &keys, "pw", "1", &messages);
            EXPECT_EQ(out.empty(), !r.accepted) << "mode " << mode;
            EXPECT_EQ(messages, r.accepted ? "" : "Keyou encryption failed!\n") << "mode " << mode;
        }
    }
}

// Two arguments wrong at once: the check that comes first in each mode's
// list is the one reported, and nothing else.
TEST_F(Edges, FirstOfTwoFailingChecksWins) {
    const EncryptionKeys rsa{appHex.c_str(), rsaHex.c_str()}, sm2{appHex.c_str(), sm2Hex.c_str()};
    const EncryptionKeys none{nullptr, nullptr}, noPlatform{appHex.c_str(), nullptr};
    const EncryptionKeys badBoth{"XYZ", "not hex"}, badAppRsa{"XYZ", rsaHex.c_str()};
    const EncryptionKeys badRsa{appHex.c_str(), "XYZ"}, badBothSm2{"XYZ", "XYZ"},
        badSm2{appHex.c_str(), "XYZ"};
    const std::string pin32(32, '1'), random129(129, '7'), long118(118, 'q'), long20(20, 'b'),
        long31(31, 'd');
    struct Row {
        int mode;
        const EncryptionKeys* keys;
        const char* text;
        const char* extra;
        bool nullOut;
        bool noRandom;  // the random source cannot be opened
        const char* messages;
    } rows[] = {
        // mode 0: timestamp, text, out pointer, key present, length, random source, key
        {0, &rsa, nullptr, nullptr, false, false, "The timestamp does not exist!\n"},
        {0, &rsa, nullptr, "1", true, false, "The input text does not exist!\n"},
        {0, &none, "pw", "1", true, false, "You must supply a out pointer to retrieve the ciphered text!\n"},
        {0, nullptr, "pw", "1", false, true, "You must initialize the library first!\n"},
        {0, &badBoth, "pw", "1", false, true,
         "Opening /dev/urandom failed!\nGenerating the RC4 key failed!\n"},
        // mode 1: text, out pointer, key present, server random, PIN length, random source, DES key, server
        // random
        {1, &rsa, nullptr, "1", true, false, "The input text does not exist!\n"},
        {1, nullptr, "1234", "1", true, false,
         "You must supply a out pointer to retrieve the ciphered text!\n"},
        {1, &noPlatform, "1234", nullptr, false, false,
         "You must initialize the library with the platform public key modulus first!\n"},
        {1, &rsa, pin32.c_str(), nullptr, false, false, "You must supply server random!\n"},
        {1, &badRsa, pin32.c_str(), "1", false, true, "The length of the text is too big!\n"},
        {1, &badRsa, "1234", "1", false, true,
         "Opening /dev/urandom failed!\nGenerating the RC4 key failed!\n"},
        {1, &badRsa, "1234", random129.c_str(), false, false,
         "Importing the RSA public key's modulus failed!\nEncrypting des key failed with rsa!\n"},
        // modes 2 to 5 share the first checks: keys, application key, platform key, timestamp, text, out
        // pointer
        {2, nullptr, nullptr, nullptr, true, false, "You must supply encryption public key\n"},
        {2, &none, "pw", "1", false, false, "You must initialize application public key\n"},
        {3, &noPlatform, "pw", nullptr, false, false,
         "You must initialize encrypt platform sm2 public key\n"},
        {4, &sm2, nullptr, nullptr, false, false, "The timestamp does not exist!\n"},
        {5, &sm2, nullptr, "1", true, false, "The input text does not exist!\n"},
        // then each mode's own: mode 2 the platform key before the length and the application key
        {2, &badBoth, long118.c_str(), "1", false, false, "Importing the RSA public key's modulus failed!\n"},
        {2, &badAppRsa, long118.c_str(), "1", false, false, "RSA public encryption failed!\n"},
        // modes 3 to 5: the length before the platform key, which comes before the application key
        {3, &badSm2, long20.c_str(), "1", false, false, "The length of the text is too big!\n"},
        {4, &badSm2, long31.c_str(), "1", false, false, "The length of the text is too big!\n"},
        {5, &badSm2, "", "1", false, false, "The length of the text is zero!\n"},
        {3, &badBothSm2, "pw", "1", false, false, "Keyou encryption failed!\n"},
        // an unknown mode does nothing at all, whatever else is wrong
        {6, nullptr, nullptr, nullptr, true, true, ""},
        {-1, nullptr, nullptr, nullptr, true, true, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("mode ") + std::to_string(r.mode) + ": " + r.messages);
        secutil::setRandomSourceForTesting(r.noRandom ? "/nonexistent/random" : nullptr);
        std::string messages;
        EXPECT_EQ(run(r.mode, r.keys, r.text, r.extra, &messages, r.nullOut), "");
        EXPECT_EQ(messages, r.messages);
    }
}
