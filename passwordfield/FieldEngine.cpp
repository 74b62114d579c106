#include "FieldEngine.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "REHelp.h"
#include "platform/machineid.h"
#include "security/deployment.h"
#include "varnex_deployment.h"

namespace {

constexpr const char* kVersion = "2003009006";
constexpr const char* kFingerprintSuffix = "1.0.0.1";

char* heapCopy(const char* text, size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

bool equalsIgnoringCase(const char* a, const char* b) {
    return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

}  // namespace

// Without atoi's undefined overflow.
int32_t FieldEngine::readNumber(const char* value) {
    if (value == nullptr) return 0;
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(value, &end, 10);
    if (end == value) return 0;
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(n);
}

namespace {

long long wallSeconds() { return static_cast<long long>(std::time(nullptr)); }

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

FieldEngine::FieldEngine()
    : createdAt(static_cast<int32_t>(wallSeconds())),
      keys(std::make_unique<EncryptionKeys>(EncryptionKeys{SECURITY_DEFAULT_APPLICATION_KEY, nullptr})) {}

FieldEngine::~FieldEngine() {
    if (calcFactor != nullptr) OPENSSL_cleanse(calcFactor, std::strlen(calcFactor));
    std::free(calcFactor);
    std::free(pageKey);
}

namespace {
// A negative maxLength, read as unsigned, sets no limit (as it always has).
uint64_t limitOf(int32_t maxLength) { return static_cast<uint64_t>(static_cast<int64_t>(maxLength)); }
}  // namespace

bool FieldEngine::setParameter(const char* name, const char* value) {
    if (value == nullptr) value = "";
    if (equalsIgnoringCase(name, "entertype"))
        enterType_ = equalsIgnoringCase(value, "edit") ? 1 : 0;
    else if (equalsIgnoringCase(name, "accepts"))
        acceptsPattern_ = value;
    else if (equalsIgnoringCase(name, "maxlength"))
        widestLimit = limitOf(maxLength = readNumber(value));  // read before anything is typed
    else if (equalsIgnoringCase(name, "minlength"))
        minLength = readNumber(value);
    else if (equalsIgnoringCase(name, "contentType"))
        contentType = readNumber(value);
    else
        return false;
    return true;
}

// ---- The typed text ----

bool FieldEngine::full() const { return inputText.size() >= limitOf(maxLength); }

void FieldEngine::setMaxLength(int value) {
    maxLength = value;
    widestLimit = std::max(widestLimit, limitOf(value));
}

size_t FieldEngine::retype(const char16_t* units, size_t length) {
    const int32_t kept = maxLength;
    maxLength = static_cast<int32_t>(static_cast<int64_t>(widestLimit));
    clear();
    const size_t typed = type(0, units, length);
    maxLength = kept;
    return typed;
}

size_t FieldEngine::type(size_t at, const char16_t* units, size_t length) {
    const uint64_t limit = limitOf(maxLength);
    size_t typed = 0;
    for (size_t i = 0; i < length; ++i) {
        const bool pairTail = i > 0 && isHighSurrogate(units[i - 1]) && isLowSurrogate(units[i]);
        if (!pairTail && inputText.size() >= limit) break;
        inputText.insert(at + i, units[i]);
        ++typed;
    }
    return typed;
}

int FieldEngine::getLength() const { return static_cast<int16_t>(inputText.size()); }

// ---- Checks ----

std::unique_ptr<WipedBytes> FieldEngine::inputUtf8() const {
    return toUtf8(inputText.data(), inputText.size());
}

bool FieldEngine::TypeCheck() {
    if (contentType == 0) return true;
    const auto utf8 = inputUtf8();
    if ((contentType & 1) && !CREHelp::test_include_number(utf8->c_str())) return false;
    if ((contentType & 2) && !CREHelp::test_include_letter(utf8->c_str())) return false;
    if (contentType & 4) return CREHelp::test_include_punct(utf8->c_str()) != 0;
    return true;
}

int16_t FieldEngine::Verify() {
    // A pattern with characters outside ASCII has no ASCII form: it matches
    // nothing. (A page's malformed UTF-8 counts as outside ASCII too.)
    bool ascii = true;
    for (const char c : acceptsPattern_) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    // Compiling dominates a check of a password's length: once per pattern.
    if (!accepts_ || acceptsCompiledFrom_ != acceptsPattern_) {
        accepts_ = std::make_unique<CRegexpT>(ascii ? acceptsPattern_.c_str() : nullptr);
        acceptsCompiledFrom_ = acceptsPattern_;
    }
    const CRegexpT& re = *accepts_;
    // The page's developer learns why the pattern matches nothing.
    if (!ascii)
        lastErrorText = "accepts pattern refused: a character outside ASCII";
    else if (re.refusal() == CRegexpT::Refusal::RepeatLimit)
        lastErrorText =
            "accepts pattern refused: a counted repeat {n,m} needs n <= m <= 1000 (nested repeats: their "
            "product)";
    else if (re.refusal() == CRegexpT::Refusal::TooLarge)
        lastErrorText = "accepts pattern refused: too large to compile";
    else if (re.refusal() == CRegexpT::Refusal::Invalid)
        lastErrorText = "accepts pattern refused: not a valid pattern";
    // The typed characters are counted, not the shown window: a password
    // longer than a narrow field is not "too short".
    if (inputText.empty()) return -1;
    if (inputText.size() < static_cast<uint64_t>(static_cast<int64_t>(minLength))) return -2;
    const auto utf8 = inputUtf8();
    if (!re.MatchExact(utf8->view()).IsMatched()) return -3;
    if (!TypeCheck()) return -6;
    return 0;
}

// ---- Outputs ----

std::string FieldEngine::plainTimestamp() const { return std::to_string(timestamp); }

std::string FieldEngine::elapsedTimestamp() const {
    // The seconds since creation times 1000 stay far inside 64 bits (the
    // clock and createdAt are both near 2^31), but the page's timestamp may
    // be anything: at either end of the range the sum stays there instead
    // of wrapping (a clock set back gives a negative number of seconds).
    const long long milliseconds = (wallSeconds() - createdAt) * 1000;
    long long elapsed;  // written by the builtin, wrapped on overflow
    if (__builtin_add_overflow(milliseconds, timestamp, &elapsed))
        elapsed = timestamp < 0 ? LLONG_MIN : LLONG_MAX;
    return std::to_string(elapsed);
}

char* FieldEngine::encrypt(int mode, const char* text, const std::string& timestampText) {
    char* out = nullptr;
    const int rc = dornEncrypt(mode, keys.get(), &out, text, timestampText.c_str());
    if (rc != 0) {
        const char* message = getErrorMessage(rc);
        std::printf("Error:%s\n", message == nullptr ? "(null)" : message);
        std::fflush(stdout);
    }
    return out;
}

char* FieldEngine::getValueForEdit() {
    const auto utf8 = inputUtf8();
    return encrypt(0, utf8->c_str(), elapsedTimestamp());
}

char* FieldEngine::getPinValueForEdit() { return getValueForEdit(); }

char* FieldEngine::getValueForPassword() {
    const auto utf8 = inputUtf8();
    return encrypt(encryptMode, utf8->c_str(), plainTimestamp());
}

char* FieldEngine::getPinValueForPassword() { return getValueForPassword(); }

char* FieldEngine::getValue() {
    if (Verify() != 0) return nullptr;
    return enterType_ == 1 ? getValueForEdit() : getValueForPassword();
}

char* FieldEngine::getPinValue() { return getValue(); }

void FieldEngine::setPlatformKeyFromPageKey() {
    platformKeyText = pageKey;
    keys->platformKey = platformKeyText.c_str();
}

char* FieldEngine::getPinValueForTELMAR() {
    if (pageKey != nullptr) setPlatformKeyFromPageKey();
    const auto utf8 = inputUtf8();
    return encrypt(encryptMode, utf8->c_str(), plainTimestamp());
}

char* FieldEngine::getPinValueForKESTA() {
    if (pageKey != nullptr) {
        encryptMode = 4;
        setPlatformKeyFromPageKey();
    }
    return getPinValueForTELMAR();
}

char* FieldEngine::getPinValueForORVISA() {
    if (pageKey != nullptr) {
        encryptMode = 2;
        setPlatformKeyFromPageKey();
    }
    const auto utf8 = inputUtf8();
    const size_t factorLength = calcFactor == nullptr ? 0 : strnlen(calcFactor, 8);
    WipedBytes text(utf8->size() + factorLength);
    std::memcpy(text.data(), utf8->c_str(), utf8->size());
    if (factorLength > 0) std::memcpy(text.data() + utf8->size(), calcFactor, factorLength);
    return encrypt(encryptMode, text.c_str(), plainTimestamp());
}

int FieldEngine::pinComplexDegree() {
    const auto utf8 = inputUtf8();
    return getDegree(1, utf8->c_str());
}

char* FieldEngine::getComplexDegree() {
    const char letter = static_cast<char>(pinComplexDegree());
    return heapCopy(&letter, 1);
}

char* FieldEngine::getMACAddress() {
    const auto mac = platform::primaryMacAddress();
    if (!mac) return nullptr;
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", (*mac)[0], (*mac)[1], (*mac)[2], (*mac)[3],
                  (*mac)[4], (*mac)[5]);
    return heapCopy(text, 12);
}

char* FieldEngine::getHWSerialNum() {
    const auto data = platform::platformSerialNumberProperty();
    if (!data) return nullptr;
    char work[256] = {};
    std::memcpy(work, data->data(), data->size() < 255 ? data->size() : 255);
    char* result = static_cast<char*>(std::calloc(256, 1));
    if (result == nullptr) return nullptr;
    std::snprintf(result, 256, "%s%s", work + 13, work);
    return result;
}

char* FieldEngine::getMFM() {
    char* m = getMACAddress();
    char* s = getHWSerialNum();
    std::string fingerprint;
    if (m != nullptr && s != nullptr)
        fingerprint = std::string(m) + "-" + s + "-" + kFingerprintSuffix;
    else if (m != nullptr)
        fingerprint = std::string(m) + "-" + kFingerprintSuffix;
    else if (s != nullptr)
        fingerprint = std::string(s) + "-" + kFingerprintSuffix;
    else
        fingerprint = std::to_string(-1);
    std::free(m);
    std::free(s);
    return encrypt(0, fingerprint.c_str(), elapsedTimestamp());
}

char* FieldEngine::getVersion() { return heapCopy(kVersion, std::strlen(kVersion)); }

char* FieldEngine::getMeasureValue() {
    // The salt and the typed text in the platform's non-lossy ASCII form
    // (ASCII as itself, a backslash doubled, U+0080..U+00FF as \ooo, others
    // as \uxxxx), cut to as many bytes as the text has UTF-16 units.
    const std::string salt = VARNEX_MEASURE_SALT;
    const size_t units = salt.size() + inputText.size();
    WipedBytes escaped(units * 6);
    size_t n = 0;
    auto put = [&](char16_t u) {
        char* out = escaped.data() + n;
        if (u == '\\') {
            out[0] = out[1] = '\\';
            n += 2;
        } else if (u < 0x80) {
            out[0] = static_cast<char>(u);
            n += 1;
        } else if (u <= 0xFF) {
            std::snprintf(out, 5, "\\%03o", static_cast<unsigned>(u));
            n += 4;
        } else {
            std::snprintf(out, 7, "\\u%04x", static_cast<unsigned>(u));
            n += 6;
        }
    };
    for (const char c : salt) put(static_cast<unsigned char>(c));
    for (size_t i = 0; i < inputText.size(); ++i) put(inputText.at(i));
    const size_t take = units < n ? units : n;

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(escaped.data(), take, digest, &digestLength, EVP_md5(), nullptr) != 1) return nullptr;
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned i = 0; i < digestLength; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0x0F];
    }
    return heapCopy(hex.data(), hex.size());
}

char* FieldEngine::lastError() { return heapCopy(lastErrorText.data(), lastErrorText.size()); }

long long FieldEngine::setTimestamp(const char* text, size_t length) {
    // atoll's reading, bounded by the text's length (page texts carry no NUL).
    const std::string copy(text == nullptr ? "" : std::string(text, strnlen(text, length)));
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), nullptr, 10);
    if (value != 0 && value != timestamp) timestamp = value;
    return value;
}

void FieldEngine::setCalcFactor(const char* text) {
    if (calcFactor != nullptr) OPENSSL_cleanse(calcFactor, std::strlen(calcFactor));
    std::free(calcFactor);
    calcFactor = text == nullptr ? nullptr : heapCopy(text, std::strlen(text));
}

int FieldEngine::publicKeyModulus(const char* text) {
    std::free(pageKey);
    pageKey = text == nullptr ? nullptr : heapCopy(text, std::strlen(text));
    return 1;
}

int FieldEngine::sm2PublicKey(const char* text) { return publicKeyModulus(text); }
