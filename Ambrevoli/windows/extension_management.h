#pragma once

#include "extension_probe.h"

#include <QObject>
#include <QString>

namespace ambrevoli {

// This desktop's way to where the Send To module gets switched on. GNOME Files has no switch for
// extensions: the module is on once it is installed in Files' extension folder and the running
// Files started after that. So the user either needs the install instructions, or a Files that
// starts again.
//
// Main thread only; nothing here waits for another program.
class ExtensionManagement : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // For a module that is not installed: opens the install instructions with xdg-open, detached.
    // For one a running Files has not loaded: restarts Files (see restartFiles()). Enabled:
    // nothing to do. Failures to start a program are logged in the settings category.
    void show(ExtensionState state);

    // Asks the running Files to quit (nautilus -q), waits until it has let go of its name on
    // the session bus (or a few seconds at most), then starts Files again without a window
    // (nautilus --gapplication-service), detached, and emits filesStarted(). Programs are found
    // on the PATH. While a restart is under way another one is not started.
    void restartFiles();

    // What xdg-open is given for the install instructions: the manual page ambrevoli(1) where
    // this build installs it, whose FILES section names Files' extension folder and the restart.
    static QString installInstructions();

signals:
    void filesStarted();

private:
    void openInstallInstructions();
    void waitForOldFiles(QObject* restart);
    void startFiles(QObject* restart);

    // The context of the restart under way: its connections, processes and timers go with it.
    QObject* m_restart = nullptr;
};

} // namespace ambrevoli
