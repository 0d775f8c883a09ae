#pragma once

#include "error.h"

#include <QFlags>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// What the host application needs of the desktop's notification service, in one interface:
// permission, posting and withdrawing notifications, and the two callbacks for a notification
// that arrives while the application is in front and for the user's click on one. The host talks
// to the freedesktop implementation; tests use the in-memory one in tests/.

namespace ambrevoli {

// Whether the user lets the application post notifications. The numbers are the platform's.
enum class AuthorizationStatus {
    notDetermined = 0,
    denied = 1,
    authorized = 2,
    provisional = 3,
    ephemeral = 4,
};

enum class AuthorizationOption { badge = 1, sound = 2, alert = 4 };
Q_DECLARE_FLAGS(AuthorizationOptions, AuthorizationOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(AuthorizationOptions)

enum class PresentationOption { badge = 1, sound = 2, list = 8, banner = 16 };
Q_DECLARE_FLAGS(PresentationOptions, PresentationOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(PresentationOptions)

// What a response carries for a click on the notification itself.
inline const QString defaultActionIdentifier = QStringLiteral("default");
// What a response carries when the user closed the notification without choosing anything.
inline const QString dismissActionIdentifier = QStringLiteral("dismiss");

// A button on a notification, beside the click on the notification itself.
struct NotificationAction {
    QString identifier; // ours; neither "default" nor "dismiss"
    QString title;

    friend bool operator==(const NotificationAction&, const NotificationAction&) = default;
};

// One notification, delivered at once.
struct NotificationRequest {
    // Ours, chosen by the caller. Adding a request whose identifier belongs to a notification
    // still shown replaces that notification.
    QString identifier;
    QString title;
    QString body; // plain text; may be empty
    QVariantMap userInfo;
    // The desktop's category hint ("transfer", "transfer.complete", "transfer.error"); empty
    // for none.
    QString category;
    // Offered where the server shows buttons; a server without them offers only the click.
    QList<NotificationAction> actions = {};
    // How far the work the notification follows has come, 0 to 100, for a server that draws a
    // bar.
    std::optional<int> percentDone = std::nullopt;
    // False: the notification stays until it is replaced, withdrawn or closed by the user.
    bool expires = true;
};

// The user's response to one of our notifications: a click on it, one of its actions, or
// closing it.
struct NotificationResponse {
    QString identifier;
    QVariantMap userInfo;
    // defaultActionIdentifier, dismissActionIdentifier or the identifier of one of its actions.
    QString actionIdentifier = defaultActionIdentifier;
};

// Why the service could not do what it was asked.
struct NotificationError {
    enum class Case {
        noSessionBus, // there is no desktop session bus to reach a notification service on
        noServer,     // no notification server answers on the bus
        failed,       // the server answered with an error, or did not answer in time
    };

    Case kind;
    std::string detail; // the bus's error name and message; empty for noSessionBus

    static NotificationError noSessionBus() { return {Case::noSessionBus, {}}; }
    static NotificationError noServer(std::string detail)
    {
        return {Case::noServer, std::move(detail)};
    }
    static NotificationError failed(std::string detail)
    {
        return {Case::failed, std::move(detail)};
    }

    friend bool operator==(const NotificationError&, const NotificationError&) = default;
};

// "noSessionBus", "noServer(org.freedesktop.DBus.Error.ServiceUnknown: …)", "failed(…)".
std::string textualForm(const NotificationError& error);
std::string_view errorDomain(const NotificationError& error);
long errorCode(const NotificationError& error);

// Receives the service's callbacks, on the main thread.
class NotificationCenterDelegate {
public:
    virtual ~NotificationCenterDelegate() = default;

    // How to show `request`, which arrives while the application is in front.
    virtual PresentationOptions willPresent(const NotificationRequest& request) = 0;
    // The user responded to one of the application's notifications, or closed it
    // (dismissActionIdentifier).
    virtual void didReceive(const NotificationResponse& response) = 0;
};

// The notification service. Used on the main thread only. Every call returns at once; its
// handler runs later on the main thread, never inside the call. Handlers of calls still running
// when the service is destroyed never run.
class NotificationService {
public:
    using StatusHandler = std::function<void(AuthorizationStatus)>;
    // Whether permission was granted, or why it could not be asked for.
    using AuthorizationHandler = std::function<void(std::expected<bool, NotificationError>)>;
    using AddHandler = std::function<void(std::expected<void, NotificationError>)>;

    virtual ~NotificationService() = default;

    // The application's current authorization status.
    virtual void notificationSettings(StatusHandler handler) = 0;
    // Asks the user once for permission to post with `options`.
    virtual void requestAuthorization(AuthorizationOptions options,
                                      AuthorizationHandler handler) = 0;
    // Delivers `request` at once; an error when it cannot be added. Requests under one
    // identifier reach the screen in the order they were added; one that a later request
    // under its identifier overtook before it could be shown is answered as added.
    virtual void add(const NotificationRequest& request, AddHandler handler) = 0;
    // Withdraws the shown notifications with these identifiers; unknown ones are ignored.
    virtual void removeDeliveredNotifications(const QStringList& identifiers) = 0;
    // Withdraws the requests with these identifiers that are not shown yet.
    virtual void removePendingNotificationRequests(const QStringList& identifiers) = 0;

    // The delegate that receives the callbacks; not owned, nullptr for none.
    virtual void setDelegate(NotificationCenterDelegate* delegate) = 0;
    virtual NotificationCenterDelegate* delegate() const = 0;
};

} // namespace ambrevoli
