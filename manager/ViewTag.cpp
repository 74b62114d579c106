#include "ViewTag.h"

#include <QLabel>
#include <QLineEdit>
#include <QVariant>
#include <QWidget>

namespace kelvane {

QWidget* viewWithTag(QWidget* root, int tag) {
    if (!root || tag <= 0) return nullptr;
    auto matches = [tag](const QWidget* w) {
        bool ok = false;
        const int value = w->property(kTagProperty).toInt(&ok);
        return ok && value == tag;
    };
    if (matches(root)) return root;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (matches(w)) return w;
    }
    return nullptr;
}

QString tagText(QWidget* root, int tag) {
    QWidget* w = viewWithTag(root, tag);
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
    return {};
}

void setTagText(QWidget* root, int tag, const QString& text) {
    QWidget* w = viewWithTag(root, tag);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(text);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(text);
    }
}

}  // namespace kelvane
