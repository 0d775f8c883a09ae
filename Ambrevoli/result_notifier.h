#pragma once

#include "copy_outcome.h"
#include "copy_progress.h"
#include "notification_service.h"
#include "undo_records.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ambrevoli {

class DriveEjector;
class FolderRevealer;

// The fixed identifier of the update notification: the updater posts under it, so a newer one
// replaces an older one, and a click on it shows the update instead of a folder.
inline constexpr char updateNotificationID[] = AMBREVOLI_HOST_IDENTIFIER ".update";

// The action of a copy's progress notification that cancels the copy.
inline const QString cancelActionIdentifier = QStringLiteral("cancel");
// The action of a copy's notification that ejects the removable volume the copy went to.
inline const QString ejectActionIdentifier = QStringLiteral("eject");
// The action of a copy's notification that takes back what the copy placed.
inline const QString undoActionIdentifier = QStringLiteral("undo");
// The action of the notification of a copy into a folder chosen for that one send, which makes
// the folder a destination.
inline const QString addToSendToActionIdentifier = QStringLiteral("add-to-send-to");

// Posts the notifications of copies: the progress of a long copy under way, with a Cancel action,
// and the report of a finished one. Answers the notification service as its delegate: how the
// application's notifications show while it is in front, and what a response does (a copy
// notification opens its destination folder, Cancel stops its copy, the update notification
// shows the update). Used on the main thread only; lives as long as the application.
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

    // Makes a folder (an absolute path) a destination.
    using AddFolder = std::function<void(const QString& folder)>;

    // Replaces the action that opens the settings window.
    void setShowSettings(Action showSettings) { m_showSettings = std::move(showSettings); }
    // What "Add to Send To" does; without it the action is not offered.
    void setAddFolder(AddFolder addFolder) { m_addFolder = std::move(addFolder); }
    // Undoes the send whose notification has the identifier `copy`.
    using Undo = std::function<void(const QString& copy)>;
    // What "Undo" does; without it (the default) no copy notification offers it.
    void setUndo(Undo undo) { m_undo = std::move(undo); }
    // Where a copy notification learns whether its destination is on a removable volume, and
    // what ejects it; without one (the default) no copy notification offers Eject. `ejector`
    // is not owned and must outlive the notifier, or be reset to null first.
    void setDriveEjector(DriveEjector* ejector) { m_ejector = ejector; }

    // How long a copy runs before its progress shows, and the least time between two changes
    // of its progress notification.
    static constexpr std::chrono::milliseconds progressDelay{1000};
    static constexpr std::chrono::milliseconds progressInterval{1000};

    // Follows the copy of the request `copy` (its identifier) into `destination`, which the
    // user named `label`. From progressDelay after this call, the figures given to
    // showProgress show in a notification under `copy`, changed at most once per
    // progressInterval; it stays until the copy ends, its Cancel action cancels `control`, and a
    // click on it shows the destination. Once the user closed it, it does not come back.
    void followCopy(const QString& copy, std::shared_ptr<CopyControl> control,
                    std::string_view label, const std::string& destination);
    // The latest figures of the copy `copy`; ignored when it is not followed (any more).
    void showProgress(const QString& copy, const CopyProgress& progress);

    // Posts the notification for `report`, whose destination the user named `label`. Under the
    // identifier of a followed copy, it ends following the copy and replaces its progress
    // notification; without one it stands on its own. It offers Eject when the destination lies
    // on a removable volume, Undo when the copy placed anything, and "Add to Send To" when `offerAdding` (a folder chosen for this
    // send only) and there is an AddFolder. Returns at once: the delivery runs afterwards on the
    // event loop. A failure is logged, not retried.
    void postCopyNotification(const CopyReport& report, std::string_view label,
                              const QString& copy = {}, bool offerAdding = false);

    // Posts the outcome of an undo under the identifier of the send it undid, so it replaces
    // that send's notification; a click on it shows the destination. Returns at once.
    void postUndoNotification(const UndoReport& report);

    // Whether a copy notification is still on its way to the notification service.
    bool isDelivering() const { return m_delivering > 0; }

    // Banner and list, for every notification of the application.
    PresentationOptions willPresent(const NotificationRequest& request) override;
    // The update notification shows the update; Cancel cancels its copy; Undo undoes it; Eject ejects the
    // volume and then tells whether it may be pulled out, under the same identifier; "Add to
    // Send To" adds the folder. A click on the notification of an ejection does nothing; any
    // other click reveals the notification's "destination" folder, or opens the settings when
    // there is none to show. Closing a progress notification keeps it closed; closing any other
    // does nothing.
    void didReceive(const NotificationResponse& response) override;

signals:
    // The last copy notification on its way reached the service, or failed to.
    void deliveriesFinished();

private:
    struct FollowedCopy {
        std::shared_ptr<CopyControl> control;
        std::string label;
        QString destination;
        std::optional<CopyProgress> latest;
        std::optional<CopyProgress> shown;
        QDeadlineTimer nextChange;
        bool changeScheduled = false;
        bool dismissed = false;
    };

    void scheduleProgress(const QString& copy);
    void postProgress(const QString& copy);
    void post(const NotificationRequest& request);
    void deliver(const NotificationRequest& request);
    void finishDelivery();
    void add(const NotificationRequest& request);
    void revealDestination(const std::optional<QString>& path);
    void showSettings();
    void eject(const QString& identifier, const QString& mountPoint, const QString& label);

    NotificationService& m_center;
    Action m_showSettings;
    AddFolder m_addFolder;
    Undo m_undo;
    DriveEjector* m_ejector = nullptr;
    const Action m_showUpdate;
    RevealFolder m_revealFolder;
    FolderRevealer* m_ownRevealer = nullptr;
    int m_delivering = 0;
    QHash<QString, FollowedCopy> m_copies;
};

} // namespace ambrevoli
