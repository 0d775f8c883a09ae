#pragma once

#include "copy_outcome.h"
#include "notification_service.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string_view>

namespace ambrevoli {

class FolderRevealer;

// The fixed identifier of the update notification: the updater posts under it, so a newer one
// replaces an older one, and a click on it shows the update instead of a folder.
inline constexpr char updateNotificationID[] = AMBREVOLI_HOST_IDENTIFIER ".update";

// Posts the notification that reports a finished copy, and answers the notification service as
// its delegate: how the application's notifications show while it is in front, and what a click
// does (a copy notification opens its destination folder, the update notification shows the
// update). Used on the main thread only; lives as long as the application.
class ResultNotifier : public QObject, public NotificationCenterDelegate {
    Q_OBJECT
public:
    using Action = std::function<void()>;
    // Shows a folder in the file manager; `done` runs later with whether that worked.
    using RevealFolder =
        std::function<void(const QString& folder, std::function<void(bool revealed)> done)>;

    // Posts through `center`, which must outlive the notifier. Without `revealFolder` the
    // notifier reveals folders with a FolderRevealer of its own on the session bus.
    ResultNotifier(NotificationService& center, Action showSettings, Action showUpdate,
                   RevealFolder revealFolder = {}, QObject* parent = nullptr);
    ~ResultNotifier() override;

    // Replaces the action that opens the settings window.
    void setShowSettings(Action showSettings) { m_showSettings = std::move(showSettings); }

    // Posts the notification for `report`, whose destination the user named `label`. Returns
    // at once: the delivery runs afterwards on the event loop. A failure is logged, not retried.
    void postCopyNotification(const CopyReport& report, std::string_view label);

    // Whether a copy notification is still on its way to the notification service.
    bool isDelivering() const { return m_delivering > 0; }

    // Banner and list, for every notification of the application.
    PresentationOptions willPresent(const NotificationRequest& request) override;
    // The update notification shows the update; any other reveals its "destination" folder, or
    // opens the settings when there is none to show.
    void didReceive(const NotificationResponse& response) override;

signals:
    // The last copy notification on its way reached the service, or failed to.
    void deliveriesFinished();

private:
    void deliver(const NotificationRequest& request);
    void finishDelivery();
    void add(const NotificationRequest& request);
    void revealDestination(const std::optional<QString>& path);
    void showSettings();

    NotificationService& m_center;
    Action m_showSettings;
    const Action m_showUpdate;
    RevealFolder m_revealFolder;
    FolderRevealer* m_ownRevealer = nullptr;
    int m_delivering = 0;
};

} // namespace ambrevoli
