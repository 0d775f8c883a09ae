#pragma once

#include "private_session_bus.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QHash>
#include <QMap>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

#include <optional>

// A private desktop for the host's tests: stand-ins for the notification server and the file
// manager that live on a session bus of their own (private_session_bus.h), and the real programs a
// test runs beside itself (a virtual display, a notification server, the host).

namespace ambrevoli::testing {

// An X display of its own: Xvfb on a display number nobody else uses, ended when this object goes.
class VirtualDisplay {
public:
    // Waits up to 10 seconds for the server.
    VirtualDisplay();

    // ":N"; empty when the server did not start, then failure() says why.
    const QString& name() const { return m_name; }
    const QString& failure() const { return m_failure; }
    qint64 processId() const { return m_server.processId(); }

private:
    HelperProcess m_server;
    QString m_name;
    QString m_failure;
};

// dunst, a real notification server, on `display` and `bus`, with its stock configuration (a home
// folder of its own), ended when this object goes.
class NotificationDaemon {
public:
    // Waits up to 10 seconds until the server owns its name on the bus. `dunstrc`, when given,
    // is the server's configuration; otherwise it runs with its stock one.
    NotificationDaemon(PrivateSessionBus& bus, const VirtualDisplay& display,
                       const QByteArray& dunstrc = {});

    // Whether the server serves; when not, failure() says why.
    bool serving() const { return m_failure.isEmpty(); }
    const QString& failure() const { return m_failure; }
    // The environment the server runs in, for its command-line client (dunstctl).
    const QProcessEnvironment& environment() const { return m_environment; }
    qint64 processId() const { return m_server.processId(); }

private:
    QTemporaryDir m_home;
    QProcessEnvironment m_environment;
    HelperProcess m_server;
    QString m_failure;
};

// A notification server that records what it is asked and answers as a freedesktop
// notification server does. Register it with serve().
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notification {
        QString appName;
        uint replacesId;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout;
        uint id; // the id answered
    };

    // Takes the server's well-known name on `connection`, over from another stand-in holding
    // it, if any; false when that failed.
    bool serve(QDBusConnection connection);

    QStringList capabilities{"actions", "body", "body-markup"};
    QList<Notification> notifications;
    QList<uint> closed;
    QStringList calls; // the name of every method called, in order

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout);
    QStringList GetCapabilities();
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion);
    void CloseNotification(uint id);

signals:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);

private:
    uint m_nextId = 1;
};

// The file manager's FileManager1 service: records the folders it is asked to show, or answers
// every call with an error.
class FakeFileManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    bool serve(QDBusConnection connection);

    bool fails = false;
    QList<QStringList> shown; // the URIs of every ShowFolders call
    QStringList startupIds;

public slots:
    void ShowFolders(const QStringList& uris, const QString& startupId);
};

// A well-known name a stand-in holds on a connection of a bus that outlives it, with the object
// that answers for it; both are given back when this goes, so the next stand-in, or none,
// answers for the name.
class HeldName {
public:
    HeldName() = default;
    ~HeldName();
    HeldName(const HeldName&) = delete;
    HeldName& operator=(const HeldName&) = delete;

    // Takes `service` on `connection`, whose object at `path` is registered already; false (and
    // the object unregistered) when the name could not be taken.
    bool take(QDBusConnection connection, const QString& service, const QString& path);

private:
    std::optional<QDBusConnection> m_connection;
    QString m_service;
    QString m_path;
};

// The desktop portal's file chooser: records every OpenFile call and answers its request's
// Response with `answer` (a chosen folder), or as cancelled when there is none.
class FakeFileChooserPortal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.FileChooser")
public:
    // Takes the portal's name on `connection` until the stand-in goes; false when that failed.
    bool serve(QDBusConnection connection);

    std::optional<QString> answer;
    QStringList titles;
    QList<QVariantMap> options;

public slots:
    QDBusObjectPath OpenFile(const QString& parentWindow, const QString& title,
                             const QVariantMap& options);

private:
    HeldName m_name;
};

// UDisks2 as the system bus has it: answers GetManagedObjects with `objects`, records every
// other call, and answers it with success or the error named for it in `failures`.
class FakeUDisks : public QDBusVirtualObject {
    Q_OBJECT
public:
    using Interfaces = QMap<QString, QVariantMap>;

    // Takes UDisks2's name on `connection` until the stand-in goes; false when that failed.
    bool serve(QDBusConnection connection);

    // Adds a drive "/org/freedesktop/UDisks2/drives/<name>" with these Drive properties.
    QString addDrive(const QString& name, const QVariantMap& properties);
    // Adds a block "/org/freedesktop/UDisks2/block_devices/<name>" on `drive` ("/" for none)
    // with a file system mounted at `mountPoint` (none when empty); `block` adds to or
    // overrides its Block properties.
    QString addFilesystem(const QString& name, const QString& drive, const QString& mountPoint,
                          const QVariantMap& block = {});

    QMap<QDBusObjectPath, Interfaces> objects;
    // Every call but GetManagedObjects, as "<object> <interface>.<method>".
    QStringList calls;
    // A call as written in `calls` → the error name it is answered with.
    QHash<QString, QString> failures;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    HeldName m_name;
};

} // namespace ambrevoli::testing
