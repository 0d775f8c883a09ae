#pragma once

#include "notification_service.h"

#include <QObject>

#include <functional>

namespace ambrevoli {

// Whether the two things the user must allow outside the application are in place: the Send To
// menu loaded by the file manager, and notifications. Only reads them (and asks for notification
// permission); the windows show what it last read.
//
// Main thread only. A change signal fires only when a reading differs from the one before.
class SetupStatus : public QObject {
    Q_OBJECT

public:
    // Reads notification permission through `notifications`, which must outlive this object, and
    // the extension state through `extensionProbe` (see isFinderExtensionEnabled()). Starts with
    // the extension not enabled and the permission not determined; nothing is read until
    // refresh().
    SetupStatus(NotificationService& notifications, std::function<bool()> extensionProbe,
                QObject* parent = nullptr);

    bool isExtensionEnabled() const { return m_extensionEnabled; }
    AuthorizationStatus notifications() const { return m_notifications; }

    // Reads the extension state at once and the permission later, on the event loop: right after
    // this returns only isExtensionEnabled() is current. Of two overlapping refreshes the later
    // answer wins.
    void refresh();

    // Asks for notification permission (on this desktop: asks the notification server), logs
    // "Notification permission failed" when that fails, and refreshes either way.
    void requestNotifications();

signals:
    void isExtensionEnabledChanged();
    void notificationsChanged();

private:
    void setExtensionEnabled(bool enabled);
    void setNotifications(AuthorizationStatus status);

    NotificationService& m_service;
    std::function<bool()> m_extensionProbe;
    bool m_extensionEnabled = false;
    AuthorizationStatus m_notifications = AuthorizationStatus::notDetermined;
};

} // namespace ambrevoli
