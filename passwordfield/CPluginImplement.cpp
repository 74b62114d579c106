#include "CPluginImplement.h"

#include <openssl/evp.h>

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

#include "REHelp.h"
#include "platform/machineid.h"
#include "security/deployment.h"
#include "varnex_deployment.h"

namespace {

constexpr double kLineFragmentPadding = 5.0;
constexpr const char* kVersion = "2003009006";
constexpr const char* kFingerprintSuffix = "1.0.0.1";

// The platform's function-key units (arrows, F-keys, page keys, Home, End).
constexpr char16_t kFunctionKeysFirst = 0xF700;
constexpr char16_t kFunctionKeysLast = 0xF8FF;

char* heapCopy(const char* text, size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// Page values arrive as UTF-8; a malformed sequence becomes U+FFFD.
QString fromPage(const char* value) { return value == nullptr ? QString() : QString::fromUtf8(value); }

bool equalsIgnoringCase(const char* a, const char* b) {
    return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

// atoi's reading (leading blanks, a sign, leading digits; 0 without digits),
// without atoi's undefined overflow: out-of-range values saturate.
int32_t readNumber(const char* value) {
    if (value == nullptr)
        return 0;
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(value, &end, 10);
    if (end == value)
        return 0;
    if (n > INT32_MAX)
        return INT32_MAX;
    if (n < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(n);
}

long long wallSeconds() { return static_cast<long long>(std::time(nullptr)); }

}  // namespace

CPluginImplement::CPluginImplement(nsPluginCreateData* data) {
    npp = data->instance;
    createdAt = static_cast<int32_t>(wallSeconds());
    keys = new EncryptionKeys{SECURITY_DEFAULT_APPLICATION_KEY, nullptr};
    distill_arg(data);
    // In 64 bits: a page may give any 32-bit height.
    textArea = FieldRect{0, static_cast<double>(height / 6), static_cast<double>(width),
                         static_cast<double>(5 * int64_t{height} / 6)};
}

CPluginImplement::~CPluginImplement() {
    for (NPObject** slot : {&returnListener, &tabListener, &degreeListener}) {
        if (*slot != nullptr)
            NPN_ReleaseObject(*slot);
        *slot = nullptr;
    }
    if (calcFactor != nullptr)
        OPENSSL_cleanse(calcFactor, std::strlen(calcFactor));
    std::free(calcFactor);
    std::free(pageKey);
    delete keys;
}

// ---- Parameters ----

QColor CPluginImplement::htmlColor(const char* value) {
    const char* p = value == nullptr ? "" : value;
    while (*p == '#')
        ++p;
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
        EnterType, BackColor, TextColor, BorderColor, MaskChar, Accepts, Lang, MaxLength, MinLength,
        ContentType, Caption, CaptionColor, CaptionFont, CaptionSize, CaptionBold, SoftKeyboard, Width, Height
    };
    static const char* const names[] = {"entertype",   "backcolor",    "textcolor",   "bordercolor", "maskchar",
                                        "accepts",     "lang",         "maxlength",   "minlength",   "contentType",
                                        "caption",     "captioncolor", "captionfont", "captionsize", "captionbold",
                                        "softKeyboard", "width",       "height"};
    if (data == nullptr || data->argn == nullptr || data->argv == nullptr)
        return;
    for (int16_t i = 0; i < data->argc; ++i) {
        const char* name = data->argn[i];
        const char* value = data->argv[i] == nullptr ? "" : data->argv[i];
        int which = -1;
        for (int k = 0; k < static_cast<int>(sizeof names / sizeof names[0]); ++k) {
            if (equalsIgnoringCase(name, names[k])) {
                which = k;
                break;
            }
        }
        switch (which) {
        case EnterType:
            enterType = equalsIgnoringCase(value, "edit") ? 1 : 0;
            break;
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
        case Accepts:
            acceptsPattern = fromPage(value);
            break;
        case Lang:
            lang = fromPage(value);
            break;
        case MaxLength:
            maxLength = readNumber(value);
            break;
        case MinLength:
            minLength = readNumber(value);
            break;
        case ContentType:
            contentType = readNumber(value);
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
            captionSize = static_cast<uint16_t>(readNumber(value));
            break;
        case CaptionBold:
            captionBold = !equalsIgnoringCase(value, "false");
            break;
        case SoftKeyboard:
            softKeyboard = !equalsIgnoringCase(value, "false");
            break;
        case Width:
            width = readNumber(value);
            break;
        case Height:
            height = readNumber(value);
            break;
        default:
            break;
        }
    }
}

// ---- Editing ----

void CPluginImplement::invalidatePlugin() {
    if (window == nullptr)
        return;
    NPRect rect{0, 0, static_cast<uint16_t>(window->height & 0xFFFF), static_cast<uint16_t>(window->width & 0xFFFF)};
    NPN_InvalidateRect(npp, &rect);
}

void CPluginImplement::appendShownForm(SecretText& to, size_t at, char16_t unit) const {
    to.insert(at, enterType == 1 ? unit : static_cast<char16_t>(maskString.at(0).unicode()));
}

// The field's text is one run of one font and colour, applied when drawn;
// nothing is kept per character.
void CPluginImplement::applyFormatting() {}

int16_t CPluginImplement::handleTextFieldKeyDown(NPCocoaEvent* event) {
    if (!active)
        return 1;
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
        if (unit >= kFunctionKeysFirst && unit <= kFunctionKeysLast)
            break;
        handleTextInput(reinterpret_cast<const char16_t*>(characters->utf16()),
                        static_cast<size_t>(characters->size()));
        break;
    }
    return 1;
}

int16_t CPluginImplement::handleTextInput(const char16_t* text, size_t length) {
    const auto limit = static_cast<uint64_t>(static_cast<int64_t>(maxLength));
    if (inputText.size() >= limit)
        return 1;
    // One unit at a time, so that the shown window never outgrows its
    // capacity whatever the event carries; a surrogate pair stays whole.
    for (size_t i = 0; i < length; ++i) {
        const bool pairTail = i > 0 && QChar::isHighSurrogate(text[i - 1]) && QChar::isLowSurrogate(text[i]);
        if (!pairTail && inputText.size() >= limit)
            break;
        inputText.insert(caret, text[i]);
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
        inputText.remove(caret - 1);
        caret -= 1;
        if (shownCaret > 0) {
            shownText.remove(shownCaret - 1);
            shownCaret -= 1;
            const uint64_t afterInInput = inputText.size() - caret;
            const uint64_t afterInShown = shownText.size() - shownCaret;
            if (afterInInput > afterInShown)
                appendShownForm(shownText, shownText.size(), inputText.at(caret + afterInShown));
        }
    }
    invalidatePlugin();
    fireEventDegree();
    return 1;
}

int16_t CPluginImplement::handleDelete() {
    if (caret < inputText.size()) {
        if (shownCaret < shownText.size()) {
            const uint64_t afterInInput = inputText.size() - caret;
            const uint64_t afterInShown = shownText.size() - shownCaret;
            if (afterInInput > afterInShown)
                appendShownForm(shownText, shownText.size(), inputText.at(caret + afterInShown));
            shownText.remove(shownCaret);
        }
        inputText.remove(caret);
    }
    invalidatePlugin();
    fireEventDegree();
    return 1;
}

void CPluginImplement::handleLeft() {
    if (caret == 0)
        return;
    caret -= 1;
    if (shownCaret > 0) {
        shownCaret -= 1;
    } else {
        if (visibleCapacity != 0 && shownText.size() >= visibleCapacity)
            shownText.remove(shownText.size() - 1);
        appendShownForm(shownText, 0, inputText.at(caret));
    }
    applyFormatting();
    invalidatePlugin();
}

void CPluginImplement::handleRight() {
    if (caret >= inputText.size())
        return;
    if (shownCaret >= shownText.size()) {
        shownText.remove(0);
        appendShownForm(shownText, shownText.size(), inputText.at(caret));
    } else {
        shownCaret += 1;
    }
    caret += 1;
    invalidatePlugin();
}

int16_t CPluginImplement::handleHome() {
    if (caret == 0)
        return 1;
    // Before the first measuring draw the window has no limit: all is shown.
    const uint64_t n = (visibleCapacity == 0 || inputText.size() <= visibleCapacity) ? inputText.size()
                                                                                     : visibleCapacity;
    shownText.clear();
    for (uint64_t i = 0; i < n; ++i)
        appendShownForm(shownText, shownText.size(), inputText.at(i));
    caret = 0;
    shownCaret = 0;
    applyFormatting();
    invalidatePlugin();
    return 1;
}

int16_t CPluginImplement::handleEnd() {
    const uint64_t length = inputText.size();
    if (caret == length)
        return 1;
    if (visibleCapacity != 0 && shownText.size() >= visibleCapacity) {
        shownText.clear();
        for (uint64_t i = length - visibleCapacity; i < length; ++i)
            appendShownForm(shownText, shownText.size(), inputText.at(i));
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
    setCursor(textArea.contains(lastMousePointX, lastMousePointY) ? NPCursorIBeam_Linux : NPCursorArrow_Linux);
}

void CPluginImplement::handleFocusChanged(NPCocoaEvent* event) {
    hasFocus = event->data.focus.hasFocus != 0;
    invalidatePlugin();
}

void CPluginImplement::clear() {
    inputText.clear();
    shownText.clear();
    shownCaret = 0;
    caret = 0;
    invalidatePlugin();
}

int CPluginImplement::getLength() const { return static_cast<int16_t>(inputText.size()); }

// ---- Drawing ----

void CPluginImplement::measure(double caretX) {
    if (charWidth != 0 || shownCaret == 0)
        return;
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
    if (painter == nullptr || !painter->isActive())
        return 1;

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
    const bool canLayOut = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr && fontSize > 0;
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
                if (!shown.isEmpty())
                    layout.draw(painter, QPointF(textArea.x, textArea.y));
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

// ---- Checks ----

std::unique_ptr<WipedBytes> CPluginImplement::inputUtf8() const { return toUtf8(inputText.data(), inputText.size()); }

bool CPluginImplement::TypeCheck() {
    if (contentType == 0)
        return true;
    const auto utf8 = inputUtf8();
    if ((contentType & 1) && !CREHelp::test_include_number(utf8->c_str()))
        return false;
    if ((contentType & 2) && !CREHelp::test_include_letter(utf8->c_str()))
        return false;
    if (contentType & 4)
        return CREHelp::test_include_punct(utf8->c_str()) != 0;
    return true;
}

int16_t CPluginImplement::Verify() {
    // A pattern with characters outside ASCII has no ASCII form: it matches nothing.
    bool ascii = true;
    for (QChar c : acceptsPattern)
        ascii = ascii && c.unicode() < 0x80;
    const QByteArray pattern = acceptsPattern.toLatin1();
    CRegexpT re(ascii ? pattern.constData() : nullptr);
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
    if (inputText.empty())
        return -1;
    if (inputText.size() < static_cast<uint64_t>(static_cast<int64_t>(minLength)))
        return -2;
    const auto utf8 = inputUtf8();
    if (!re.MatchExact(utf8->view()).IsMatched())
        return -3;
    if (!TypeCheck())
        return -6;
    return 0;
}

// ---- Outputs ----

std::string CPluginImplement::plainTimestamp() const { return std::to_string(timestamp); }

std::string CPluginImplement::elapsedTimestamp() const {
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

char* CPluginImplement::encrypt(int mode, const char* text, const std::string& timestampText) {
    char* out = nullptr;
    const int rc = dornEncrypt(mode, keys, &out, text, timestampText.c_str());
    if (rc != 0) {
        const char* message = getErrorMessage(rc);
        std::printf("Error:%s\n", message == nullptr ? "(null)" : message);
        std::fflush(stdout);
    }
    return out;
}

char* CPluginImplement::getValueForEdit() {
    const auto utf8 = inputUtf8();
    return encrypt(0, utf8->c_str(), elapsedTimestamp());
}

char* CPluginImplement::getPinValueForEdit() { return getValueForEdit(); }

char* CPluginImplement::getValueForPassword() {
    const auto utf8 = inputUtf8();
    return encrypt(encryptMode, utf8->c_str(), plainTimestamp());
}

char* CPluginImplement::getPinValueForPassword() { return getValueForPassword(); }

char* CPluginImplement::getValue() {
    if (Verify() != 0)
        return nullptr;
    return enterType == 1 ? getValueForEdit() : getValueForPassword();
}

char* CPluginImplement::getPinValue() { return getValue(); }

void CPluginImplement::setPlatformKeyFromPageKey() {
    platformKeyText = pageKey;
    keys->platformKey = platformKeyText.c_str();
}

char* CPluginImplement::getPinValueForTELMAR() {
    if (pageKey != nullptr)
        setPlatformKeyFromPageKey();
    const auto utf8 = inputUtf8();
    return encrypt(encryptMode, utf8->c_str(), plainTimestamp());
}

char* CPluginImplement::getPinValueForKESTA() {
    if (pageKey != nullptr) {
        encryptMode = 4;
        setPlatformKeyFromPageKey();
    }
    return getPinValueForTELMAR();
}

char* CPluginImplement::getPinValueForORVISA() {
    if (pageKey != nullptr) {
        encryptMode = 2;
        setPlatformKeyFromPageKey();
    }
    const auto utf8 = inputUtf8();
    const size_t factorLength = calcFactor == nullptr ? 0 : strnlen(calcFactor, 8);
    WipedBytes text(utf8->size() + factorLength);
    std::memcpy(text.data(), utf8->c_str(), utf8->size());
    if (factorLength > 0)
        std::memcpy(text.data() + utf8->size(), calcFactor, factorLength);
    return encrypt(encryptMode, text.c_str(), plainTimestamp());
}

int CPluginImplement::pinComplexDegree() {
    const auto utf8 = inputUtf8();
    return getDegree(1, utf8->c_str());
}

char* CPluginImplement::getComplexDegree() {
    const char letter = static_cast<char>(pinComplexDegree());
    return heapCopy(&letter, 1);
}

char* CPluginImplement::getMACAddress() {
    const auto mac = platform::primaryMacAddress();
    if (!mac)
        return nullptr;
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", (*mac)[0], (*mac)[1], (*mac)[2], (*mac)[3],
                  (*mac)[4], (*mac)[5]);
    return heapCopy(text, 12);
}

char* CPluginImplement::getHWSerialNum() {
    const auto data = platform::platformSerialNumberProperty();
    if (!data)
        return nullptr;
    char work[256] = {};
    std::memcpy(work, data->data(), data->size() < 255 ? data->size() : 255);
    char* result = static_cast<char*>(std::calloc(256, 1));
    if (result == nullptr)
        return nullptr;
    std::snprintf(result, 256, "%s%s", work + 13, work);
    return result;
}

char* CPluginImplement::getMFM() {
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

char* CPluginImplement::getVersion() { return heapCopy(kVersion, std::strlen(kVersion)); }

char* CPluginImplement::getMeasureValue() {
    // The salt and the typed text in the platform's non-lossy ASCII form
    // (ASCII as itself, a backslash doubled, U+0080..U+00FF as \ooo, others
    // as \uxxxx), cut to as many bytes as the text has UTF-16 units.
    const QString salt = QString::fromLatin1(VARNEX_MEASURE_SALT);
    const size_t units = static_cast<size_t>(salt.size()) + inputText.size();
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
    for (QChar c : salt)
        put(c.unicode());
    for (size_t i = 0; i < inputText.size(); ++i)
        put(inputText.at(i));
    const size_t take = units < n ? units : n;

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(escaped.data(), take, digest, &digestLength, EVP_md5(), nullptr) != 1)
        return nullptr;
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned i = 0; i < digestLength; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0x0F];
    }
    return heapCopy(hex.data(), hex.size());
}

char* CPluginImplement::lastError() {
    const QByteArray ascii = lastErrorText.toLatin1();
    return heapCopy(ascii.constData(), static_cast<size_t>(ascii.size()));
}

long long CPluginImplement::setTimestamp(const char* text, size_t length) {
    // atoll's reading, bounded by the text's length (page texts carry no NUL).
    const std::string copy(text == nullptr ? "" : std::string(text, strnlen(text, length)));
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), nullptr, 10);
    if (value != 0 && value != timestamp)
        timestamp = value;
    return value;
}

