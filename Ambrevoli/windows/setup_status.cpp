#include "setup_status.h"

#include "log.h"

#include <QPointer>

namespace ambrevoli {

SetupStatus::SetupStatus(NotificationService& notifications, std::function<bool()> extensionProbe,
                         QObject* parent)
    : QObject(parent), m_service(notifications), m_extensionProbe(std::move(extensionProbe))
{}

void SetupStatus::refresh()
{
    setExtensionEnabled(m_extensionProbe());
    // The service may answer after this object is gone (a refresh on the way out).
    m_service.notificationSettings([self = QPointer(this)](AuthorizationStatus status) {
        if (self)
            self->setNotifications(status);
    });
}

void SetupStatus::requestNotifications()
{
    m_service.requestAuthorization(
        AuthorizationOption::alert | AuthorizationOption::sound,
        [self = QPointer(this)](std::expected<bool, NotificationError> answer) {
            if (!answer)
                logError(logger("settings"), "Notification permission failed", answer.error());
            if (self)
                self->refresh();
        });
}

void SetupStatus::setExtensionEnabled(bool enabled)
{
    if (enabled == m_extensionEnabled)
        return;
    m_extensionEnabled = enabled;
    emit isExtensionEnabledChanged();
}

void SetupStatus::setNotifications(AuthorizationStatus status)
{
    if (status == m_notifications)
        return;
    m_notifications = status;
    emit notificationsChanged();
}

} // namespace ambrevoli
