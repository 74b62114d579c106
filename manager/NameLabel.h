// A certificate name field (issuer, subject): its text is the one-line name
// as the certificate reader makes it, with non-ASCII bytes as \xHH escapes,
// often wider than the field. It is drawn cut at a whole character or
// escape and ended with "…", and its tooltip shows the whole name readable
// (the escapes decoded as UTF-8). text() stays the full text.
// Main thread only.
#pragma once

#include <QLabel>

class NameLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

    // The text as drawn into `width` pixels with `metrics`: whole, or the
    // longest prefix of whole characters and escapes that fits with "…".
    static QString elided(const QString& text, const QFontMetrics& metrics, int width);
    // The name with its \xHH escapes decoded (bytes that are not UTF-8
    // become U+FFFD).
    static QString readable(const QString& text);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};
