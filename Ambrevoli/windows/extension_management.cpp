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

constexpr char filesProgram[] = "nautilus";
constexpr char filesBusName[] = "org.gnome.Nautilus";
constexpr char opener[] = "xdg-open";

// How long the old Files may take to quit before the new one is started all the same (it then
// finds the old one still there and leaves; the step stays to be done).
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

} // namespace

QString ExtensionManagement::installInstructions()
{
    return QStringLiteral("man:" AMBREVOLI_MANUAL_PAGE);
}

void ExtensionManagement::show(ExtensionState state)
{
    switch (state) {
    case ExtensionState::notInstalled: openInstallInstructions(); break;
    case ExtensionState::notLoaded: restartFiles(); break;
    case ExtensionState::enabled: break;
    }
}

void ExtensionManagement::openInstallInstructions()
{
    startDetached(QString::fromLatin1(opener), {installInstructions()});
}

void ExtensionManagement::restartFiles()
{
    if (m_restart)
        return;
    QObject* restart = m_restart = new QObject(this);
    // A quit that never finishes must not keep Files away for good.
    QTimer::singleShot(quitAllowance, restart, [this, restart] { startFiles(restart); });

    auto* quit = new QProcess(restart);
    quit->setProgram(QString::fromLatin1(filesProgram));
    quit->setArguments({QStringLiteral("-q")});
    quit->setStandardOutputFile(QProcess::nullDevice());
    quit->setStandardErrorFile(QProcess::nullDevice());
    connect(quit, &QProcess::finished, restart, [this, restart] { waitForOldFiles(restart); });
    connect(quit, &QProcess::errorOccurred, restart,
            [this, restart, quit](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart || restart != m_restart)
                    return;
                logError(settingsLog(), "Restarting Files failed",
                         ProgramError{filesProgram, quit->errorString().toStdString()});
                std::exchange(m_restart, nullptr)->deleteLater();
            });
    quit->start();
}

void ExtensionManagement::waitForOldFiles(QObject* restart)
{
    // The new Files can only take over once the old one has given up its name: until then it
    // would hand its start to the old one and leave.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        startFiles(restart);
        return;
    }
    auto* watcher = new QDBusServiceWatcher(QString::fromLatin1(filesBusName), bus,
                                            QDBusServiceWatcher::WatchForUnregistration, restart);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, restart,
            [this, restart] { startFiles(restart); });
    const QDBusMessage hasOwner =
        QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"))
        << QString::fromLatin1(filesBusName);
    auto* answer = new QDBusPendingCallWatcher(bus.asyncCall(hasOwner), restart);
    connect(answer, &QDBusPendingCallWatcher::finished, restart,
            [this, restart](QDBusPendingCallWatcher* call) {
                const QDBusPendingReply<bool> owned = *call;
                if (owned.isError() || !owned.value())
                    startFiles(restart);
            });
}

void ExtensionManagement::startFiles(QObject* restart)
{
    // The first of the ways to get here wins; the others are dropped with the restart's context.
    if (restart != m_restart)
        return;
    std::exchange(m_restart, nullptr)->deleteLater();
    if (startDetached(QString::fromLatin1(filesProgram),
                      {QStringLiteral("--gapplication-service")}))
        emit filesStarted();
}

} // namespace ambrevoli
