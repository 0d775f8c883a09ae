// Thunar as the module tests see it: its own extension loader (libthunarx's provider module),
// file-info interface and menus.

#include "module_harness.h"

#include <gtk/gtk.h>
extern "C" {
#include <thunarx/thunarx.h>
// Thunar's loader, which libthunarx exports for Thunar itself; its header is guarded against
// inclusion from outside.
#define THUNARX_INSIDE_THUNARX_H
#define THUNARX_COMPILATION
#include <thunarx/thunarx-provider-module.h>
#undef THUNARX_COMPILATION
#undef THUNARX_INSIDE_THUNARX_H
}

namespace ambrevoli::testing {
namespace {

GType load(const FileManager& self)
{
    // The loader looks only in Thunar's own extension folders, whatever name it is given: the
    // built module is named relative to them.
    std::string relative;
    for (char c : self.extensionFolder)
        if (c == '/')
            relative += "../";
    ThunarxProviderModule* module =
        thunarx_provider_module_new((relative + self.moduleFile).c_str());
    if (!g_type_module_use(G_TYPE_MODULE(module)))
        return 0;
    const GType* types = nullptr;
    gint count = 0;
    thunarx_provider_module_list_types(module, &types, &count);
    for (gint i = 0; i < count; ++i)
        if (g_type_is_a(types[i], THUNARX_TYPE_MENU_PROVIDER))
            return types[i];
    return 0;
}

const bool registered = registerFileManager({
    .name = "Thunar",
    .moduleFile = AMBREVOLI_MODULE_FILE,
    .extensionFolder = AMBREVOLI_EXTENSION_DIR,
    .subsystem = "ambrevoli.thunar",
    .itemPrefix = "AmbrevoliThunar::",
    .entryPoints = {"thunar_extension_initialize", "thunar_extension_list_types",
                    "thunar_extension_shutdown"},
    .hasSeparator = false,
    .load = load,
    .newFile =
        [](const char* uri) {
            return newFakeFile<ThunarxFileInfoIface>("AmbrevoliTestThunarFile",
                                                     THUNARX_TYPE_FILE_INFO, uri);
        },
    // Thunar passes its window, which libthunarx's wrappers insist on; the module never looks
    // at it, and a window needs a display: the tests call the provider's functions directly.
    .fileItems =
        [](GObject* provider, GList* files) {
            return THUNARX_MENU_PROVIDER_GET_IFACE(provider)->get_file_menu_items(
                THUNARX_MENU_PROVIDER(provider), nullptr, files);
        },
    .folderItems =
        [](GObject* provider, GObject* folder) {
            return THUNARX_MENU_PROVIDER_GET_IFACE(provider)->get_folder_menu_items(
                THUNARX_MENU_PROVIDER(provider), nullptr, THUNARX_FILE_INFO(folder));
        },
    .menuItems = [](GObject* menu) { return thunarx_menu_get_items(THUNARX_MENU(menu)); },
    .activate = [](GObject* item) { thunarx_menu_item_activate(THUNARX_MENU_ITEM(item)); },
});

} // namespace
} // namespace ambrevoli::testing
