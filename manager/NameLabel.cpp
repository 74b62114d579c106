#include "NameLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStringDecoder>
#include <QStyle>
#include <QToolTip>
#include <algorithm>

namespace {

constexpr char16_t kEllipsis = u'…';

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

// Whether an escape "\xHH" starts at i.
bool escapeAt(const QString& text, qsizetype i) {
    return i + 3 < text.size() && text[i] == u'\\' && text[i + 1] == u'x' && hexValue(text[i + 2]) >= 0 &&
           hexValue(text[i + 3]) >= 0;
}

// Length of the piece starting at i that must not be cut: an escape left
// as it is, a character outside the BMP (two UTF-16 units), or one unit.
qsizetype pieceAt(const QString& text, qsizetype i) {
    if (escapeAt(text, i)) return 4;
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) return 2;
    return 1;
}

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
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        if (!escapeAt(text, i)) {
            out.append(text[i]);
            ++i;
            continue;
        }
        // One run of escapes, decoded as a whole: a character's bytes may be
        // spread over the whole run, never beyond it.
        const qsizetype start = i;
        QByteArray bytes;
        while (escapeAt(text, i)) {
            bytes.append(static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3])));
            i += 4;
        }
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = utf8.decode(bytes);
        // A run that is not UTF-8 as a whole stays as it was written, and so
        // does one holding a control character (a line break, say), which
        // nobody can read in a one-line field.
        const bool control = std::any_of(decoded.begin(), decoded.end(),
                                         [](QChar c) { return c.category() == QChar::Other_Control; });
        out.append(utf8.hasError() || control ? text.mid(start, i - start) : decoded);
    }
    return out;
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
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), name, this);
        }
        return true;
    }
    return QLabel::event(event);
}
