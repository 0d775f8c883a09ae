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

TEST(WordingTest, SettingsRowsNameEachPlatformsPlacesAndKeys)
{
    for (const Pinned& row : settingsRows) {
        EXPECT_EQ(wording(row.phrase, Platform::macOS), row.macOS) << row.macOS;
        EXPECT_EQ(wording(row.phrase, Platform::linuxDesktop), row.linuxDesktop)
            << row.linuxDesktop;
        EXPECT_EQ(wording(row.phrase), row.linuxDesktop) << row.linuxDesktop;
    }
}

} // namespace
} // namespace ambrevoli
