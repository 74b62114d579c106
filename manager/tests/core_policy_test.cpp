// PIN rules (order and messages), character classes, strength scores and the
// live meter of both windows.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "PinPolicy.h"
#include "Qd_MacIntf.h"
#include "alert.h"
#include "core_support.h"

using namespace kelvane;

namespace {

struct RuleCase {
    const char* oldPin;
    const char* newOne;
    const char* newTwo;
    int rule;  // 0: all pass
};

// Each row breaks the rule named and, where it matters, a later one too, so
// a wrong order shows up as the wrong message.
const RuleCase kRuleCases[] = {
    {"", "abc123", "abc123", 1},
    {"abc123", "abc123", "", 1},
    {"abcdefghijklmnopqrstu", "ab1", "ab1", 2},  // too long old, short new: shortness first
    {"abc12", "xyz789", "xyz789", 2},
    {"abc123", "xyz789", "xyz78", 2},
    {"abcdefghijklmnopqrstu", "xyz789", "xyz789", 3},
    {"abc123", "abc123abc123abc123abc", "abc123abc123abc123abc", 3},
    {"abc123", "ab!c12", "ab!c13", 4},  // both hold a symbol: mismatch first
    {"abc123", "abc12!", "abc12!", 5},
    {"abc123", "aaa!!!", "aaa!!!", 5},  // symbols before the triple
    {"abc123", "ab c12", "ab c12", 5},
    {"abc123", "密码abc123", "密码abc123", 5},
    {"abc123", "\u4e41bc123", "\u4e41bc123", 5},  // low byte 'A', still not a letter
    {"abc123", "aaab123", "aaab123", 6},
    {"abc123", "ab1112", "ab1112", 6},
    {"abc123", "123456", "123456", 7},
    {"abc123", "abcdef", "abcdef", 7},
    {"abc123", "111111", "111111", 6},  // the triple rule comes before the class rule
    {"abc123", "abc123", "abc123", 8},
    // Old and new equal and a rule before 8 broken too: that rule speaks.
    {"abc12!", "abc12!", "abc12!", 5},
    {"aaa123", "aaa123", "aaa123", 6},
    {"123456", "123456", "123456", 7},
    {"abcdef", "abcdef", "abcdef", 7},
    {"abc123", "aAa123", "aAa123", 0},  // case-sensitive triple
    {"123456", "xyz789", "xyz789", 0},
    {"abc123", "Abcdefghijklmnopqr12", "Abcdefghijklmnopqr12", 0},
};

}  // namespace

namespace {

// The first rule broken (0: none), and what the PIN windows' check does with
// it: passes silently, or refuses with that rule's one alert.
void expectFirstBrokenRule(const QString& o, const QString& n1, const QString& n2, int rule) {
    EXPECT_EQ(firstBrokenPinRule(o, n1, n2), rule);
    AlertRecorder alerts;
    Qd_MacIntf intf;
    EXPECT_EQ(intf.chackPswd(o, n1, n2), rule == 0);
    EXPECT_EQ(alerts.messages(), rule == 0 ? QStringList{} : QStringList{pinRuleMessage(rule)});
}

}  // namespace

TEST(CorePinRules, FirstBrokenRuleInOrderWithItsMessage) {
    coretest::ensureApp();
    for (const RuleCase& c : kRuleCases) {
        SCOPED_TRACE(std::string(c.oldPin) + " / " + c.newOne + " / " + c.newTwo);
        expectFirstBrokenRule(QString::fromUtf8(c.oldPin), QString::fromUtf8(c.newOne),
                              QString::fromUtf8(c.newTwo), c.rule);
    }
}

