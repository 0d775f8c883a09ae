#pragma once

#include "module_log.h"
#include "temp_dir.h"

#include <gio/gio.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// A stand-in for a GTK file manager (GNOME Files, Nemo, Caja, Thunar): loads the built module the
// way that file manager does, makes its menu provider and hands it selections of fake files.
// Each file manager is described by a FileManager from its own tests folder. The ones the shared
// module tests run over register theirs; GNOME Files has tests of its own and only uses the
// harness.

namespace ambrevoli::testing {

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T> using Ref = std::unique_ptr<T, GObjectDeleter>;

// What the tests need to know of one file manager and its module.
struct FileManager {
    std::string name;                     // "Nemo"
    std::string moduleFile;               // the built module
    std::string extensionFolder;          // where the file manager loads extensions from
    std::string subsystem;                // the module's log lines' subsystem, "ambrevoli.nemo"
    std::string itemPrefix;               // "AmbrevoliNemo::"
    std::vector<std::string> entryPoints; // the only symbols the module may export
    bool hasSeparator = false; // whether the submenu has a separator before "Edit Destinations…"

    // Loads the module as the file manager does and yields the menu provider type it listed
    // (0 and a test failure when it lists none).
    GType (*load)(const FileManager& self) = nullptr;
    // A new object implementing the file manager's file-info interface for `uri`.
    GObject* (*newFile)(const char* uri) = nullptr;
    // The provider's items for a selection of file-info objects, and for a folder's background.
    GList* (*fileItems)(GObject* provider, GList* files) = nullptr;
    GList* (*folderItems)(GObject* provider, GObject* folder) = nullptr;
    // The items of a menu object (a new list holding references), and a click on an item.
    GList* (*menuItems)(GObject* menu) = nullptr;
    void (*activate)(GObject* item) = nullptr;
};

// Adds a file manager to the ones the tests run over; called by a static initializer in its
// tests folder, before main().
bool registerFileManager(FileManager fileManager);
const std::vector<FileManager>& registeredFileManagers();
void PrintTo(const FileManager& fileManager, std::ostream* out);

// Loads a module as Nemo and Caja (and GNOME Files) do: g_module_open, a type module, and the
// module functions named "<prefix>_module_initialize" and "<prefix>_module_list_types". Yields
// the listed type that implements `providerInterface`.
GType loadTypeModule(const std::string& moduleFile, const std::string& prefix,
                     GType providerInterface);

// The type of fake file-info objects for an interface: a GObject holding a URI (fakeFileURI),
// with `initInterface` filling in the interface's functions.
GType fakeFileType(const char* typeName, GType fileInfoInterface, GInterfaceInitFunc initInterface);
GObject* newFakeFile(GType type, const char* uri);
const char* fakeFileURI(gpointer fakeFile);

// Fills in those of a file-info interface's functions that the four file managers share, as far
// as `Interface` has them, answered from the fake file's URI: the file is local or not by its
// scheme, its name is the URI's last component, and it is never gone.
template <class Interface> void initFakeFileInterface(gpointer iface, gpointer)
{
    auto* info = static_cast<Interface*>(iface);
    info->get_location = [](auto* file) { return g_file_new_for_uri(fakeFileURI(file)); };
    info->get_uri = [](auto* file) { return g_strdup(fakeFileURI(file)); };
    info->get_uri_scheme = [](auto* file) { return g_uri_parse_scheme(fakeFileURI(file)); };
    info->get_name = [](auto* file) {
        GFile* location = g_file_new_for_uri(fakeFileURI(file));
        char* name = g_file_get_basename(location);
        g_object_unref(location);
        return name;
    };
    if constexpr (requires { info->get_activation_uri; })
        info->get_activation_uri = info->get_uri;
    if constexpr (requires { info->is_gone; })
        info->is_gone = [](auto*) -> gboolean { return FALSE; };
}

// A new fake file of the file manager whose file-info interface is `Interface`, registered as
// `typeName` on first use.
template <class Interface>
GObject* newFakeFile(const char* typeName, GType fileInfoInterface, const char* uri)
{
    return newFakeFile(fakeFileType(typeName, fileInfoInterface, initFakeFileInterface<Interface>),
                       uri);
}

// The process as a file manager's would be, set up once before anything of GLib runs: the
// module logs to stderr, GIO uses only its built-in local file system and volume monitor (no
// desktop services, whatever the machine has), $HOME is a folder of the test's own, and the
// variables the tests set (AMBREVOLI_HOST, XDG_RUNTIME_DIR, XDG_DATA_HOME) are already there.
void setUpProcess();
const std::string& home();

// Sets up the process (setUpProcess) and loads the module of `fileManager`, once; throws when
// it lists no menu provider. Yields the provider type.
GType loadModule(const FileManager& fileManager);
// A new provider of the module, as the file manager makes one per listed type; its watched
// folders are declared only once the main loop runs.
Ref<GObject> newProvider(const FileManager& fileManager);
// A new provider once the main loop has run: its watched folders declared.
Ref<GObject> newStartedProvider(const FileManager& fileManager);

// Runs the default main context until nothing is left to dispatch.
void drainMainLoop();

// Runs the default main context until `log` holds a line equal to `line` (true) or `patience`
// has passed (false).
bool waitFor(const ModuleLog& log, const std::string& line,
             std::chrono::milliseconds patience = std::chrono::seconds(20));

std::string fileURI(const std::string& path);

// Makes GIO answer the URIs that start with `uriPrefix` (a network share's, "sftp://host/") as
// the desktop does while the share is mounted: with files whose local path lies under
// `fuseRoot`, its FUSE path, or with no local path where `fuseRoot` is empty (the FUSE bridge
// not running). Other URIs of the scheme get no local path either.
void mountShare(const std::string& uriPrefix, const std::string& fuseRoot);

// An item of a menu, read through its properties.
struct MenuEntry {
    std::string name;
    std::string label;
    bool sensitive = false;
    friend bool operator==(const MenuEntry&, const MenuEntry&) = default;
};
void PrintTo(const MenuEntry& entry, std::ostream* out);

// A selection of fake files of one file manager, as the list it hands to its providers.
class Selection {
public:
    Selection(const FileManager& fileManager, const std::vector<std::string>& uris);
    ~Selection();
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

    const FileManager& fileManager() const { return m_fileManager; }
    GList* list() const { return m_list; }

private:
    const FileManager& m_fileManager;
    GList* m_list = nullptr;
};

// The items a provider returned, owned.
class Menu {
public:
    Menu(const FileManager& fileManager, GList* items) : m_fileManager(fileManager), m_items(items)
    {}
    ~Menu();
    Menu(const Menu&) = delete;
    Menu& operator=(const Menu&) = delete;

    bool empty() const { return m_items == nullptr; }
    std::vector<MenuEntry> entries() const;
    // The items of the submenu of the only top-level item.
    std::vector<MenuEntry> submenu() const;
    // Clicks the submenu item named `name`.
    void activate(const std::string& name) const;

private:
    const FileManager& m_fileManager;
    GList* m_items;
};

// The provider's menu for `selection`, and for a right-click on the background of the folder at
// `folderURI`.
Menu fileItems(GObject* provider, const Selection& selection);
Menu folderItems(const FileManager& fileManager, GObject* provider, const std::string& folderURI);

} // namespace ambrevoli::testing
