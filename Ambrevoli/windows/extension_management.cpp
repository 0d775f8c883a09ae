#include "extension_management.h"

#include "error.h"
#include "log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QProcess>
#include <QTimer>

#include <chrono>

namespace ambrevoli {

namespace {

constexpr char opener[] = "xdg-open";

// How long the old file manager may take to quit before the new one is started all the same (it
// then finds the old one still there and leaves; the step stays to be done).
constexpr std::chrono::seconds quitAllowance{10};

// A program that could not be started.
struct ProgramError {
    std::string program;
    std::string reason;
};

std::string textualForm(const ProgramError& error)
{
    return caseText("notStarted", error.program, error.reason);
}
std::string_view errorDomain(const ProgramError&) { return "ProgramError"; }
long errorCode(const ProgramError&) { return 1; }

const Logger& settingsLog() { return logger("settings"); }

// A program of the desktop's, started on its own: it keeps running after the host ends, its
// output goes nowhere, and it does not take up the startup notice of the host's own start.
bool startDetached(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(QDir::homePath());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
    environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
    process.setProcessEnvironment(environment);
    if (process.startDetached())
        return true;
    logError(settingsLog(), "Starting a program failed",
             ProgramError{program.toStdString(), process.errorString().toStdString()});
    return false;
}

// How one file manager is restarted: its program (which quits the running one when given -q),
// the name it holds on the session bus while it runs, and how it starts without opening a window.
struct Restart {
    const char* program;
    const char* busName;
    const char* windowlessStart;
};

// Null for Dolphin, which has no such ways.
const Restart* restartOf(FileManager fileManager)
{
    static constexpr Restart files{"nautilus", "org.gnome.Nautilus", "--gapplication-service"};
    static constexpr Restart nemo{"nemo", "org.Nemo", "--no-default-window"};
    static constexpr Restart caja{"caja", "org.mate.Caja", "--no-default-window"};
    static constexpr Restart thunar{"thunar", "org.xfce.Thunar", "--daemon"};
    switch (fileManager) {
    case FileManager::files: return &files;
    case FileManager::nemo: return &nemo;
    case FileManager::caja: return &caja;
    case FileManager::thunar: return &thunar;
    case FileManager::dolphin: return nullptr;
    }
    return nullptr;
}

} // namespace

QString ExtensionManagement::installInstructions()
{
    return QStringLiteral("man:" AMBREVOLI_MANUAL_PAGE);
}

void ExtensionManagement::show(ExtensionStatus status)
{
    switch (status.state) {
    case ExtensionState::notInstalled: openInstallInstructions(); break;
    case ExtensionState::notLoaded: restartFileManager(status.fileManager); break;
    case ExtensionState::enabled: break;
    }
}

void ExtensionManagement::openInstallInstructions()
{
    startDetached(QString::fromLatin1(opener), {installInstructions()});
}

void ExtensionManagement::restartFileManager(FileManager fileManager)
{
    const Restart* how = restartOf(fileManager);
    if (!how || m_restart)
        return;
    QObject* restart = m_restart = new QObject(this);
    // A quit that never finishes must not keep the file manager away for good.
    QTimer::singleShot(quitAllowance, restart,
                       [this, restart, fileManager] { startFileManager(restart, fileManager); });

    auto* quit = new QProcess(restart);
    quit->setProgram(QString::fromLatin1(how->program));
    quit->setArguments({QStringLiteral("-q")});
    quit->setStandardOutputFile(QProcess::nullDevice());
    quit->setStandardErrorFile(QProcess::nullDevice());
    connect(quit, &QProcess::finished, restart,
            [this, restart, fileManager] { waitForOldFileManager(restart, fileManager); });
    connect(quit, &QProcess::errorOccurred, restart,
            [this, restart, quit, how, fileManager](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart || restart != m_restart)
                    return;
                logError(settingsLog(),
                         "Restarting " + std::string(fileManagerName(fileManager)) + " failed",
                         ProgramError{how->program, quit->errorString().toStdString()});
                std::exchange(m_restart, nullptr)->deleteLater();
            });
    quit->start();
}

void ExtensionManagement::waitForOldFileManager(QObject* restart, FileManager fileManager)
{
    // The new file manager can only take over once the old one has given up its name: until then
    // it would hand its start to the old one and leave.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        startFileManager(restart, fileManager);
        return;
    }
    const QString busName = QString::fromLatin1(restartOf(fileManager)->busName);
    auto* watcher =
        new QDBusServiceWatcher(busName, bus, QDBusServiceWatcher::WatchForUnregistration, restart);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, restart,
            [this, restart, fileManager] { startFileManager(restart, fileManager); });
    const QDBusMessage hasOwner =
        QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"))
        << busName;
    auto* answer = new QDBusPendingCallWatcher(bus.asyncCall(hasOwner), restart);
    connect(answer, &QDBusPendingCallWatcher::finished, restart,
            [this, restart, fileManager](QDBusPendingCallWatcher* call) {
                const QDBusPendingReply<bool> owned = *call;
                if (owned.isError() || !owned.value())
                    startFileManager(restart, fileManager);
            });
}

void ExtensionManagement::startFileManager(QObject* restart, FileManager fileManager)
{
    // The first of the ways to get here wins; the others are dropped with the restart's context.
    if (restart != m_restart)
        return;
    std::exchange(m_restart, nullptr)->deleteLater();
    const Restart* how = restartOf(fileManager);
    if (startDetached(QString::fromLatin1(how->program),
                      {QString::fromLatin1(how->windowlessStart)}))
        emit fileManagerStarted();
}

} // namespace ambrevoli
