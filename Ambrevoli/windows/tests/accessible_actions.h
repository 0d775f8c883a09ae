#pragma once

// Operating controls the way a screen reader or a test robot does: through the actions their
// accessible objects offer, which reach a control without a mouse event or a key press.

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QMenu>

namespace ambrevoli::testing {

// Runs the accessible action `name` of `accessible`; false when it offers no such action (for
// example because it is disabled).
inline bool runAction(QAccessibleInterface* accessible, const QString& name)
{
    QAccessibleActionInterface* actions = accessible ? accessible->actionInterface() : nullptr;
    if (!actions || !actions->actionNames().contains(name))
        return false;
    actions->doAction(name);
    return true;
}

// A switch gets "Toggle", any other button "Press". A pressed button answers once its press is
// drawn, from the event loop: wait for its effect.
inline bool operateAccessibly(QWidget& control)
{
    const auto* button = qobject_cast<const QAbstractButton*>(&control);
    return runAction(QAccessible::queryAccessibleInterface(&control),
                     button && button->isCheckable() ? QAccessibleActionInterface::toggleAction()
                                                     : QAccessibleActionInterface::pressAction());
}

// Presses the item of `menu` titled as `item`, found among the menu's accessible children.
inline bool chooseAccessibly(QMenu& menu, const QAction& item)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&menu);
    for (int i = 0; accessible && i < accessible->childCount(); ++i) {
        QAccessibleInterface* child = accessible->child(i);
        if (child && child->text(QAccessible::Name) == item.text())
            return runAction(child, QAccessibleActionInterface::pressAction());
    }
    return false;
}

} // namespace ambrevoli::testing