void CPluginImplement::setCalcFactor(const char* text) {
    if (calcFactor != nullptr)
        OPENSSL_cleanse(calcFactor, std::strlen(calcFactor));
    std::free(calcFactor);
    calcFactor = text == nullptr ? nullptr : heapCopy(text, std::strlen(text));
}

int CPluginImplement::publicKeyModulus(const char* text) {
    std::free(pageKey);
    pageKey = text == nullptr ? nullptr : heapCopy(text, std::strlen(text));
    return 1;
}

int CPluginImplement::sm2PublicKey(const char* text) { return publicKeyModulus(text); }

// ---- Script events ----

NPObject** CPluginImplement::listenerSlot(const char* name, size_t length) {
    if (name == nullptr || length < 6)
        return nullptr;
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
    if (listener != nullptr)
        NPN_RetainObject(listener);
    if (*slot != nullptr)
        NPN_ReleaseObject(*slot);
    *slot = listener;
}

void CPluginImplement::addEventListener(const char* name, size_t length, NPObject* listener) {
    if (NPObject** slot = listenerSlot(name, length))
        replaceListener(slot, listener);
}

void CPluginImplement::removeEventListener(const char* name, size_t length) {
    if (NPObject** slot = listenerSlot(name, length))
        replaceListener(slot, nullptr);
}

namespace {
// Calls a page function with the arguments; the listener is held for the
// length of the call, since it may remove itself from inside.
void callListener(NPP npp, NPObject* listener, const NPVariant* args, uint32_t count) {
    if (listener == nullptr)
        return;
    NPN_RetainObject(listener);
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    if (NPN_InvokeDefault(npp, listener, args, count, &result))
        NPN_ReleaseVariantValue(&result);
    NPN_ReleaseObject(listener);
}
}  // namespace

void CPluginImplement::fireEventReturn() { callListener(npp, returnListener, nullptr, 0); }

void CPluginImplement::fireEventTab() { callListener(npp, tabListener, nullptr, 0); }

void CPluginImplement::fireEventDegree() {
    if (degreeListener == nullptr)
        return;
    const char letter = static_cast<char>(pinComplexDegree());
    NPVariant arg;
    STRINGN_TO_NPVARIANT(&letter, 1, arg);
    callListener(npp, degreeListener, &arg, 1);
}
