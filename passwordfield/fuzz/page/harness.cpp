// The password field as a page drives it: the parameters the plug-in reads
// at creation (NPP_New's names and values, in any case and order, repeated,
// with colours, numbers, a mask, the accepted pattern and the content
// classes), then, mixed, characters a user types into it, clicks, redraws
// and the page's script calls with arguments of every type (methods,
// properties read and written, listeners), all through the plug-in's
// exported entry points in the test browser host.
//
// Judged against a model of what the page asked for: the colours and
// numbers read from their texts; what the field keeps of what was typed
// (its length limit, a character pair kept whole); the mask shown for it;
// verify()'s answer (the pattern by glibc's matcher, the classes by
// <ctype.h>); which calls succeed for which arguments; the degree
// listener called once for each character taken; and every script object
// the plug-in got released when the page goes.
#include <QColor>
#include <QString>
#include <algorithm>
#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CPluginImplement.h"
#include "fuzz/fuzz_input.h"
#include "identity.h"
#include "np_entry.h"
#include "passwordfield/fuzz/pattern_grammar.h"
#include "passwordfield/plugin_hooks.h"
#include "plugin.h"
#include "sim/browser/npbrowser.h"

namespace {

using fuzz::require;
using npbrowser::Value;

npbrowser::Browser* browser = nullptr;

enum Param {
    EnterType,
    BackColor,
    TextColor,
    BorderColor,
    MaskChar,
    Accepts,
    Lang,
    MaxLength,
    MinLength,
    ContentType,
    Caption,
    CaptionColor,
    CaptionFont,
    CaptionSize,
    CaptionBold,
    SoftKeyboard,
    Width,
    Height,
    kParamCount
};
const char* const kParamNames[kParamCount] = {
    "entertype",   "backcolor",   "textcolor",   "bordercolor",  "maskchar", "accepts",
    "lang",        "maxlength",   "minlength",   "contentType",  "caption",  "captioncolor",
    "captionfont", "captionsize", "captionbold", "softKeyboard", "width",    "height"};

// ---- the model ------------------------------------------------------------------

bool sameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// A colour text: leading '#'s, then up to six characters read as hex
// digits, anything else counting as 0.
struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};
Rgb colourOf(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == '#') ++i;
    int d[6] = {0, 0, 0, 0, 0, 0};
    for (int k = 0; k < 6 && i < text.size(); ++k, ++i) {
        const char c = text[i];
        d[k] = c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : 0;
    }
    return {d[0] * 16 + d[1], d[2] * 16 + d[3], d[4] * 16 + d[5]};
}

