#pragma once

#include "extension_probe.h"

#include <QObject>
#include <QString>

namespace ambrevoli {

// This desktop's way to where the Send To module gets switched on. The file managers have no
// switch for extensions: the module is on once it is installed in the file manager's extension
// folder and the running file manager started after that. So the user either needs the install
// instructions, or a file manager that starts again.
//
// Main thread only; nothing here waits for another program.
class ExtensionManagement : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // For a module that is not installed: opens the install instructions with xdg-open, detached.
    // For one the running file manager has not loaded: restarts it (see restartFileManager()).
    // Enabled: nothing to do. Failures to start a program are logged in the settings category.
    void show(ExtensionStatus status);

    // Asks the running file manager to quit (nautilus, nemo, caja or thunar -q), waits until it
    // has let go of its name on the session bus (or a few seconds at most), then starts it again
    // without a window (nautilus --gapplication-service, nemo -n, caja -n, thunar --daemon),
    // detached, and emits fileManagerStarted(). Programs are found on the PATH. While a restart is
    // under way another one is not started. Dolphin has no way to be asked to quit, and it loads
    // its plugins as it needs them: it is left alone.
    void restartFileManager(FileManager fileManager);

    // What xdg-open is given for the install instructions: the manual page ambrevoli(1) where
    // this build installs it, whose FILES section names Files' extension folder and the restart.
    static QString installInstructions();

signals:
    void fileManagerStarted();

private:
    void openInstallInstructions();
    void waitForOldFileManager(QObject* restart, FileManager fileManager);
    void startFileManager(QObject* restart, FileManager fileManager);

    // The context of the restart under way: its connections, processes and timers go with it.
    QObject* m_restart = nullptr;
};

} // namespace ambrevoli
