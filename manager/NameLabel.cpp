#include "NameLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace {

constexpr char16_t kEllipsis = u'…';

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

// Length of the escape "\xHH" at i, or 0 when there is none.
bool escapeAt(const QString& text, qsizetype i) {
    return i + 3 < text.size() && text[i] == u'\\' && text[i + 1] == u'x' && hexValue(text[i + 2]) >= 0 &&
           hexValue(text[i + 3]) >= 0;
}

// Length of the piece starting at i that must not be cut: an escape or one
// character (the one-line names are ASCII: every other byte is escaped).
qsizetype pieceAt(const QString& text, qsizetype i) { return escapeAt(text, i) ? 4 : 1; }

}  // namespace

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

QString NameLabel::readable(const QString& text) {
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size();) {
        if (escapeAt(text, i)) {
            bytes.append(static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3])));
            i += 4;
        } else {
            bytes.append(QString(text[i]).toUtf8());
            ++i;
        }
    }
    return QString::fromUtf8(bytes);
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
        const QString name = readable(text());
        if (name.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), name, this);
        }
        return true;
    }
    return QLabel::event(event);
}
