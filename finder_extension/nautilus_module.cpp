// The module Nautilus loads: one GObject type, a menu provider holding a FileManagerMenu drawn
// with Nautilus's menu items, registered in Nautilus's type module, and the three functions
// Nautilus looks up. These functions are the only symbols the module exports; nothing of C++
// crosses them.

#include "callback_guard.h"
#include "provider_type.h"

#include <gio/gio.h>
// This header declares the module functions without C linkage of their own; GLib's headers,
// which hold C++ templates, are already in above and so stay out of the extern "C" block.
extern "C" {
#include <nautilus-extension.h>
}

namespace {

using ambrevoli::guarded;

GObject* newItem(const char* name, const char* label, const char* icon)
{
    return G_OBJECT(nautilus_menu_item_new(name, label, nullptr, icon));
}
GObject* newMenu() { return G_OBJECT(nautilus_menu_new()); }
void appendItem(GObject* menu, GObject* item)
{
    nautilus_menu_append_item(NAUTILUS_MENU(menu), NAUTILUS_MENU_ITEM(item));
}
void setSubmenu(GObject* item, GObject* menu)
{
    nautilus_menu_item_set_submenu(NAUTILUS_MENU_ITEM(item), NAUTILUS_MENU(menu));
}
GFile* locationOf(gpointer info)
{
    return nautilus_file_info_get_location(NAUTILUS_FILE_INFO(info));
}

// Nautilus's menus have no separators: "Edit Destinations…" simply comes last.
const ambrevoli::MenuToolkit toolkit{
    "AmbrevoliFinder::",
    AMBREVOLI_EXTENSION_DIR,
    newItem,
    newMenu,
    appendItem,
    setSubmenu,
    nullptr,
    locationOf,
};

GType finderSyncType = 0;

GList* getFileItems(NautilusMenuProvider* provider, GList* files)
{
    return guarded("building the menu", static_cast<GList*>(nullptr), [&] {
        ambrevoli::FileManagerMenu* menu = ambrevoli::providerMenu(provider);
        return menu ? menu->fileItems(files) : nullptr;
    });
}

// The menu of a folder's background (a right-click on no item) has nothing to send.
GList* getBackgroundItems(NautilusMenuProvider*, NautilusFileInfo*) { return nullptr; }

void initMenuProvider(gpointer iface, gpointer)
{
    auto* provider = static_cast<NautilusMenuProviderInterface*>(iface);
    provider->get_file_items = getFileItems;
    provider->get_background_items = getBackgroundItems;
}

} // namespace

extern "C" {

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module)
{
    guarded("registering the extension", [&] {
        const GTypeInfo info = ambrevoli::providerTypeInfo(toolkit);
        const GInterfaceInfo menuProvider = {initMenuProvider, nullptr, nullptr};
        GType type = g_type_module_register_type(module, G_TYPE_OBJECT, "AmbrevoliFinderSync",
                                                 &info, GTypeFlags(0));
        g_type_module_add_interface(module, type, NAUTILUS_TYPE_MENU_PROVIDER, &menuProvider);
        finderSyncType = type;
    });
}

// Nautilus keeps its providers until it exits; the module holds nothing beyond them.
G_MODULE_EXPORT void nautilus_module_shutdown(void) {}

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* count)
{
    *types = &finderSyncType;
    *count = finderSyncType != 0 ? 1 : 0;
}

} // extern "C"