namespace {

// A PIN that passes every rule, of n characters: letters and digits in turn
// ("a1b2c3..."), so it has both classes and no run.
std::string goodPin(int n, char letter = 'a') {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += i % 2 == 0 ? static_cast<char>(letter + i / 2 % 20) : static_cast<char>('0' + (i / 2 + 1) % 10);
    }
    return s;
}
// goodPin(n) with its character at `at` (negative: from the end) replaced.
std::string with(std::string s, int at, const char* replacement) {
    const size_t pos = at < 0 ? s.size() - static_cast<size_t>(-at) : static_cast<size_t>(at);
    return s.replace(pos, 1, replacement);
}

struct EdgeRow {
    const char* label;
    std::string oldPin, newOne, newTwo;
    int rule;  // 0: all pass
};

}  // namespace

// Each rule at its edges, through the check the PIN windows run before the
// key is touched: lengths 6 and 20 accepted in every field, 5 and 21 not,
// a fault at the first and at the last position, and rows where two rules
// fail at once and the earlier one must speak. Wrong code that still passes
// the rows above this test (a bound moved by one, a run or class scan that
// stops one short of the end, a field left out of a length check, two rules
// swapped) fails a row here.
TEST(CorePinRules, EdgesOfEachRuleAndTheOrderBetweenThem) {
    coretest::ensureApp();
    const std::string old6 = goodPin(6, 'm');
    const std::string n6 = goodPin(6), n20 = goodPin(20), n21 = goodPin(21), n5 = goodPin(5);
    const std::vector<EdgeRow> rows = {
        // Length of each field: smallest, one short, one character, largest, one more.
        {"new: 6, the smallest accepted", old6, n6, n6, 0},
        {"new: 5, one short", old6, n5, n5, 2},
        {"new: 1 character", old6, "a", "a", 2},
        {"new: 20, the largest accepted", old6, n20, n20, 0},
        {"new: 21, one more", old6, n21, n21, 3},
        {"old: 6", goodPin(6, 'm'), n20, n20, 0},
        {"old: 5", goodPin(5, 'm'), n6, n6, 2},
        {"old: 1 character", "m", n6, n6, 2},
        {"old: 20", goodPin(20, 'm'), n6, n6, 0},
        {"old: 21", goodPin(21, 'm'), n6, n6, 3},
        // Lengths count characters as the fields hold them, not UTF-8 bytes.
        {"old: 20 with a Chinese character (22 bytes)", with(goodPin(20, 'm'), 0, "中"), n6, n6, 0},
        {"new: 20 with a Chinese character last", old6, with(n20, -1, "中"), with(n20, -1, "中"), 5},
        {"repeated only: 5", old6, n6, n5, 2},  // a length rule before the mismatch
        {"repeated only: 21", old6, n20, n20 + "x", 3},
        {"empty old", "", n6, n6, 1},
        {"empty new", old6, "", n6, 1},
        {"empty repeated", old6, n6, "", 1},
        // Repeated PIN differing at one position.
        {"mismatch at the first position", old6, n6, with(n6, 0, "z"), 4},
        {"mismatch at the last position", old6, n20, with(n20, -1, "9"), 4},
        {"mismatch in case only", old6, n6, with(n6, 0, "A"), 4},
        // A character outside letters and digits at either end.
        {"symbol first", old6, with(n6, 0, "!"), with(n6, 0, "!"), 5},
        {"symbol last, at 20", old6, with(n20, -1, "~"), with(n20, -1, "~"), 5},
        {"space last", old6, with(n6, -1, " "), with(n6, -1, " "), 5},
        {"Chinese first", old6, with(n6, 0, "中"), with(n6, 0, "中"), 5},
        {"Chinese last", old6, with(n6, -1, "中"), with(n6, -1, "中"), 5},
        {"letter one past 'z' ('{') last", old6, with(n6, -1, "{"), with(n6, -1, "{"), 5},
        {"digit one past '9' (':') last", old6, with(n6, -1, ":"), with(n6, -1, ":"), 5},
        {"one before '0' ('/') first", old6, with(n6, 0, "/"), with(n6, 0, "/"), 5},
        {"one before 'A' ('@') last", old6, with(n6, -1, "@"), with(n6, -1, "@"), 5},
        {"one past 'Z' ('[') last", old6, with(n6, -1, "["), with(n6, -1, "["), 5},
        {"one before 'a' ('`') first", old6, with(n6, 0, "`"), with(n6, 0, "`"), 5},
        {"'0', '9', 'A', 'Z', 'a', 'z' are letters and digits", old6, "09AZaz", "09AZaz", 0},
        // Three alike at either end; two alike is allowed.
        {"run of 3 at the start", old6, "aaa1b2", "aaa1b2", 6},
        {"run of 3 at the end", old6, "a1b2ccc", "a1b2ccc", 6},
        {"run of 3 ending at 20", old6, n20.substr(0, 17) + "jjj", n20.substr(0, 17) + "jjj", 6},
        {"runs of 2 at both ends", old6, "aab2cc", "aab2cc", 0},
        // The other class at one end only is enough.
        {"one digit, first", old6, "1abcde", "1abcde", 0},
        {"one digit, last", old6, "abcde1", "abcde1", 0},
        {"one letter, last", old6, "12345a", "12345a", 0},
        {"letters only, 20", old6, "abcdefghijklmnopqrst", "abcdefghijklmnopqrst", 7},
        // Same as the old PIN; differing at one end is a different PIN.
        {"same as old", n6, n6, n6, 8},
        {"old differs at the first position", with(n6, 0, "b"), n6, n6, 0},
        {"old differs at the last position", with(n20, -1, "8"), n20, n20, 0},
        {"old differs in case only", with(n6, 0, "A"), n6, n6, 0},
        // Two rules broken at once: the earlier one speaks.
        {"1 and 2: empty old, short new", "", "a1", "a1", 1},
        {"1 and 3: long old, empty repeated", goodPin(21, 'm'), n6, "", 1},
        {"2 and 3: short new, long repeated", old6, n5, n21, 2},
        {"3 and 4: long new, other long repeated", old6, n21, with(n21, 0, "z"), 3},
        {"3 and 5: long new with a symbol", old6, with(n21, 0, "!"), with(n21, 0, "!"), 3},
        {"4 and 8: new as old, repeated differs", n6, n6, with(n6, -1, "9"), 4},
        {"5 and 6: symbol after a run", old6, "aaa1b!", "aaa1b!", 5},
        {"5 and 7: symbols only", old6, "!@#$%^", "!@#$%^", 5},
        {"6 and 7: two runs of letters", old6, "aaabbb", "aaabbb", 6},
        {"6 and 8: run, same as old", "aaa1b2", "aaa1b2", "aaa1b2", 6},
        {"7 and 8: digits only, same as old", "246813", "246813", "246813", 7},
    };
    for (const EdgeRow& row : rows) {
        SCOPED_TRACE(row.label);
        expectFirstBrokenRule(QString::fromStdString(row.oldPin), QString::fromStdString(row.newOne),
                              QString::fromStdString(row.newTwo), row.rule);
    }
}

