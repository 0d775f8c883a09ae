#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace ambrevoli {

// The user defaults (keys in hostSettings()) that decide which window a launch or a reopen opens; both
// Booleans, absent meaning false.
// Set by hand only: no window at launch.
inline constexpr char skipLaunchWindowKey[] = "AmbrevoliSkipLaunchWindow";
// Set when the user finished the welcome guide: the settings window opens instead of it.
inline constexpr char firstLaunchGuideFinishedKey[] = "FirstLaunchGuideFinished";

// The host's windows as the application core opens them: the launch sequence, reopening, the
// settings URL and "Settings…". Main thread only.
class HostWindows {
public:
    virtual ~HostWindows() = default;

    // Shows the settings window, or brings it to the front.
    virtual void showSettings() = 0;
    // Shows the welcome guide's window, or brings it to the front.
    virtual void showGuide() = 0;
    // Whether one of the host's windows is shown.
    virtual bool hasVisibleWindows() const = 0;
    // The desktop's leave for the next window brought to the front, as the start that asked
    // for it carried it; replaces one not used yet. Empty for none.
    virtual void setActivationToken(QString token) = 0;
    // The start that carried the pending token opened no window: the desktop stops waiting.
    virtual void dropActivationToken() = 0;
    // Asks the user for one folder with the desktop's chooser titled `title`, in front with the
    // pending activation token. `done` runs later with the folder's local path, or nothing when
    // the user cancelled.
    virtual void chooseFolder(const QString& title,
                              std::function<void(std::optional<QString>)> done) = 0;
};

} // namespace ambrevoli
