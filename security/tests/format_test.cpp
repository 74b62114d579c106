// dornEncrypt: every mode opened again with the demo private keys, the
// failure messages in their order with the result left untouched, and the
// wiping of buffers that held the password.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "decoder.h"
#include "demo_keys_fixture.h"
#include "platform/tests/secret_watch.h"
#include "security/deployment.h"
#include "security/des.h"
#include "security/security.h"
#include "security/secutil.h"
#include "security/sm2.h"
#include "sm_helpers.h"

using decoder::Bytes;

// ---- watch on freed memory ------------------------------------------------
// The replacement operators below pair new with free() on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// Every block released through operator delete or OpenSSL's allocator is
// scanned for the watched secret while the watch is armed.
namespace {
std::atomic<bool> gWatch{false};
unsigned char gSecret[64];
size_t gSecretLen = 0;
std::atomic<int> gSecretFreed{0};

void inspect(void* p) {
    if (p == nullptr || !gWatch.load(std::memory_order_relaxed) || gSecretLen == 0) return;
    const size_t n = malloc_usable_size(p);
    if (memmem(p, n, gSecret, gSecretLen) != nullptr) gSecretFreed.fetch_add(1);
}

void* cryptoMalloc(size_t n, const char*, int) { return std::malloc(n); }
void* cryptoRealloc(void* p, size_t n, const char*, int) {
    inspect(p);
    return std::realloc(p, n);
}
void cryptoFree(void* p, const char*, int) {
    inspect(p);
    std::free(p);
}
const bool gCryptoHooked = CRYPTO_set_mem_functions(cryptoMalloc, cryptoRealloc, cryptoFree) == 1;

struct Watch {
    Watch(const void* secret, size_t len) {
        std::memcpy(gSecret, secret, len);
        gSecretLen = len;
        gSecretFreed = 0;
        gWatch = true;
    }
    ~Watch() {
        gWatch = false;
        gSecretLen = 0;
        OPENSSL_cleanse(gSecret, sizeof gSecret);  // so a later search of memory does not find it here
    }
};
}  // namespace

