#include "wording.h"

#include <gtest/gtest.h>

#include <string_view>

namespace ambrevoli {
namespace {

struct Pinned {
    Phrase phrase;
    std::string_view macOS;
    std::string_view linuxDesktop;
};

// The summary's tests pin the rows it uses; these are the settings window's rows, in both
// columns, written out with the characters a reader sees.
constexpr Pinned settingsRows[] = {
    {Phrase::destinationsNotSaved,
     "Ambrevoli couldn't save that change, so Finder still shows the saved list.",
     "Ambrevoli couldn't save that change, so the file manager still shows the saved list."},
    {Phrase::notificationsOff,
     "Notifications are off, so you won't see when a copy finishes or fails. Turn them on in "
     "System Settings › Notifications.",
     "Notifications are off, so you won't see when a copy finishes or fails. Turn them on in "
     "Settings › Notifications."},
    {Phrase::noDestinationsHint, "Add a folder, or drag one here from Finder.",
     "Add a folder, or drag one here from the file manager."},
    {Phrase::addFolderHelp, "Add a folder (⌘O)", "Add a folder (Ctrl+O)"},
    {Phrase::moveUpHelp, "Move up (⌥⌘↑)", "Move up (Alt+↑)"},
    {Phrase::moveDownHelp, "Move down (⌥⌘↓)", "Move down (Alt+↓)"},
};

// The welcome guide's rows. Files has no switch for extensions, so the one sentence and button
// that send the user to the system's switch become two of each: one for an extension that is not
// installed, one for a Files that has not loaded it yet. Linux has no folder-permission prompt,
// so its note is left out.
constexpr Pinned guideRows[] = {
    {Phrase::guideIntroduction,
     "Ambrevoli adds Send To to Finder's right-click menu. Three steps get it ready.",
     "Ambrevoli adds Send To to the right-click menu of Files. Three steps get it ready."},
    {Phrase::extensionStepTitle, "Turn on the Finder extension", "Turn on the Files extension"},
    {Phrase::extensionOnDetail,
     "Ambrevoli is on, so Send To appears when you right-click in Finder.",
     "Ambrevoli is on, so Send To appears when you right-click in Files."},
    {Phrase::extensionNotInstalledDetail,
     "System Settings lists Ambrevoli under File Providers. Switch it on there.",
     "The Files extension isn't installed where Files looks for it. The install instructions say "
     "where it goes."},
    {Phrase::extensionNotLoadedDetail,
     "System Settings lists Ambrevoli under File Providers. Switch it on there.",
     "Files loads the extension when it starts. Restart Files to switch it on."},
    {Phrase::showInstallInstructions, "Open System Settings", "Show Install Instructions"},
    {Phrase::restartFileManager, "Open System Settings", "Restart Files"},
    {Phrase::notificationsDeniedDetail,
     "Notifications are off. You can turn them on in System Settings › Notifications.",
     "Notifications are off. You can turn them on in Settings › Notifications."},
    {Phrase::folderPermissionNote,
     "The first time you send something from Desktop, Documents, or Downloads, macOS asks whether "
     "Ambrevoli can open that folder. Choose Allow, so the copy can go ahead.",
     ""},
};

// The guide's rows on a desktop whose file manager is not GNOME Files: the Linux column names it,
// the macOS column still names its own.
constexpr Pinned guideRowsInNemo[] = {
    {Phrase::guideIntroduction,
     "Ambrevoli adds Send To to Finder's right-click menu. Three steps get it ready.",
     "Ambrevoli adds Send To to the right-click menu of Nemo. Three steps get it ready."},
    {Phrase::extensionStepTitle, "Turn on the Finder extension", "Turn on the Nemo extension"},
    {Phrase::extensionOnDetail,
     "Ambrevoli is on, so Send To appears when you right-click in Finder.",
     "Ambrevoli is on, so Send To appears when you right-click in Nemo."},
    {Phrase::extensionNotInstalledDetail,
     "System Settings lists Ambrevoli under File Providers. Switch it on there.",
     "The Nemo extension isn't installed where Nemo looks for it. The install instructions say "
     "where it goes."},
    {Phrase::extensionNotLoadedDetail,
     "System Settings lists Ambrevoli under File Providers. Switch it on there.",
     "Nemo loads the extension when it starts. Restart Nemo to switch it on."},
    {Phrase::restartFileManager, "Open System Settings", "Restart Nemo"},
    {Phrase::notificationsDeniedDetail,
     "Notifications are off. You can turn them on in System Settings › Notifications.",
     "Notifications are off. You can turn them on in Settings › Notifications."},
};

TEST(WordingTest, SettingsRowsNameEachPlatformsPlacesAndKeys)
{
    for (const Pinned& row : settingsRows) {
        EXPECT_EQ(wording(row.phrase, Platform::macOS), row.macOS) << row.macOS;
        EXPECT_EQ(wording(row.phrase, Platform::linuxDesktop), row.linuxDesktop)
            << row.linuxDesktop;
        EXPECT_EQ(wording(row.phrase), row.linuxDesktop) << row.linuxDesktop;
    }
}

TEST(WordingTest, GuideRowsNameEachPlatformsPlaces)
{
    for (const Pinned& row : guideRows) {
        EXPECT_EQ(wording(row.phrase, Platform::macOS), row.macOS) << row.macOS;
        EXPECT_EQ(wording(row.phrase, Platform::linuxDesktop), row.linuxDesktop) << row.macOS;
        EXPECT_EQ(wording(row.phrase, "Files", Platform::linuxDesktop), row.linuxDesktop)
            << row.macOS;
    }
}

TEST(WordingTest, GuideRowsNameTheFileManagerTheUserRuns)
{
    for (const Pinned& row : guideRowsInNemo) {
        EXPECT_EQ(wording(row.phrase, "Nemo", Platform::macOS), row.macOS) << row.macOS;
        EXPECT_EQ(wording(row.phrase, "Nemo", Platform::linuxDesktop), row.linuxDesktop)
            << row.macOS;
    }
}

} // namespace
} // namespace ambrevoli
