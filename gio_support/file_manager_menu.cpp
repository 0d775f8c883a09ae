#include "file_manager_menu.h"

#include "activation_token.h"
#include "callback_guard.h"
#include "desktop_mounts.h"
#include "glib_ptr.h"
#include "host_launcher.h"

#include <memory>
#include <optional>
#include <stdexcept>

namespace ambrevoli {

namespace {

// What a menu item does when clicked, owned by its signal connection.
struct ItemAction {
    GObject* owner; // one reference, keeping the provider (and its FileManagerMenu) alive
    long tag;
    Uuid destinationID;
    std::shared_ptr<const std::vector<std::string>> sources;
    VolumeTarget volume = {}; // a drive's
};

// The themed icon drive items show (the freedesktop naming specification's).
constexpr const char* driveIcon = "drive-removable-media";

void onDestinationActivated(GObject*, gpointer data)
{
    guarded("sending to a destination", [&] {
        const auto* action = static_cast<const ItemAction*>(data);
        sendToDestination(action->tag, action->destinationID, *action->sources);
    });
}

void onDriveActivated(GObject*, gpointer data)
{
    guarded("sending to a drive", [&] {
        const auto* action = static_cast<const ItemAction*>(data);
        sendToDrive(action->tag, action->volume, *action->sources);
    });
}

void onOtherFolderActivated(GObject*, gpointer data)
{
    guarded("sending to another folder",
            [&] { sendToOtherFolder(*static_cast<const ItemAction*>(data)->sources); });
}

void onEditDestinationsActivated(GObject*, gpointer)
{
    guarded("opening the destinations", [&] {
        ActivationToken token = ActivationToken::forLaunching(hostExecutable());
        if (!editDestinations(token.text()))
            token.launchFailed();
    });
}

void releaseAction(gpointer data, GClosure*)
{
    auto* action = static_cast<ItemAction*>(data);
    g_object_unref(action->owner);
    delete action;
}

void connectAction(GObject* item, GCallback handler, ItemAction action)
{
    auto owned = std::make_unique<ItemAction>(std::move(action));
    g_object_ref(owned->owner);
    g_signal_connect_data(item, "activate", handler, owned.release(), releaseAction,
                          GConnectFlags(0));
}

} // namespace

FileManagerMenu::FileManagerMenu(GObject* owner, MenuToolkit toolkit)
    : m_owner(owner), m_toolkit(std::move(toolkit))
{
    logRunningLocation(m_toolkit.extensionFolder);
    m_watchedFolders = std::make_unique<WatchedFolders>();
}

GList* FileManagerMenu::fileItems(GList* files)
{
    std::optional<std::vector<std::string>> sources =
        localSelection(files, m_toolkit.locationOf, *m_watchedFolders);
    if (!sources)
        return nullptr;
    return buildMenu(buildSendToMenu(desktopMounts), std::move(*sources));
}

GList* FileManagerMenu::buildMenu(const SendToMenu& menu, std::vector<std::string> sources)
{
    const auto newItem = [&](const std::string& name, std::string_view label, bool sensitive,
                             const char* icon = nullptr) {
        GObjectPtr<GObject> item(m_toolkit.newItem((m_toolkit.itemPrefix + name).c_str(),
                                                   std::string(label).c_str(), icon));
        // The libraries refuse arguments they find wrong with a warning and no item: then no
        // menu at all, rather than one with holes.
        if (!item)
            throw std::runtime_error("the file manager made no menu item");
        g_object_set(item.get(), "sensitive", gboolean(sensitive), nullptr);
        return item;
    };
    auto shared = std::make_shared<const std::vector<std::string>>(std::move(sources));
    GObjectPtr<GObject> submenu(m_toolkit.newMenu());
    for (const DestinationItem& destination : menu.destinations) {
        auto item = newItem("Destination" + std::to_string(destination.tag),
                            mnemonicSafeLabel(destination.label), destination.enabled);
        connectAction(item.get(), G_CALLBACK(onDestinationActivated),
                      {m_owner, destination.tag, destination.destinationID, shared});
        m_toolkit.appendItem(submenu.get(), item.get());
    }
    if (menu.showsNoDestinations())
        m_toolkit.appendItem(submenu.get(),
                             newItem("NoDestinations", noDestinationsLabel(), false).get());
    auto other = newItem("OtherFolder", otherFolderLabel(), true);
    connectAction(other.get(), G_CALLBACK(onOtherFolderActivated), {m_owner, 0, Uuid(), shared});
    m_toolkit.appendItem(submenu.get(), other.get());

    const auto appendSeparator = [&](const std::string& name) {
        if (!m_toolkit.newSeparator)
            return;
        GObjectPtr<GObject> separator(
            m_toolkit.newSeparator((m_toolkit.itemPrefix + name).c_str()));
        m_toolkit.appendItem(submenu.get(), separator.get());
    };
    if (!menu.drives.empty())
        appendSeparator("DrivesSeparator");
    for (const DriveItem& drive : menu.drives) {
        auto item = newItem("Drive" + std::to_string(drive.tag), mnemonicSafeLabel(drive.label),
                            true, driveIcon);
        connectAction(item.get(), G_CALLBACK(onDriveActivated),
                      {m_owner, drive.tag, Uuid(), shared, drive.volume});
        m_toolkit.appendItem(submenu.get(), item.get());
    }
    appendSeparator("Separator");
    auto edit = newItem("EditDestinations", editDestinationsLabel(), true);
    connectAction(edit.get(), G_CALLBACK(onEditDestinationsActivated),
                  {m_owner, 0, Uuid(), nullptr});
    m_toolkit.appendItem(submenu.get(), edit.get());

    auto sendTo = newItem("SendTo", sendToLabel(), true);
    m_toolkit.setSubmenu(sendTo.get(), submenu.get());
    return g_list_append(nullptr, sendTo.release());
}

} // namespace ambrevoli
