#pragma once

#include "destination.h"
#include "uuid.h"
#include "volumes.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// What every file manager's Send To menu shows and does, free of any toolkit: a file-manager
// module asks for the menu when the user right-clicks a selection, draws it with its own widgets,
// and hands a click back to sendToDestination() or editDestinations(). Everything the menu logs
// (on the "extension" category of the module's own bundle) is logged here, so that every file
// manager leaves the same lines in the journal.
//
// The functions are stateless and synchronous: they read the destinations file afresh, test a
// few folders, and start the host without waiting for it, so that a file manager may call them
// on its main thread. None throws on a failure of its own (failures are logged); only allocation
// failures propagate, which the module's callback guard stops (callback_guard.h).

namespace ambrevoli {

// The submenu's title, the item shown in place of an empty list, the item that lets the user
// choose any folder, and the last item, which brings up the host's settings: in the user's
// language, looked up at each call, as the file manager's own menus are.
std::string sendToLabel();
std::string noDestinationsLabel();
std::string otherFolderLabel();
std::string editDestinationsLabel();

// One destination's item. A click on it is sent to `destinationID`, whatever the list looks like
// by then (a destination removed since gets nothing); `tag` (its position plus 1) is what the
// click's log line names.
struct DestinationItem {
    // The destination's label as the user wrote it, no toolkit escaping; for a destination on a
    // network share that is not mounted, followed by " — <share> isn't connected".
    std::string label;
    bool enabled = false;
    Uuid destinationID;
    long tag = 0;

    friend bool operator==(const DestinationItem&, const DestinationItem&) = default;
};

// One mounted volume's item, always enabled. A click is sent to the root of exactly this volume:
// should another one be mounted there by then, the host copies nothing. `tag` is its position
// among the drives plus 1.
struct DriveItem {
    std::string label; // the name the desktop shows, no toolkit escaping
    VolumeTarget volume;
    long tag = 0;

    friend bool operator==(const DriveItem&, const DriveItem&) = default;
};

// The Send To submenu, top to bottom: one item per destination in list order or, when there is
// none, the disabled "No Destinations"; "Other Folder…", always enabled; when there are drives,
// a separator (where the toolkit has them) and one item per drive; then a separator and "Edit
// Destinations…", always enabled.
struct SendToMenu {
    std::vector<DestinationItem> destinations;
    std::vector<DriveItem> drives;

    bool showsNoDestinations() const { return destinations.empty(); }
    long disabledCount() const;

    friend bool operator==(const SendToMenu&, const SendToMenu&) = default;
};

// The mounted file systems as the file manager sees them; asked only when drives are shown.
using MountSource = std::function<std::vector<MountCandidate>()>;

// The menu for the destinations file and the menu options as they are now. A destinations file
// that cannot be read is logged ("Couldn't load destinations") and gives the menu of an empty
// list. Logs "Built the menu: <n> destinations, <d> disabled". With "Show drives in Send To" on
// (MenuOptions), the drives are the volumes offeredVolumes() picks from `mounts`, and "Offered
// <k> drives" is logged when there are any; with it off, `mounts` is not called. Without `mounts`,
// no drives.
SendToMenu buildSendToMenu(const MountSource& mounts = {});

// The menu for `destinations`, in their order, and `drives`, in theirs. A destination is enabled
// when its path is a folder (following links) or, failing that, when probeBookmark() says so.
SendToMenu buildSendToMenu(const std::vector<Destination>& destinations,
                           const std::vector<Volume>& drives = {});

// Whether the bookmark of a destination whose path is not a folder leads to a folder outside the
// trash. No bookmark: no, silently. Otherwise logs the failure to resolve, or the outcome and
// whether the bookmark is stale. Searches a small budget of entries, so that the menu comes up
// at once; neither the destination nor its bookmark is changed.
bool probeBookmark(const Destination& destination);

// A click on the item with `tag`, made for `destinationID`, with the selected items' absolute
// local paths in the file manager's order. Logs the click, then sends (sendSelection): the
// request is written and the host woken in the background, or the failing step is logged.
void sendToDestination(long tag, const Uuid& destinationID, std::vector<std::string> sources);

// A click on the drive item with `tag`: logs "Clicked drive <tag>, <n> items", then sends to the
// root of `volume` as sendToDestination() sends.
void sendToDrive(long tag, const VolumeTarget& volume, std::vector<std::string> sources);

// A click on "Other Folder…": logs "Clicked Other Folder, <n> items", then sends a request that
// asks the host to let the user choose the folder.
void sendToOtherFolder(std::vector<std::string> sources);

// A click on "Edit Destinations…": the host, brought to the front with its settings.
// `activationToken` is the desktop's leave for its window to take the focus, empty when the
// toolkit has none. Yields whether the host was started; when not, the failure is logged and the
// caller withdraws the token it asked for.
bool editDestinations(std::string_view activationToken = {});

// Logs "Running from <extensionFolder>: true" when this module was loaded from the folder its
// file manager loads extensions from, "…: false" when from anywhere else.
void logRunningLocation(std::string_view extensionFolder);

} // namespace ambrevoli
