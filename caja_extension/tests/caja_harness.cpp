// Caja as the module tests see it: its module functions, file-info interface and menus.

#include "module_harness.h"

#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libcaja-extension/caja-menu.h>

namespace ambrevoli::testing {
namespace {

const bool registered = registerFileManager({
    .name = "Caja",
    .moduleFile = AMBREVOLI_MODULE_FILE,
    .extensionFolder = AMBREVOLI_EXTENSION_DIR,
    .subsystem = "ambrevoli.caja",
    .itemPrefix = "AmbrevoliCaja::",
    .entryPoints = {"caja_module_initialize", "caja_module_list_types", "caja_module_shutdown"},
    .hasSeparator = false,
    .load =
        [](const FileManager& self) {
            return loadTypeModule(self.moduleFile, "caja", CAJA_TYPE_MENU_PROVIDER);
        },
    .newFile =
        [](const char* uri) {
            return newFakeFile<CajaFileInfoIface>("AmbrevoliTestCajaFile", CAJA_TYPE_FILE_INFO,
                                                  uri);
        },
    .fileItems =
        [](GObject* provider, GList* files) {
            return caja_menu_provider_get_file_items(CAJA_MENU_PROVIDER(provider), nullptr, files);
        },
    .folderItems =
        [](GObject* provider, GObject* folder) {
            return caja_menu_provider_get_background_items(CAJA_MENU_PROVIDER(provider), nullptr,
                                                           CAJA_FILE_INFO(folder));
        },
    .menuItems = [](GObject* menu) { return caja_menu_get_items(CAJA_MENU(menu)); },
    .activate = [](GObject* item) { caja_menu_item_activate(CAJA_MENU_ITEM(item)); },
});

} // namespace
} // namespace ambrevoli::testing
