// The module Nemo loads: one GObject type, a menu provider holding a FileManagerMenu, registered
// in Nemo's type module, and the three functions Nemo looks up. These functions are the only
// symbols the module exports; nothing of C++ crosses them.

#include "callback_guard.h"
#include "provider_type.h"

#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <libnemo-extension/nemo-menu.h>

namespace {

using ambrevoli::guarded;

GObject* newItem(const char* name, const char* label, const char* icon)
{
    return G_OBJECT(nemo_menu_item_new(name, label, "", icon));
}
GObject* newMenu() { return G_OBJECT(nemo_menu_new()); }
void appendItem(GObject* menu, GObject* item)
{
    nemo_menu_append_item(NEMO_MENU(menu), NEMO_MENU_ITEM(item));
}
void setSubmenu(GObject* item, GObject* menu)
{
    nemo_menu_item_set_submenu(NEMO_MENU_ITEM(item), NEMO_MENU(menu));
}
GObject* newSeparator(const char* name) { return G_OBJECT(nemo_menu_item_new_separator(name)); }
GFile* locationOf(gpointer info) { return nemo_file_info_get_location(NEMO_FILE_INFO(info)); }

const ambrevoli::MenuToolkit toolkit{
    "AmbrevoliNemo::", AMBREVOLI_EXTENSION_DIR,
    newItem,           newMenu,
    appendItem,        setSubmenu,
    newSeparator,      locationOf,
};

GType providerType = 0;

GList* getFileItems(NemoMenuProvider* provider, GtkWidget*, GList* files)
{
    return guarded("building the menu", static_cast<GList*>(nullptr), [&] {
        ambrevoli::FileManagerMenu* menu = ambrevoli::providerMenu(provider);
        return menu ? menu->fileItems(files) : nullptr;
    });
}

// The menu of a folder's background (a right-click on no item) has nothing to send.
GList* getBackgroundItems(NemoMenuProvider*, GtkWidget*, NemoFileInfo*) { return nullptr; }

void initMenuProvider(gpointer iface, gpointer)
{
    auto* provider = static_cast<NemoMenuProviderIface*>(iface);
    provider->get_file_items = getFileItems;
    provider->get_background_items = getBackgroundItems;
}

} // namespace

extern "C" {

G_MODULE_EXPORT void nemo_module_initialize(GTypeModule* module)
{
    guarded("registering the extension", [&] {
        const GTypeInfo info = ambrevoli::providerTypeInfo(toolkit);
        const GInterfaceInfo menuProvider = {initMenuProvider, nullptr, nullptr};
        GType type = g_type_module_register_type(module, G_TYPE_OBJECT, "AmbrevoliNemoMenu", &info,
                                                 GTypeFlags(0));
        g_type_module_add_interface(module, type, NEMO_TYPE_MENU_PROVIDER, &menuProvider);
        providerType = type;
    });
}

// Nemo keeps its providers until it exits; the module holds nothing beyond them.
G_MODULE_EXPORT void nemo_module_shutdown(void) {}

G_MODULE_EXPORT void nemo_module_list_types(const GType** types, int* count)
{
    *types = &providerType;
    *count = providerType != 0 ? 1 : 0;
}

} // extern "C"
