#include "setup_status.h"

#include "log.h"

#include <QPointer>

#include <chrono>

namespace ambrevoli {

namespace {

// A new file manager loads its extensions while it starts, which takes a while on a busy machine:
// the state is read again after 0.5, 1.5, 3.5, 7.5, 15.5 and 31.5 seconds.
constexpr std::chrono::milliseconds firstFollowUp{500};
constexpr int followUps = 6;

} // namespace

SetupStatus::SetupStatus(NotificationService& notifications,
                         std::function<ExtensionStatus()> extensionProbe, QObject* parent)
    : QObject(parent), m_service(notifications), m_extensionProbe(std::move(extensionProbe))
{
    m_followUp.setSingleShot(true);
    connect(&m_followUp, &QTimer::timeout, this, &SetupStatus::followFileManagerRestart);
    connect(&m_management, &ExtensionManagement::fileManagerStarted, this, [this] {
        m_followUps = 0;
        m_followUp.start(firstFollowUp);
    });
}

void SetupStatus::refresh()
{
    setExtensionStatus(m_extensionProbe());
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

void SetupStatus::showExtensionManagementInterface() { m_management.show(m_extension); }

void SetupStatus::followFileManagerRestart()
{
    refresh();
    if (isExtensionEnabled() || ++m_followUps >= followUps)
        return;
    m_followUp.start(m_followUp.intervalAsDuration() * 2);
}

void SetupStatus::setExtensionStatus(ExtensionStatus status)
{
    if (status == m_extension)
        return;
    const bool wasEnabled = isExtensionEnabled();
    m_extension = status;
    emit extensionStateChanged();
    if (isExtensionEnabled() != wasEnabled)
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
