// The password field's engine: the typed text and everything worked out of
// it (checks, envelopes, digest, degree), the settings that govern them, and
// nothing of drawing, keys or the browser. Two front ends share it, so a page
// gets the same bytes for the same typing whichever it reaches: the plug-in
// (CPluginImplement draws and handles keys around it) and the browsers'
// native host varnex-bridge (which gets the text from the extension's field
// page and puts it through the same typing path).
//
// Heap texts returned by the output operations are malloc'ed; the caller
// frees them with free(). One thread at a time. Nothing throws but
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "SecretText.h"
#include "security/security.h"

class CRegexpT;

class FieldEngine {
public:
    FieldEngine();
    ~FieldEngine();
    FieldEngine(const FieldEngine&) = delete;
    FieldEngine& operator=(const FieldEngine&) = delete;

    // One page parameter, its name matched without regard to case; true when
    // it is one of the engine's (entertype, accepts, maxlength, minlength,
    // contentType), false for the others (drawing's, or unknown).
    bool setParameter(const char* name, const char* value);
    // A page's number as the field reads it: atoi's reading (leading blanks,
    // a sign, leading digits; 0 without digits), out-of-range values saturated.
    static int32_t readNumber(const char* value);

    // ---- The typed text ----
    const SecretText& text() const { return inputText; }
    // No unit may be typed any more (maxLength reached).
    bool full() const;
    // Typing: inserts the units at `at` one at a time until maxLength is
    // reached (a surrogate pair stays whole); returns how many went in.
    size_t type(size_t at, const char16_t* units, size_t length);
    void remove(size_t at) { inputText.remove(at); }
    void clear() { inputText.clear(); }
    int getLength() const;

    // ---- Settings ----
    int getMinLength() const { return minLength; }
    void setMinLength(int value) { minLength = value; }
    int getMaxLength() const { return maxLength; }
    void setMaxLength(int value) { maxLength = value; }
    int getContentType() const { return contentType; }
    void setContentType(int value) { contentType = value; }
    // 1: edit (plain text shown), 0: password.
    int enterType() const { return enterType_; }
    const std::string& acceptsPattern() const { return acceptsPattern_; }

    // ---- Checks ----
    bool TypeCheck();
    int16_t Verify();

    // ---- Outputs (heap texts, or null) ----
    char* getValue();
    char* getPinValue();
    char* getValueForEdit();
    char* getPinValueForEdit();
    char* getValueForPassword();
    char* getPinValueForPassword();
    char* getPinValueForTELMAR();
    char* getPinValueForKESTA();
    char* getPinValueForORVISA();
    char* getComplexDegree();
    // The degree letter, as the degree event passes it.
    int pinComplexDegree();
    char* getMFM();
    char* getMACAddress();
    char* getHWSerialNum();
    char* getVersion();
    char* getMeasureValue();
    char* lastError();
    long long setTimestamp(const char* text, size_t length);
    void setCalcFactor(const char* text);
    int publicKeyModulus(const char* text);
    int sm2PublicKey(const char* text);

    // For tests: the page's timestamp, creation backdated, the text's UTF-8.
    long long timestampForTesting() const { return timestamp; }
    void setCreatedAtForTesting(int32_t seconds) { createdAt = seconds; }
    std::unique_ptr<WipedBytes> inputUtf8ForTesting() const { return inputUtf8(); }

private:
    std::unique_ptr<WipedBytes> inputUtf8() const;
    std::string elapsedTimestamp() const;
    std::string plainTimestamp() const;
    char* encrypt(int mode, const char* text, const std::string& timestampText);
    void setPlatformKeyFromPageKey();

    SecretText inputText{255};
    std::string acceptsPattern_{"\\w{0,}"};
    // The pattern compiled once, for the text it was compiled from.
    std::unique_ptr<CRegexpT> accepts_;
    std::string acceptsCompiledFrom_;
    int32_t maxLength = 255;
    int32_t minLength = 6;
    int32_t contentType = 0;
    int32_t enterType_ = 0;
    long long timestamp = 0;
    int32_t createdAt = 0;
    char* calcFactor = nullptr;
    std::string lastErrorText;
    std::unique_ptr<EncryptionKeys> keys;
    int32_t encryptMode = 0;
    char* pageKey = nullptr;
    // Owns the platform key text that `keys` points at once a variant output set it.
    std::string platformKeyText;
};
