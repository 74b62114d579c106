#include "CPluginImplement.h"

#include <openssl/crypto.h>

#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QTextLayout>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr double kLineFragmentPadding = 5.0;
// The platform's function-key units (arrows, F-keys, page keys, Home, End).
constexpr char16_t kFunctionKeysFirst = 0xF700;
constexpr char16_t kFunctionKeysLast = 0xF8FF;

// Page values arrive as UTF-8; a malformed sequence becomes U+FFFD.
QString fromPage(const char* value) { return value == nullptr ? QString() : QString::fromUtf8(value); }

bool equalsIgnoringCase(const char* a, const char* b) {
    return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

}  // namespace

CPluginImplement::CPluginImplement(nsPluginCreateData* data) {
    npp = data->instance;
    distill_arg(data);
    // In 64 bits: a page may give any 32-bit height.
    textArea = FieldRect{0, static_cast<double>(height / 6), static_cast<double>(width),
                         static_cast<double>(5 * int64_t{height} / 6)};
}

CPluginImplement::~CPluginImplement() {
    for (NPObject** slot : {&returnListener, &tabListener, &degreeListener}) {
        if (*slot != nullptr) NPN_ReleaseObject(*slot);
        *slot = nullptr;
    }
}

// ---- Parameters ----

QColor CPluginImplement::htmlColor(const char* value) {
    const char* p = value == nullptr ? "" : value;
    while (*p == '#') ++p;
    int digits[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6 && *p != '\0'; ++i, ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9')
            digits[i] = c - '0';
        else if (c >= 'a' && c <= 'f')
            digits[i] = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digits[i] = c - 'A' + 10;
    }
    auto component = [&](int i) { return (digits[i] * 16 + digits[i + 1]) / 255.0; };
    return QColor::fromRgbF(static_cast<float>(component(0)), static_cast<float>(component(2)),
                            static_cast<float>(component(4)), 1.0f);
}

void CPluginImplement::distill_arg(nsPluginCreateData* data) {
    enum Param {
        BackColor,
        TextColor,
        BorderColor,
        MaskChar,
        Lang,
        Caption,
        CaptionColor,
        CaptionFont,
        CaptionSize,
        CaptionBold,
        SoftKeyboard,
        Width,
        Height
    };
    static const char* const names[] = {
        "backcolor",   "textcolor",   "bordercolor", "maskchar",     "lang",  "caption", "captioncolor",
        "captionfont", "captionsize", "captionbold", "softKeyboard", "width", "height"};
    if (data == nullptr || data->argn == nullptr || data->argv == nullptr) return;
    for (int16_t i = 0; i < data->argc; ++i) {
        const char* name = data->argn[i];
        const char* value = data->argv[i] == nullptr ? "" : data->argv[i];
        // The checks' settings are the engine's.
        if (engine_.setParameter(name, value)) continue;
        int which = -1;
        for (int k = 0; k < static_cast<int>(sizeof names / sizeof names[0]); ++k) {
            if (equalsIgnoringCase(name, names[k])) {
                which = k;
                break;
            }
        }
        switch (which) {
            case BackColor:
                backColor = htmlColor(value);
                break;
            case TextColor:
                textColor = htmlColor(value);
                break;
            case BorderColor:
                borderColor = htmlColor(value);
                break;
            case MaskChar: {
                // The window counts one shown unit per typed unit, so the mask is
                // one unit: the value's first, or "*" when it has none usable.
                const QString mask = fromPage(value);
                maskString = (mask.isEmpty() || mask.at(0).isSurrogate()) ? QString("*") : mask.left(1);
                break;
            }
            case Lang:
                lang = fromPage(value);
                break;
            case Caption:
                break;
            case CaptionColor:
                captionColor = htmlColor(value);
                break;
            case CaptionFont:
                captionFont = fromPage(value);
                break;
            case CaptionSize:
                captionSize = static_cast<uint16_t>(FieldEngine::readNumber(value));
                break;
            case CaptionBold:
                captionBold = !equalsIgnoringCase(value, "false");
                break;
            case SoftKeyboard:
                softKeyboard = !equalsIgnoringCase(value, "false");
                break;
            case Width:
                width = FieldEngine::readNumber(value);
                break;
            case Height:
                height = FieldEngine::readNumber(value);
                break;
            default:
                break;
        }
    }
}

// ---- Editing ----

