#pragma once

#include "translation.h"

#include <QKeySequence>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class QAction;
class QMenuBar;
class QWidget;

namespace ambrevoli {

// The host's main menu: "Ambrevoli", "Edit" and "Window". Its actions are made once and shared
// by a menu bar on each of the host's windows, so their shortcuts work in whichever window is
// active.
//
// "About Ambrevoli" shows the about box with the version; "Settings…" runs the given action and
// is always enabled; "Hide Ambrevoli" closes the host's windows (they are kept, and the process
// keeps running); "Quit Ambrevoli" ends the event loop. The Edit items act on the text field
// with the keyboard focus, or the nearest of its containers that answers them (a list's Select
// All and Delete); the Window items on the active window. Main thread only.
class MainMenu : public QObject {
    Q_OBJECT

public:
    struct Actions {
        // What "Settings…" does.
        std::function<void()> showSettings = {};
        // An updater's "Check for Updates…" action: its enabled state says whether it can check
        // now, and triggering it checks. Must outlive the menu. None: the item is there but
        // disabled, and its tooltip says that this build can't check for updates.
        QAction* checkForUpdates = nullptr;
    };

    // The tooltip of "Check for Updates…" without an updater.
    static constexpr char noUpdaterTip[] = N_("This build of Ambrevoli can't check for updates.");

    explicit MainMenu(Actions actions, QObject* parent = nullptr);
    ~MainMenu() override;

    // A new menu bar with the three menus, owned by `parent`.
    QMenuBar* makeMenuBar(QWidget* parent) const;

private:
    struct Menu {
        QString title;
        std::vector<QAction*> items; // null for a separator
    };

    QAction* action(const char* title, std::function<void()> trigger, QKeySequence shortcut = {});

    std::vector<Menu> m_menus;
};

} // namespace ambrevoli
