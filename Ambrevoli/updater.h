#pragma once

#include "notification_service.h"
#include "software_updater.h"
#include "standard_user_driver.h"

#include <QAction>
#include <QObject>

#include <functional>

namespace ambrevoli {

// The application's updater: the update framework's updater and its windowed driver, started
// once at launch, and the gentle reminders of scheduled updates. An update a scheduled check
// finds while the host is not the active application is announced with the update notification
// ("Ambrevoli <version> is available", under updateNotificationID, so a later one replaces it)
// instead of a window; a click on it shows the update (the notifier's showUpdate, wired to
// showUpdateDirectly). When notifications can't be posted, the update is shown directly.
// Main thread only; `center` must outlive the updater.
class Updater : public QObject, public StandardUserDriverDelegate {
    Q_OBJECT
public:
    // Whether the host is the active application; by default the GUI application's state.
    using ActiveProbe = std::function<bool()>;

    Updater(UpdaterConfiguration configuration, NotificationService& center,
            ActiveProbe isActive = {}, StandardUserDriver::RevealFolder revealFolder = {},
            QObject* parent = nullptr);
    ~Updater() override;

    // The one updater of the process, for the menu and the settings window's updates bar.
    SoftwareUpdater& updater() { return m_updater; }
    // "Check for Updates…" for the menu: enabled exactly while the updater can check (in a
    // build without a feed never, with the reason as its tooltip); triggering it is
    // showUpdateDirectly.
    QAction& checkForUpdatesAction() { return m_checkForUpdates; }
    StandardUserDriver& userDriver() { return m_driver; }

    // Brings the update to the front: a check as if the user had asked for it, which shows a
    // found update waiting for the user in its window.
    void showUpdateDirectly();

    bool supportsGentleScheduledUpdateReminders() override { return true; }
    bool standardUserDriverShouldHandleShowingScheduledUpdate(const AppcastItem& update,
                                                              bool immediateFocus) override;
    void standardUserDriverWillHandleShowingUpdate(bool handleShowingUpdate,
                                                   const AppcastItem& update,
                                                   UserDriver::UpdateState state) override;
    void standardUserDriverDidReceiveUserAttentionForUpdate(const AppcastItem& update) override;
    void standardUserDriverWillFinishUpdateSession() override;

signals:
    // An update was installed and its session is over: the host should restart into it.
    void restartRequested();

private:
    void postUpdateNotification(const QString& version);
    void add(const NotificationRequest& request);
    void couldNotPost(const NotificationError& error);
    void withdrawUpdateNotification();

    NotificationService& m_center;
    ActiveProbe m_isActive;
    StandardUserDriver m_driver;
    SoftwareUpdater m_updater;
    QAction m_checkForUpdates;
    bool m_installed = false;
};

} // namespace ambrevoli
