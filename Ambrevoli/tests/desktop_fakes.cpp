#include "desktop_fakes.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

namespace ambrevoli::testing {

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

NotificationDaemon::NotificationDaemon(PrivateSessionBus& bus, const VirtualDisplay& display,
                                       const QByteArray& dunstrc)
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
    if (!dunstrc.isEmpty()) {
        QDir(m_home.path()).mkpath("dunst");
        QFile file(m_home.path() + "/dunst/dunstrc");
        if (!file.open(QIODevice::WriteOnly) || file.write(dunstrc) != dunstrc.size()) {
            m_failure = "the server's configuration could not be written";
            return;
        }
    }
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

HeldName::~HeldName()
{
    if (m_connection) {
        m_connection->unregisterService(m_service);
        m_connection->unregisterObject(m_path, QDBusConnection::UnregisterTree);
    }
}

bool HeldName::take(QDBusConnection connection, const QString& service, const QString& path)
{
    if (!connection.registerService(service)) {
        connection.unregisterObject(path, QDBusConnection::UnregisterTree);
        return false;
    }
    m_connection = connection;
    m_service = service;
    m_path = path;
    return true;
}

bool FakeFileChooserPortal::serve(QDBusConnection connection)
{
    const QString path = "/org/freedesktop/portal/desktop";
    return connection.registerObject(path, this, QDBusConnection::ExportAllSlots) &&
           m_name.take(connection, "org.freedesktop.portal.Desktop", path);
}

QDBusObjectPath FakeFileChooserPortal::OpenFile(const QString&, const QString& title,
                                                const QVariantMap& given)
{
    titles << title;
    options << given;
    QString sender = message().service().mid(1);
    sender.replace('.', '_');
    const QString path = "/org/freedesktop/portal/desktop/request/" + sender + "/" +
                         given.value("handle_token").toString();
    // After the reply, as the portal answers once the user is done.
    QTimer::singleShot(0, this, [this, path, connection = connection()] {
        QDBusMessage response =
            QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
        QVariantMap results;
        if (answer)
            results["uris"] = QStringList{QUrl::fromLocalFile(*answer).toString()};
        response << uint(answer ? 0 : 1) << results;
        connection.send(response);
    });
    return QDBusObjectPath(path);
}

bool FakeUDisks::serve(QDBusConnection connection)
{
    qDBusRegisterMetaType<QByteArrayList>();
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<QMap<QDBusObjectPath, Interfaces>>();
    const QString path = "/org/freedesktop/UDisks2";
    return connection.registerVirtualObject(path, this, QDBusConnection::SubPath) &&
           m_name.take(connection, "org.freedesktop.UDisks2", path);
}

QString FakeUDisks::addDrive(const QString& name, const QVariantMap& properties)
{
    const QString path = "/org/freedesktop/UDisks2/drives/" + name;
    objects[QDBusObjectPath(path)]["org.freedesktop.UDisks2.Drive"] = properties;
    return path;
}

QString FakeUDisks::addFilesystem(const QString& name, const QString& drive,
                                  const QString& mountPoint, const QVariantMap& block)
{
    const QString path = "/org/freedesktop/UDisks2/block_devices/" + name;
    Interfaces& interfaces = objects[QDBusObjectPath(path)];
    QVariantMap properties{{"Drive", QVariant::fromValue(QDBusObjectPath(drive))},
                           {"CryptoBackingDevice", QVariant::fromValue(QDBusObjectPath("/"))},
                           {"HintSystem", false},
                           {"IdLabel", QString()}};
    for (auto property = block.begin(); property != block.end(); ++property)
        properties[property.key()] = property.value();
    interfaces["org.freedesktop.UDisks2.Block"] = properties;
    QByteArrayList mounts;
    if (!mountPoint.isEmpty())
        mounts << QFile::encodeName(mountPoint) + '\0';
    interfaces["org.freedesktop.UDisks2.Filesystem"] = {{"MountPoints", QVariant::fromValue(mounts)}};
    return path;
}

QString FakeUDisks::introspect(const QString&) const { return {}; }

bool FakeUDisks::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.member() == "GetManagedObjects") {
        connection.send(message.createReply(QVariant::fromValue(objects)));
        return true;
    }
    const QString call = message.path() + " " + message.interface() + "." + message.member();
    calls << call;
    if (const auto failure = failures.find(call); failure != failures.end())
        connection.send(message.createErrorReply(*failure, "stand-in refuses"));
    else
        connection.send(message.createReply());
    return true;
}

} // namespace ambrevoli::testing
