// The bank's PIN rules and the live strength meter, as plain functions the
// window controllers call. Nothing here touches the token.
//
// Texts are counted in UTF-16 units (what the PIN fields hold); only ASCII
// letters and digits can pass the rules. All functions are pure and
// thread-safe except showPinStat()/applyPinEdit(), which write widgets and
// therefore belong on the main thread.
#pragma once

#include <QColor>
#include <QString>
#include <array>
#include <optional>

class QLabel;
class QLineEdit;
class QWidget;

namespace kelvane {

inline constexpr int kPinMinLength = 6;
inline constexpr int kPinMaxLength = 20;

// ---- Rules -------------------------------------------------------------

// The eight rules in the order they are tried, with the user's message.
struct PinRule {
    int order;            // 1..8
    const char* message;  // UTF-8, shown in the alert
};
const std::array<PinRule, 8>& pinRules();

// First broken rule for (old, new, repeated), 1..8, or 0 when all pass.
// Shows nothing; Qd_MacIntf::chackPswd() adds the alert.
int firstBrokenPinRule(const QString& oldPin, const QString& newOne, const QString& newTwo);

// Message of rule 1..8 (empty for any other number).
QString pinRuleMessage(int order);

// yes if the text holds a character that is not an ASCII letter or digit.
bool pdTszf(const QString& text);
// yes if three identical UTF-16 units stand next to each other (case-sensitive).
bool Lx3zf(const QString& text);
// yes if some character is of another class than the first one.
bool getSfPin(const QString& text);

// ---- Character classes and strength --------------------------------------

// Class mark: '0' digit, '!' symbol ('!'..'/', ':'..'@', '['..'`', '{'..0x7F),
// 'A' ASCII letter, ' ' anything else (space, controls, non-ASCII).
char getBzChar(QChar c);
// Weight of a class mark: '0' 1, '!' 3, 'A' 5, anything else 0.
int getInt(char mark);
// Strength score: the first class's weight plus the weight of every later
// character whose class differs from the first class and from the last class
// added (letters+digits score 6 in any order; letter,digit,symbol,digit 10).
int getPinQd(const QString& text);

// ---- Meter ---------------------------------------------------------------

// Status codes shown by the meter.
inline constexpr int kMeterEmpty = 0;
inline constexpr int kMeterTooShort = 11;
inline constexpr int kMeterTooLong = 22;
inline constexpr int kMeterMismatch = 33;

// Status code of a text: 0 chars -> 0; 1..5 -> 11; more than 20 -> 22;
// 6..20 -> the strength score placed on a row of the table: scores with their
// own row (1, 3, 4, 5, 6, 8, 9) unchanged, 7 -> 8 (medium), 10 and above -> 9
// (strong). The result is always a code of meterTable().
int checkPinCode(const QString& text);

// One row of the meter table: code, word written after the prefix, colour.
struct MeterRow {
    int code;
    const char* word;  // UTF-8; "" for code 0
    QColor colour;
};
// Every code the meter can show, in code order.
const std::array<MeterRow, 11>& meterTable();
// Row of a code, or nullopt when the code has no row (label left unchanged).
std::optional<MeterRow> meterRow(int code);

// Which label a status goes to.
enum class MeterLabel {
    Old,     // main window, old-PIN label: prefix "旧密码强度："
    New,     // main window, new-PIN label: prefix "新密码强度："
    Single,  // first-change window's one label: the word alone
};
// Text written for a code (code 0: empty, never a prefix); nullopt when the
// code has no row.
std::optional<QString> meterText(int code, MeterLabel label);

// Writes text and colour of a code into a label; a code without a row leaves
// the label as it was. A null label is ignored.
void showPinStat(QLabel* label, int code, MeterLabel which);

// ---- Live edit handling --------------------------------------------------

enum class MeterWindow { Main, FirstChange };
enum class PinField { Old, NewOne, NewTwo, Other };

// The first 20 characters of a text (a surrogate pair is never split: the
// cut then keeps 19 units).
QString cutPinText(const QString& text);

// What one edit of a PIN field asks for. The texts given are the fields'
// contents after the edit, before any cut.
struct PinEditResult {
    bool cut = false;  // the changed field must be set to cutText
    QString cutText;
    bool showMeter = false;  // write `code` into `label`
    MeterLabel label = MeterLabel::New;
    int code = 0;
    bool enableOk = false;  // first-change window: enable OK (never disables)
};
PinEditResult pinEdit(MeterWindow window, PinField changed, const QString& oldPin, const QString& newOne,
                      const QString& newTwo);

// The whole edit handling on widgets: cut the changed field, write the meter,
// enable OK. `changedField` is the field that sent the edit (compare against
// the three fields). Labels/button not used by a window may be null:
// Main uses oldLabel and newLabel; FirstChange uses newLabel and okButton.
// Connect it to QLineEdit::textEdited (user edits), as the desktop's
// text-change notification only reports the user's typing.
void applyPinEdit(MeterWindow window, QLineEdit* changedField, QLineEdit* oldPin, QLineEdit* newOne,
                  QLineEdit* newTwo, QLabel* oldLabel, QLabel* newLabel, QWidget* okButton);

}  // namespace kelvane
