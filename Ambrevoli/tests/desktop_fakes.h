#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

// A private desktop for the host's tests: a session bus of their own and stand-ins for the
// notification server and the file manager that live on it.

namespace ambrevoli::testing {

// A session bus that belongs to one test: a dbus-daemon listening in a temporary folder, with
// no activatable services, ended when this object goes.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Empty when the daemon could not start; then failure() says why.
    const QString& address() const { return m_address; }
    const QString& failure() const { return m_failure; }

    // A new connection of its own to the bus, closed when the bus object goes.
    QDBusConnection connect(const QString& name);

private:
    QTemporaryDir m_folder;
    QProcess m_daemon;
    QString m_address;
    QString m_failure;
    QStringList m_connections;
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

    // Takes the server's well-known name on `connection`; false when that failed.
    bool serve(QDBusConnection connection);

    QStringList capabilities{"actions", "body", "body-markup"};
    QList<Notification> notifications;
    QList<uint> closed;

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout);
    QStringList GetCapabilities() { return capabilities; }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion);
    void CloseNotification(uint id) { closed << id; }

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

} // namespace ambrevoli::testing
