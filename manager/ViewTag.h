// Views found by tag: the window resources give some views an integer
// dynamic property "tag", and the controllers look them up by it.
#pragma once

#include <QString>

class QWidget;

namespace kelvane {

inline constexpr char kTagProperty[] = "tag";

// The first descendant of root (or root itself) whose "tag" is tag; null when
// none. Tags are positive: a view without the property never matches.
QWidget* viewWithTag(QWidget* root, int tag);

// Text of a tagged label or line edit ("" when there is no such view).
QString tagText(QWidget* root, int tag);
// Writes the text of a tagged label or line edit; no view, no effect.
void setTagText(QWidget* root, int tag, const QString& text);

}  // namespace kelvane
