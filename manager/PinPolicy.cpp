#include "PinPolicy.h"

#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QWidget>

namespace kelvane {
namespace {

constexpr std::array<PinRule, 8> kRules{{
    {1, "密码不能为空！"},
    {2, "密码长度不够！"},
    {3, "密码长度过长！"},
    {4, "两次新密码不一致！"},
    {5, "密码不能含特殊字符！"},
    {6, "密码不能连续3个字符相同！"},
    {7, "密码不能为纯数字、字母！"},
    {8, "新密码与旧密码不能相同！"},
}};

const QColor kBlack = QColor::fromRgbF(0.0f, 0.0f, 0.0f, 1.0f);
const QColor kBlue = QColor::fromRgbF(0.0f, 0.0f, 1.0f, 1.0f);
const QColor kGreen = QColor::fromRgbF(0.059f, 0.663f, 0.0f, 1.0f);
const QColor kRed = QColor::fromRgbF(1.0f, 0.0f, 0.0f, 1.0f);

bool isAsciiAlnum(char16_t u) {
    return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
}

}  // namespace

const std::array<PinRule, 8>& pinRules() { return kRules; }

QString pinRuleMessage(int order) {
    for (const PinRule& r : kRules) {
        if (r.order == order) {
            return QString::fromUtf8(r.message);
        }
    }
    return {};
}

int firstBrokenPinRule(const QString& oldPin, const QString& newOne, const QString& newTwo) {
    if (oldPin.isEmpty() || newOne.isEmpty() || newTwo.isEmpty()) {
        return 1;
    }
    if (newOne.size() < kPinMinLength || oldPin.size() < kPinMinLength || newTwo.size() < kPinMinLength) {
        return 2;
    }
    if (newOne.size() > kPinMaxLength || oldPin.size() > kPinMaxLength || newTwo.size() > kPinMaxLength) {
        return 3;
    }
    if (newOne != newTwo) {
        return 4;
    }
    if (pdTszf(newOne)) {
        return 5;
    }
    if (Lx3zf(newOne)) {
        return 6;
    }
    if (!getSfPin(newOne)) {
        return 7;
    }
    if (newOne == oldPin) {
        return 8;
    }
    return 0;
}

bool pdTszf(const QString& text) {
    for (QChar c : text) {
        if (!isAsciiAlnum(c.unicode())) {
            return true;
        }
    }
    return false;
}

bool Lx3zf(const QString& text) {
    for (qsizetype i = 0; i + 2 < text.size(); ++i) {
        if (text[i] == text[i + 1] && text[i + 1] == text[i + 2]) {
            return true;
        }
    }
    return false;
}

bool getSfPin(const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    const char first = getBzChar(text[0]);
    for (QChar c : text) {
        if (getBzChar(c) != first) {
            return true;
        }
    }
    return false;
}

char getBzChar(QChar c) {
    // Decided on the UTF-16 unit's value: anything above 0x7F (Chinese, other
    // scripts, halves of surrogate pairs) is "other", never a letter.
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') {
        return '0';
    }
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z')) {
        return 'A';
    }
    if ((u >= '!' && u <= '/') || (u >= ':' && u <= '@') || (u >= '[' && u <= '`') ||
        (u >= '{' && u <= 0x7F)) {
        return '!';
    }
    return ' ';
}

int getInt(char mark) {
    switch (mark) {
        case '0':
            return 1;
        case '!':
            return 3;
        case 'A':
            return 5;
        default:
            return 0;
    }
}

int getPinQd(const QString& text) {
    if (text.isEmpty()) {
        return 0;
    }
    const char first = getBzChar(text[0]);
    int score = getInt(first);
    char lastAdded = '\0';  // none yet
    for (qsizetype i = 1; i < text.size(); ++i) {
        const char mark = getBzChar(text[i]);
        if (mark != first && mark != lastAdded) {
            score += getInt(mark);
            lastAdded = mark;
        }
    }
    return score;
}

int checkPinCode(const QString& text) {
    const qsizetype n = text.size();
    if (n == 0) {
        return kMeterEmpty;
    }
    if (n < kPinMinLength) {
        return kMeterTooShort;
    }
    if (n > kPinMaxLength) {
        return kMeterTooLong;
    }
    // Scores of three or more classes would otherwise fall on no row, or on
    // the codes 11/22/33 and read "too short"/"too long"/"differ" for a PIN
    // of good length.
    const int score = getPinQd(text);
    if (score == 7) {
        return 8;
    }
    if (score >= 10) {
        return 9;
    }
    return score;  // 0 for a text of "other" characters only: the empty row
}

