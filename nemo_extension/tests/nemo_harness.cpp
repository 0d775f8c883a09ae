// Nemo as the module tests see it: its module functions, file-info interface and menus.

#include "module_harness.h"

#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <libnemo-extension/nemo-menu.h>

namespace ambrevoli::testing {
namespace {

const bool registered = registerFileManager({
    .name = "Nemo",
    .moduleFile = AMBREVOLI_MODULE_FILE,
    .extensionFolder = AMBREVOLI_EXTENSION_DIR,
    .subsystem = "ambrevoli.nemo",
    .itemPrefix = "AmbrevoliNemo::",
    .entryPoints = {"nemo_module_initialize", "nemo_module_list_types", "nemo_module_shutdown"},
    .hasSeparator = true,
    .load =
        [](const FileManager& self) {
            return loadTypeModule(self.moduleFile, "nemo", NEMO_TYPE_MENU_PROVIDER);
        },
    .newFile =
        [](const char* uri) {
            return newFakeFile<NemoFileInfoInterface>("AmbrevoliTestNemoFile", NEMO_TYPE_FILE_INFO,
                                                      uri);
        },
    .fileItems =
        [](GObject* provider, GList* files) {
            return nemo_menu_provider_get_file_items(NEMO_MENU_PROVIDER(provider), nullptr, files);
        },
    .folderItems =
        [](GObject* provider, GObject* folder) {
            return nemo_menu_provider_get_background_items(NEMO_MENU_PROVIDER(provider), nullptr,
                                                           NEMO_FILE_INFO(folder));
        },
    .menuItems = [](GObject* menu) { return nemo_menu_get_items(NEMO_MENU(menu)); },
    .activate = [](GObject* item) { nemo_menu_item_activate(NEMO_MENU_ITEM(item)); },
});

} // namespace
} // namespace ambrevoli::testing
