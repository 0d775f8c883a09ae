// GNOME Files started before the Send To module was installed, then restarted the way the
// welcome guide's "Restart Files" does it. Run by files_restart_check.sh, which gives it a mount
// namespace where Files' extension folder is an empty folder of the check's own, a PID namespace
// (so the only Files processes are the ones started here), a virtual display and a private
// session bus.

#include "extension_probe.h"
#include "in_memory_notification_service.h"
#include "setup_status.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

using namespace ambrevoli;

Q_DECLARE_METATYPE(ambrevoli::ExtensionState)

namespace {

// The Files processes that have `path` mapped.
QList<qint64> filesMapping(const QString& path)
{
    QList<qint64> found;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile comm("/proc/" + pid + "/comm");
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "nautilus")
            continue;
        QFile maps("/proc/" + pid + "/maps");
        if (maps.open(QIODevice::ReadOnly) && maps.readAll().contains(QFile::encodeName(path)))
            found << pid.toLongLong();
    }
    return found;
}

// GNOME Files' module, where this build installs it.
FileManagerModule filesModule()
{
    for (const FileManagerModule& module : builtModules())
        if (module.fileManager == FileManager::files)
            return module;
    return {FileManager::files, {}};
}

// The status over Files' module alone, for this PID namespace's processes.
ExtensionStatus filesStatus()
{
    return extensionStatus({filesModule()}, "/proc", ::getuid(), FileManager::files);
}

bool filesOwnsItsName()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.gnome.Nautilus");
}

} // namespace

class FilesRestartCheck : public QObject {
    Q_OBJECT

private slots:
    void aRestartedFilesHasTheModule()
    {
        if (qEnvironmentVariableIsEmpty("AMBREVOLI_FILES_RESTART_CHECK"))
            QSKIP("files_restart_check.sh runs this in namespaces of its own");
        const QString installed = QString::fromStdString(filesModule().modulePath);
        QVERIFY(!installed.isEmpty());
        QVERIFY(QDBusConnection::sessionBus().isConnected());

        InMemoryNotificationService service;
        SetupStatus status(service, filesStatus);
        status.refresh();
        QCOMPARE(status.extensionState(), ExtensionState::notInstalled);

        QProcess files;
        files.setProcessChannelMode(QProcess::ForwardedChannels);
        files.start("nautilus", {"--new-window", QDir::homePath()});
        QVERIFY(files.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(filesOwnsItsName(), 60000);

        QVERIFY(QFile::copy(AMBREVOLI_BUILT_FINDER_MODULE, installed));
        status.refresh();
        QCOMPARE(status.extensionState(), ExtensionState::notLoaded);

        status.showExtensionManagementInterface();
        QTRY_COMPARE_WITH_TIMEOUT(files.state(), QProcess::NotRunning, 30000);
        // The new Files runs only as long as it has nothing to do: read the state while it does.
        ExtensionState whileRunning = ExtensionState::notInstalled;
        QTRY_VERIFY_WITH_TIMEOUT(
            !filesMapping(installed).isEmpty() &&
                (whileRunning = filesStatus().state, !filesMapping(installed).isEmpty()),
            60000);
        QCOMPARE(whileRunning, ExtensionState::enabled);
        // Nobody refreshes the status here: it follows the restart by itself.
        QTRY_COMPARE_WITH_TIMEOUT(status.extensionState(), ExtensionState::enabled, 30000);
    }
};

QTEST_GUILESS_MAIN(FilesRestartCheck)
#include "files_restart_check.moc"
