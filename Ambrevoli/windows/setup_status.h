#pragma once

#include "extension_management.h"
#include "extension_probe.h"
#include "notification_service.h"

#include <QObject>
#include <QTimer>

#include <functional>

namespace ambrevoli {

// Whether the two things the user must allow outside the application are in place: the Send To
// menu loaded by the file manager, and notifications. Reads them, asks for notification
// permission, and restarts the file manager when the user asks for it; the windows show what it
// last read.
//
// Main thread only. A change signal fires only when a reading differs from the one before.
class SetupStatus : public QObject {
    Q_OBJECT

public:
    // Reads notification permission through `notifications`, which must outlive this object, and
    // the file manager the user runs with its extension state through `extensionProbe` (see
    // extensionStatus()). Starts with GNOME Files' extension not installed and the permission not
    // determined; nothing is read until refresh().
    SetupStatus(NotificationService& notifications, std::function<ExtensionStatus()> extensionProbe,
                QObject* parent = nullptr);

    bool isExtensionEnabled() const { return m_extension.state == ExtensionState::enabled; }
    ExtensionState extensionState() const { return m_extension.state; }
    // The file manager the user runs, which the extension state is about.
    FileManager fileManager() const { return m_extension.fileManager; }
    AuthorizationStatus notifications() const { return m_notifications; }

    // Reads the extension state at once and the permission later, on the event loop: right after
    // this returns only the extension state is current. Of two overlapping refreshes the later
    // answer wins.
    void refresh();

    // Asks for notification permission (on this desktop: asks the notification server), logs
    // "Notification permission failed" when that fails, and refreshes either way.
    void requestNotifications();

    // Sends the user on to where the extension is switched on, as the last read state needs:
    // the install instructions, or a restart of the file manager (ExtensionManagement). Once a
    // new one has been started it refreshes a few times over the next seconds, until the
    // extension reads as enabled, so the state follows without the user coming back to the
    // window.
    void showExtensionManagementInterface();

signals:
    void isExtensionEnabledChanged();
    // The extension state or the file manager it is about changed.
    void extensionStateChanged();
    void notificationsChanged();

private:
    void setExtensionStatus(ExtensionStatus status);
    void setNotifications(AuthorizationStatus status);
    void followFileManagerRestart();

    NotificationService& m_service;
    std::function<ExtensionStatus()> m_extensionProbe;
    ExtensionManagement m_management;
    QTimer m_followUp;
    int m_followUps = 0;
    ExtensionStatus m_extension;
    AuthorizationStatus m_notifications = AuthorizationStatus::notDetermined;
};

} // namespace ambrevoli