TEST(CorePinRules, MessagesTableIsCompleteAndExact) {
    const char* expected[] = {"密码不能为空！",           "密码长度不够！",
                              "密码长度过长！",           "两次新密码不一致！",
                              "密码不能含特殊字符！",     "密码不能连续3个字符相同！",
                              "密码不能为纯数字、字母！", "新密码与旧密码不能相同！"};
    ASSERT_EQ(pinRules().size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(pinRules()[static_cast<size_t>(i)].order, i + 1);
        EXPECT_EQ(pinRuleMessage(i + 1), QString::fromUtf8(expected[i]));
    }
    EXPECT_TRUE(pinRuleMessage(0).isEmpty());
    EXPECT_TRUE(pinRuleMessage(9).isEmpty());
}

TEST(CorePinMeter, CharacterClassesAndWeights) {
    struct {
        char16_t c;
        char mark;
    } cases[] = {{'0', '0'}, {'9', '0'},  {'!', '!'},  {'/', '!'},    {':', '!'},   {'@', '!'}, {'[', '!'},
                 {'`', '!'}, {'{', '!'},  {0x7F, '!'}, {'A', 'A'},    {'Z', 'A'},   {'a', 'A'}, {'z', 'A'},
                 {' ', ' '}, {0x1F, ' '}, {0x80, ' '}, {0x4E41, ' '}, {0xD83D, ' '}};
    for (const auto& c : cases) {
        EXPECT_EQ(getBzChar(QChar(c.c)), c.mark) << int(c.c);
    }
    EXPECT_EQ(getInt('0'), 1);
    EXPECT_EQ(getInt('!'), 3);
    EXPECT_EQ(getInt('A'), 5);
    EXPECT_EQ(getInt(' '), 0);
}

