// The module Caja loads: one GObject type, a menu provider holding a FileManagerMenu, registered
// in Caja's type module, and the three functions Caja looks up. These functions are the only
// symbols the module exports; nothing of C++ crosses them.

#include "callback_guard.h"
#include "provider_type.h"

#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libcaja-extension/caja-menu.h>

namespace {

using ambrevoli::guarded;

GObject* newItem(const char* name, const char* label, const char* icon)
{
    return G_OBJECT(caja_menu_item_new(name, label, "", icon));
}
GObject* newMenu() { return G_OBJECT(caja_menu_new()); }
void appendItem(GObject* menu, GObject* item)
{
    caja_menu_append_item(CAJA_MENU(menu), CAJA_MENU_ITEM(item));
}
void setSubmenu(GObject* item, GObject* menu)
{
    caja_menu_item_set_submenu(CAJA_MENU_ITEM(item), CAJA_MENU(menu));
}
GFile* locationOf(gpointer info) { return caja_file_info_get_location(CAJA_FILE_INFO(info)); }

const ambrevoli::MenuToolkit toolkit{
    "AmbrevoliCaja::", AMBREVOLI_EXTENSION_DIR, newItem, newMenu, appendItem, setSubmenu, nullptr,
    locationOf,
};

GType providerType = 0;

GList* getFileItems(CajaMenuProvider* provider, GtkWidget*, GList* files)
{
    return guarded("building the menu", static_cast<GList*>(nullptr), [&] {
        ambrevoli::FileManagerMenu* menu = ambrevoli::providerMenu(provider);
        return menu ? menu->fileItems(files) : nullptr;
    });
}

// The menu of a folder's background (a right-click on no item) and the toolbar have nothing to
// send.
GList* getFolderItems(CajaMenuProvider*, GtkWidget*, CajaFileInfo*) { return nullptr; }

void initMenuProvider(gpointer iface, gpointer)
{
    auto* provider = static_cast<CajaMenuProviderIface*>(iface);
    provider->get_file_items = getFileItems;
    provider->get_background_items = getFolderItems;
    provider->get_toolbar_items = getFolderItems;
}

} // namespace

extern "C" {

G_MODULE_EXPORT void caja_module_initialize(GTypeModule* module)
{
    guarded("registering the extension", [&] {
        const GTypeInfo info = ambrevoli::providerTypeInfo(toolkit);
        const GInterfaceInfo menuProvider = {initMenuProvider, nullptr, nullptr};
        GType type = g_type_module_register_type(module, G_TYPE_OBJECT, "AmbrevoliCajaMenu", &info,
                                                 GTypeFlags(0));
        g_type_module_add_interface(module, type, CAJA_TYPE_MENU_PROVIDER, &menuProvider);
        providerType = type;
    });
}

// Caja keeps its providers until it exits; the module holds nothing beyond them.
G_MODULE_EXPORT void caja_module_shutdown(void) {}

G_MODULE_EXPORT void caja_module_list_types(const GType** types, int* count)
{
    *types = &providerType;
    *count = providerType != 0 ? 1 : 0;
}

} // extern "C"
