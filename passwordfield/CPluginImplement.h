// The password field: one object per plug-in instance. It draws the field,
// handles keys, caret and mouse, and keeps the shown window; the typed
// characters, checks and outputs are its engine's (FieldEngine, shared with
// the browsers' native host). The page gets nothing but a masked drawing and
// encrypted forms of the text.
//
// Everything runs on the browser's plug-in thread, one event or script call
// at a time.
#pragma once

#include <QColor>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "FieldEngine.h"
#include "SecretText.h"
#include "pluginbase.h"

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
    int getLength() const { return engine_.getLength(); }
    int getMinLength() const { return engine_.getMinLength(); }
    void setMinLength(int value) { engine_.setMinLength(value); }
    int getMaxLength() const { return engine_.getMaxLength(); }
    void setMaxLength(int value) { engine_.setMaxLength(value); }
    int getContentType() const { return engine_.getContentType(); }
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

    // The checks, outputs and settings: the engine the native host uses too.
    FieldEngine& engine() { return engine_; }
    int16_t Verify() { return engine_.Verify(); }
    char* getValue() { return engine_.getValue(); }
    char* getPinValueForKESTA() { return engine_.getPinValueForKESTA(); }
    char* getPinValueForORVISA() { return engine_.getPinValueForORVISA(); }

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
    long long timestampForTesting() const { return engine_.timestampForTesting(); }
    int enterTypeForTesting() const { return engine_.enterType(); }
    const QString& maskStringForTesting() const { return maskString; }
    const std::string& acceptsPatternForTesting() const { return engine_.acceptsPattern(); }
    QColor backColorForTesting() const { return backColor; }
    QColor textColorForTesting() const { return textColor; }
    QColor borderColorForTesting() const { return borderColor; }
    const FieldRect& textAreaForTesting() const { return textArea; }
    // Backdates creation, for the elapsed timestamp.
    void setCreatedAtForTesting(int32_t seconds) { engine_.setCreatedAtForTesting(seconds); }
    // The UTF-8 form of the typed text, as the encryption library gets it.
    std::unique_ptr<WipedBytes> inputUtf8ForTesting() const { return engine_.inputUtf8ForTesting(); }

private:
    // The shown form of one typed unit: itself in edit mode, the mask otherwise.
    void appendShownForm(SecretText& to, size_t at, char16_t unit) const;
    void applyFormatting();
    void measure(double caretX);
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
    FieldEngine engine_;
    QColor backColor{Qt::white};
    QColor textColor{Qt::black};
    QColor borderColor{Qt::black};
    QString maskString{"*"};
    QString lang{"zh_CH"};
    bool softKeyboard = true;
    int32_t width = 0;
    int32_t height = 0;
    QString captionText;
    QString captionFont;
    QColor captionColor{Qt::black};
    uint16_t captionSize = 0;
    bool captionBold = true;
    NPObject* returnListener = nullptr;
    NPObject* tabListener = nullptr;
    NPObject* degreeListener = nullptr;
};
