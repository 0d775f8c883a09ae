#pragma once

#include "fake_host.h"
#include "temp_dir.h"

#include <nautilus-extension.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// A stand-in for Nautilus: loads the built module as Nautilus does (g_module_open, a type module,
// the three exported functions), makes providers and hands them selections of fake files.
//
// The module carries its own copy of the kit, whose logging a LogCapture in the test cannot see;
// the module is made to log to stderr instead, and ModuleLog reads the lines from there.

namespace ambrevoli::testing {

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T> using Ref = std::unique_ptr<T, GObjectDeleter>;

// The loaded module. The first call sets up the process for it, before anything of GLib runs:
// the module logs to stderr, GIO uses only its built-in local file system and volume monitor (no
// desktop services, whatever the machine has), and $HOME is a folder of the test's own.
class ExtensionModule {
public:
    static ExtensionModule& instance();

    // The menu provider type the module listed.
    GType providerType() const { return m_providerType; }
    // A new provider, as Nautilus makes one per listed type.
    Ref<GObject> newProvider() const;
    // A new provider once Nautilus's main loop has run: its watched folders declared.
    Ref<GObject> newStartedProvider() const;
    // The home folder the process was given.
    const std::string& home() const { return m_home.path(); }

private:
    ExtensionModule();

    ScopedTempDir m_home;
    GType m_providerType = 0;
};

// Runs the default main context until nothing is left to dispatch.
void drainMainLoop();

// The lines the module logs while this object lives, as "<level>: <text>" ("default: …",
// "error: …").
class ModuleLog {
public:
    ModuleLog();
    ~ModuleLog();
    ModuleLog(const ModuleLog&) = delete;
    ModuleLog& operator=(const ModuleLog&) = delete;

    std::vector<std::string> lines() const;
    // Runs the default main context until a line equal to `line` has been logged (true) or
    // `patience` has passed (false).
    bool waitFor(const std::string& line,
                 std::chrono::milliseconds patience = std::chrono::seconds(20)) const;
    void clear();

private:
    ScopedTempDir m_folder;
    std::string m_file;
    int m_savedStderr = -1;
};

// A file as Nautilus presents it to extensions: an object implementing NautilusFileInfo for
// `uri`.
Ref<NautilusFileInfo> fakeFile(const std::string& uri);
// The URI of the local file at absolute `path`.
std::string fileURI(const std::string& path);

// A selection of fake files, as the list Nautilus hands to get_file_items.
class Selection {
public:
    explicit Selection(const std::vector<std::string>& uris);
    ~Selection();
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

    GList* list() const { return m_list; }

private:
    GList* m_list = nullptr;
};

// An item of a provider's menu, read through its properties.
struct MenuEntry {
    std::string name;
    std::string label;
    bool sensitive = false;
    friend bool operator==(const MenuEntry&, const MenuEntry&) = default;
};
void PrintTo(const MenuEntry& entry, std::ostream* out);

// The items a provider returned, owned.
class Menu {
public:
    explicit Menu(GList* items) : m_items(items) {}
    ~Menu();
    Menu(const Menu&) = delete;
    Menu& operator=(const Menu&) = delete;

    bool empty() const { return m_items == nullptr; }
    // The top-level items.
    std::vector<MenuEntry> entries() const;
    // The items of the submenu of the only top-level item.
    std::vector<MenuEntry> submenu() const;
    // Activates the submenu item named `name`, as a click does.
    void activate(const std::string& name) const;

private:
    GList* m_items;
};

Menu fileItems(GObject* provider, const Selection& selection);
Menu backgroundItems(GObject* provider, const std::string& folderURI);

} // namespace ambrevoli::testing
