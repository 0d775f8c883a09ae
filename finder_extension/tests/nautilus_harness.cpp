#include "nautilus_harness.h"

#include <nautilus-extension.h>

namespace ambrevoli::testing {

const FileManager& nautilus()
{
    static const FileManager nautilus{
        .name = "Nautilus",
        .moduleFile = AMBREVOLI_FINDER_MODULE,
        .extensionFolder = NAUTILUS_EXTENSION_DIR,
        .subsystem = "ambrevoli.finder",
        .itemPrefix = "AmbrevoliFinder::",
        .entryPoints = {"nautilus_module_initialize", "nautilus_module_list_types",
                        "nautilus_module_shutdown"},
        .hasSeparator = false,
        .load =
            [](const FileManager& self) {
                return loadTypeModule(self.moduleFile, "nautilus", NAUTILUS_TYPE_MENU_PROVIDER);
            },
        .newFile =
            [](const char* uri) {
                return newFakeFile<NautilusFileInfoInterface>("AmbrevoliTestNautilusFile",
                                                              NAUTILUS_TYPE_FILE_INFO, uri);
            },
        .fileItems =
            [](GObject* provider, GList* files) {
                return nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(provider),
                                                             files);
            },
        .folderItems =
            [](GObject* provider, GObject* folder) {
                return nautilus_menu_provider_get_background_items(NAUTILUS_MENU_PROVIDER(provider),
                                                                   NAUTILUS_FILE_INFO(folder));
            },
        .menuItems = [](GObject* menu) { return nautilus_menu_get_items(NAUTILUS_MENU(menu)); },
        .activate = [](GObject* item) { nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(item)); },
    };
    return nautilus;
}

} // namespace ambrevoli::testing
