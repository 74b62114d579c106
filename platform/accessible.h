// Names for assistive technology (screen readers), taken from what the user
// sees: a control is named by the label beside it, so the name a screen
// reader speaks can never drift from the window's own text. Header-only, for
// the rooms that draw windows with Qt Widgets.
//
// Threads: the window's (GUI) thread.
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

namespace platform {

// A caption as a name: "旧密码：" is read as "旧密码".
inline QString captionName(QString caption) {
    caption = caption.trimmed();
    while (caption.endsWith(u'：') || caption.endsWith(u':')) caption.chop(1);
    return caption.trimmed();
}

// Names `control` by `label`: the label becomes its buddy, and the name a
// screen reader gets is the label's text of the moment, which Qt reads
// through the buddy (and offers as the "labelled by" relation). So the name
// follows the caption, whatever it is changed to; nothing is copied.
inline void nameFromLabel(QWidget* control, QLabel* label) {
    if (!control || !label) return;
    label->setBuddy(control);
    control->setAccessibleName(QString());
}

}  // namespace platform