// A number text as atoi reads it, saturated at the 32-bit range.
int32_t numberOf(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        n = std::min<int64_t>(n * 10 + (text[i] - '0'), INT64_C(1) << 40);
    n = negative ? -n : n;
    return static_cast<int32_t>(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
}

struct Model {
    Rgb back{255, 255, 255}, text{0, 0, 0}, border{0, 0, 0};
    int32_t maxLength = 255, minLength = 6, contentType = 0, width = 0, height = 0;
    bool edit = false;
    char16_t mask = u'*';
    // The accepted pattern: its page text and, when it came from the
    // grammar, its POSIX form.
    std::string accepts = "\\w{0,}";
    std::optional<std::string> acceptsPosix = std::string("[0-9A-Za-z_]*");
    std::u16string typed;
    bool active = false;
    bool degreeListener = false;
    int degreeCalls = 0;

    // A negative limit is no limit, and a negative minimum one no text
    // reaches: both are compared as unsigned counts, as the field does.
    static uint64_t count(int32_t n) { return static_cast<uint64_t>(static_cast<int64_t>(n)); }

    bool inTextArea(double x, double y) const {
        const double top = height / 6;
        return x >= 0 && x < static_cast<double>(width) && y >= top &&
               y < top + static_cast<double>(5 * int64_t{height} / 6);
    }
};

bool includes(const std::string& s, int (*pred)(int)) {
    bool found = false;
    for (unsigned char c : s) {
        if (!std::isprint(c)) return false;
        found = found || pred(c) != 0;
    }
    return found;
}

// verify()'s answer, or nothing when it turns on a pattern the model cannot
// judge (bytes that are not from the grammar).
std::optional<int> expectedVerify(const Model& m) {
    if (m.typed.empty()) return -1;
    if (m.typed.size() < Model::count(m.minLength)) return -2;
    const std::string utf8 = QString::fromStdU16String(m.typed).toUtf8().toStdString();
    bool ascii = true;
    for (unsigned char c : m.accepts) ascii = ascii && c < 0x80;
    if (!ascii) return -3;  // no ASCII form: it matches nothing
    if (!m.acceptsPosix) return std::nullopt;
    if (!patterns::Posix(*m.acceptsPosix).matches(utf8)) return -3;
    if ((m.contentType & 1) && !includes(utf8, isdigit)) return -6;
    if ((m.contentType & 2) && !includes(utf8, isalpha)) return -6;
    if ((m.contentType & 4) && !includes(utf8, ispunct)) return -6;
    return 0;
}

// ---- what the page writes -----------------------------------------------------------

std::string colourText(fuzz::Input& in) {
    static const char kChars[] = "##0123456789abcdefABCDEFgz \x80";
    std::string s;
    for (int n = in.byte() % 10; n > 0; --n) s += kChars[in.byte() % (sizeof kChars - 1)];
    return s;
}

std::string numberText(fuzz::Input& in) {
    static const char kPrefix[][3] = {"", " ", "\t", "-", "+", " -", "x"};
    std::string s = kPrefix[in.byte() % 7];
    for (int n = in.byte() % 14; n > 0; --n) s += static_cast<char>('0' + in.byte() % 10);
    if (in.byte() % 4 == 0) s += "px";
    return s;
}

std::string cutAtNul(std::string s) { return s.substr(0, s.find('\0')); }

// One parameter: a name the field knows (in any case) or any bytes, and a
// value of the kind the name takes, or any bytes. `posix` is set when the
// value is a pattern from the grammar.
std::pair<std::string, std::string> parameter(fuzz::Input& in, std::optional<std::string>* posix) {
    const uint8_t kind = in.byte();
    if (kind >= 230) return {in.bytes(12), in.bytes(20)};
    const int which = kind % kParamCount;
    std::string name = kParamNames[which];
    const uint8_t caseBits = in.byte();
    for (size_t i = 0; i < name.size() && i < 8; ++i)
        if ((caseBits >> i) & 1)
            name[i] =
                static_cast<char>(std::isupper(static_cast<unsigned char>(name[i])) ? std::tolower(name[i])
                                                                                    : std::toupper(name[i]));
    std::string value;
    const bool raw = in.byte() >= 224;
    switch (which) {
        case BackColor:
        case TextColor:
        case BorderColor:
        case CaptionColor:
            value = raw ? in.bytes(20) : colourText(in);
            break;
        case MaxLength:
        case MinLength:
        case ContentType:
        case CaptionSize:
        case Width:
        case Height:
            value = raw ? in.bytes(20) : numberText(in);
            break;
        case EnterType: {
            static const char* const kTypes[] = {"edit", "EDIT", "Edit", "password", "edit "};
            value = raw ? in.bytes(10) : kTypes[in.byte() % 5];
            break;
        }
        case Accepts:
            if (raw) {
                value = in.bytes(40);
            } else {
                const patterns::Pattern p = patterns::make(in);
                value = p.page;
                *posix = p.posix;
            }
            break;
        default:
            value = in.bytes(12);
            break;
    }
    return {name, value};
}

void read(Model& m, const std::string& name, const std::string& value,
          const std::optional<std::string>& posix) {
    int which = -1;
    for (int k = 0; k < kParamCount && which < 0; ++k)
        if (sameName(name, kParamNames[k])) which = k;
    switch (which) {
        case EnterType:
            m.edit = sameName(value, "edit");
            break;
        case BackColor:
            m.back = colourOf(value);
            break;
        case TextColor:
            m.text = colourOf(value);
            break;
        case BorderColor:
            m.border = colourOf(value);
            break;
        case MaskChar: {
            const QString mask = QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
            m.mask = mask.isEmpty() || mask.at(0).isSurrogate() ? u'*' : mask.at(0).unicode();
            break;
        }
        case Accepts:
            m.accepts = value;
            m.acceptsPosix = posix;
            break;
        case MaxLength:
            m.maxLength = numberOf(value);
            break;
        case MinLength:
            m.minLength = numberOf(value);
            break;
        case ContentType:
            m.contentType = numberOf(value);
            break;
        case Width:
            m.width = numberOf(value);
            break;
        case Height:
            m.height = numberOf(value);
            break;
        default:
            break;
    }
}

// ---- script calls ----------------------------------------------------------------------

const char* const kMethods[] = {"addEventListener",
                                "removeEventListener",
                                "focus",
                                "getValue",
                                "lastError",
                                "verify",
                                "setTimestamp",
                                "setCalcFactor",
                                "getPinValue",
                                "setMode",
                                "getComplexDegree",
                                "publicKeyBlob",
                                "publicKeyModulus",
                                "publicKeyDER",
                                "sm2PublicKey",
                                "clear",
                                "getLength",
                                "getMFM",
                                "getVersion",
                                "getMeasureValue",
                                "GetValue",
                                "toString"};
constexpr int kKnownMethods = 20;

Value argument(fuzz::Input& in, npbrowser::Instance& page) {
    switch (in.byte() % 8) {
        case 0:
            return Value();
        case 1:
            return Value::makeNull();
        case 2:
            return Value::makeBool(in.flag());
        case 3:
            return Value::makeInt(static_cast<int32_t>(in.u32()));
        case 4: {
            static const double kDoubles[] = {0.0,           -0.5,  6.9, 2147483647.9, 2147483648.0,
                                              -2147483649.0, 1e300, NAN, INFINITY,     -7.0};
            return Value::makeDouble(kDoubles[in.byte() % 10]);
        }
        case 5:
            return Value::makeObject(page.newListener("listener"));
        case 6: {
            static const char* const kEvents[] = {"onkeydegree", "onkeyDown", "onkeyreturn",
                                                  "onkeytab",    "onkeyd",    "keyd"};
            return Value::makeText(kEvents[in.byte() % 6]);
        }
        default:
            return Value::makeText(in.bytes(40));
    }
}

bool isText(const Value& v) { return v.type == Value::Type::String; }

std::optional<int32_t> int32Of(const Value& v) {
    if (v.type == Value::Type::Int32) return v.int32;
    if (v.type == Value::Type::Double) {
        const double d = std::trunc(v.number);
        if (std::isfinite(d) && d >= INT32_MIN && d <= INT32_MAX) return static_cast<int32_t>(d);
    }
    return std::nullopt;
}

// Which slot an event name picks: its sixth character.
bool namesDegree(const Value& v) { return v.text.size() >= 6 && (v.text[5] == 'd' || v.text[5] == 'D'); }

void checkVerify(npbrowser::Instance& page, const Model& m) {
    Value result;
    require(page.invoke("verify", {}, &result) && result.type == Value::Type::Int32);
    const auto expected = expectedVerify(m);
    if (expected) require(result.int32 == *expected);
    Value value;
    const bool got = page.invoke("getValue", {}, &value);
    // A field that does not verify hands the page nothing.
    if (result.int32 != 0) require(!got);
    if (got) require(isText(value) && !value.text.empty());
}

void call(fuzz::Input& in, npbrowser::Instance& page, Model& m) {
    const int which = in.byte() % (sizeof kMethods / sizeof kMethods[0]);
    const std::string method = kMethods[which];
    std::vector<Value> args(in.byte() % 4);
    for (Value& a : args) a = argument(in, page);
    require(page.hasMethod(method) == (which < kKnownMethods));
    Value result;
    const bool ok = page.invoke(method, args, &result);
    const size_t n = args.size();
    const bool oneText = n == 1 && isText(args[0]);
    if (method == "addEventListener") {
        const bool valid = (n == 2 || n == 3) && isText(args[0]) && args[1].type == Value::Type::Object;
        require(ok == valid);
        if (valid && namesDegree(args[0])) m.degreeListener = true;
    } else if (method == "removeEventListener") {
        const bool valid = n >= 1 && isText(args[0]);
        require(ok == valid);
        if (valid && namesDegree(args[0])) m.degreeListener = false;
    } else if (method == "focus" || method == "lastError") {
        require(ok);
    } else if (method == "clear") {
        require(ok);
        m.typed.clear();
    } else if (method == "verify") {
        require(ok && result.type == Value::Type::Int32);
        if (const auto expected = expectedVerify(m)) require(result.int32 == *expected);
    } else if (method == "getValue" || method == "getPinValue") {
        const auto expected = expectedVerify(m);
        if (expected && *expected != 0) require(!ok);
    } else if (method == "setTimestamp" || method == "setCalcFactor" || method == "publicKeyModulus" ||
               method == "sm2PublicKey") {
        require(ok == oneText);
    } else if (method == "publicKeyBlob" || method == "publicKeyDER" || method == "setMode") {
        require(ok == (n == 1));
    } else if (method == "getComplexDegree") {
        require(ok && isText(result) && result.text.size() == 1);
    } else if (method == "getLength") {
        require(ok && result.type == Value::Type::Int32 &&
                result.int32 == static_cast<int32_t>(m.typed.size()));
    } else if (method == "getVersion") {
        require(ok && result.text == "2003009006");
    } else if (method == "getMeasureValue") {
        require(ok && result.text.size() == 32 &&
                result.text.find_first_not_of("0123456789ABCDEF") == std::string::npos);
    } else if (which >= kKnownMethods) {
        require(!ok);
    }
}

void property(fuzz::Input& in, npbrowser::Instance& page, Model& m) {
    static const char* const kProperties[] = {"minLength", "maxLength", "MinLength", "value"};
    const int which = in.byte() % 4;
    const std::string name = kProperties[which];
    require(page.hasProperty(name) == (which < 2));
    if (in.flag()) {
        Value result;
        const bool ok = page.getProperty(name, &result);
        require(ok == (which < 2));
        if (ok)
            require(result.type == Value::Type::Int32 &&
                    result.int32 == (which == 0 ? m.minLength : m.maxLength));
        return;
    }
    const Value value = argument(in, page);
    const auto number = int32Of(value);
    const bool ok = page.setProperty(name, value);
    require(ok == (which < 2 && number.has_value()));
    if (ok) (which == 0 ? m.minLength : m.maxLength) = *number;
}

// A character a user types: mostly ASCII, else Latin or CJK, or one beyond
// the BMP (a surrogate pair in one key event).
QString character(fuzz::Input& in) {
    const uint8_t b = in.byte();
    char32_t c;
    if (b < 150)
        c = 0x20 + b % 95;
    else if (b < 190)
        c = 0xA0 + in.byte();
    else if (b < 225)
        c = 0x4E00 + in.byte();
    else
        c = 0x10000 + in.u32() % 0x100000;
    return QString::fromUcs4(&c, 1);
}

void type(fuzz::Input& in, npbrowser::Instance& page, Model& m) {
    const QString c = character(in);
    page.keyDown(c);
    if (!m.active) return;
    if (m.typed.size() >= Model::count(m.maxLength)) return;
    m.typed += c.toStdU16String();
    if (m.degreeListener) ++m.degreeCalls;
}

void checkShown(CPluginImplement* field, const Model& m) {
    // In password mode every shown unit is the mask; in edit mode the shown
    // units are typed ones.
    const SecretText& shown = field->shownTextForTesting();
    require(shown.size() <= m.typed.size());
    if (!m.edit)
        for (size_t i = 0; i < shown.size(); ++i) require(shown.at(i) == m.mask);
}

}  // namespace

