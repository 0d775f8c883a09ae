#pragma once

#include "notification_service.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>

class QDBusMessage;

namespace ambrevoli {

// The notification service of freedesktop desktops: the org.freedesktop.Notifications server on
// the session bus.
//
// Our identifiers are mapped to the server's numeric ids while a notification is shown: adding a
// request under the identifier of one still shown replaces it, withdrawing it closes it, a click
// or an action (where the server has the "actions" capability) reaches the delegate with the
// identifier and user info, and a notification the server closed is forgotten (and reaches the
// delegate as dismissed when the user closed it). The adds under one identifier go to the server
// one after the other, each once the one before was answered, so that each knows the id it
// replaces; of those waiting, only the latest is sent. Permission: a server that answers is
// authorization, none is denial, as is a server the user has silenced for the application (see
// setSwitchedOffProbe). Without a session bus every call fails at once with noSessionBus.
//
// What the server said (that it answers, its capabilities) is kept until its bus name changes
// owner, so that a notification costs a single call once the server is known. When the name
// changes owner, the old server's notifications are forgotten too: its ids mean nothing to the
// next one.
class FreedesktopNotificationService : public QObject, public NotificationService {
    Q_OBJECT
public:
    // Tells whether the application is in front; then the delegate decides whether a new
    // notification is shown at all.
    using FrontmostProbe = std::function<bool()>;

    // Talks to the server on `bus`. The default probe asks the running QGuiApplication, if any.
    explicit FreedesktopNotificationService(QDBusConnection bus = QDBusConnection::sessionBus(),
                                            FrontmostProbe isFrontmost = {},
                                            QObject* parent = nullptr);

    void notificationSettings(StatusHandler handler) override;
    void requestAuthorization(AuthorizationOptions options, AuthorizationHandler handler) override;
    void add(const NotificationRequest& request, AddHandler handler) override;
    void removeDeliveredNotifications(const QStringList& identifiers) override;
    void removePendingNotificationRequests(const QStringList& identifiers) override;
    void setDelegate(NotificationCenterDelegate* delegate) override { m_delegate = delegate; }
    NotificationCenterDelegate* delegate() const override { return m_delegate; }

    // Tells whether the user switched the application's notifications off in the desktop's own
    // settings (GnomeNotificationSwitch); then permission reads as denied although a server
    // answers. None by default.
    void setSwitchedOffProbe(std::function<bool()> probe) { m_isSwitchedOff = std::move(probe); }

private slots:
    void actionInvoked(uint id, const QString& actionKey);
    void notificationClosed(uint id, uint reason);
    void serverChanged();

private:
    struct Shown {
        QString identifier;
        QVariantMap userInfo;
        QStringList actions; // the identifiers of the actions offered besides the click
    };
    struct WaitingAdd {
        NotificationRequest request;
        std::uint64_t serial;
        AddHandler handler;
    };
    using Capabilities = std::expected<QStringList, NotificationError>;

    void call(const QString& method, const QVariantList& arguments,
              std::function<void(const QDBusMessage& reply)> onReply);
    // Whether the server answers: nothing when it does, else the error of its bus.
    void askServer(std::function<void(std::optional<QDBusError>)> done);
    void askCapabilities(std::function<void(Capabilities)> done);
    void send(const NotificationRequest& request, std::uint64_t serial, AddHandler handler);
    // The add under `identifier` on its way was answered: the one waiting behind it goes.
    void sendNext(const QString& identifier);
    void notify(const NotificationRequest& request, const QStringList& capabilities,
                std::uint64_t serial, AddHandler handler);
    void forget(uint id);
    bool switchedOff() const;

    QDBusConnection m_bus;
    FrontmostProbe m_isFrontmost;
    std::function<bool()> m_isSwitchedOff;
    NotificationCenterDelegate* m_delegate = nullptr;
    QHash<QString, uint> m_serverIds; // our identifier → the server's id, while shown
    QHash<uint, Shown> m_shown;       // the server's id → what a click on it reports
    // The last action the server signalled, to take a burst of the same one once.
    struct Invocation {
        uint id = 0;
        QString actionKey;
        QElapsedTimer since;
    };
    static constexpr qint64 repeatedInvocationMs = 500;
    Invocation m_lastInvoked;
    // What the current owner of the server's name said. An answer to a call made before the
    // name last changed owner is used once, not kept: it may be the old server's.
    bool m_serverAnswered = false;
    std::optional<QStringList> m_capabilities;
    std::uint64_t m_serverGeneration = 0; // counts the changes of owner
    // Every add gets the next serial; an add whose serial is below the mark of its identifier
    // was withdrawn while it was on its way to the server.
    std::uint64_t m_nextSerial = 1;
    QHash<QString, std::uint64_t> m_withdrawnBelow;
    // The identifiers with an add on its way, and the add waiting behind it, if any.
    QHash<QString, std::optional<WaitingAdd>> m_onItsWay;
};

} // namespace ambrevoli
