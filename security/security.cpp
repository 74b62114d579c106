// The six dornEncrypt formats and their building blocks.
//
// RSA and RC4 are used through OpenSSL's low-level calls: RC4 this way needs
// no legacy provider, and a bare RSA public key from a modulus is cheaper to
// set up than a provider key. Both are deprecated in OpenSSL 3, hence the
// suppression for this file only.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "security/security.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rc4.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "security/deployment.h"
#include "security/des.h"
#include "security/secutil.h"
#include "security/sm2.h"

namespace {

using secutil::BnPtr;
using secutil::SecureBytes;

constexpr int kRc4KeyLen = 16;
constexpr int kRc4Drop = 512;
constexpr int kDesKeyLen = 16;
constexpr int kSm2BlockLen = 32;
constexpr int kHeaderLen = 12;   // BLOBHEADER + ALG_ID of the SIMPLEBLOB
constexpr int kLengthField = 8;  // "%08d"
constexpr long kMaxLengthField = 99999999;

constexpr unsigned char kBlobHeader[kHeaderLen] = {0x01, 0x02, 0x00, 0x00, 0x01, 0x68,
                                                   0x00, 0x00, 0x00, 0xA4, 0x00, 0x00};

void complain(const char* message) { std::fputs(message, stderr); }

// /dev/urandom stays open for the life of the process: opening and closing
// it on every call cost about a fifth of mode 0. It is opened at first use
// and again after a failed open, under a lock; calls read it concurrently
// without one. Each call checks that the descriptor still is the file it
// opened, so a host that closed it behind the library's back (and perhaps
// reused the number) makes it open the file anew instead of reading
// something else.
class RandomSource {
public:
    // The open descriptor, or -1 after a failed open (its message written).
    int descriptor() {
        const int fd = fd_.load(std::memory_order_acquire);
        if (fd >= 0 && stillOurs(fd)) return fd;
        std::lock_guard<std::mutex> lock(mutex_);
        const int current = fd_.load(std::memory_order_relaxed);
        if (current >= 0 && stillOurs(current)) return current;
        const int opened = ::open(path_ != nullptr ? path_ : "/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (opened < 0) {
            complain("Opening /dev/urandom failed!\n");
            fd_.store(-1, std::memory_order_release);
            return -1;
        }
        struct stat st {};
        ::fstat(opened, &st);
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        fd_.store(opened, std::memory_order_release);
        return opened;
    }

    // Tests: read from another file (nullptr: /dev/urandom), opened at next use.
    void reset(const char* path) {
        std::lock_guard<std::mutex> lock(mutex_);
        const int fd = fd_.exchange(-1);
        if (fd >= 0 && stillOurs(fd)) ::close(fd);
        path_ = path;
    }

private:
    bool stillOurs(int fd) const {
        struct stat st {};
        return ::fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
    }

