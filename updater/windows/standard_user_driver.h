#pragma once

#include "user_driver.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace ambrevoli {

class UpdateWindow;

// What the application says about how found updates are shown, called on the main thread.
class StandardUserDriverDelegate {
public:
    virtual ~StandardUserDriverDelegate() = default;

    // Whether the application may take over showing an update a scheduled check found.
    virtual bool supportsGentleScheduledUpdateReminders() = 0;
    // Asked for such an update: whether the driver shows it in its window now. `immediateFocus`
    // is whether the driver would put it in front of the user at once.
    virtual bool standardUserDriverShouldHandleShowingScheduledUpdate(const AppcastItem& update,
                                                                      bool immediateFocus) = 0;
    // `handleShowingUpdate`: whether the driver shows the update itself; if not, the
    // application announces it its own way, and a later check the user asks for shows it.
    virtual void standardUserDriverWillHandleShowingUpdate(bool handleShowingUpdate,
                                                           const AppcastItem& update,
                                                           UserDriver::UpdateState state) = 0;
    // The user is looking at the update in the driver's window.
    virtual void standardUserDriverDidReceiveUserAttentionForUpdate(const AppcastItem& update) = 0;
    // The update session is over.
    virtual void standardUserDriverWillFinishUpdateSession() = 0;
};

// The user driver with windows: every step of a session the user asked for in the update
// window, and a found update of a scheduled check either in the window at once or, when the
// delegate takes it over (a gentle reminder), later, when the user asks to see it. Each time the
// window is shown it comes forward the way the host's windows do (window_activation.h): restored
// when it was minimized, raised and activated. Main thread only; the delegate (not owned) must
// outlive the driver or be reset.
class StandardUserDriver : public QObject, public UserDriver {
    Q_OBJECT
public:
    // Shows the file left for the user to install by hand (noPackageKit), in the file manager.
    using RevealFolder = std::function<void(const QString& folder)>;

    StandardUserDriver(QString runningVersion, StandardUserDriverDelegate* delegate,
                       RevealFolder revealFolder = {}, QObject* parent = nullptr);
    ~StandardUserDriver() override;

    void setDelegate(StandardUserDriverDelegate* delegate) { m_delegate = delegate; }
    // The window, once it was first needed; null before.
    UpdateWindow* window() const { return m_window.get(); }

    void showUserInitiatedUpdateCheck(std::function<void()> cancel) override;
    void showUpdateFound(const AppcastItem& update, UpdateState state,
                         std::function<void(Choice)> reply) override;
    void showUpdateNotFound(const QString& runningVersion,
                            std::function<void()> acknowledge) override;
    void showUpdaterError(const UpdateError& error, std::function<void()> acknowledge) override;
    void showDownloadInitiated(std::function<void()> cancel) override;
    void showDownloadProgress(qint64 received, qint64 expected) override;
    void showInstallingUpdate(int percent) override;
    void showUpdateInstalled(std::function<void()> acknowledge) override;
    void showUpdateInFocus() override;
    void dismissUpdateInstallation() override;

private:
    UpdateWindow& ensureWindow();
    void bringForward();
    void showFoundInWindow();

    QString m_runningVersion;
    StandardUserDriverDelegate* m_delegate;
    RevealFolder m_revealFolder;
    std::unique_ptr<UpdateWindow> m_window;
    // The found update of this session, and how to answer for it.
    std::optional<AppcastItem> m_update;
    std::function<void(Choice)> m_reply;
};

} // namespace ambrevoli