void CPluginImplement::invalidatePlugin() {
    if (window == nullptr) return;
    NPRect rect{0, 0, static_cast<uint16_t>(window->height & 0xFFFF),
                static_cast<uint16_t>(window->width & 0xFFFF)};
    NPN_InvalidateRect(npp, &rect);
}

void CPluginImplement::appendShownForm(SecretText& to, size_t at, char16_t unit) const {
    to.insert(at, engine_.enterType() == 1 ? unit : static_cast<char16_t>(maskString.at(0).unicode()));
}

// The field's text is one run of one font and colour, applied when drawn;
// nothing is kept per character.
void CPluginImplement::applyFormatting() {}

int16_t CPluginImplement::handleTextFieldKeyDown(NPCocoaEvent* event) {
    if (!active) return 1;
    const QString* characters = reinterpret_cast<const QString*>(event->data.key.characters);
    if (characters == nullptr || characters->isEmpty()) {
        invalidatePlugin();
        fireEventDegree();
        return 1;
    }
    const char16_t unit = characters->at(0).unicode();
    switch (unit) {
        case 3:
        case 13:
            fireEventReturn();
            break;
        case 9:
            fireEventTab();
            break;
        case 8:
        case 127:
            handleBackspace();
            break;
        case 0xF702:
            handleLeft();
            break;
        case 0xF703:
            handleRight();
            break;
        case 0xF728:
            handleDelete();
            break;
        case 0xF729:
            handleHome();
            break;
        case 0xF72B:
            handleEnd();
            break;
        default:
            if (unit >= kFunctionKeysFirst && unit <= kFunctionKeysLast) break;
            handleTextInput(reinterpret_cast<const char16_t*>(characters->utf16()),
                            static_cast<size_t>(characters->size()));
            break;
    }
    return 1;
}

int16_t CPluginImplement::handleTextInput(const char16_t* text, size_t length) {
    if (engine_.full()) return 1;
    // The engine takes one unit at a time up to maxLength; the shown window
    // follows unit by unit, so it never outgrows its capacity whatever the
    // event carries.
    const size_t typed = engine_.type(caret, text, length);
    for (size_t i = 0; i < typed; ++i) {
        caret += 1;
        uint64_t d = shownCaret;
        if (visibleCapacity != 0) {
            if (shownCaret == visibleCapacity) {
                shownText.remove(0);
                d -= 1;
            } else if (shownText.size() >= visibleCapacity) {
                shownText.remove(shownText.size() - 1);
            }
        }
        appendShownForm(shownText, d, text[i]);
        applyFormatting();
        shownCaret = d + 1;
        shownReplaceLength = 0;
    }
    invalidatePlugin();
    fireEventDegree();
    return 1;
}

int16_t CPluginImplement::handleBackspace() {
    if (caret != 0) {
        engine_.remove(caret - 1);
        caret -= 1;
        if (shownCaret > 0) {
            shownText.remove(shownCaret - 1);
            shownCaret -= 1;
            const uint64_t afterInInput = engine_.text().size() - caret;
            const uint64_t afterInShown = shownText.size() - shownCaret;
            if (afterInInput > afterInShown)
                appendShownForm(shownText, shownText.size(), engine_.text().at(caret + afterInShown));
        }
    }
    invalidatePlugin();
    fireEventDegree();
    return 1;
}

int16_t CPluginImplement::handleDelete() {
    if (caret < engine_.text().size()) {
        if (shownCaret < shownText.size()) {
            const uint64_t afterInInput = engine_.text().size() - caret;
            const uint64_t afterInShown = shownText.size() - shownCaret;
            if (afterInInput > afterInShown)
                appendShownForm(shownText, shownText.size(), engine_.text().at(caret + afterInShown));
            shownText.remove(shownCaret);
        }
        engine_.remove(caret);
    }
    invalidatePlugin();
    fireEventDegree();
    return 1;
}

void CPluginImplement::handleLeft() {
    if (caret == 0) return;
    caret -= 1;
    if (shownCaret > 0) {
        shownCaret -= 1;
    } else {
        if (visibleCapacity != 0 && shownText.size() >= visibleCapacity)
            shownText.remove(shownText.size() - 1);
        appendShownForm(shownText, 0, engine_.text().at(caret));
    }
    applyFormatting();
    invalidatePlugin();
}

