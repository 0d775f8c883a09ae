#pragma once

#include <string>
#include <string_view>

// The few user-visible phrases that name the operating system's own places (its settings, its
// file manager, its info window) or its keys. Each has one wording per platform: the macOS column
// holds the product's original words, the Linux column changes only the platform's words.
// Every other user-visible text is the same on every platform and is written where it is used.
// The Linux column is translated through the catalogs (translation.h); the macOS one is not.

namespace ambrevoli {

enum class Platform { macOS, linuxDesktop };

// The platform this build runs on; its column is the one users see.
#if defined(__APPLE__)
inline constexpr Platform currentPlatform = Platform::macOS;
#else
inline constexpr Platform currentPlatform = Platform::linuxDesktop;
#endif

enum class Phrase {
    systemDidntLet, // opens a sentence about a refusal by the system: "… Ambrevoli read …"
    allowProtectedFolder, // advice when the refused folder is a protected location
    unlockLockedFolder,   // advice when the refused destination may be locked
    downloadThenResend,   // advice for an item whose content is not on this machine
    destinationsNotSaved, // the settings' sentence after an edit could not be saved
    notificationsOff,     // the settings' banner while notifications are switched off
    noDestinationsHint,   // the empty destination list's description
    addFolderHelp,        // help texts naming a keyboard shortcut, in the platform's key names
    moveUpHelp,
    moveDownHelp,
    guideIntroduction,  // the welcome guide's header: where the Send To menu appears
    extensionStepTitle, // the guide's step that turns the file manager's extension on
    extensionOnDetail,
    extensionNotInstalledDetail, // the extension is not where the file manager loads it from
    extensionNotLoadedDetail,    // it is, but the running file manager started before it was
    showInstallInstructions,     // the button for the first of those
    restartFileManager,          // the button for the second
    notificationsDeniedDetail,   // the guide's sentence while notifications are switched off
    folderPermissionNote, // the system's prompt for protected folders; empty where there is none
};

// The wording of `phrase` on `platform`, the Linux column in the user's language. Never empty,
// except for a phrase about something the platform does not have (folderPermissionNote on
// Linux), which callers leave out. Where the Linux column names the file manager (the welcome
// guide's rows), it names GNOME Files, "Files".
std::string wording(Phrase phrase, Platform platform = currentPlatform);

// The same, naming `fileManager` (as the user knows it: "Files", "Nemo", …) where the Linux
// column names the file manager the user runs. The macOS column always names its own.
std::string wording(Phrase phrase, std::string_view fileManager,
                    Platform platform = currentPlatform);

} // namespace ambrevoli