TEST(CorePinMeter, StrengthScores) {
    struct {
        const char* text;
        int score;
    } cases[] = {{"abc123", 6}, {"123abc", 6}, {"a1b2c3", 6}, {"abc!!!", 8}, {"123!!!", 4},
                 {"abcdef", 5}, {"123456", 1}, {"!!!!!!", 3}, {"a1!1", 10},  {"a1!", 9},
                 {"1!a", 9},    {"a1a1a1", 6}, {"", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(getPinQd(c.text), c.score) << c.text;
    }
}

TEST(CorePinMeter, StatusCodesByLength) {
    EXPECT_EQ(checkPinCode(""), kMeterEmpty);
    EXPECT_EQ(checkPinCode("a1!"), kMeterTooShort);
    EXPECT_EQ(checkPinCode("abcd1"), kMeterTooShort);
    EXPECT_EQ(checkPinCode("abcd12"), 6);
    EXPECT_EQ(checkPinCode("abcdefghij1234567890"), 6);
    EXPECT_EQ(checkPinCode("abcdefghij1234567890x"), kMeterTooLong);
    // Three classes alternating: scores 11, 22 must not read "too short"/"too long".
    EXPECT_EQ(getPinQd(" a1aaa"), 11);
    EXPECT_EQ(checkPinCode(" a1aaa"), 9);
    EXPECT_EQ(getPinQd("a1!1!1"), 14);
    EXPECT_EQ(checkPinCode("a1!1!1"), 9);
    EXPECT_EQ(checkPinCode("a1!1!1!1!1!1!1"), 9);
}

TEST(CorePinMeter, TableIsCompleteWithWordsAndColours) {
    const std::set<int> codes{0, 1, 3, 4, 5, 6, 8, 9, 11, 22, 33};
    std::set<int> seen;
    for (const MeterRow& row : meterTable()) {
        EXPECT_TRUE(seen.insert(row.code).second) << "duplicate " << row.code;
    }
    EXPECT_EQ(seen, codes);

    const QColor green = QColor::fromRgbF(0.059f, 0.663f, 0.0f, 1.0f);
    struct {
        int code;
        const char* word;
        QColor colour;
    } expected[] = {{0, "", Qt::black},        {1, "弱", Qt::black},       {3, "弱", Qt::black},
                    {5, "弱", Qt::black},      {4, "中", Qt::blue},        {8, "中", Qt::blue},
                    {6, "强", green},          {9, "强", green},           {11, "密码过短", Qt::red},
                    {22, "密码过长", Qt::red}, {33, "密码不一致", Qt::red}};
    for (const auto& e : expected) {
        const auto row = meterRow(e.code);
        ASSERT_TRUE(row) << e.code;
        EXPECT_EQ(QString::fromUtf8(row->word), QString::fromUtf8(e.word)) << e.code;
        EXPECT_EQ(row->colour.rgba(), e.colour.rgba()) << e.code;
    }
    EXPECT_FALSE(meterRow(7));
    EXPECT_FALSE(meterRow(10));

    EXPECT_EQ(meterText(6, MeterLabel::Old), QString::fromUtf8("旧密码强度：强"));
    EXPECT_EQ(meterText(33, MeterLabel::New), QString::fromUtf8("新密码强度：密码不一致"));
    EXPECT_EQ(meterText(11, MeterLabel::Single), QString::fromUtf8("密码过短"));
    EXPECT_EQ(meterText(0, MeterLabel::Old), QString());
    EXPECT_FALSE(meterText(10, MeterLabel::New));
}

TEST(CorePinMeter, EveryTextGetsACodeWithARow) {
    std::mt19937 rng(20244);
    const char16_t pool[] = {'a', 'Z', '5', '0', '!', '~', ' ', 0x7F, 0x4E2D, '\t'};
    for (int i = 0; i < 3000; ++i) {
        QString s;
        const int len = static_cast<int>(rng() % 24);
        for (int k = 0; k < len; ++k) {
            s.append(QChar(pool[rng() % std::size(pool)]));
        }
        EXPECT_TRUE(meterRow(checkPinCode(s))) << s.toStdString();
    }
}

TEST(CorePinMeter, CutKeepsTwentyAndNeverSplitsAPair) {
    EXPECT_EQ(cutPinText("abcdefghij1234567890xyz"), QString("abcdefghij1234567890"));
    EXPECT_EQ(cutPinText("short"), QString("short"));
    QString withPair = QString(19, 'a') + QString::fromUtf8("😀") + "b";
    EXPECT_EQ(cutPinText(withPair), QString(19, 'a'));
}

namespace {
struct MainForm {
    QLineEdit oldPin, newOne, newTwo;
    QLabel oldLabel, newLabel;
    void type(QLineEdit& field, const QString& text) {
        field.setText(text);
        applyPinEdit(MeterWindow::Main, &field, &oldPin, &newOne, &newTwo, &oldLabel, &newLabel, nullptr);
    }
};
struct FirstForm {
    QLineEdit oldPin, newOne, newTwo;
    QLabel label;
    QPushButton ok;
    FirstForm() { ok.setEnabled(false); }
    void type(QLineEdit& field, const QString& text) {
        field.setText(text);
        applyPinEdit(MeterWindow::FirstChange, &field, &oldPin, &newOne, &newTwo, nullptr, &label, &ok);
    }
};
QColor colourOf(const QLabel& l) { return l.palette().color(QPalette::WindowText); }
}  // namespace

TEST(CorePinMeter, MainWindowWhileTyping) {
    coretest::ensureApp();
    MainForm f;
    f.type(f.oldPin, "abc123");
    EXPECT_EQ(f.oldLabel.text(), QString::fromUtf8("旧密码强度：强"));
    EXPECT_TRUE(f.newLabel.text().isEmpty());

    f.type(f.newOne, "abc");
    EXPECT_EQ(f.newLabel.text(), QString::fromUtf8("新密码强度：密码过短"));
    EXPECT_EQ(colourOf(f.newLabel), QColor(Qt::red));
    f.type(f.newOne, "abc!!!");
    EXPECT_EQ(f.newLabel.text(), QString::fromUtf8("新密码强度：中"));
    EXPECT_EQ(colourOf(f.newLabel), QColor(Qt::blue));
    f.type(f.newOne, "abcdef");
    EXPECT_EQ(f.newLabel.text(), QString::fromUtf8("新密码强度：弱"));
    f.type(f.newOne, "abc123");
    EXPECT_EQ(f.newLabel.text(), QString::fromUtf8("新密码强度：强"));
    EXPECT_EQ(colourOf(f.newLabel).rgba(), QColor::fromRgbF(0.059f, 0.663f, 0.0f).rgba());

    // The repeated PIN typed one character at a time: strength while it is a
    // prefix of the new PIN, "differ" from the first wrong character on.
    for (const char* typed : {"a", "ab", "abc", "abc1", "abc12", "abc123"}) {
        f.type(f.newTwo, typed);
        EXPECT_EQ(f.newLabel.text(), QString::fromUtf8("新密码强度：强")) << typed;
    }
    f.type(f.newTwo, "abc1234");
    EXPECT_EQ(f.newLabel.text(), QString::fromUtf8("新密码强度：密码不一致"));
    f.type(f.newTwo, "abX");
    EXPECT_EQ(f.newLabel.text(), QString::fromUtf8("新密码强度：密码不一致"));

    // A 21st character is taken out again at once, in every field.
    const QString twentyOne = "abcdefghij1234567890k";
    for (QLineEdit* e : {&f.oldPin, &f.newOne, &f.newTwo}) {
        f.type(*e, twentyOne);
        EXPECT_EQ(e->text(), twentyOne.left(20));
    }
    EXPECT_EQ(f.oldLabel.text(), QString::fromUtf8("旧密码强度：强"));

    f.type(f.oldPin, "");
    EXPECT_TRUE(f.oldLabel.text().isEmpty());
}

TEST(CorePinMeter, FirstChangeWindowWordsOnlyAndOkButton) {
    coretest::ensureApp();
    FirstForm f;
    f.type(f.oldPin, "abc123");
    EXPECT_TRUE(f.label.text().isEmpty());  // no meter for the old PIN
    EXPECT_FALSE(f.ok.isEnabled());
    f.type(f.newOne, "xyz789");
    EXPECT_EQ(f.label.text(), QString::fromUtf8("强"));
    EXPECT_FALSE(f.ok.isEnabled());
    f.type(f.newTwo, "xyz78");
    EXPECT_FALSE(f.ok.isEnabled());
    EXPECT_EQ(f.label.text(), QString::fromUtf8("强"));
    f.type(f.newTwo, "xyz789");
    EXPECT_TRUE(f.ok.isEnabled());
    // Never disabled again by typing.
    f.type(f.newTwo, "x");
    EXPECT_TRUE(f.ok.isEnabled());
    EXPECT_EQ(f.label.text(), QString::fromUtf8("强"));
    f.type(f.newTwo, "q");
    EXPECT_EQ(f.label.text(), QString::fromUtf8("密码不一致"));
}

TEST(CorePinMeter, CodeWithoutRowLeavesTheLabel) {
    coretest::ensureApp();
    QLabel label;
    showPinStat(&label, 4, MeterLabel::Single);
    showPinStat(&label, 10, MeterLabel::Single);
    EXPECT_EQ(label.text(), QString::fromUtf8("中"));
    EXPECT_EQ(colourOf(label), QColor(Qt::blue));
    showPinStat(nullptr, 4, MeterLabel::Single);  // tolerated
}

TEST(CoreAlert, WarningBoxWithOneOkButtonFromAnyThread) {
    coretest::ensureApp();
    QStringList seen;
    // Answers each box as a user would, noting what it showed.
    auto answer = [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            seen << "no box";
            return;
        }
        const QList<QAbstractButton*> buttons = box->buttons();
        seen << QString("%1|%2|%3|%4|%5")
                    .arg(box->windowTitle(), box->text())
                    .arg(box->icon() == QMessageBox::Warning ? "warning" : "other")
                    .arg(buttons.size())
                    .arg(buttons.isEmpty() ? QString() : buttons[0]->text());
        if (!buttons.isEmpty()) {
            buttons[0]->click();
        }
    };
    QTimer::singleShot(0, answer);
    alert(QString::fromUtf8("网盾连接失败！"));
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen[0], QString::fromUtf8("网盾|网盾连接失败！|warning|1|OK"));

    // From another thread: queued, shown once the main thread gets to it.
    std::thread t([] { alert(QString::fromUtf8("此设备没有证书！")); });
    t.join();
    EXPECT_EQ(seen.size(), 1);
    QTimer::singleShot(0, answer);
    QCoreApplication::processEvents();
    ASSERT_EQ(seen.size(), 2);
    EXPECT_EQ(seen[1], QString::fromUtf8("网盾|此设备没有证书！|warning|1|OK"));
}