void CPluginImplement::handleRight() {
    if (caret >= engine_.text().size()) return;
    if (shownCaret >= shownText.size()) {
        shownText.remove(0);
        appendShownForm(shownText, shownText.size(), engine_.text().at(caret));
    } else {
        shownCaret += 1;
    }
    caret += 1;
    invalidatePlugin();
}

int16_t CPluginImplement::handleHome() {
    if (caret == 0) return 1;
    // Before the first measuring draw the window has no limit: all is shown.
    const uint64_t n = (visibleCapacity == 0 || engine_.text().size() <= visibleCapacity)
                           ? engine_.text().size()
                           : visibleCapacity;
    shownText.clear();
    for (uint64_t i = 0; i < n; ++i) appendShownForm(shownText, shownText.size(), engine_.text().at(i));
    caret = 0;
    shownCaret = 0;
    applyFormatting();
    invalidatePlugin();
    return 1;
}

int16_t CPluginImplement::handleEnd() {
    const uint64_t length = engine_.text().size();
    if (caret == length) return 1;
    if (visibleCapacity != 0 && shownText.size() >= visibleCapacity) {
        shownText.clear();
        for (uint64_t i = length - visibleCapacity; i < length; ++i)
            appendShownForm(shownText, shownText.size(), engine_.text().at(i));
        shownCaret = visibleCapacity;
    } else {
        shownCaret = shownText.size();
    }
    caret = length;
    applyFormatting();
    invalidatePlugin();
    return 1;
}

void CPluginImplement::handleMouseDown(NPCocoaEvent* event) {
    active = textArea.contains(event->data.mouse.pluginX, event->data.mouse.pluginY);
    if (visibleCapacity != 0 && !shownText.empty() && charWidth > 0) {
        const double p = lastMousePointX - kLineFragmentPadding;
        // Left of the first glyph counts as on the first one.
        const uint64_t k = p <= 0 ? 0 : static_cast<uint64_t>(p / charWidth);
        const uint64_t shown = shownText.size();
        if (k >= shown) {
            caret += shown - shownCaret;
            shownCaret = shown;
        } else {
            const double r = p - static_cast<double>(k) * charWidth;
            const int64_t delta = static_cast<int64_t>(k) - static_cast<int64_t>(shownCaret);
            if (charWidth > 2 * r) {
                shownCaret = k;
                caret = static_cast<uint64_t>(static_cast<int64_t>(caret) + delta);
            } else {
                shownCaret = k + 1;
                caret = static_cast<uint64_t>(static_cast<int64_t>(caret) + delta + 1);
            }
        }
    }
    invalidatePlugin();
}

void CPluginImplement::setCursor(int kind) {
    NPN_SetValue(npp, NPPVpluginCursorKind_Linux, reinterpret_cast<void*>(static_cast<intptr_t>(kind)));
}

void CPluginImplement::handleMouseMoved(NPCocoaEvent* event) {
    lastMousePointX = event->data.mouse.pluginX;
    lastMousePointY = event->data.mouse.pluginY;
    setCursor(textArea.contains(lastMousePointX, lastMousePointY) ? NPCursorIBeam_Linux
                                                                  : NPCursorArrow_Linux);
}

void CPluginImplement::handleFocusChanged(NPCocoaEvent* event) {
    hasFocus = event->data.focus.hasFocus != 0;
    invalidatePlugin();
}

void CPluginImplement::clear() {
    engine_.clear();
    shownText.clear();
    shownCaret = 0;
    caret = 0;
    invalidatePlugin();
}

// ---- Drawing ----

void CPluginImplement::measure(double caretX) {
    if (charWidth != 0 || shownCaret == 0) return;
    // Per character, so that a window first drawn after several characters
    // arrived at once is still measured right.
    charWidth = (caretX - kLineFragmentPadding) / static_cast<double>(shownCaret);
    if (charWidth <= 0) {
        charWidth = 0;
        return;
    }
    const double capacity = (width - 10.0) / charWidth;
    visibleCapacity = capacity < 1 ? 1 : static_cast<uint64_t>(capacity);
}

