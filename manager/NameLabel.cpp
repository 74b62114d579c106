#include "NameLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>
#include <algorithm>
#include <utility>

namespace {

constexpr char16_t kEllipsis = u'…';

bool isHex(QChar c) {
    const char16_t u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'F') || (u >= 'a' && u <= 'f');
}

// Whether count hexadecimal digits start at from.
bool hexDigits(const QString& text, qsizetype from, qsizetype count) {
    if (from + count > text.size()) return false;
    return std::all_of(text.begin() + from, text.begin() + from + count, isHex);
}

// Length of the piece starting at i that must not be cut: an escape
// ("\\", "\xHH", "\uHHHH", "\UHHHHHHHH"), a character outside the BMP (two
// UTF-16 units), or one unit.
qsizetype pieceAt(const QString& text, qsizetype i) {
    if (text[i] == u'\\' && i + 1 < text.size()) {
        const char16_t kind = text[i + 1].unicode();
        if (kind == u'\\') return 2;
        for (auto [letter, digits] : {std::pair{u'x', 2}, std::pair{u'u', 4}, std::pair{u'U', 8}}) {
            if (kind == letter && hexDigits(text, i + 2, digits)) return 2 + digits;
        }
    }
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) return 2;
    return 1;
}

}  // namespace

NameLabel::NameLabel(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }

QString NameLabel::elided(const QString& text, const QFontMetrics& metrics, int width) {
    if (metrics.horizontalAdvance(text) <= width) return text;
    QString best = QString(kEllipsis);
    for (qsizetype end = 0; end < text.size();) {
        end += pieceAt(text, end);
        const QString candidate = text.left(end) + kEllipsis;
        if (metrics.horizontalAdvance(candidate) > width) break;
        best = candidate;
    }
    return best;
}

QString NameLabel::plainTip(const QString& text) {
    return QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(text.toHtmlEscaped());
}

QSize NameLabel::minimumSizeHint() const {
    // Any width will do: the text is cut to fit.
    return {fontMetrics().horizontalAdvance(QString(kEllipsis)), QLabel::minimumSizeHint().height()};
}

void NameLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), elided(text(), fontMetrics(), area.width()), foregroundRole());
}

bool NameLabel::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const QString name = text();
        if (name.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), plainTip(name), this);
        }
        return true;
    }
    return QLabel::event(event);
}
