#pragma once

#include "local_selection.h"
#include "send_to_menu.h"
#include "watched_folders.h"

#include <glib-object.h>

#include <memory>
#include <string>
#include <vector>

namespace ambrevoli {

// How one file manager's extension library makes menu items. The GTK file managers' libraries
// share one shape (an item object with "sensitive" and "activate", a menu object holding items,
// an item holding a submenu); only the functions differ. References returned are new ones.
struct MenuToolkit {
    std::string itemPrefix; // names the items "<itemPrefix>SendTo", "<itemPrefix>Destination2", …
    std::string extensionFolder; // where the file manager loads extensions from
    // `icon` is a themed icon's name, or null for none.
    GObject* (*newItem)(const char* name, const char* label, const char* icon);
    GObject* (*newMenu)();
    void (*appendItem)(GObject* menu, GObject* item);
    void (*setSubmenu)(GObject* item, GObject* menu);
    // A separator item, or null where the file manager's menus have none.
    GObject* (*newSeparator)(const char* name);
    LocationOf locationOf;
};

// A GTK file manager module's principal object, held by the menu provider GObject the file
// manager creates: the menu core's Send To menu for a selection, drawn with the file manager's
// menu items, and its clicks handed back to the core.
//
// The file manager asks for menus and delivers clicks on its main thread; construction and
// destruction must happen on the thread that runs the default main context (see
// WatchedFolders). Each item carries what a click on it needs (the destination's identifier and
// the selection's paths), because a file manager may keep a menu while another is built. No
// operation throws on a failure of its own; only allocation failures propagate, which the
// module's callback guard stops.
class FileManagerMenu {
public:
    // Logs where the module runs from and starts watching folders. Menu items keep a reference to
    // `owner` (the provider object holding this one), so that it outlives every item it made.
    FileManagerMenu(GObject* owner, MenuToolkit toolkit);
    FileManagerMenu(const FileManagerMenu&) = delete;
    FileManagerMenu& operator=(const FileManagerMenu&) = delete;

    // The menu for the selected `files` (the file manager's file-info objects): a list holding one
    // item, "Send To", whose submenu has one item per destination (named
    // "<prefix>Destination<tag>"), or the insensitive "<prefix>NoDestinations"; then
    // "<prefix>OtherFolder"; when drives are offered (desktopMounts() through the menu core), a
    // separator "<prefix>DrivesSeparator" where the toolkit has one and an item per drive with a
    // drive icon ("<prefix>Drive<tag>"); then a separator "<prefix>Separator" where the toolkit
    // has one and "<prefix>EditDestinations". No menu (nullptr) unless the
    // selection is not empty and every item in it is a local file under a watched folder. The
    // caller owns the list and its items.
    GList* fileItems(GList* files);

private:
    GList* buildMenu(const SendToMenu& menu, std::vector<std::string> sources);

    GObject* m_owner;
    MenuToolkit m_toolkit;
    std::unique_ptr<WatchedFolders> m_watchedFolders;
};

} // namespace ambrevoli