int16_t CPluginImplement::handleDraw(NPCocoaEvent* event) {
    auto* context = reinterpret_cast<QPainter*>(event->data.draw.context);
    if (lastContext == nullptr) {
        lastContext = context;
    } else if (context != lastContext &&
               (reinterpret_cast<uintptr_t>(context) | 0x800000) != static_cast<uintptr_t>(0x100800100ULL)) {
        lastContext = context;
    }
    QPainter* painter = lastContext;
    if (painter == nullptr || !painter->isActive()) return 1;

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    const QRectF pluginRect(0, 0, width, height);
    const QRectF area(textArea.x, textArea.y, textArea.width, textArea.height);
    painter->fillRect(pluginRect, backColor);
    if (hasFocus) {
        painter->setPen(QPen(Qt::black, 1.0));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(pluginRect);
    }
    painter->fillRect(area, backColor);

    const int fontSize = static_cast<int>(3 * int64_t{height} / 5);
    const bool canLayOut =
        qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr && fontSize > 0;
    double caretX = kLineFragmentPadding;
    if (canLayOut) {
        QFont font("Courier New");
        font.setPixelSize(fontSize);
        font.setStyleHint(QFont::Monospace);
        QString shown = QString::fromUtf16(shownText.data(), static_cast<qsizetype>(shownText.size()));
        {
            QTextLayout layout(shown, font);
            QTextOption option;
            option.setWrapMode(QTextOption::NoWrap);
            layout.setTextOption(option);
            layout.beginLayout();
            QTextLine line = layout.createLine();
            if (line.isValid()) {
                line.setLineWidth(textArea.width - 2 * kLineFragmentPadding);
                line.setPosition(QPointF(kLineFragmentPadding, 0));
            }
            layout.endLayout();
            if (line.isValid()) {
                QPen pen(textColor);
                painter->setPen(pen);
                if (!shown.isEmpty()) layout.draw(painter, QPointF(textArea.x, textArea.y));
                caretX = line.cursorToX(static_cast<int>(shownCaret));
            }
        }
        // In edit mode the shown characters are the typed ones: leave no copy.
        if (shown.isDetached() && !shown.isEmpty())
            OPENSSL_cleanse(shown.data(), static_cast<size_t>(shown.size()) * sizeof(QChar));
    }

    const bool focusedAndActive = hasFocus && active;
    painter->setPen(QPen(borderColor, focusedAndActive ? 2.5 : 1.0));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(pluginRect);

    if (focusedAndActive) {
        // Flat ends: the caret covers exactly its height, from a fifth of the field down.
        painter->setPen(QPen(Qt::black, 1.0, Qt::SolidLine, Qt::FlatCap));
        const double x = caretX + textArea.x;
        painter->drawLine(QPointF(x, height / 5), QPointF(x, height / 5 + height / 2));
        measure(caretX);
    }
    painter->restore();
    return 1;
}

// ---- Script events ----

NPObject** CPluginImplement::listenerSlot(const char* name, size_t length) {
    if (name == nullptr || length < 6) return nullptr;
    switch (name[5]) {
        case 'D':
        case 'd':
            return &degreeListener;
        case 'R':
        case 'r':
            return &returnListener;
        case 'T':
        case 't':
            return &tabListener;
        default:
            return nullptr;
    }
}

void CPluginImplement::replaceListener(NPObject** slot, NPObject* listener) {
    if (listener != nullptr) NPN_RetainObject(listener);
    if (*slot != nullptr) NPN_ReleaseObject(*slot);
    *slot = listener;
}

void CPluginImplement::addEventListener(const char* name, size_t length, NPObject* listener) {
    if (NPObject** slot = listenerSlot(name, length)) replaceListener(slot, listener);
}

void CPluginImplement::removeEventListener(const char* name, size_t length) {
    if (NPObject** slot = listenerSlot(name, length)) replaceListener(slot, nullptr);
}

namespace {
// Calls a page function with the arguments; the listener is held for the
// length of the call, since it may remove itself from inside.
void callListener(NPP npp, NPObject* listener, const NPVariant* args, uint32_t count) {
    if (listener == nullptr) return;
    NPN_RetainObject(listener);
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    if (NPN_InvokeDefault(npp, listener, args, count, &result)) NPN_ReleaseVariantValue(&result);
    NPN_ReleaseObject(listener);
}
}  // namespace

void CPluginImplement::fireEventReturn() { callListener(npp, returnListener, nullptr, 0); }

void CPluginImplement::fireEventTab() { callListener(npp, tabListener, nullptr, 0); }

void CPluginImplement::fireEventDegree() {
    if (degreeListener == nullptr) return;
    const char letter = static_cast<char>(engine_.pinComplexDegree());
    NPVariant arg;
    STRINGN_TO_NPVARIANT(&letter, 1, arg);
    callListener(npp, degreeListener, &arg, 1);
}
