// A certificate name field (issuer, subject): its text is the name as a
// person reads it (readable() of the reader's one-line name), often wider
// than the field. It is drawn cut at a whole character or escape and ended
// with "…", and its tooltip shows the whole name. text() stays the full text.
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
    // The one-line name as a person reads it: each run of \xHH escapes
    // that is valid UTF-8 as a whole becomes the characters it encodes; a
    // run that is not stays as written, escapes and all.
    static QString readable(const QString& text);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};
