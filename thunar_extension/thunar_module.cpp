// The extension Thunar loads: one GObject type, a menu provider holding a FileManagerMenu,
// registered through Thunar's provider plugin, and the three functions Thunar looks up. These
// functions are the only symbols the module exports; nothing of C++ crosses them.

#include "callback_guard.h"
#include "provider_type.h"

#include <gtk/gtk.h>
// Some of these headers declare functions without C linkage of their own; GLib's and GTK's
// headers, which hold C++ templates, are already in above and so stay out of the extern "C"
// block.
extern "C" {
#include <thunarx/thunarx.h>
}

namespace {

using ambrevoli::guarded;

GObject* newItem(const char* name, const char* label, const char* icon)
{
    return G_OBJECT(thunarx_menu_item_new(name, label, "", icon));
}
GObject* newMenu() { return G_OBJECT(thunarx_menu_new()); }
void appendItem(GObject* menu, GObject* item)
{
    thunarx_menu_append_item(THUNARX_MENU(menu), THUNARX_MENU_ITEM(item));
}
void setSubmenu(GObject* item, GObject* menu)
{
    thunarx_menu_item_set_menu(THUNARX_MENU_ITEM(item), THUNARX_MENU(menu));
}
GFile* locationOf(gpointer info) { return thunarx_file_info_get_location(THUNARX_FILE_INFO(info)); }

// Thunar's menus take no separator items from extensions: "Edit Destinations…" simply comes last.
const ambrevoli::MenuToolkit toolkit{
    "AmbrevoliThunar::", AMBREVOLI_EXTENSION_DIR, newItem, newMenu, appendItem, setSubmenu, nullptr,
    locationOf,
};

GType providerType = 0;

GList* getFileMenuItems(ThunarxMenuProvider* provider, GtkWidget*, GList* files)
{
    return guarded("building the menu", static_cast<GList*>(nullptr), [&] {
        ambrevoli::FileManagerMenu* menu = ambrevoli::providerMenu(provider);
        return menu ? menu->fileItems(files) : nullptr;
    });
}

// A folder's own menu (a right-click on its background) and a drop have nothing to send.
GList* getFolderMenuItems(ThunarxMenuProvider*, GtkWidget*, ThunarxFileInfo*) { return nullptr; }
GList* getDndMenuItems(ThunarxMenuProvider*, GtkWidget*, ThunarxFileInfo*, GList*)
{
    return nullptr;
}

void initMenuProvider(gpointer iface, gpointer)
{
    auto* provider = static_cast<ThunarxMenuProviderIface*>(iface);
    provider->get_file_menu_items = getFileMenuItems;
    provider->get_folder_menu_items = getFolderMenuItems;
    provider->get_dnd_menu_items = getDndMenuItems;
}

} // namespace

extern "C" {

G_MODULE_EXPORT void thunar_extension_initialize(ThunarxProviderPlugin* plugin)
{
    guarded("registering the extension", [&] {
        // The type's instances hold signal connections to GIO's volume monitor and menu items
        // that refer to this code: the module must never be unloaded while Thunar runs.
        thunarx_provider_plugin_set_resident(plugin, TRUE);
        const GTypeInfo info = ambrevoli::providerTypeInfo(toolkit);
        const GInterfaceInfo menuProvider = {initMenuProvider, nullptr, nullptr};
        GType type = thunarx_provider_plugin_register_type(
            plugin, G_TYPE_OBJECT, "AmbrevoliThunarMenu", &info, GTypeFlags(0));
        thunarx_provider_plugin_add_interface(plugin, type, THUNARX_TYPE_MENU_PROVIDER,
                                              &menuProvider);
        providerType = type;
    });
}

// Thunar keeps its providers until it exits; the module holds nothing beyond them.
G_MODULE_EXPORT void thunar_extension_shutdown(void) {}

G_MODULE_EXPORT void thunar_extension_list_types(const GType** types, gint* count)
{
    *types = &providerType;
    *count = providerType != 0 ? 1 : 0;
}

} // extern "C"
