#include "send_to_menu.h"

#include "bookmark.h"
#include "current_destinations.h"
#include "log.h"
#include "menu_options.h"
#include "network_shares.h"
#include "paths.h"
#include "sender.h"
#include "translation.h"

#include <dlfcn.h>

#include <algorithm>

namespace ambrevoli {

namespace {

const Logger& extensionLog() { return logger("extension"); }

// No pid: the URL went to a running host over its socket, or to one started detached through an
// intermediate process, and neither tells it here.
void logHandedOff() { extensionLog().log(LogLevel::standard, "Handed off to the host app"); }

std::string_view boolText(bool value) { return value ? "true" : "false"; }

// Entries a bookmark search may look at while a menu is built: enough for a folder moved nearby
// or into the trash, few enough that the menu still comes up at once.
constexpr std::size_t bookmarkSearchBudget = 256;

} // namespace

std::string sendToLabel()
{
    // TRANSLATORS: the submenu in the file manager's right-click menu of selected files.
    return translate("Send To");
}

std::string noDestinationsLabel()
{
    // TRANSLATORS: the disabled item of the Send To menu while the user has no destination
    // folders.
    return translate("No Destinations");
}

std::string otherFolderLabel()
{
    // TRANSLATORS: the Send To menu's item that asks which folder to send the items to.
    return translate("Other Folder\u2026");
}

std::string editDestinationsLabel()
{
    // TRANSLATORS: the Send To menu's last item; it opens the settings with the list of
    // destination folders.
    return translate("Edit Destinations\u2026");
}

long SendToMenu::disabledCount() const
{
    return static_cast<long>(std::ranges::count(destinations, false, &DestinationItem::enabled));
}

SendToMenu buildSendToMenu(const MountSource& mounts)
{
    auto destinations = loadDestinations();
    if (!destinations)
        logError(extensionLog(), "Couldn't load destinations", destinations.error());
    std::vector<Volume> drives;
    if (mounts && loadMenuOptions().showsDrives) {
        drives = offeredVolumes(mounts());
        // Most menus are built with nothing plugged in; their log stays as it was.
        if (!drives.empty())
            extensionLog().log(LogLevel::standard, "Offered ", static_cast<long>(drives.size()),
                               " drives");
    }
    return buildSendToMenu(destinations.value_or(std::vector<Destination>{}), drives);
}

SendToMenu buildSendToMenu(const std::vector<Destination>& destinations,
                           const std::vector<Volume>& drives)
{
    SendToMenu menu;
    menu.destinations.reserve(destinations.size());
    for (std::size_t i = 0; i < destinations.size(); ++i) {
        const Destination& destination = destinations[i];
        // The probe runs only for a folder that is not where it was.
        const bool enabled = isFolder(destination.path()) || probeBookmark(destination);
        std::string label = destination.label();
        // A share that is away is the one missing folder the user can bring back from the file
        // manager: the item says which.
        if (!enabled)
            if (const auto share = unmountedShareName(destination.path()))
                // TRANSLATORS: a Send To menu item: %1$s is the destination's label, %2$s the
                // name of the network share it is on ("photos on nas", or a server's name).
                label = formatted(translate("%1$s \u2014 %2$s isn't connected"), {label, *share});
        menu.destinations.push_back(
            {std::move(label), enabled, destination.id(), static_cast<long>(i) + 1});
    }
    for (std::size_t i = 0; i < drives.size(); ++i)
        menu.drives.push_back({drives[i].label, drives[i].target, static_cast<long>(i) + 1});
    extensionLog().log(LogLevel::standard,
                       "Built the menu: ", static_cast<long>(destinations.size()),
                       " destinations, ", menu.disabledCount(), " disabled");
    return menu;
}

bool probeBookmark(const Destination& destination)
{
    if (!destination.bookmark())
        return false;
    BookmarkSearch search;
    search.budget = bookmarkSearchBudget;
    auto resolved = resolveBookmark(*destination.bookmark(), search);
    if (!resolved) {
        logError(extensionLog(), "Bookmark probe: couldn't resolve", resolved.error());
        return false;
    }
    const bool usable = isFolder(resolved->path) && !Destination::isInTrash(resolved->path);
    extensionLog().log(LogLevel::standard,
                       "Bookmark probe: resolved, folder exists: ", boolText(usable),
                       ", stale: ", boolText(resolved->stale));
    return usable;
}

namespace {

// The outcome of a click's send, in the same lines whatever was clicked.
void logSent(const std::expected<Uuid, SendError>& sent, long tag)
{
    if (sent) {
        logHandedOff();
        return;
    }
    const SendError& error = sent.error();
    using enum SendError::Case;
    switch (error.kind) {
    case destinationsUnavailable:
        logError(extensionLog(), "Couldn't load destinations", *error.cause);
        return;
    case noSuchDestination:
        extensionLog().log(LogLevel::error, "No destination for tag ", tag);
        return;
    case requestNotWritten:
        logError(extensionLog(), "Couldn't write the request", *error.cause);
        return;
    case hostNotStarted:
        logError(extensionLog(), "Couldn't open the host app", *error.cause);
        return;
    }
}

} // namespace

void sendToDestination(long tag, const Uuid& destinationID, std::vector<std::string> sources)
{
    extensionLog().log(LogLevel::standard, "Clicked tag ", tag, ", ",
                       static_cast<long>(sources.size()), " items");
    logSent(sendSelection(destinationID, std::move(sources)), tag);
}

void sendToDrive(long tag, const VolumeTarget& volume, std::vector<std::string> sources)
{
    extensionLog().log(LogLevel::standard, "Clicked drive ", tag, ", ",
                       static_cast<long>(sources.size()), " items");
    logSent(sendSelection(volume, std::move(sources)), tag);
}

void sendToOtherFolder(std::vector<std::string> sources)
{
    extensionLog().log(LogLevel::standard, "Clicked Other Folder, ",
                       static_cast<long>(sources.size()), " items");
    logSent(sendSelection(ChosenFolder{}, std::move(sources)), 0);
}

bool editDestinations(std::string_view activationToken)
{
    if (auto opened = openSettings(activationToken); !opened) {
        logError(extensionLog(), "Couldn't open the host app", opened.error());
        return false;
    }
    logHandedOff();
    return true;
}

void logRunningLocation(std::string_view extensionFolder)
{
    // Any address inside this library tells where it was loaded from: it is linked into the
    // module the file manager loads.
    static const char anchor = 0;
    Dl_info info{};
    bool installed = false;
    if (::dladdr(&anchor, &info) != 0 && info.dli_fname) {
        const auto module = canonicalPath(info.dli_fname);
        const auto folder = canonicalPath(std::string(extensionFolder));
        installed = module && folder && parentPath(*module) == *folder;
    }
    extensionLog().log(LogLevel::standard, "Running from ", extensionFolder, ": ",
                       boolText(installed));
}

} // namespace ambrevoli