    std::mutex mutex_;
    std::atomic<int> fd_{-1};
    // Written under the lock before fd_ is published, read after it.
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    const char* path_ = nullptr;
};

RandomSource& randomSource() {
    static RandomSource* source = new RandomSource;  // never destroyed: calls may come during exit
    return *source;
}

using RsaPtr = ossl::Owned<RSA, RSA_free>;
using BioPtr = ossl::BioChainPtr;

// A string that is wiped over its full length before free().
using WipedString = std::unique_ptr<char, secutil::WipedFree>;
WipedString wipedString(char* s) { return WipedString(s, secutil::WipedFree{s ? std::strlen(s) : 0}); }

enum class RsaImport { ok, badModulus, badExponent };

// OpenSSL's own limit on an RSA modulus: 16384 bits.
constexpr size_t kMaxModulusDigits = 16384 / 4;

// The whole text as the hex digits of a non-zero modulus within the limit.
// BN_hex2bn alone takes the leading run of digits (and a sign), which turns
// a damaged key text into a shorter key nobody holds.
BnPtr parseModulus(const char* text) {
    const size_t len = strnlen(text, kMaxModulusDigits + 1);
    if (len == 0 || len > kMaxModulusDigits || !secutil::isHexText(text, len)) return nullptr;
    BIGNUM* n = nullptr;
    const int used = BN_hex2bn(&n, text);
    BnPtr owned(n);
    if (used != static_cast<int>(len) || BN_is_zero(n)) return nullptr;
    return owned;
}

// Public key from a hex modulus and the fixed exponent text "10001".
RsaImport importRsa(const char* modulusHex, RsaPtr& rsa) {
    BnPtr nOwned = parseModulus(modulusHex);
    if (!nOwned) return RsaImport::badModulus;
    BIGNUM* e = nullptr;
    if (BN_hex2bn(&e, "10001") == 0) return RsaImport::badExponent;
    BnPtr eOwned(e);
    RsaPtr key(RSA_new());
    if (!key || RSA_set0_key(key.get(), nOwned.get(), eOwned.get(), nullptr) != 1)
        return RsaImport::badModulus;
    nOwned.release();
    eOwned.release();
    rsa = std::move(key);
    return RsaImport::ok;
}

// importRsa, telling a failure with the messages of the platform-key formats.
bool importRsaOrComplain(const char* modulusHex, RsaPtr& rsa) {
    switch (importRsa(modulusHex, rsa)) {
        case RsaImport::badModulus:
            complain("Importing the RSA public key's modulus failed!\n");
            return false;
        case RsaImport::badExponent:
            complain("Importing the RSA public key's exponent failed!\n");
            return false;
        case RsaImport::ok:
            break;
    }
    return true;
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void toHex(const unsigned char* bytes, size_t count, char* out) {
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = kHexDigits[bytes[i] >> 4];
        out[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
    }
}

// Copies a secure buffer into a new malloc'ed, zero-terminated string.
char* newString(const char* text, size_t len) {
    auto* s = static_cast<char*>(std::malloc(len + 1));
    if (s != nullptr) {
        std::memcpy(s, text, len);
        s[len] = '\0';
    }
    return s;
}

bool base64(const unsigned char* data, size_t len, char** out) {
    BIO* b64 = BIO_new(BIO_f_base64());
    BIO* mem = BIO_new(BIO_s_mem());
    if (b64 == nullptr || mem == nullptr) {
        BIO_free(b64);
        BIO_free(mem);
        return false;
    }
    BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
    BioPtr chain(BIO_push(b64, mem));
    if (BIO_write(chain.get(), data, static_cast<int>(len)) != static_cast<int>(len) ||
        BIO_flush(chain.get()) != 1)
        return false;
    BUF_MEM* buf = nullptr;
    BIO_get_mem_ptr(mem, &buf);
    if (buf == nullptr) return false;
    char* s = newString(buf->data, buf->length);
    OPENSSL_cleanse(buf->data, buf->length);
    if (s == nullptr) return false;
    *out = s;
    return true;
}

// Writes exactly eight digits; callers keep values within kMaxLengthField.
void lengthField(long value, unsigned char* at) {
    for (int i = kLengthField - 1; i >= 0; --i, value /= 10)
        at[i] = static_cast<unsigned char>('0' + value % 10);
}

// Raw (unpadded) RSA of k bytes, as 2k hex digits.
bool rawRsaHex(RSA* rsa, const unsigned char* block, int k, char** out) {
    SecureBytes enc(static_cast<size_t>(k));
    if (RSA_public_encrypt(k, block, enc.data(), rsa, RSA_NO_PADDING) != k) {
        complain("RSA public encryption failed!\n");
        return false;
    }
    char* hex = data2HEXString(enc.data(), k);
    if (hex == nullptr) return false;
    *out = hex;
    return true;
}

// Checks shared by modes 2 to 5, in their order.
bool checkEnvelopeArgs(const EncryptionKeys* keys, const char* timestamp, const char* text, char** out) {
    if (keys == nullptr) {
        complain("You must supply encryption public key\n");
        return false;
    }
    if (keys->applicationKey == nullptr) {
        complain("You must initialize application public key\n");
        return false;
    }
    if (keys->platformKey == nullptr) {
        complain("You must initialize encrypt platform sm2 public key\n");
        return false;
    }
    if (timestamp == nullptr) {
        complain("The timestamp does not exist!\n");
        return false;
    }
    if (text == nullptr) {
        complain("The input text does not exist!\n");
        return false;
    }
    if (out == nullptr) {
        complain("You must supply a out pointer to retrieve the ciphered text!\n");
        return false;
    }
    return true;
}

// SM2 of one 32-byte block, then the standard envelope of its hex text.
void sm2Envelope(const EncryptionKeys* keys, const char* timestamp, const unsigned char* block, char** out) {
    unsigned char* cipher = nullptr;
    int cipherLen = 0;
    if (sm2Encrypt(keys->platformKey, block, &cipher, &cipherLen) != 1) {
        complain("Keyou encryption failed!\n");
        return;
    }
    std::unique_ptr<unsigned char, secutil::WipedFree> cipherOwned(cipher,
                                                                   secutil::WipedFree{size_t(cipherLen)});
    WipedString hex = wipedString(data2HEXString(cipher, cipherLen));
    if (!hex || encryptStandard(keys->applicationKey, timestamp, hex.get(), out) != 1)
        complain("Standard encryption failed!\n");
}

void mode1(const EncryptionKeys* keys, char** out, const char* text, const char* serverRandom) {
    if (text == nullptr) {
        complain("The input text does not exist!\n");
        return;
    }
    if (out == nullptr) {
        complain("You must supply a out pointer to retrieve the ciphered text!\n");
        return;
    }
    if (keys == nullptr || keys->platformKey == nullptr) {
        complain("You must initialize the library with the platform public key modulus first!\n");
        return;
    }
    if (serverRandom == nullptr) {
        complain("You must supply server random!\n");
        return;
    }
    // The 16-byte work buffer holds at most 15 converted bytes plus the
    // terminator that hex2Byte writes: longer PINs would overrun it.
    const size_t textLen = std::strlen(text);
    if (textLen > 31) {
        complain("The length of the text is too big!\n");
        return;
    }

    SecureBytes desKey(kDesKeyLen);
    if (generateRandom(desKey.data(), kDesKeyLen) != 1) {
        complain("Generating the RC4 key failed!\n");
        return;
    }
    // Odd parity: bit 0 makes the count of one-bits odd.
    for (size_t i = 0; i < desKey.size(); ++i) {
        const unsigned char high = desKey[i] & 0xFE;
        desKey[i] = high | ((__builtin_popcount(high) & 1) ? 0 : 1);
    }

    // Pairs left unconverted (a non-hex digit) read as the 0xFF filler.
    SecureBytes work(16);
    std::memset(work.data(), 0xFF, work.size());
    const int len = static_cast<int>(textLen);
    hex2Byte(text, len, work.data());
    std::memset(work.data() + len / 2, 0xFF, work.size() - size_t(len / 2));

    des3_context ctx;
    des3_set_2keys(&ctx, desKey.data(), desKey.data() + 8);
    unsigned char pinBlock[8];
    des3_encrypt(&ctx, work.data(), pinBlock);
    OPENSSL_cleanse(&ctx, sizeof ctx);
    char pinHex[16];
    toHex(pinBlock, sizeof pinBlock, pinHex);
    OPENSSL_cleanse(pinBlock, sizeof pinBlock);

    char* keyHexRaw = nullptr;
    if (encryptDesKey(keys->platformKey, desKey.data(), &keyHexRaw) != 1) {
        OPENSSL_cleanse(pinHex, sizeof pinHex);
        complain("Encrypting des key failed with rsa!\n");
        return;
    }
    WipedString keyHex = wipedString(keyHexRaw);
    char* randHexRaw = nullptr;
    if (encryptServerRand(keys->platformKey, serverRandom, &randHexRaw) != 1) {
        OPENSSL_cleanse(pinHex, sizeof pinHex);
        complain("Encrypting server rand failed.\n");
        return;
    }
    WipedString randHex = wipedString(randHexRaw);

    const size_t keyLen = std::strlen(keyHex.get()), randLen = std::strlen(randHex.get());
    auto* result = static_cast<char*>(std::malloc(sizeof pinHex + keyLen + randLen + 1));
    if (result != nullptr) {
        std::memcpy(result, pinHex, sizeof pinHex);
        std::memcpy(result + sizeof pinHex, keyHex.get(), keyLen);
        std::memcpy(result + sizeof pinHex + keyLen, randHex.get(), randLen + 1);
        *out = result;
    }
    OPENSSL_cleanse(pinHex, sizeof pinHex);
}

void mode2(const EncryptionKeys* keys, char** out, const char* text, const char* timestamp) {
    if (!checkEnvelopeArgs(keys, timestamp, text, out)) return;
    RsaPtr rsa;
    if (!importRsaOrComplain(keys->platformKey, rsa)) return;
    const int k = RSA_size(rsa.get());
    SecureBytes enc(static_cast<size_t>(std::max(k, 1)));
    const size_t textLen = std::strlen(text);
    if (textLen > static_cast<size_t>(k) ||
        RSA_public_encrypt(static_cast<int>(textLen), reinterpret_cast<const unsigned char*>(text),
                           enc.data(), rsa.get(), RSA_PKCS1_PADDING) != k) {
        complain("RSA public encryption failed!\n");
        return;
    }
    WipedString hex = wipedString(data2HEXString(enc.data(), k));
    if (!hex || encryptStandard(keys->applicationKey, timestamp, hex.get(), out) != 1)
        complain("Standard encryption failed!\n");
}

void mode3(const EncryptionKeys* keys, char** out, const char* text, const char* timestamp) {
    if (!checkEnvelopeArgs(keys, timestamp, text, out)) return;
    const size_t n = std::strlen(text);
    if (n > 19) {
        complain("The length of the text is too big!\n");
        return;
    }
    static_assert(sizeof(SECURITY_LAYOUT_B_FIELD) - 1 == 8, "the fixed field is eight digits");
    SecureBytes block(kSm2BlockLen);
    block[0] = 0x00;
    block[1] = 0x02;
    const size_t randomLen = 19 - n;
    generateRandom(block.data() + 2, static_cast<int>(randomLen));  // result not examined, as designed
    for (size_t i = 0; i < randomLen; ++i)
        if (block[2 + i] == 0x00) block[2 + i] = 0x01;
    block[21 - n] = 0x00;
    std::memcpy(block.data() + 22 - n, SECURITY_LAYOUT_B_FIELD, 8);
    char lenText[3];
    std::snprintf(lenText, sizeof lenText, "%02X", static_cast<unsigned>(n));
    std::memcpy(block.data() + 30 - n, lenText, 2);
    std::memcpy(block.data() + 32 - n, text, n);
    sm2Envelope(keys, timestamp, block.data(), out);
}

void mode4(const EncryptionKeys* keys, char** out, const char* text, const char* timestamp) {
    if (!checkEnvelopeArgs(keys, timestamp, text, out)) return;
    const size_t n = std::strlen(text);
    if (n >= 31) {
        complain("The length of the text is too big!\n");
        return;
    }
    SecureBytes block(kSm2BlockLen + 1);
    std::snprintf(block.chars(), 3, "%02X", static_cast<unsigned>(n));
    std::memcpy(block.data() + 2, text, n);
    generateRandom(block.data() + 2 + n, static_cast<int>(30 - n));  // result not examined, as designed
    sm2Envelope(keys, timestamp, block.data(), out);
}

void mode5(const EncryptionKeys* keys, char** out, const char* text, const char* timestamp) {
    if (!checkEnvelopeArgs(keys, timestamp, text, out)) return;
    const size_t n = std::strlen(text);
    if (n == 0) {
        complain("The length of the text is zero!\n");
        return;
    }
    // Always a full, zero-filled 32-byte block: a shorter text must not let
    // the SM2 step read past its copy.
    SecureBytes block(kSm2BlockLen);
    std::memcpy(block.data(), text, std::min<size_t>(n, kSm2BlockLen));
    sm2Envelope(keys, timestamp, block.data(), out);
}

}  // namespace

namespace secutil {
void setRandomSourceForTesting(const char* path) { randomSource().reset(path); }
}  // namespace secutil

extern "C" {

int dornEncrypt(int mode, const EncryptionKeys* keys, char** out, const char* text, ...) {
    if (mode < 0 || mode > 5) return 0;
    va_list ap;
    va_start(ap, text);
    const char* extra = va_arg(ap, const char*);
    va_end(ap);
    try {
        switch (mode) {
            case 0:
                encryptStandard(keys != nullptr ? keys->applicationKey : nullptr, extra, text, out);
                break;
            case 1:
                mode1(keys, out, text, extra);
                break;
            case 2:
                mode2(keys, out, text, extra);
                break;
            case 3:
                mode3(keys, out, text, extra);
                break;
            case 4:
                mode4(keys, out, text, extra);
                break;
            case 5:
                mode5(keys, out, text, extra);
                break;
        }
    } catch (...) {
        // Only allocation can throw here; the result stays unset.
    }
    return 0;
}

int encryptStandard(const char* modulusHex, const char* timestamp, const char* text, char** out) {
    if (timestamp == nullptr) {
        complain("The timestamp does not exist!\n");
        return 0;
    }
    if (text == nullptr) {
        complain("The input text does not exist!\n");
        return 0;
    }
    if (out == nullptr) {
        complain("You must supply a out pointer to retrieve the ciphered text!\n");
        return 0;
    }
    if (modulusHex == nullptr) {
        complain("You must initialize the library first!\n");
        return 0;
    }
    try {
        const size_t tsLen = std::strlen(timestamp), textLen = std::strlen(text);
        // The length field has room for eight digits.
        if (tsLen + textLen + 2 > size_t(kMaxLengthField)) {
            complain("The length of the text is too big!\n");
            return 0;
        }
        const size_t m = tsLen + textLen + 2;  // P = "S" timestamp ":" text

        unsigned char rc4Key[kRc4KeyLen];
        if (generateRandom(rc4Key, kRc4KeyLen) != 1) {
            OPENSSL_cleanse(rc4Key, sizeof rc4Key);
            complain("Generating the RC4 key failed!\n");
            return 0;
        }
        RsaPtr rsa;
        const RsaImport imported = importRsa(modulusHex, rsa);
        if (imported != RsaImport::ok) {
            OPENSSL_cleanse(rc4Key, sizeof rc4Key);
            complain(imported == RsaImport::badModulus ? "Importing the RSA public key 's modulus failed!\n"
                                                       : "Importing the RSA public key's exponent failed!\n");
            return 0;
        }
        const int k = RSA_size(rsa.get());
        // Every byte of the envelope is written below, so it is not zero-filled.
        const size_t envLen = size_t(std::max(k, 0)) + m + 28;
        std::unique_ptr<unsigned char, secutil::WipedFree> envOwner(
            static_cast<unsigned char*>(std::malloc(envLen)), secutil::WipedFree{envLen});
        if (!envOwner) return 0;
        unsigned char* const envelope = envOwner.get();
        unsigned char* wrapped = envelope + kLengthField + kHeaderLen;
        if (k <= 0 || RSA_public_encrypt(kRc4KeyLen, rc4Key, wrapped, rsa.get(), RSA_PKCS1_PADDING) != k) {
            OPENSSL_cleanse(rc4Key, sizeof rc4Key);
            complain("RSA public encryption failed!\n");
            return 0;
        }
        // The key blob carries the RSA result least significant byte first.
        std::reverse(wrapped, wrapped + k);
        lengthField(k + kHeaderLen, envelope);
        std::memcpy(envelope + kLengthField, kBlobHeader, kHeaderLen);
        lengthField(static_cast<long>(m), wrapped + k);

        // RC4 is a stream cipher: encrypting the parts of P one after another
        // equals encrypting P, and P never needs a copy of its own.
        RC4_KEY rc4;
        RC4_set_key(&rc4, kRc4KeyLen, rc4Key);
        OPENSSL_cleanse(rc4Key, sizeof rc4Key);
        static const unsigned char kZeros[kRc4Drop] = {};
        unsigned char drop[kRc4Drop];
        RC4(&rc4, sizeof drop, kZeros, drop);
        OPENSSL_cleanse(drop, sizeof drop);
        unsigned char* c = wrapped + k + kLengthField;
        static const unsigned char kS = 'S', kColon = ':';
        RC4(&rc4, 1, &kS, c);
        RC4(&rc4, tsLen, reinterpret_cast<const unsigned char*>(timestamp), c + 1);
        RC4(&rc4, 1, &kColon, c + 1 + tsLen);
        RC4(&rc4, textLen, reinterpret_cast<const unsigned char*>(text), c + 2 + tsLen);
        OPENSSL_cleanse(&rc4, sizeof rc4);

        char* encoded = nullptr;
        if (!base64(envelope, envLen, &encoded)) return 0;
        *out = encoded;
        return 1;
    } catch (...) {
        return 0;
    }
}

int encryptDesKey(const char* modulusHex, const unsigned char* desKey, char** out) {
    if (modulusHex == nullptr) {
        complain("You must input the platform public key modulus first!\n");
        return 0;
    }
    if (desKey == nullptr) {
        complain("DES key is null!");
        return 0;
    }
    if (out == nullptr) return 0;
    try {
        RsaPtr rsa;
        if (!importRsaOrComplain(modulusHex, rsa)) return 0;
        const int k = RSA_size(rsa.get());
        // The block needs 33 bytes; a smaller modulus cannot carry it.
        if (k < 33) {
            complain("The length of the text is too big!\n");
            return 0;
        }
        static_assert(sizeof(SECURITY_DES_BLOCK_FIXED) - 1 == 16, "the fixed value is 8 bytes");
        // 0002 FF..FF 00 301C 0410 <key> 0408 <fixed>, built as hex text.
        SecureBytes text(2 * size_t(k) + 1);
        char* p = text.chars();
        std::memcpy(p, "0002", 4);
        p += 4;
        for (int i = 0; i < k - 33; ++i, p += 2) std::memcpy(p, "FF", 2);
        std::memcpy(p, "00301C0410", 10);
        p += 10;
        toHex(desKey, kDesKeyLen, p);
        p += 2 * kDesKeyLen;
        std::memcpy(p, "0408", 4);
        p += 4;
        std::memcpy(p, SECURITY_DES_BLOCK_FIXED, 16);
        SecureBytes block(size_t(k) + 1);
        hex2Byte(text.chars(), 2 * k, block.data());
        return rawRsaHex(rsa.get(), block.data(), k, out) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int encryptServerRand(const char* modulusHex, const char* randomHex, char** out) {
    if (modulusHex == nullptr) {
        complain("You must input the platform public key modulus first!\n");
        return 0;
    }
    if (randomHex == nullptr) {
        complain("Randdom is null!\n");
        return 0;
    }
    if (out == nullptr) return 0;
    try {
        RsaPtr rsa;
        if (!importRsaOrComplain(modulusHex, rsa)) return 0;
        const int k = RSA_size(rsa.get());
        const size_t randLen = std::strlen(randomHex);
        if (k <= 0 || randLen > size_t(k)) {
            complain("The length of the text is too big!\n");
            return 0;
        }
        SecureBytes text(2 * size_t(k) + 1);
        std::memset(text.data(), '0', 2 * size_t(k) - randLen);
        std::memcpy(text.data() + 2 * size_t(k) - randLen, randomHex, randLen);
        SecureBytes block(size_t(k) + 1);  // hex2Byte also writes a terminator
        hex2Byte(text.chars(), 2 * k, block.data());
        return rawRsaHex(rsa.get(), block.data(), k, out) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

char* data2HEXString(const unsigned char* bytes, int count) {
    if (count <= 0) return static_cast<char*>(std::calloc(1, 1));
    if (bytes == nullptr) return nullptr;
    auto* s = static_cast<char*>(std::calloc(2 * size_t(count) + 1, 1));
    if (s != nullptr) toHex(bytes, size_t(count), s);
    return s;
}

void hex2Byte(const char* hex, int length, unsigned char* out) {
    if (out == nullptr) return;
    if (length < 2) {
        out[0] = 0;
        return;
    }
    if (hex == nullptr) return;
    const int pairs = length / 2;
    for (int i = 0; i < pairs; ++i) {
        // Test the first digit before reading the second: a short text ends
        // in its terminator, which is never a hex digit.
        const int high = nibble(hex[2 * i]);
        if (high < 0) return;
        const int low = nibble(hex[2 * i + 1]);
        if (low < 0) return;
        out[i] = static_cast<unsigned char>((high << 4) | low);
    }
    out[pairs] = 0;
}

int generateRandom(unsigned char* buffer, int count) {
    const int fd = randomSource().descriptor();
    if (fd < 0) {
        return 0;
    }
    const ssize_t got =
        (count < 0 || (buffer == nullptr && count > 0)) ? -1 : ::read(fd, buffer, size_t(count));
    if (got < 0) {
        complain("Reading /dev/urandom failed!\n");
        return 0;
    }
    return 1;
}

const char* getErrorMessage(int /*code*/) { return nullptr; }

int getDegree(int /*kind*/, const char* /*text*/) { return 'S'; }

}  // extern "C"
