#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QSizePolicy>
#include <QStringList>
#include <QWidget>

namespace ambrevoli::testing {

// The shown texts under `root` that do not fit the room their widget was given: a one-line
// label or a button narrower than its text, or a wrapping label shorter than its lines. Labels
// that elide on purpose (their width policy is Ignored) are left out.
inline QStringList clippedTexts(QWidget& root)
{
    QStringList clipped;
    for (QWidget* widget : root.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&root))
            continue;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (label->text().isEmpty() ||
                label->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored)
                continue;
            const bool fits = label->wordWrap()
                                  ? label->height() >= label->heightForWidth(label->width())
                                  : label->width() >= label->sizeHint().width();
            if (!fits)
                clipped << label->text();
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            if (!button->text().isEmpty() && button->width() < button->sizeHint().width())
                clipped << button->text();
        }
    }
    return clipped;
}

} // namespace ambrevoli::testing
