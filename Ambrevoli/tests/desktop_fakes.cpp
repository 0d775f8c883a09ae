#include "desktop_fakes.h"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QTest>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace ambrevoli::testing {

HelperProcess::HelperProcess(QObject* parent) : QProcess(parent)
{
    const pid_t test = ::getpid();
    setChildProcessModifier([test] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Armed too late when the test died before it: then nobody would send the signal.
        if (::getppid() != test)
            ::_exit(127);
    });
}

HelperProcess::~HelperProcess()
{
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(5000)) {
        kill();
        waitForFinished(5000);
    }
}

PrivateSessionBus::PrivateSessionBus()
{
    if (!m_folder.isValid()) {
        m_failure = "no temporary folder";
        return;
    }
    // No <servicedir>: nothing on this bus is ever started on demand, whatever is installed.
    const QString config = m_folder.filePath("bus.conf");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        m_failure = "can't write " + config;
        return;
    }
    file.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=)" +
               QFile::encodeName(m_folder.path()) +
               R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    file.close();

    m_daemon.start("dbus-daemon", {"--config-file=" + config, "--nofork", "--print-address"});
    if (!m_daemon.waitForStarted(10000)) {
        m_failure = "dbus-daemon didn't start: " + m_daemon.errorString();
        return;
    }
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(10000)) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty())
        m_failure = "dbus-daemon printed no address: " + m_daemon.readAllStandardError();
}

PrivateSessionBus::~PrivateSessionBus()
{
    for (const QString& name : m_connections)
        QDBusConnection::disconnectFromBus(name);
}

QDBusConnection PrivateSessionBus::connect(const QString& name)
{
    m_connections << name;
    return QDBusConnection::connectToBus(m_address, name);
}

VirtualDisplay::VirtualDisplay()
{
    // Xvfb picks a free display and writes its number to the descriptor given.
    m_server.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
    if (!QTest::qWaitFor([&] { return m_server.canReadLine(); }, 10000)) {
        m_failure = "Xvfb didn't start: " + m_server.errorString() + " " +
                    QString::fromUtf8(m_server.readAllStandardError());
        return;
    }
    m_name = ":" + QString::fromUtf8(m_server.readLine()).trimmed();
}

NotificationDaemon::NotificationDaemon(PrivateSessionBus& bus, const VirtualDisplay& display)
    : m_environment(QProcessEnvironment::systemEnvironment())
{
    if (!m_home.isValid()) {
        m_failure = "no temporary folder";
        return;
    }
    m_environment.insert("DISPLAY", display.name());
    m_environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
    m_environment.insert("HOME", m_home.path());
    m_environment.insert("XDG_CONFIG_HOME", m_home.path()); // no dunstrc: the stock configuration
    m_server.setProcessEnvironment(m_environment);
    m_server.start("dunst", QStringList{});
    QDBusConnection probe = bus.connect("notification-daemon-probe");
    if (!QTest::qWaitFor(
            [&] {
                return probe.interface()
                    ->isServiceRegistered("org.freedesktop.Notifications")
                    .value();
            },
            10000))
        m_failure = "dunst didn't start: " + m_server.errorString() + " " +
                    QString::fromUtf8(m_server.readAllStandardError());
}

bool FakeNotificationServer::serve(QDBusConnection connection)
{
    return connection.registerObject("/org/freedesktop/Notifications", this,
                                     QDBusConnection::ExportAllSlots |
                                         QDBusConnection::ExportAllSignals) &&
           connection.interface()
                   ->registerService("org.freedesktop.Notifications",
                                     QDBusConnectionInterface::ReplaceExistingService,
                                     QDBusConnectionInterface::AllowReplacement)
                   .value() == QDBusConnectionInterface::ServiceRegistered;
}

uint FakeNotificationServer::Notify(const QString& appName, uint replacesId, const QString& appIcon,
                                    const QString& summary, const QString& body,
                                    const QStringList& actions, const QVariantMap& hints,
                                    int expireTimeout)
{
    calls << "Notify";
    const bool replaces = std::any_of(notifications.begin(), notifications.end(),
                                      [&](const Notification& n) { return n.id == replacesId; });
    const uint id = replacesId != 0 && replaces ? replacesId : m_nextId++;
    notifications.append(
        {appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout, id});
    return id;
}

QStringList FakeNotificationServer::GetCapabilities()
{
    calls << "GetCapabilities";
    return capabilities;
}

void FakeNotificationServer::CloseNotification(uint id)
{
    calls << "CloseNotification";
    closed << id;
}

QString FakeNotificationServer::GetServerInformation(QString& vendor, QString& version,
                                                     QString& specVersion)
{
    calls << "GetServerInformation";
    vendor = "Ambrevoli tests";
    version = "1";
    specVersion = "1.2";
    return "fake";
}

bool FakeFileManager::serve(QDBusConnection connection)
{
    return connection.registerObject("/org/freedesktop/FileManager1", this,
                                     QDBusConnection::ExportAllSlots) &&
           connection.registerService("org.freedesktop.FileManager1");
}

void FakeFileManager::ShowFolders(const QStringList& uris, const QString& startupId)
{
    if (fails) {
        sendErrorReply(QDBusError::Failed, "can't show folders");
        return;
    }
    shown << uris;
    startupIds << startupId;
}

} // namespace ambrevoli::testing
