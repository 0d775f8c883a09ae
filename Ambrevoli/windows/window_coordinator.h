#pragma once

#include "host_windows.h"
#include "portal_folder_chooser.h"
#include "setup_status.h"
#include "translation.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QEvent;
class QMainWindow;
class QWidget;

namespace ambrevoli {

class DestinationsModel;
class MainMenu;
class NotificationService;
class SettingsView;
class SoftwareUpdater;

// Owns the host's windows and the rule that ties the application's presence on the desktop to
// them: while one is shown the application is a regular one (it is in the task switcher and the
// dash), when the last closes it becomes an accessory one again and keeps running. Keeps the
// setup status and the destinations fresh whenever the application becomes active.
//
// Two windows, the settings window and the welcome guide's, each made on first use and kept for
// the life of the process; closing one hides it with the state its view had. Main thread only.
class WindowCoordinator : public QObject, public HostWindows {
    Q_OBJECT

public:
    enum class ActivationPolicy { accessory, regular };

    // The settings window's title.
    static constexpr char settingsTitle[] = N_("Ambrevoli Settings");
    // The key in hostSettings() under which the settings window's geometry is kept.
    static constexpr char settingsAutosaveName[] = "Settings";
    // The welcome guide's window's title.
    static constexpr char guideTitle[] = N_("Welcome to Ambrevoli");

    // Shows `destinations`, which must outlive the coordinator. The setup status reads
    // notification permission through `notifications` (which must outlive it too) and the Send
    // To module's state through `extensionProbe` (see extensionStatus()). Each window gets a
    // menu bar over `menu` when one is given; it must outlive the coordinator. The settings
    // window carries the update controls of `updater` (which must outlive the coordinator too),
    // when there is one.
    WindowCoordinator(DestinationsModel& destinations, NotificationService& notifications,
                      std::function<ExtensionStatus()> extensionProbe,
                      const MainMenu* menu = nullptr, SoftwareUpdater* updater = nullptr,
                      QObject* parent = nullptr);
    ~WindowCoordinator() override;

    SetupStatus& setup() { return m_setup; }
    ActivationPolicy activationPolicy() const { return m_policy; }

    // The settings window once it was first shown; null before.
    QMainWindow* settingsWindow() const { return m_settingsWindow.get(); }
    // The welcome guide's window once it was first shown; null before.
    QMainWindow* guideWindow() const { return m_guideWindow.get(); }

    // The desktop's leave for the next window brought to the front (see window_activation.h),
    // as the start that asked for it carried it; replaces one not used yet. Empty for none.
    void setActivationToken(QString token) override;
    // The start that carried the pending token opened no window: the desktop stops waiting.
    void dropActivationToken() override;

    // Refreshes the destinations and the setup status, then shows the settings window (made on
    // first use: centred, or where the user last left it) and brings it to the front, restored
    // when it was minimized.
    void showSettings() override;

    // Refreshes the setup status (not the destinations), then shows the welcome guide's window
    // (made on first use, centred; its place is not kept) and brings it to the front.
    void showGuide() override;

    // What the guide's Done does: records in the user defaults that the guide was finished, so
    // later launches open the settings window, and closes the guide's window. Opens no other.
    void finishGuide();

    // Whether one of the windows is on screen; a minimized one is not.
    bool hasVisibleWindows() const override;

    // The file-chooser portal where the session has one, else the toolkit's chooser brought to
    // the front with the pending activation token.
    void chooseFolder(const QString& title,
                      std::function<void(std::optional<QString>)> done) override;

signals:
    void activationPolicyChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void makeSettingsWindow();
    void makeGuideWindow();
    std::unique_ptr<QMainWindow> makeWindow(const char* objectName, const char* title,
                                            QWidget* content);
    void show(QMainWindow& window);
    void windowWillClose(QWidget* window);
    void saveSettingsGeometry();
    void setActivationPolicy(ActivationPolicy policy);

    DestinationsModel& m_destinations;
    SetupStatus m_setup;
    const MainMenu* m_menu;
    std::unique_ptr<QMainWindow> m_settingsWindow;
    SettingsView* m_settingsView = nullptr;
    std::unique_ptr<QMainWindow> m_guideWindow;
    SoftwareUpdater* m_updater;
    ActivationPolicy m_policy = ActivationPolicy::accessory;
    QString m_activationToken;
    PortalFolderChooser m_folderChooser;
};

} // namespace ambrevoli
