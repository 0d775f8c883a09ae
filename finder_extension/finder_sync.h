#pragma once

#include "send_to_menu.h"
#include "uuid.h"
#include "watched_folders.h"

#include <glib-object.h>

#include <memory>
#include <string>
#include <vector>

namespace ambrevoli {

// The extension's principal object, held by the menu provider GObject Nautilus creates: the menu
// core's Send To menu for a selection, drawn with Nautilus's menu items, and its clicks handed
// back to the core.
//
// Nautilus asks for menus and delivers clicks on its main thread; nothing here depends on that
// except that construction and destruction must happen on the thread that runs the default main
// context (see WatchedFolders). Menus and clicks share no state: GNOME Files keeps a menu per
// window, built when its selection changed, so each item carries what a click on it needs. No
// operation throws on a failure of its own (failures are logged); only allocation failures
// propagate.
class FinderSync {
public:
    // Logs where the module runs from and starts watching folders. Menu items keep a reference to
    // `owner` (the provider object holding this one), so that it outlives every item it made.
    explicit FinderSync(GObject* owner);
    FinderSync(const FinderSync&) = delete;
    FinderSync& operator=(const FinderSync&) = delete;

    // The menu for the selected `files` (a list of NautilusFileInfo*): a list holding one
    // NautilusMenuItem, "Send To", whose submenu has one item per destination (named
    // "AmbrevoliFinder::Destination<tag>", the tag being its position plus 1), or the insensitive
    // "No Destinations", then "Edit Destinations…". Each destination item keeps its
    // destination's identifier and the selection's paths, so that a click sends exactly what
    // the menu showed, however the list changed since. No menu (nullptr) unless the selection is
    // not empty and every item in it is a local file ("file" scheme) under a watched folder. The
    // caller owns the list and its items.
    GList* fileItems(GList* files);

    // A click on the destination item with `tag`, made for the destination `destinationID` and a
    // selection with these `sources` paths, in order. A destination removed since its menu was
    // built gets nothing.
    void sendToDestination(long tag, const Uuid& destinationID,
                           const std::vector<std::string>& sources);

    // A click on "Edit Destinations…": the host, brought to the front with its settings.
    void editDestinations();

private:
    GList* buildMenu(const SendToMenu& menu, const std::vector<std::string>& sources);

    GObject* m_owner;
    std::unique_ptr<WatchedFolders> m_watchedFolders;
};

} // namespace ambrevoli
