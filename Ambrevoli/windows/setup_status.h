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
    // the extension state through `extensionProbe` (see finderExtensionState()). Starts with the
    // extension not installed and the permission not determined; nothing is read until refresh().
    SetupStatus(NotificationService& notifications, std::function<ExtensionState()> extensionProbe,
                QObject* parent = nullptr);

    // The same over a probe that tells only whether the extension is enabled (see
    // isFinderExtensionEnabled()); when it is not, whether this build's module file is installed
    // (finderModuleInstallPath()) tells a Files that has not loaded it from a missing module.
    SetupStatus(NotificationService& notifications, std::function<bool()> extensionProbe,
                QObject* parent = nullptr);

    bool isExtensionEnabled() const { return m_extension == ExtensionState::enabled; }
    ExtensionState extensionState() const { return m_extension; }
    AuthorizationStatus notifications() const { return m_notifications; }

    // Reads the extension state at once and the permission later, on the event loop: right after
    // this returns only the extension state is current. Of two overlapping refreshes the later
    // answer wins.
    void refresh();

    // Asks for notification permission (on this desktop: asks the notification server), logs
    // "Notification permission failed" when that fails, and refreshes either way.
    void requestNotifications();

    // Sends the user on to where the extension is switched on, as the last read state needs:
    // the install instructions, or a restart of Files (ExtensionManagement). Once a new Files
    // has been started it refreshes a few times over the next seconds, until the extension
    // reads as enabled, so the state follows without the user coming back to the window.
    void showExtensionManagementInterface();

signals:
    void isExtensionEnabledChanged();
    void extensionStateChanged();
    void notificationsChanged();

private:
    void setExtensionState(ExtensionState state);
    void setNotifications(AuthorizationStatus status);
    void followFilesRestart();

    NotificationService& m_service;
    std::function<ExtensionState()> m_extensionProbe;
    ExtensionManagement m_management;
    QTimer m_followUp;
    int m_followUps = 0;
    ExtensionState m_extension = ExtensionState::notInstalled;
    AuthorizationStatus m_notifications = AuthorizationStatus::notDetermined;
};

} // namespace ambrevoli