const std::array<MeterRow, 11>& meterTable() {
    static const std::array<MeterRow, 11> table{{
        {0, "", kBlack},
        {1, "弱", kBlack},
        {3, "弱", kBlack},
        {4, "中", kBlue},
        {5, "弱", kBlack},
        {6, "强", kGreen},
        {8, "中", kBlue},
        {9, "强", kGreen},
        {11, "密码过短", kRed},
        {22, "密码过长", kRed},
        {33, "密码不一致", kRed},
    }};
    return table;
}

std::optional<MeterRow> meterRow(int code) {
    for (const MeterRow& row : meterTable()) {
        if (row.code == code) {
            return row;
        }
    }
    return std::nullopt;
}

std::optional<QString> meterText(int code, MeterLabel label) {
    const std::optional<MeterRow> row = meterRow(code);
    if (!row) {
        return std::nullopt;
    }
    if (code == kMeterEmpty) {
        return QString();
    }
    const QString word = QString::fromUtf8(row->word);
    switch (label) {
        case MeterLabel::Old:
            return QStringLiteral("旧密码强度：") + word;
        case MeterLabel::New:
            return QStringLiteral("新密码强度：") + word;
        case MeterLabel::Single:
            break;
    }
    return word;
}

void showPinStat(QLabel* label, int code, MeterLabel which) {
    if (label == nullptr) {
        return;
    }
    const std::optional<MeterRow> row = meterRow(code);
    const std::optional<QString> text = meterText(code, which);
    if (!row || !text) {
        return;
    }
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, row->colour);
    pal.setColor(QPalette::Text, row->colour);
    label->setPalette(pal);
    label->setText(*text);
}

QString cutPinText(const QString& text) {
    if (text.size() <= kPinMaxLength) {
        return text;
    }
    qsizetype keep = kPinMaxLength;
    if (text[keep - 1].isHighSurrogate()) {
        --keep;  // never leave half a character behind
    }
    return text.left(keep);
}

PinEditResult pinEdit(MeterWindow window, PinField changed, const QString& oldPin, const QString& newOne,
                      const QString& newTwo) {
    PinEditResult r;
    QString oldText = oldPin;
    QString newText = newOne;
    QString repText = newTwo;
    QString* changedText = nullptr;
    switch (changed) {
        case PinField::Old:
            changedText = &oldText;
            break;
        case PinField::NewOne:
            changedText = &newText;
            break;
        case PinField::NewTwo:
            changedText = &repText;
            break;
        case PinField::Other:
            return r;
    }

    if (window == MeterWindow::FirstChange && oldText.size() >= kPinMinLength &&
        newText.size() >= kPinMinLength && repText.size() >= kPinMinLength) {
        r.enableOk = true;
    }
    if (changedText->size() > kPinMaxLength) {
        *changedText = cutPinText(*changedText);
        r.cut = true;
        r.cutText = *changedText;
    }

    const MeterLabel newLabel = window == MeterWindow::Main ? MeterLabel::New : MeterLabel::Single;
    switch (changed) {
        case PinField::Old:
            if (window == MeterWindow::Main) {
                r.showMeter = true;
                r.label = MeterLabel::Old;
                r.code = checkPinCode(oldText);
            }
            break;
        case PinField::NewOne:
            r.showMeter = true;
            r.label = newLabel;
            r.code = checkPinCode(newText);
            break;
        case PinField::NewTwo: {
            r.showMeter = true;
            r.label = newLabel;
            const qsizetype n = repText.size();
            if (newText.size() < n || newText.left(n) != repText) {
                r.code = kMeterMismatch;
            } else {
                r.code = checkPinCode(newText);
            }
            break;
        }
        case PinField::Other:
            break;
    }
    return r;
}

void applyPinEdit(MeterWindow window, QLineEdit* changedField, QLineEdit* oldPin, QLineEdit* newOne,
                  QLineEdit* newTwo, QLabel* oldLabel, QLabel* newLabel, QWidget* okButton) {
    if (changedField == nullptr) {
        return;
    }
    PinField which = PinField::Other;
    if (changedField == oldPin) {
        which = PinField::Old;
    } else if (changedField == newOne) {
        which = PinField::NewOne;
    } else if (changedField == newTwo) {
        which = PinField::NewTwo;
    }
    const auto text = [](QLineEdit* e) { return e != nullptr ? e->text() : QString(); };
    const PinEditResult r = pinEdit(window, which, text(oldPin), text(newOne), text(newTwo));
    if (r.enableOk && okButton != nullptr) {
        okButton->setEnabled(true);
    }
    if (r.cut) {
        changedField->setText(r.cutText);
    }
    if (r.showMeter) {
        showPinStat(r.label == MeterLabel::Old ? oldLabel : newLabel, r.code, r.label);
    }
}

}  // namespace kelvane
