#include "wording.h"

#include "translation.h"

#include <array>
#include <string>
#include <utility>

namespace ambrevoli {

namespace {

struct Row {
    Phrase phrase;
    std::string_view macOS;
    std::string_view linuxDesktop;
};

// One row per phrase, in the order of the enumeration. On Linux the refusals come from an
// immutable flag, a sandbox or a security module rather than from a settings pane, and items are
// never cloud placeholders, but the sentences keep their shape.
constexpr std::array rows{
    // Not a sentence of its own: the summaries write their refusals as whole sentences, and only
    // the macOS column is still assembled from it.
    Row{Phrase::systemDidntLet, "macOS didn't let", "The system didn't let"},
    Row{Phrase::allowProtectedFolder,
        "Allow it in System Settings \u203A Privacy & Security \u203A Files & Folders.",
        // TRANSLATORS: advice in a notification after the system refused access to a folder.
        N_("Allow it in the sandbox or security policy that protects the folder.")},
    Row{Phrase::unlockLockedFolder, "If the folder is locked, unlock it in its Get Info window.",
        // TRANSLATORS: advice in a notification; "chattr -i" is a command, keep it as it is.
        N_("If the folder is locked, unlock it with chattr -i.")},
    Row{Phrase::downloadThenResend, "Download it in Finder, then send it again.",
        N_("Download it in the file manager, then send it again.")},
    Row{Phrase::destinationsNotSaved,
        "Ambrevoli couldn't save that change, so Finder still shows the saved list.",
        // TRANSLATORS: shown in the settings window when the list of destinations could not be
        // saved.
        N_("Ambrevoli couldn't save that change, so the file manager still shows the saved "
           "list.")},
    Row{Phrase::notificationsOff,
        "Notifications are off, so you won't see when a copy finishes or fails. Turn them on in "
        "System Settings \u203A Notifications.",
        // TRANSLATORS: "Settings › Notifications" names the desktop's settings page; use the
        // names the desktop shows in your language.
        N_("Notifications are off, so you won't see when a copy finishes or fails. Turn them on "
           "in Settings \u203A Notifications.")},
    Row{Phrase::noDestinationsHint, "Add a folder, or drag one here from Finder.",
        // TRANSLATORS: shown in the settings window's empty list of destinations.
        N_("Add a folder, or drag one here from the file manager.")},
    // TRANSLATORS: tooltips naming keyboard shortcuts; keep the key names as the keyboard shows
    // them.
    Row{Phrase::addFolderHelp, "Add a folder (\u2318O)", N_("Add a folder (Ctrl+O)")},
    Row{Phrase::moveUpHelp, "Move up (\u2325\u2318\u2191)", N_("Move up (Alt+\u2191)")},
    Row{Phrase::moveDownHelp, "Move down (\u2325\u2318\u2193)", N_("Move down (Alt+\u2193)")},
    // The guide names the file manager the user runs; {fileManager} stands for its name.
    Row{Phrase::guideIntroduction,
        "Ambrevoli adds Send To to Finder's right-click menu. Three steps get it ready.",
        // TRANSLATORS: the welcome guide's header. {fileManager} is the file manager's name
        // ("Files", "Nemo", …): keep it as it is. "Send To" is the menu's name as translated.
        N_("Ambrevoli adds Send To to the right-click menu of {fileManager}. Three steps get it "
           "ready.")},
    Row{Phrase::extensionStepTitle, "Turn on the Finder extension",
        // TRANSLATORS: a step of the welcome guide. {fileManager} is the file manager's name.
        N_("Turn on the {fileManager} extension")},
    Row{Phrase::extensionOnDetail,
        "Ambrevoli is on, so Send To appears when you right-click in Finder.",
        // TRANSLATORS: {fileManager} is the file manager's name.
        N_("Ambrevoli is on, so Send To appears when you right-click in {fileManager}.")},
    // The file managers here have no switch for extensions: one is on once it is installed where
    // the file manager looks for it and the file manager has started since.
    Row{Phrase::extensionNotInstalledDetail,
        "System Settings lists Ambrevoli under File Providers. Switch it on there.",
        // TRANSLATORS: {fileManager} is the file manager's name.
        N_("The {fileManager} extension isn't installed where {fileManager} looks for it. The "
           "install instructions say where it goes.")},
    Row{Phrase::extensionNotLoadedDetail,
        "System Settings lists Ambrevoli under File Providers. Switch it on there.",
        // TRANSLATORS: {fileManager} is the file manager's name.
        N_("{fileManager} loads the extension when it starts. Restart {fileManager} to switch it "
           "on.")},
    Row{Phrase::showInstallInstructions, "Open System Settings",
        // TRANSLATORS: a button in the welcome guide.
        N_("Show Install Instructions")},
    Row{Phrase::restartFileManager, "Open System Settings",
        // TRANSLATORS: a button; {fileManager} is the file manager's name.
        N_("Restart {fileManager}")},
    Row{Phrase::notificationsDeniedDetail,
        "Notifications are off. You can turn them on in System Settings \u203A Notifications.",
        // TRANSLATORS: "Settings › Notifications" names the desktop's settings page.
        N_("Notifications are off. You can turn them on in Settings \u203A Notifications.")},
    // Nothing on Linux asks before an application opens one of these folders.
    Row{Phrase::folderPermissionNote,
        "The first time you send something from Desktop, Documents, or Downloads, macOS asks "
        "whether Ambrevoli can open that folder. Choose Allow, so the copy can go ahead.",
        ""},
};

// Where the Linux column names the file manager the user runs.
constexpr std::string_view fileManagerMark = "{fileManager}";

// The default file manager's name, which the wording without one uses.
constexpr std::string_view defaultFileManager = "Files";

constexpr bool rowsFollowTheEnumeration()
{
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (std::to_underlying(rows[i].phrase) != static_cast<int>(i))
            return false;
    return true;
}
static_assert(rowsFollowTheEnumeration());

constexpr bool onlyAbsentThingsAreEmpty()
{
    for (const Row& row : rows)
        if (row.macOS.empty() ||
            (row.linuxDesktop.empty() && row.phrase != Phrase::folderPermissionNote))
            return false;
    return true;
}
static_assert(onlyAbsentThingsAreEmpty());

// The system's own file manager is always the one macOS names.
constexpr bool macOSNamesNoFileManager()
{
    for (const Row& row : rows)
        if (row.macOS.find(fileManagerMark) != std::string_view::npos)
            return false;
    return true;
}
static_assert(macOSNamesNoFileManager());

std::string withFileManager(std::string_view text, std::string_view fileManager)
{
    std::string filled;
    for (std::size_t mark; (mark = text.find(fileManagerMark)) != std::string_view::npos;) {
        filled.append(text.substr(0, mark)).append(fileManager);
        text.remove_prefix(mark + fileManagerMark.size());
    }
    return filled.append(text);
}

} // namespace

std::string wording(Phrase phrase, Platform platform)
{
    if (platform == Platform::macOS)
        return wording(phrase, defaultFileManager, platform);
    // TRANSLATORS: GNOME's file manager, named as the desktop names it in your language.
    return wording(phrase, translate(N_("Files")), platform);
}

std::string wording(Phrase phrase, std::string_view fileManager, Platform platform)
{
    const Row& row = rows.at(static_cast<std::size_t>(std::to_underlying(phrase)));
    if (platform == Platform::macOS)
        return std::string(row.macOS);
    // Looked up at each call, in the language of the moment; the row's text is its own key.
    if (row.linuxDesktop.empty() || row.phrase == Phrase::systemDidntLet)
        return std::string(row.linuxDesktop);
    return withFileManager(translate(row.linuxDesktop.data()), fileManager);
}

} // namespace ambrevoli
