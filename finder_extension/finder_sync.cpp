#include "finder_sync.h"

#include "activation_token.h"
#include "callback_guard.h"
#include "glib_ptr.h"
#include "host_launcher.h"
#include "local_selection.h"

#include <nautilus-extension.h>

#include <memory>
#include <optional>

namespace ambrevoli {

namespace {

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
    logRunningLocation(AMBREVOLI_NAUTILUS_EXTENSION_DIR);
    m_watchedFolders = std::make_unique<WatchedFolders>();
}

GList* FinderSync::fileItems(GList* files)
{
    const auto locationOf = [](gpointer info) {
        return nautilus_file_info_get_location(NAUTILUS_FILE_INFO(info));
    };
    std::optional<std::vector<std::string>> sources =
        localSelection(files, locationOf, *m_watchedFolders);
    if (!sources)
        return nullptr;
    return buildMenu(buildSendToMenu(), *sources);
}

GList* FinderSync::buildMenu(const SendToMenu& menu, const std::vector<std::string>& sources)
{
    auto shared = std::make_shared<const std::vector<std::string>>(sources);
    GObjectPtr<NautilusMenu> submenu(nautilus_menu_new());
    for (const DestinationItem& destination : menu.destinations) {
        auto item = newItem("AmbrevoliFinder::Destination" + std::to_string(destination.tag),
                            mnemonicSafeLabel(destination.label), destination.enabled);
        connectAction(item.get(), G_CALLBACK(onDestinationActivated),
                      {m_owner, this, destination.tag, destination.destinationID, shared});
        nautilus_menu_append_item(submenu.get(), item.get());
    }
    if (menu.showsNoDestinations())
        nautilus_menu_append_item(submenu.get(), newItem("AmbrevoliFinder::NoDestinations",
                                                         std::string(noDestinationsLabel), false)
                                                     .get());

    // Nautilus's menus have no separators: "Edit Destinations…" simply comes last.
    auto edit =
        newItem("AmbrevoliFinder::EditDestinations", std::string(editDestinationsLabel), true);
    connectAction(edit.get(), G_CALLBACK(onEditDestinationsActivated),
                  {m_owner, this, 0, Uuid(), nullptr});
    nautilus_menu_append_item(submenu.get(), edit.get());

    auto sendTo = newItem("AmbrevoliFinder::SendTo", std::string(sendToLabel), true);
    nautilus_menu_item_set_submenu(sendTo.get(), submenu.get());
    return g_list_append(nullptr, sendTo.release());
}

void FinderSync::sendToDestination(long tag, const Uuid& destinationID,
                                   const std::vector<std::string>& sources)
{
    ambrevoli::sendToDestination(tag, destinationID, sources);
}

void FinderSync::editDestinations()
{
    ActivationToken token = ActivationToken::forLaunching(hostExecutable());
    if (!ambrevoli::editDestinations(token.text()))
        token.launchFailed();
}

} // namespace ambrevoli
