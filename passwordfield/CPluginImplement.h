// The password field: one object per plug-in instance. It keeps the typed
// characters in process memory only and hands the page nothing but a masked
// drawing and encrypted forms of the text.
//
// Everything runs on the browser's plug-in thread, one event or script call
// at a time. Heap texts returned by the output operations are malloc'ed; the
// caller (the scriptable object) copies them into browser memory and frees
// them with free().
#pragma once

#include <QColor>
#include <QString>

#include <cstdint>
#include <memory>

#include "SecretText.h"
#include "pluginbase.h"
#include "security/security.h"

class QPainter;

struct FieldRect {
    double x, y, width, height;
    bool contains(double px, double py) const {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
};

class CPluginImplement {
public:
    explicit CPluginImplement(nsPluginCreateData* data);
    ~CPluginImplement();
    CPluginImplement(const CPluginImplement&) = delete;
    CPluginImplement& operator=(const CPluginImplement&) = delete;

    // Keys, mouse and focus.
    int16_t handleTextFieldKeyDown(NPCocoaEvent* event);
    int16_t handleTextInput(const char16_t* text, size_t length);
    int16_t handleBackspace();
    int16_t handleDelete();
    int16_t handleHome();
    int16_t handleEnd();
    void handleLeft();
    void handleRight();
    void handleMouseDown(NPCocoaEvent* event);
    void handleMouseMoved(NPCocoaEvent* event);
    void handleFocusChanged(NPCocoaEvent* event);
    int16_t handleDraw(NPCocoaEvent* event);

    void clear();
    int getLength() const;
    int getMinLength() const { return minLength; }
    void setMinLength(int value) { minLength = value; }
    int getMaxLength() const { return maxLength; }
    void setMaxLength(int value) { maxLength = value; }
    int getContentType() const { return contentType; }
    void setContentType(int value) { contentType = value; }
    void setMode(signed char) {}
    void focus() {}
    void setWindow(NPWindow* aWindow) { window = aWindow; }
    // The page has removed the plug-in: the browser frees its instance
    // handle and window record, so the field forgets them (it may still be
    // finishing the key whose listener removed it; nothing of a key's
    // handling uses them after the listener has returned).
    void detach() {
        npp = nullptr;
        window = nullptr;
    }
    void invalidatePlugin();

    // Checks.
    bool TypeCheck();
    int16_t Verify();

    // Outputs (heap texts, or null).
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
    int publicKeyBlob(const char*) { return 0; }
    int publicKeyDER(const char*) { return 0; }

    // Script events.
    void addEventListener(const char* name, size_t length, NPObject* listener);
    void removeEventListener(const char* name, size_t length);
    void fireEventReturn();
    void fireEventTab();
    void fireEventDegree();

    // Parameters and colours.
    void distill_arg(nsPluginCreateData* data);
    static QColor htmlColor(const char* value);

    // Read-only views for tests and the host's diagnostics. The typed text
    // itself is not among them.
    const SecretText& shownTextForTesting() const { return shownText; }
    uint64_t shownCaretForTesting() const { return shownCaret; }
    uint64_t caretForTesting() const { return caret; }
    uint64_t visibleCapacityForTesting() const { return visibleCapacity; }
    double charWidthForTesting() const { return charWidth; }
    bool activeForTesting() const { return active; }
    long long timestampForTesting() const { return timestamp; }
    int enterTypeForTesting() const { return enterType; }
    const QString& maskStringForTesting() const { return maskString; }
    const QString& acceptsPatternForTesting() const { return acceptsPattern; }
    QColor backColorForTesting() const { return backColor; }
    QColor textColorForTesting() const { return textColor; }
    QColor borderColorForTesting() const { return borderColor; }
    const FieldRect& textAreaForTesting() const { return textArea; }
    // Backdates creation, for the elapsed timestamp.
    void setCreatedAtForTesting(int32_t seconds) { createdAt = seconds; }
    // The UTF-8 form of the typed text, as the encryption library gets it.
    std::unique_ptr<WipedBytes> inputUtf8ForTesting() const { return inputUtf8(); }

private:
    // The shown form of one typed unit: itself in edit mode, the mask otherwise.
    void appendShownForm(SecretText& to, size_t at, char16_t unit) const;
    void applyFormatting();
    std::unique_ptr<WipedBytes> inputUtf8() const;
    std::string elapsedTimestamp() const;
    std::string plainTimestamp() const;
    char* encrypt(int mode, const char* text, const std::string& timestampText);
    void measure(double caretX);
    void setPlatformKeyFromPageKey();
    void replaceListener(NPObject** slot, NPObject* listener);
    NPObject** listenerSlot(const char* name, size_t length);
    void setCursor(int kind);

    NPP npp = nullptr;
    NPWindow* window = nullptr;
    bool hasFocus = false;
    bool active = false;
    FieldRect textArea{0, 0, 0, 0};
    double lastMousePointX = 0;
    double lastMousePointY = 0;
    uint64_t shownCaret = 0;
    uint64_t shownReplaceLength = 0;
    uint64_t caret = 0;
    uint64_t replaceLength = 0;
    double charWidth = 0;
    uint64_t visibleCapacity = 0;
    SecretText shownText;
    QPainter* lastContext = nullptr;
    SecretText inputText{255};
    QColor backColor{Qt::white};
    QColor textColor{Qt::black};
    QColor borderColor{Qt::black};
    QString maskString{"*"};
    QString acceptsPattern{"\\w{0,}"};
    QString lang{"zh_CH"};
    bool softKeyboard = true;
    int32_t maxLength = 255;
    int32_t minLength = 6;
    int32_t width = 0;
    int32_t height = 0;
    int32_t contentType = 0;
    QString captionText;
    QString captionFont;
    QColor captionColor{Qt::black};
    uint16_t captionSize = 0;
    bool captionBold = true;
    int32_t enterType = 0;
    long long timestamp = 0;
    int32_t createdAt = 0;
    char* calcFactor = nullptr;
    QString lastErrorText;
    EncryptionKeys* keys = nullptr;
    int32_t encryptMode = 0;
    char* pageKey = nullptr;
    NPObject* returnListener = nullptr;
    NPObject* tabListener = nullptr;
    NPObject* degreeListener = nullptr;
    // Owns the platform key text that `keys` points at once a variant output set it.
    std::string platformKeyText;
};
