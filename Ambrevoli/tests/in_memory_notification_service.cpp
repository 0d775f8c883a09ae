#include "in_memory_notification_service.h"

#include <QMetaObject>

#include <algorithm>

namespace ambrevoli {

InMemoryNotificationService::InMemoryNotificationService(QObject* parent) : QObject(parent) {}

template <class Handler, class Value>
void InMemoryNotificationService::answerLater(Handler handler, Value value)
{
    QMetaObject::invokeMethod(
        this, [handler = std::move(handler), value = std::move(value)] { handler(value); },
        Qt::QueuedConnection);
}

void InMemoryNotificationService::notificationSettings(StatusHandler handler)
{
    m_calls << QStringLiteral("notificationSettings");
    answerLater(std::move(handler), m_status);
}

void InMemoryNotificationService::requestAuthorization(AuthorizationOptions options,
                                                       AuthorizationHandler handler)
{
    m_calls << QStringLiteral("requestAuthorization");
    m_requestedOptions = options;
    if (m_authorizationError) {
        answerLater(std::move(handler),
                    std::expected<bool, NotificationError>(std::unexpect, *m_authorizationError));
        return;
    }
    // The user is asked only once; later requests report the decision already made.
    if (m_status == AuthorizationStatus::notDetermined)
        m_status = m_userGrants ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
    answerLater(std::move(handler), std::expected<bool, NotificationError>(
                                        m_status == AuthorizationStatus::authorized));
}

void InMemoryNotificationService::add(const NotificationRequest& request, AddHandler handler)
{
    m_calls << QStringLiteral("add");
    if (m_addError) {
        answerLater(std::move(handler),
                    std::expected<void, NotificationError>(std::unexpect, *m_addError));
        return;
    }
    m_delivered.removeIf(
        [&](const NotificationRequest& shown) { return shown.identifier == request.identifier; });
    m_delivered.append(request);
    answerLater(std::move(handler), std::expected<void, NotificationError>());
}

void InMemoryNotificationService::removeDeliveredNotifications(const QStringList& identifiers)
{
    m_calls << QStringLiteral("removeDeliveredNotifications");
    m_delivered.removeIf(
        [&](const NotificationRequest& shown) { return identifiers.contains(shown.identifier); });
}

void InMemoryNotificationService::removePendingNotificationRequests(const QStringList&)
{
    // Requests are delivered as they are added: nothing is ever pending here.
    m_calls << QStringLiteral("removePendingNotificationRequests");
}

bool InMemoryNotificationService::click(const QString& identifier, const QString& action)
{
    if (m_delegate == nullptr)
        return false;
    for (const NotificationRequest& shown : m_delivered) {
        if (shown.identifier != identifier)
            continue;
        const bool offered = action == defaultActionIdentifier ||
                             std::any_of(shown.actions.begin(), shown.actions.end(),
                                         [&](const auto& a) { return a.identifier == action; });
        if (!offered)
            return false;
        // A copy: the delegate may withdraw notifications while it handles the click.
        const NotificationResponse response{shown.identifier, shown.userInfo, action};
        m_delegate->didReceive(response);
        return true;
    }
    return false;
}

bool InMemoryNotificationService::dismiss(const QString& identifier)
{
    for (qsizetype i = 0; i < m_delivered.size(); ++i) {
        if (m_delivered[i].identifier != identifier)
            continue;
        const NotificationRequest shown = m_delivered.takeAt(i);
        if (m_delegate != nullptr)
            m_delegate->didReceive({shown.identifier, shown.userInfo, dismissActionIdentifier});
        return true;
    }
    return false;
}

} // namespace ambrevoli