// fontconfig keeps its caches to the end of the process, which the leak
// checker counts at exit: they are the font library's, not the field's.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    npbrowser::ensureApplication();
    // Qt takes the environment's locale; the model's classes are the C locale's.
    std::setlocale(LC_ALL, "C");
    static npbrowser::Browser host;
    std::string error;
    if (!host.attach(NP_Initialize, NP_GetEntryPoints, NP_Shutdown, NP_GetValue, &error)) std::abort();
    browser = &host;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    Model m;
    std::vector<std::pair<std::string, std::string>> params;
    // Mostly a field of a usual size first, as pages write it.
    if (in.byte() < 200) params = {{"width", "220"}, {"height", "30"}};
    std::vector<std::optional<std::string>> posixForms(params.size());
    for (int n = in.byte() % 9; n > 0; --n) {
        std::optional<std::string> posix;
        auto p = parameter(in, &posix);
        params.push_back(std::move(p));
        posixForms.push_back(posix);
    }
    for (size_t i = 0; i < params.size(); ++i)
        read(m, cutAtNul(params[i].first), cutAtNul(params[i].second), posixForms[i]);

    const long liveBefore = npbrowser::ledger().objectsCreated - npbrowser::ledger().objectsDeallocated;
    {
        NPError rc = 0;
        auto page = browser->newInstance(kPluginIdentity.mimeType, params, &rc);
        require(page != nullptr);
        page->setAutoRedraw(in.flag());
        page->setWindow(220, 30);
        CPluginImplement* field = GetImplement(page->npp());
        const auto rgb = [](const QColor& c) { return Rgb{c.red(), c.green(), c.blue()}; };
        require(rgb(field->backColorForTesting()) == m.back);
        require(rgb(field->textColorForTesting()) == m.text);
        require(rgb(field->borderColorForTesting()) == m.border);

        page->focus(true);
        page->click(3, 15);
        m.active = m.inTextArea(3, 15);
        // A click puts the caret under the pointer; the model types at the end.
        page->pressKey("end");
        for (int ops = 0; ops < 48 && !in.empty(); ++ops) {
            switch (in.byte() % 8) {
                case 0:
                case 1:
                case 2:
                    type(in, *page, m);
                    break;
                case 3:
                case 4:
                    call(in, *page, m);
                    break;
                case 5:
                    property(in, *page, m);
                    break;
                case 6:
                    page->draw();
                    break;
                default: {
                    static const double kPoints[][2] = {{3, 15}, {500, 15}, {3, 1}, {219, 29}, {-1, 15}};
                    const auto& p = kPoints[in.byte() % 5];
                    page->click(p[0], p[1]);
                    m.active = m.inTextArea(p[0], p[1]);
                    page->pressKey("end");
                    break;
                }
            }
            checkShown(field, m);
        }
        checkVerify(*page, m);
        // PAGE_TRACE=1 shows where an input led (to see what a seed reaches).
        static const bool trace = std::getenv("PAGE_TRACE") != nullptr;
        if (trace) {
            const auto expected = expectedVerify(m);
            std::fprintf(stderr,
                         "params %zu active %d typed %zu verify %d edit %d accepts %s degree calls %d\n",
                         params.size(), m.active, m.typed.size(), expected ? *expected : 99, m.edit,
                         m.accepts.c_str(), m.degreeCalls);
        }
        int degreeCalls = 0;
        for (const auto& c : page->listenerCalls()) degreeCalls += c.args.size() == 1 ? 1 : 0;
        require(degreeCalls == m.degreeCalls);
    }
    // Every object the page gave the plug-in was let go with it.
    require(npbrowser::ledger().objectsCreated - npbrowser::ledger().objectsDeallocated == liveBefore);
    return 0;
}
