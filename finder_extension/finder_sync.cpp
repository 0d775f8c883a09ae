#include "finder_sync.h"

#include "activation_token.h"
#include "bookmark.h"
#include "callback_guard.h"
#include "current_destinations.h"
#include "glib_ptr.h"
#include "host_launcher.h"
#include "log.h"
#include "paths.h"
#include "sender.h"

#include <nautilus-extension.h>

#include <dlfcn.h>

#include <cstdlib>

namespace ambrevoli {

namespace {

const Logger& extensionLog() { return logger("extension"); }

// The host is started detached, through an intermediate process: its own pid is not known here.
void logHandedOff()
{
    extensionLog().log(LogLevel::standard, "Handed off to the host app, pid ", 0);
}

std::string_view boolText(bool value) { return value ? "true" : "false"; }

// GTK shows an underscore in a menu label as the mark of the next letter's shortcut; a label
// with underscores of its own shows them only when they are doubled.
std::string menuLabel(std::string_view label)
{
    std::string shown;
    for (char c : label) {
        if (c == '_')
            shown += '_';
        shown += c;
    }
    return shown;
}

// What a menu item does when clicked, owned by its signal connection.
struct ItemAction {
    GObject* owner; // one reference, keeping `sync` alive
    FinderSync* sync;
    long tag;
    Uuid destinationID;
    std::shared_ptr<const std::vector<std::string>> sources;
};

void onDestinationActivated(NautilusMenuItem*, gpointer data)
{
    guarded("sending to a destination", [&] {
        const auto* action = static_cast<const ItemAction*>(data);
        action->sync->sendToDestination(action->tag, action->destinationID, *action->sources);
    });
}

void onEditDestinationsActivated(NautilusMenuItem*, gpointer data)
{
    guarded("opening the destinations",
            [&] { static_cast<const ItemAction*>(data)->sync->editDestinations(); });
}

void releaseAction(gpointer data, GClosure*)
{
    auto* action = static_cast<ItemAction*>(data);
    g_object_unref(action->owner);
    delete action;
}

void connectAction(NautilusMenuItem* item, GCallback handler, ItemAction action)
{
    auto owned = std::make_unique<ItemAction>(std::move(action));
    g_object_ref(owned->owner);
    g_signal_connect_data(item, "activate", handler, owned.release(), releaseAction,
                          GConnectFlags(0));
}

GObjectPtr<NautilusMenuItem> newItem(const std::string& name, const std::string& label,
                                     bool sensitive)
{
    GObjectPtr<NautilusMenuItem> item(
        nautilus_menu_item_new(name.c_str(), label.c_str(), nullptr, nullptr));
    g_object_set(item.get(), "sensitive", gboolean(sensitive), nullptr);
    return item;
}

} // namespace

FinderSync::FinderSync(GObject* owner) : m_owner(owner)
{
    logRunningLocation();
    m_watchedFolders = std::make_unique<WatchedFolders>();
}

GList* FinderSync::fileItems(GList* files)
{
    std::optional<std::vector<std::string>> sources = selectedPaths(files);
    if (!sources)
        return nullptr;
    return buildMenu(loadDestinations(), *sources);
}

std::optional<std::vector<std::string>> FinderSync::selectedPaths(GList* files) const
{
    if (!files)
        return std::nullopt;
    std::vector<std::string> paths;
    for (GList* entry = files; entry; entry = entry->next) {
        GObjectPtr<GFile> location(
            nautilus_file_info_get_location(NAUTILUS_FILE_INFO(entry->data)));
        // Trash, recent, remote and other virtual locations are not "file": the host could not
        // copy from them (and some have a local path all the same, through a FUSE mount).
        if (!location || !g_file_has_uri_scheme(location.get(), "file"))
            return std::nullopt;
        GCharsPtr path(g_file_get_path(location.get()));
        if (!path || !m_watchedFolders->covers(path.get()))
            return std::nullopt;
        paths.emplace_back(path.get());
    }
    return paths;
}

std::vector<Destination> FinderSync::loadDestinations()
{
    auto destinations = ambrevoli::loadDestinations();
    if (!destinations) {
        logError(extensionLog(), "Couldn't load destinations", destinations.error());
        return {};
    }
    return std::move(*destinations);
}

GList* FinderSync::buildMenu(const std::vector<Destination>& destinations,
                             const std::vector<std::string>& sources)
{
    auto shared = std::make_shared<const std::vector<std::string>>(sources);
    GObjectPtr<NautilusMenu> submenu(nautilus_menu_new());
    long disabled = 0;
    for (std::size_t i = 0; i < destinations.size(); ++i) {
        const Destination& destination = destinations[i];
        const long tag = static_cast<long>(i) + 1;
        const bool enabled = isFolder(destination.path()) || probeBookmark(destination);
        if (!enabled)
            ++disabled;
        auto item = newItem("AmbrevoliFinder::Destination" + std::to_string(tag),
                            menuLabel(destination.label()), enabled);
        connectAction(item.get(), G_CALLBACK(onDestinationActivated),
                      {m_owner, this, tag, destination.id(), shared});
        nautilus_menu_append_item(submenu.get(), item.get());
    }
    if (destinations.empty())
        nautilus_menu_append_item(
            submenu.get(),
            newItem("AmbrevoliFinder::NoDestinations", "No Destinations", false).get());
    extensionLog().log(LogLevel::standard,
                       "Built the menu: ", static_cast<long>(destinations.size()),
                       " destinations, ", disabled, " disabled");

    // Nautilus's menus have no separators: "Edit Destinations…" simply comes last.
    auto edit = newItem("AmbrevoliFinder::EditDestinations", "Edit Destinations\u2026", true);
    connectAction(edit.get(), G_CALLBACK(onEditDestinationsActivated),
                  {m_owner, this, 0, Uuid(), nullptr});
    nautilus_menu_append_item(submenu.get(), edit.get());

    auto sendTo = newItem("AmbrevoliFinder::SendTo", "Send To", true);
    nautilus_menu_item_set_submenu(sendTo.get(), submenu.get());
    return g_list_append(nullptr, sendTo.release());
}

bool FinderSync::probeBookmark(const Destination& destination)
{
    if (!destination.bookmark())
        return false;
    BookmarkSearch search;
    search.budget = 256;
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

void FinderSync::sendToDestination(long tag, const Uuid& destinationID,
                                   const std::vector<std::string>& sources)
{
    extensionLog().log(LogLevel::standard, "Clicked tag ", tag, ", ",
                       static_cast<long>(sources.size()), " items");
    const auto sent = sendSelection(destinationID, sources);
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

void FinderSync::editDestinations()
{
    ActivationToken token = ActivationToken::forLaunching(hostExecutable());
    if (auto opened = openSettings(token.text()); !opened) {
        token.launchFailed();
        logError(extensionLog(), "Couldn't open the host app", opened.error());
        return;
    }
    logHandedOff();
}

void FinderSync::logRunningLocation()
{
    // Any address inside this module tells where it was loaded from.
    static const char anchor = 0;
    Dl_info info{};
    bool installed = false;
    if (::dladdr(&anchor, &info) != 0 && info.dli_fname) {
        const auto module = canonicalPath(info.dli_fname);
        const auto folder = canonicalPath(AMBREVOLI_NAUTILUS_EXTENSION_DIR);
        installed = module && folder && parentPath(*module) == *folder;
    }
    extensionLog().log(LogLevel::standard, "Running from " AMBREVOLI_NAUTILUS_EXTENSION_DIR ": ",
                       boolText(installed));
}

} // namespace ambrevoli
