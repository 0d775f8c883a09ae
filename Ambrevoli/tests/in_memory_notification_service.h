#pragma once

#include "notification_service.h"

#include <QList>
#include <QObject>

#include <optional>

namespace ambrevoli {

// A notification service that keeps everything in memory, for tests. It answers like the real
// one (handlers always run later, on the event loop), remembers what it was asked, and plays
// the user: it grants or refuses permission and clicks notifications on request.
class InMemoryNotificationService : public QObject, public NotificationService {
    Q_OBJECT
public:
    explicit InMemoryNotificationService(QObject* parent = nullptr);

    void notificationSettings(StatusHandler handler) override;
    void requestAuthorization(AuthorizationOptions options, AuthorizationHandler handler) override;
    void add(const NotificationRequest& request, AddHandler handler) override;
    void removeDeliveredNotifications(const QStringList& identifiers) override;
    void removePendingNotificationRequests(const QStringList& identifiers) override;
    void setDelegate(NotificationCenterDelegate* delegate) override { m_delegate = delegate; }
    NotificationCenterDelegate* delegate() const override { return m_delegate; }

    // The status reported until the user is asked; asking when it is notDetermined sets it to
    // authorized or denied after the user's answer.
    void setAuthorizationStatus(AuthorizationStatus status) { m_status = status; }
    AuthorizationStatus authorizationStatus() const { return m_status; }
    // The user's answer when asked for permission.
    void setUserGrantsAuthorization(bool grants) { m_userGrants = grants; }
    // When set, asking for permission fails with this error.
    void setAuthorizationError(std::optional<NotificationError> error)
    {
        m_authorizationError = error;
    }
    // When set, adding a request fails with this error.
    void setAddError(std::optional<NotificationError> error) { m_addError = error; }

    // Every call made, in order, by name: "notificationSettings", "requestAuthorization", "add",
    // "removeDeliveredNotifications", "removePendingNotificationRequests".
    const QStringList& calls() const { return m_calls; }
    // The options of the last permission request.
    AuthorizationOptions requestedOptions() const { return m_requestedOptions; }
    // The notifications in the center, oldest first; a replaced one takes its new place.
    const QList<NotificationRequest>& delivered() const { return m_delivered; }

    // Plays the user's click on the delivered notification `identifier`, or on its action
    // `action`: the delegate's didReceive runs before this returns. False when there is no such
    // notification or action, or no delegate.
    bool click(const QString& identifier, const QString& action = defaultActionIdentifier);
    // Plays the user closing the delivered notification `identifier`: it is gone, and the
    // delegate hears of it before this returns. False when there is no such notification.
    bool dismiss(const QString& identifier);

private:
    template <class Handler, class Value> void answerLater(Handler handler, Value value);

    NotificationCenterDelegate* m_delegate = nullptr;
    AuthorizationStatus m_status = AuthorizationStatus::notDetermined;
    bool m_userGrants = true;
    std::optional<NotificationError> m_authorizationError;
    std::optional<NotificationError> m_addError;
    QStringList m_calls;
    AuthorizationOptions m_requestedOptions;
    QList<NotificationRequest> m_delivered;
};

} // namespace ambrevoli