void* operator new(size_t n) {
    if (void* p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept {
    inspect(p);
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

// ---- fixture ---------------------------------------------------------------
namespace {

struct Formats : sectest::DemoKeys {
    void SetUp() override {
        ASSERT_TRUE(app && platformRsa && platformSm2);
        ASSERT_EQ(appHex.size(), 256u);
    }
    // One call; returns the output ("" when none) and the stderr text.
    static std::string run(int mode, const EncryptionKeys* keys, const char* text, const char* extra,
                           std::string* messages = nullptr) {
        char* out = nullptr;
        testing::internal::CaptureStderr();
        const int rc = dornEncrypt(mode, keys, &out, text, extra);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 0);
        if (messages != nullptr) *messages = err;
        std::string s = out != nullptr ? out : "";
        std::free(out);
        return s;
    }

    EncryptionKeys rsaKeys() const { return {appHex.c_str(), rsaHex.c_str()}; }
    EncryptionKeys sm2Keys() const { return {appHex.c_str(), sm2Hex.c_str()}; }

    static decoder::Envelope open(const std::string& b64) {
        decoder::Envelope env;
        std::string error;
        EXPECT_TRUE(decoder::openEnvelope(app, b64, env, error)) << error;
        return env;
    }
    static Bytes openSm2(const std::string& b64, decoder::Envelope* envOut = nullptr) {
        decoder::Envelope env;
        Bytes block;
        std::string error;
        EXPECT_TRUE(decoder::openSm2Mode(app, platformSm2, b64, env, block, error)) << error;
        if (envOut != nullptr) *envOut = env;
        return block;
    }
    static decoder::PinResult openPin(const std::string& hex) {
        decoder::PinResult r;
        std::string error;
        EXPECT_TRUE(decoder::openMode1(platformRsa, hex, r, error)) << error;
        return r;
    }
};

}  // namespace

// ---- mode 0 ----------------------------------------------------------------
TEST_F(Formats, Mode0EnvelopeOpensWithExactLayout) {
    const EncryptionKeys keys = rsaKeys();
    const std::string longText(700, 'x');
    for (const std::string& text : {std::string("p@ss w0rd"), std::string(), longText, std::string("密码")}) {
        const std::string b64 = run(0, &keys, text.c_str(), "1700000000123");
        ASSERT_FALSE(b64.empty()) << text;
        EXPECT_EQ(b64.find_first_of("\r\n"), std::string::npos) << "no line breaks";
        EXPECT_EQ(b64.size() % 4, 0u);
        const auto env = open(b64);
        EXPECT_EQ(std::string(env.raw.begin(), env.raw.begin() + 8), "00000140");
        EXPECT_EQ(env.raw.size(), 128 + 28 + env.plain.size());
        EXPECT_EQ(env.plain, "S1700000000123:" + text);
        EXPECT_EQ(env.text, text);
    }
    // Fresh RC4 key and RSA padding each time.
    const std::string a = run(0, &keys, "same", "1"), b = run(0, &keys, "same", "1");
    EXPECT_NE(a, b);
    EXPECT_NE(decoder::hex(open(a).rc4Key), decoder::hex(open(b).rc4Key));
}

// ---- mode 1 ----------------------------------------------------------------
TEST_F(Formats, Mode1PinBlockDesKeyAndServerRandomOpen) {
    const EncryptionKeys keys = rsaKeys();
    struct Case {
        const char* pin;
        const char* block;
    } cases[] = {
        {"123456", "123456FFFFFFFFFF"},
        {"12345", "1234FFFFFFFFFFFF"},                 // the odd digit does not reach the block
        {"12345678901234567890", "1234567890123456"},  // nor do digits past the sixteenth
        {"abcdef12", "ABCDEF12FFFFFFFF"},
        {"12G456", "12FFFFFFFFFFFFFF"},  // unconverted pairs read as filler
        {"", "FFFFFFFFFFFFFFFF"},
        {"1234567890123456789012345678901", "1234567890123456"},  // 31 digits: the most that fit
    };
    for (const auto& c : cases) {
        const std::string out = run(1, &keys, c.pin, "0123456789ABCDEF");
        ASSERT_EQ(out.size(), 16u + 4 * 128) << c.pin;
        const auto r = openPin(out);
        EXPECT_EQ(decoder::hex(r.pinBlock), c.block) << c.pin;
        ASSERT_EQ(r.desKey.size(), 16u);
        for (unsigned char b : r.desKey)
            EXPECT_EQ(__builtin_popcount(b) % 2, 1) << "odd parity, key byte " << int(b);
        EXPECT_EQ(decoder::hex(r.fixedValue), SECURITY_DES_BLOCK_FIXED);
        EXPECT_EQ(decoder::hex(r.serverRandom), std::string(256 - 16, '0') + "0123456789ABCDEF");
    }
    EXPECT_NE(decoder::hex(openPin(run(1, &keys, "1234", "1")).desKey),
              decoder::hex(openPin(run(1, &keys, "1234", "1")).desKey));

    // The server random may hold k characters, not k + 1.
    const std::string kChars(128, '7');
    EXPECT_EQ(decoder::hex(openPin(run(1, &keys, "1234", kChars.c_str())).serverRandom),
              std::string(128, '0') + kChars);
    std::string messages;
    EXPECT_EQ(run(1, &keys, "1234", (kChars + "7").c_str(), &messages), "");
    EXPECT_EQ(messages, "The length of the text is too big!\nEncrypting server rand failed.\n");
    // 32 digits would overrun the work buffer: refused.
    EXPECT_EQ(run(1, &keys, "12345678901234567890123456789012", "1", &messages), "");
    EXPECT_EQ(messages, "The length of the text is too big!\n");
}

// ---- mode 2 ----------------------------------------------------------------
TEST_F(Formats, Mode2RsaThenEnvelopeOpens) {
    const EncryptionKeys keys = rsaKeys();
    for (const std::string& text : {std::string("hunter2"), std::string(117, 'q')}) {
        const std::string b64 = run(2, &keys, text.c_str(), "42");
        decoder::Envelope env;
        std::string password, error;
        ASSERT_TRUE(decoder::openMode2(app, platformRsa, b64, env, password, error)) << error;
        EXPECT_EQ(password, text);
        EXPECT_EQ(env.timestamp, "42");
    }
    std::string messages;
    EXPECT_EQ(run(2, &keys, std::string(118, 'q').c_str(), "42", &messages), "");
    EXPECT_EQ(messages, "RSA public encryption failed!\n");
}

// ---- modes 3 to 5 ----------------------------------------------------------
TEST_F(Formats, Mode3LayoutBOpens) {
    const EncryptionKeys keys = sm2Keys();
    for (const std::string& text : {std::string("pw"), std::string("1234567890123456789"), std::string(),
                                    std::string("密码密码密码")}) {
        decoder::Envelope env;
        const Bytes block = openSm2(run(3, &keys, text.c_str(), "99", nullptr), &env);
        ASSERT_EQ(block.size(), 32u) << text;
        EXPECT_EQ(env.timestamp, "99");
        decoder::LayoutB b;
        std::string error;
        ASSERT_TRUE(decoder::parseLayoutB(block, b, error)) << error << " " << decoder::hex(block);
        EXPECT_EQ(b.text, text);
        EXPECT_EQ(b.fixedField, SECURITY_LAYOUT_B_FIELD);
        EXPECT_EQ(b.random.size(), 19 - text.size());
    }
    // 19 bytes: no random bytes at all.
    const Bytes full = openSm2(run(3, &keys, "ABCDEFGHIJKLMNOPQRS", "1"));
    EXPECT_EQ(decoder::hex(full),
              "000200" + decoder::hex(Bytes(SECURITY_LAYOUT_B_FIELD, SECURITY_LAYOUT_B_FIELD + 8)) + "3133" +
                  decoder::hex(Bytes({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N',
                                      'O', 'P', 'Q', 'R', 'S'})));
    // Zero random bytes become 0x01 (a source of zeros makes every one zero).
    secutil::setRandomSourceForTesting("/dev/zero");
    const Bytes ones = openSm2(run(3, &keys, "x", "1"));
    EXPECT_EQ(decoder::hex(Bytes(ones.begin() + 2, ones.begin() + 20)),
              "010101010101010101010101010101010101");
    std::string messages;
    EXPECT_EQ(run(3, &keys, "12345678901234567890", "1", &messages), "");
    EXPECT_EQ(messages, "The length of the text is too big!\n");
    EXPECT_EQ(run(3, &keys, "密码密码密码密", "1", &messages), "") << "21 bytes of UTF-8";
}

TEST_F(Formats, Mode4LayoutCOpens) {
    const EncryptionKeys keys = sm2Keys();
    for (const std::string& text : {std::string("abc"), std::string(30, 'z'), std::string()}) {
        const Bytes block = openSm2(run(4, &keys, text.c_str(), "5"));
        std::string got, error;
        Bytes random;
        ASSERT_TRUE(decoder::parseLayoutC(block, got, random, error)) << error;
        EXPECT_EQ(got, text);
        EXPECT_EQ(random.size(), 30 - text.size());
    }
    EXPECT_EQ(decoder::hex(openSm2(run(4, &keys, "abc", "5"))).substr(0, 10), "3033616263");
    std::string messages;
    EXPECT_EQ(run(4, &keys, std::string(31, 'z').c_str(), "5", &messages), "");
    EXPECT_EQ(messages, "The length of the text is too big!\n");
}

TEST_F(Formats, Mode5EncryptsTheFirst32BytesZeroFilled) {
    const EncryptionKeys keys = sm2Keys();
    const std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    EXPECT_EQ(openSm2(run(5, &keys, forty.c_str(), "7")), Bytes(forty.begin(), forty.begin() + 32));
    Bytes shortBlock(32, 0);
    std::memcpy(shortBlock.data(), "abc", 3);
    EXPECT_EQ(openSm2(run(5, &keys, "abc", "7")), shortBlock);
    std::string messages;
    EXPECT_EQ(run(5, &keys, "", "7", &messages), "");
    EXPECT_EQ(messages, "The length of the text is zero!\n");
}

// ---- failures ----------------------------------------------------------------
TEST_F(Formats, FailureMessagesInOrderLeaveTheResultUntouched) {
    const EncryptionKeys rsa = rsaKeys(), sm2 = sm2Keys();
    const EncryptionKeys noApp{nullptr, sm2Hex.c_str()}, noPlatform{appHex.c_str(), nullptr};
    const EncryptionKeys badApp{"XYZ", sm2Hex.c_str()}, badSm2{appHex.c_str(), rsaHex.c_str()};
    const EncryptionKeys badRsa{appHex.c_str(), "not hex"}, badAppRsa{"XYZ", rsaHex.c_str()};
    struct Case {
        int mode;
        const EncryptionKeys* keys;
        const char* text;
        const char* extra;
        bool nullOut;
        const char* messages;
    } cases[] = {
        {0, nullptr, "pw", "1", false, "You must initialize the library first!\n"},
        {0, &rsa, "pw", nullptr, false, "The timestamp does not exist!\n"},
        {0, &rsa, nullptr, "1", false, "The input text does not exist!\n"},
        {0, &rsa, "pw", "1", true, "You must supply a out pointer to retrieve the ciphered text!\n"},
        {0, &badApp, "pw", "1", false, "Importing the RSA public key 's modulus failed!\n"},
        {1, &rsa, nullptr, "1", false, "The input text does not exist!\n"},
        {1, &rsa, "1234", "1", true, "You must supply a out pointer to retrieve the ciphered text!\n"},
        {1, nullptr, "1234", "1", false,
         "You must initialize the library with the platform public key modulus first!\n"},
        {1, &noPlatform, "1234", "1", false,
         "You must initialize the library with the platform public key modulus first!\n"},
        {1, &rsa, "1234", nullptr, false, "You must supply server random!\n"},
        {1, &badRsa, "1234", "1", false,
         "Importing the RSA public key's modulus failed!\nEncrypting des key failed with rsa!\n"},
        {2, nullptr, "pw", "1", false, "You must supply encryption public key\n"},
        {2, &noApp, "pw", "1", false, "You must initialize application public key\n"},
        {2, &noPlatform, "pw", "1", false, "You must initialize encrypt platform sm2 public key\n"},
        {2, &rsa, "pw", nullptr, false, "The timestamp does not exist!\n"},
        {2, &badRsa, "pw", "1", false, "Importing the RSA public key's modulus failed!\n"},
        {2, &badAppRsa, "pw", "1", false,
         "Importing the RSA public key 's modulus failed!\nStandard encryption failed!\n"},
        {3, &sm2, nullptr, "1", false, "The input text does not exist!\n"},
        {3, &sm2, "pw", "1", true, "You must supply a out pointer to retrieve the ciphered text!\n"},
        {3, &badSm2, "pw", "1", false, "Keyou encryption failed!\n"},
        {4, &noPlatform, "pw", "1", false, "You must initialize encrypt platform sm2 public key\n"},
        {4, &badApp, "pw", "1", false,
         "Importing the RSA public key 's modulus failed!\nStandard encryption failed!\n"},
        {5, &sm2, "pw", nullptr, false, "The timestamp does not exist!\n"},
        {6, &sm2, "pw", "1", false, ""},
        {-1, &sm2, "pw", "1", false, ""},
    };
    char sentinel[] = "untouched";
    for (const auto& c : cases) {
        char* out = sentinel;
        testing::internal::CaptureStderr();
        EXPECT_EQ(dornEncrypt(c.mode, c.keys, c.nullOut ? nullptr : &out, c.text, c.extra), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.messages) << "mode " << c.mode;
        EXPECT_EQ(out, sentinel) << "mode " << c.mode << ": " << c.messages;
    }
}

// A damaged key text must fail, never encrypt to a key nobody holds: the
// whole text is the key or there is no key.
TEST_F(Formats, DamagedKeyTextsAreRefusedWhole) {
    auto damaged = [](std::string key, size_t at, char c) {
        key[at] = c;
        return key;
    };
    const std::string appG = damaged(appHex, 200, 'G'), rsaG = damaged(rsaHex, 200, 'G');
    const std::string sm2G = damaged(sm2Hex, 127, 'G');
    const std::string tooLong(4097, 'F');  // above 16384 bits
    const std::string zero(256, '0');
    const std::string sm2Long = sm2Hex + "0", sm2Short = sm2Hex.substr(0, 127);
    const std::string appSpace = " " + appHex, appSign = "-" + appHex, appNewline = appHex + "\n";
    struct Case {
        int mode;
        std::string app, platform;
        const char* messages;
    } cases[] = {
        {0, appG, "", "Importing the RSA public key 's modulus failed!\n"},
        {0, appSpace, "", "Importing the RSA public key 's modulus failed!\n"},
        {0, appSign, "", "Importing the RSA public key 's modulus failed!\n"},
        {0, appNewline, "", "Importing the RSA public key 's modulus failed!\n"},
        {0, tooLong, "", "Importing the RSA public key 's modulus failed!\n"},
        {0, zero, "", "Importing the RSA public key 's modulus failed!\n"},
        {1, "", rsaG,
         "Importing the RSA public key's modulus failed!\nEncrypting des key failed with rsa!\n"},
        {2, appHex, rsaG, "Importing the RSA public key's modulus failed!\n"},
        {2, appHex, "-" + rsaHex, "Importing the RSA public key's modulus failed!\n"},
        {2, appG, rsaHex, "Importing the RSA public key 's modulus failed!\nStandard encryption failed!\n"},
        {3, appHex, sm2G, "Keyou encryption failed!\n"},
        {4, appHex, sm2Long, "Keyou encryption failed!\n"},
        {5, appHex, sm2Short, "Keyou encryption failed!\n"},
        {5, appHex, "-" + sm2Hex.substr(1), "Keyou encryption failed!\n"},
    };
    for (const auto& c : cases) {
        const EncryptionKeys keys{c.app.c_str(), c.platform.c_str()};
        std::string messages;
        EXPECT_EQ(run(c.mode, &keys, c.mode == 1 ? "1234" : "pw", "1", &messages), "") << "mode " << c.mode;
        EXPECT_EQ(messages, c.messages)
            << "mode " << c.mode << " app " << c.app.substr(0, 8) << " platform " << c.platform.substr(0, 8);
    }
    // The server random's own key check in mode 1 (the DES key passed first).
    char* out = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(encryptServerRand(rsaG.c_str(), "12", &out), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Importing the RSA public key's modulus failed!\n");
    // Lower case and an odd digit count remain keys.
    const std::string lower = [s = appHex]() mutable {
        for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return s;
    }();
    const std::string odd = "0" + appHex;  // 257 digits, same value
    for (const std::string* key : {&lower, &odd}) {
        const EncryptionKeys keys{key->c_str(), nullptr};
        EXPECT_EQ(open(run(0, &keys, "pw", "1")).text, "pw");
    }
}

TEST_F(Formats, RandomSourceFailures) {
    const EncryptionKeys rsa = rsaKeys(), sm2 = sm2Keys();
    std::string messages;
    secutil::setRandomSourceForTesting("/nonexistent/random");
    EXPECT_EQ(run(0, &rsa, "pw", "1", &messages), "");
    EXPECT_EQ(messages, "Opening /dev/urandom failed!\nGenerating the RC4 key failed!\n");
    EXPECT_EQ(run(1, &rsa, "1234", "1", &messages), "");
    EXPECT_EQ(messages, "Opening /dev/urandom failed!\nGenerating the RC4 key failed!\n");
    // Mode 3 carries on past its own random bytes; the envelope's RC4 key
    // then fails too.
    secutil::setRandomSourceForTesting("/");
    EXPECT_EQ(run(3, &sm2, "pw", "1", &messages), "");
    EXPECT_EQ(messages,
              "Reading /dev/urandom failed!\nReading /dev/urandom failed!\n"
              "Generating the RC4 key failed!\nStandard encryption failed!\n");
}

// ---- wiping -----------------------------------------------------------------
TEST_F(Formats, BuffersThatHeldThePasswordAreWipedBeforeRelease) {
    ASSERT_TRUE(gCryptoHooked) << "OpenSSL allocated before the hook";
    static const char password[] = "Zq7-unique-secret";  // never copied by the test itself
    const EncryptionKeys rsa = rsaKeys(), sm2 = sm2Keys();
    for (int mode : {0, 2, 3, 4, 5}) {
        char* out = nullptr;
        {
            Watch w(password, sizeof password - 1);
            dornEncrypt(mode, mode == 2 ? &rsa : mode == 0 ? &rsa : &sm2, &out, password, "1");
            EXPECT_EQ(gSecretFreed.load(), 0) << "mode " << mode << " released the password unwiped";
        }
        EXPECT_NE(out, nullptr) << "mode " << mode;
        std::free(out);
    }
    // Mode 1: the converted PIN bytes.
    static const unsigned char pinBytes[] = {0x86, 0x42, 0x97, 0x53};
    char* out = nullptr;
    {
        Watch w(pinBytes, sizeof pinBytes);
        dornEncrypt(1, &rsa, &out, "86429753", "1");
        EXPECT_EQ(gSecretFreed.load(), 0) << "mode 1 released the PIN block unwiped";
    }
    EXPECT_NE(out, nullptr);
    std::free(out);
}

// The server side reads private keys: its copy of a key file is wiped too.
TEST(Decoder, PrivateKeyTextIsWipedAfterReading) {
    const std::string pem = sectest::readText(sectest::keyPath("platform_rsa1024.pem"));
    const std::string line = pem.substr(pem.find('\n') + 1, 48);  // a line of the key's Base64
    std::string error;
    {
        Watch w(line.data(), line.size());
        decoder::PkeyPtr key = decoder::loadPrivateKey(sectest::keyPath("platform_rsa1024.pem"), error);
        ASSERT_TRUE(key) << error;
        EXPECT_EQ(gSecretFreed.load(), 0) << "a copy of the key text was released unwiped";
    }
}

// The server side checks the envelope's length fields against its size: a
// byte cut off or added is refused, not read as a shorter or longer text.
TEST_F(Formats, DecoderRefusesAnEnvelopeOfTheWrongSize) {
    const EncryptionKeys keys = rsaKeys();
    const std::string b64 = run(0, &keys, "pw", "1");
    Bytes raw((b64.size() / 4) * 3);
    const int n = EVP_DecodeBlock(raw.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                                  static_cast<int>(b64.size()));
    ASSERT_GT(n, 0);
    raw.resize(128 + 28 + 5);  // "S1:pw"
    auto encode = [](const Bytes& bytes) {
        std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
        out.resize(size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                          static_cast<int>(bytes.size()))));
        return out;
    };
    decoder::Envelope env;
    std::string error;
    ASSERT_TRUE(decoder::openEnvelope(app, encode(raw), env, error)) << error;
    Bytes longer = raw;
    longer.push_back('x');
    EXPECT_FALSE(decoder::openEnvelope(app, encode(longer), env, error));
    EXPECT_EQ(error, "second length field does not match the envelope");
    Bytes shorter(raw.begin(), raw.end() - 1);
    EXPECT_FALSE(decoder::openEnvelope(app, encode(shorter), env, error));
    EXPECT_EQ(error, "second length field does not match the envelope");
}

TEST(WatchSelfCheck, AnUnwipedBufferIsNoticed) {
    static const char secret[] = "watch-me-please";
    Watch w(secret, sizeof secret - 1);
    auto* leak = new char[64];
    std::memcpy(leak, secret, sizeof secret);
    delete[] leak;
    EXPECT_EQ(gSecretFreed.load(), 1);
}

// ---- copies on the stack -----------------------------------------------------
namespace {

// A local copy left as it was, and one wiped: the watch must tell them apart
// (else every stack check below could pass by finding nothing at all).
[[gnu::noinline]] void copyToStack(const char* secret, bool wipe) {
    char local[32];
    std::strncpy(local, secret, sizeof local);
    asm volatile("" : : "r"(local) : "memory");
    if (wipe) OPENSSL_cleanse(local, sizeof local);
}

// A random source that always yields the same 16 bytes, each of odd parity
// (so the DES key made of them keeps them as they are): the session key of
// every call is then known to the test.
const unsigned char kSessionKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                       0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

const char* knownRandomFile() {
    static const std::string path =
        testing::TempDir() + "/known-random";  // kept: the source keeps the pointer
    // Written without stdio, and the parity check wiped: the test leaves no
    // copy of the key in memory of its own for the searches below to find.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    unsigned char parity[16];
    for (size_t i = 0; i < 16; ++i) {
        const unsigned char high = kSessionKey[i] & 0xFE;
        parity[i] = high | ((__builtin_popcount(high) & 1) ? 0 : 1);
    }
    EXPECT_EQ(std::memcmp(parity, kSessionKey, 16), 0) << "the known key must have odd parity";
    OPENSSL_cleanse(parity, sizeof parity);
    for (int i = 0; i < 8192; ++i) EXPECT_EQ(::write(fd, kSessionKey, sizeof kSessionKey), 16);
    ::close(fd);
    return path.c_str();
}

}  // namespace

TEST(StackWatchSelfCheck, FindsAnUnwipedLocalCopyOnlyInTheFramesOfTheCall) {
    static const char secret[] = "stack-watch-secret";
    EXPECT_EQ(
        secretwatch::copiesLeftOnOwnedStack(secret, sizeof secret - 1, [] { copyToStack(secret, false); }),
        1u);
    EXPECT_EQ(
        secretwatch::copiesLeftOnOwnedStack(secret, sizeof secret - 1, [] { copyToStack(secret, true); }),
        0u);
    EXPECT_EQ(secretwatch::copiesLeftByCall(secret, sizeof secret - 1, [] { copyToStack(secret, false); }),
              1u);
    EXPECT_EQ(secretwatch::copiesLeftByCall(secret, sizeof secret - 1, [] { copyToStack(secret, true); }),
              0u);
}

// Every mode with the password, mode 1's PIN block and the session keys
// (RC4 and DES, from a random source the test knows): nothing of them is
// left in the frames of the call.
TEST_F(Formats, NoCopyOfThePasswordPinOrSessionKeyStaysOnTheStack) {
    static const char password[] = "Zq7-stack-secret";
    static const unsigned char pinBytes[] = {0x86, 0x42, 0x97, 0x53};
    secutil::setRandomSourceForTesting(knownRandomFile());
    const EncryptionKeys rsa = rsaKeys(), sm2 = sm2Keys();
    for (int mode : {0, 1, 2, 3, 4, 5}) {
        const char* text = mode == 1 ? "86429753" : password;
        char* out = nullptr;
        const size_t textCopies = secretwatch::copiesLeftOnOwnedStack(
            mode == 1 ? static_cast<const void*>(pinBytes) : password,
            mode == 1 ? sizeof pinBytes : sizeof password - 1,
            [&] { dornEncrypt(mode, mode <= 2 ? &rsa : &sm2, &out, text, "1"); });
        ASSERT_NE(out, nullptr) << "mode " << mode;
        std::free(out);
        out = nullptr;
        // The same call again, its frames searched for the session key.
        const size_t keyCopies = secretwatch::copiesLeftOnOwnedStack(kSessionKey, sizeof kSessionKey, [&] {
            dornEncrypt(mode, mode <= 2 ? &rsa : &sm2, &out, text, "1");
        });
        std::free(out);
        EXPECT_EQ(textCopies, 0u) << "mode " << mode << " left the "
                                  << (mode == 1 ? "PIN block" : "password");
        if (mode <= 2) {
            EXPECT_EQ(keyCopies, 0u) << "mode " << mode << " left the session key";
        }
    }
}

// The heap, with the random source known: no block released while holding
// the session key (RC4 in modes 0 and 2, DES in mode 1, also as the hex text
// of mode 1's key block), and once the call is over no copy of the password,
// the PIN or the session key anywhere in the process, freed or live.
TEST_F(Formats, NoCopyOfThePasswordPinOrSessionKeyStaysOnTheHeap) {
    ASSERT_TRUE(gCryptoHooked) << "OpenSSL allocated before the hook";
    static const char password[] = "Zq7-heap-secret";
    static const unsigned char pinBytes[] = {0x86, 0x42, 0x97, 0x53};
    static const char keyHex[] = "0123456789ABCDEFFEDCBA9876543210";  // kSessionKey as mode 1 spells it
    secutil::setRandomSourceForTesting(knownRandomFile());
    const EncryptionKeys rsa = rsaKeys(), sm2 = sm2Keys();
    for (int mode : {0, 1, 2, 3, 4, 5}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const char* text = mode == 1 ? "86429753" : password;
        const EncryptionKeys* keys = mode <= 2 ? &rsa : &sm2;
        char* out = nullptr;
        if (mode <= 2) {
            Watch w(kSessionKey, sizeof kSessionKey);
            dornEncrypt(mode, keys, &out, text, "1");
            EXPECT_EQ(gSecretFreed.load(), 0) << "a block holding the session key was released unwiped";
        }
        std::free(out);
        out = nullptr;
        if (mode == 1) {
            Watch w(keyHex, sizeof keyHex - 1);
            dornEncrypt(mode, keys, &out, text, "1");
            EXPECT_EQ(gSecretFreed.load(), 0) << "the key block's hex text was released unwiped";
            std::free(out);
            out = nullptr;
        }
        dornEncrypt(mode, keys, &out, text, "1");
        ASSERT_NE(out, nullptr);
        std::free(out);
        if (mode == 1) {
            EXPECT_EQ(secretwatch::copiesInProcessMemory(pinBytes, sizeof pinBytes), 0u) << "the PIN block";
            EXPECT_EQ(secretwatch::copiesInProcessMemory(keyHex, sizeof keyHex - 1), 0u) << "the key block";
        } else {
            EXPECT_EQ(secretwatch::copiesInProcessMemory(password, sizeof password - 1), 0u)
                << "the password";
        }
        if (mode <= 2) {
            EXPECT_EQ(secretwatch::copiesInProcessMemory(kSessionKey, sizeof kSessionKey), 0u)
                << "the session key";
        }
    }
}

// The search of the whole process finds what a careless call would leave:
// a released block that still holds the secret, and one kept alive.
TEST(MemoryWatchSelfCheck, FindsFreedAndLiveCopies) {
    static const char secret[] = "memory-watch-secret";
    auto* freed = static_cast<char*>(std::malloc(64));
    std::memcpy(freed + 32, secret, sizeof secret);  // past what the allocator writes into a freed block
    asm volatile("" : : "r"(freed) : "memory");
    std::free(freed);
    EXPECT_GE(secretwatch::copiesInProcessMemory(secret, sizeof secret - 1), 1u);
    std::string kept(secret);
    kept += std::string(100, '.');  // on the heap, not inside the string object
    EXPECT_GE(secretwatch::copiesInProcessMemory(secret, sizeof secret - 1), 1u);
    EXPECT_EQ(secretwatch::copiesInProcessMemory(secret, sizeof secret - 1, {{kept.data(), kept.size()}}),
              secretwatch::copiesInProcessMemory(secret, sizeof secret - 1) - 1);
    OPENSSL_cleanse(kept.data(), kept.size());
}

// Mode 1's encrypted PIN block, as the hex text it is written out in, is
// wiped from the stack on every path: a success, and a failure at the DES
// key or at the server random, after the block was made. The session key is
// known (see above), so the test can make the same block itself.
TEST_F(Formats, EncryptedPinBlockLeavesNoCopyOnTheStackOnAnyPath) {
    secutil::setRandomSourceForTesting(knownRandomFile());
    static char blockHex[17];
    {
        const unsigned char pinBlock[8] = {0x86, 0x42, 0x97, 0x53, 0xFF, 0xFF, 0xFF, 0xFF};
        unsigned char encrypted[8];
        des3_context ctx;
        des3_set_2keys(&ctx, kSessionKey, kSessionKey + 8);
        des3_encrypt(&ctx, pinBlock, encrypted);
        OPENSSL_cleanse(&ctx, sizeof ctx);
        static const char digits[] = "0123456789ABCDEF";
        for (size_t i = 0; i < sizeof encrypted; ++i) {
            blockHex[2 * i] = digits[encrypted[i] >> 4];
            blockHex[2 * i + 1] = digits[encrypted[i] & 0x0F];
        }
        OPENSSL_cleanse(encrypted, sizeof encrypted);
    }
    const EncryptionKeys rsa = rsaKeys(), badKey{appHex.c_str(), "XYZ"};
    const std::string random129(129, '7');
    struct Row {
        const char* path;
        const EncryptionKeys* keys;
        const char* serverRandom;
        bool output;
    } rows[] = {
        {"success", &rsa, "1", true},
        {"DES key refused", &badKey, "1", false},
        {"server random refused", &rsa, random129.c_str(), false},
    };
    for (const Row& r : rows) {
        char* out = nullptr;
        testing::internal::CaptureStderr();
        const size_t copies = secretwatch::copiesLeftOnOwnedStack(
            blockHex, 16, [&] { dornEncrypt(1, r.keys, &out, "86429753", r.serverRandom); });
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(out != nullptr, r.output) << r.path;
        if (out != nullptr) {
            EXPECT_EQ(std::string(out, 16), blockHex) << "the test made another block than the library";
        }
        std::free(out);
        EXPECT_EQ(copies, 0u) << r.path << " left the encrypted PIN block on the stack";
    }
    OPENSSL_cleanse(blockHex, sizeof blockHex);
}

// The SM2 record's C2 and C3 are wiped before the record is released. The
// test puts itself between the library and its SM2 method (the default
// method is the module's hook for that): it learns C2 or C3 as the record
// is made and arms the freed-block watch with it until the call is over.
namespace {
const SM2ED_METHOD* gInnerMethod = nullptr;
size_t gWatchedPart = 0;  // 0: C2, 1: C3
SM2ED_CTXT* watchingEncrypt(const unsigned char* msg, int msgLen, EC_KEY* key) {
    SM2ED_CTXT* ctxt = gInnerMethod->sm2ed_do_encrypt(msg, msgLen, key);
    const ASN1_OCTET_STRING* part = ctxt == nullptr ? nullptr : gWatchedPart == 0 ? ctxt->c2 : ctxt->c3;
    if (part != nullptr && ASN1_STRING_length(part) == 32) {
        std::memcpy(gSecret, ASN1_STRING_get0_data(part), 32);
        gSecretLen = 32;
        gSecretFreed = 0;
        gWatch = true;
    }
    return ctxt;
}
const SM2ED_METHOD kWatchingMethod = {"watching", watchingEncrypt};
}  // namespace

TEST_F(Formats, Sm2RecordIsWipedBeforeRelease) {
    ASSERT_TRUE(gCryptoHooked) << "OpenSSL allocated before the hook";
    const EncryptionKeys sm2 = sm2Keys();
    gInnerMethod = SM2ED_get_default_method();
    SM2ED_set_default_method(&kWatchingMethod);
    for (size_t part : {size_t{0}, size_t{1}}) {
        gWatchedPart = part;
        char* out = nullptr;
        dornEncrypt(3, &sm2, &out, "pw", "1");
        const bool armed = gWatch.exchange(false);
        EXPECT_TRUE(armed) << "the method was not used";
        EXPECT_EQ(gSecretFreed.load(), 0) << (part == 0 ? "C2" : "C3") << " released unwiped";
        gSecretLen = 0;
        OPENSSL_cleanse(gSecret, sizeof gSecret);
        EXPECT_NE(out, nullptr);
        std::free(out);
    }
    SM2ED_set_default_method(gInnerMethod);
}

// No shared state but the curve group built on first use: calls from several
// threads at once, the first of them racing to build it, all open again.
TEST_F(Formats, ConcurrentCallsAllOpen) {
    const EncryptionKeys rsa = rsaKeys(), sm2 = sm2Keys();
    constexpr int kThreads = 4, kCalls = 4;
    std::vector<std::string> outputs(kThreads * kCalls * 2);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const std::string text = "t" + std::to_string(t) + "c" + std::to_string(i);
                for (int mode : {0, 3}) {
                    char* out = nullptr;
                    dornEncrypt(mode, mode == 0 ? &rsa : &sm2, &out, text.c_str(), "9");
                    outputs[size_t((t * kCalls + i) * 2 + (mode == 3))] = out != nullptr ? out : "";
                    std::free(out);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kCalls; ++i) {
            const std::string text = "t" + std::to_string(t) + "c" + std::to_string(i);
            EXPECT_EQ(open(outputs[size_t((t * kCalls + i) * 2)]).text, text);
            decoder::LayoutB b;
            std::string error;
            EXPECT_TRUE(decoder::parseLayoutB(openSm2(outputs[size_t((t * kCalls + i) * 2 + 1)]), b, error))
                << error;
            EXPECT_EQ(b.text, text);
        }
    }
}
