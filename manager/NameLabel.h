// A certificate name field (issuer, subject): its text is the name as a
// person reads it (CertName.h), often wider than the field. It is drawn cut
// at a whole character or escape and ended with "…", and its tooltip shows
// the whole name. text() stays the full text, always plain text: a name is
// never read as markup, neither here nor by a screen reader.
// Main thread only.
#pragma once

#include <QLabel>

class NameLabel : public QLabel {
    Q_OBJECT
public:
    explicit NameLabel(QWidget* parent = nullptr);

    // The text as drawn into `width` pixels with `metrics`: whole, or the
    // longest prefix of whole characters and escapes that fits with "…".
    static QString elided(const QString& text, const QFontMetrics& metrics, int width);
    // A tooltip showing `text` as it is: tooltips take text that looks like
    // markup for markup, so it goes as escaped rich text.
    static QString plainTip(const QString& text);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};
