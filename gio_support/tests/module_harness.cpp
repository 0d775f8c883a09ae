#include "module_harness.h"

#include <gmodule.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <thread>

// Present in sanitizer builds only: where sanitizer reports go, so that they are not lost into a
// ModuleLog's file when the process dies during a capture.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace ambrevoli::testing {

namespace {

// The stderr the test started with, for everything that must reach a person.
int originalStderr = -1;

std::vector<FileManager>& fileManagers()
{
    static std::vector<FileManager> all;
    return all;
}

// GLib's warnings and criticals (a module misusing GLib or its file manager's API) fail the test.
GLogWriterOutput writeGLibLog(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer)
{
    const char* domain = nullptr;
    for (gsize i = 0; i < count; ++i)
        if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0)
            domain = static_cast<const char*>(fields[i].value);
    if (g_log_writer_default_would_drop(level, domain))
        return G_LOG_WRITER_HANDLED;
    gchar* text = g_log_writer_format_fields(level, fields, count, FALSE);
    std::string line = std::string(text) + "\n";
    g_free(text);
    if (originalStderr >= 0)
        (void)!::write(originalStderr, line.data(), line.size());
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        ADD_FAILURE() << "GLib logged: " << line;
    return G_LOG_WRITER_HANDLED;
}

// The file managers' type module: loading it initializes the extension, which registers its
// types in it. The file stays open, as in the file managers while they run.
using Initialize = void (*)(GTypeModule*);
using ListTypes = void (*)(const GType**, int*);

struct TestTypeModule {
    GTypeModule parent;
    Initialize initialize;
};

gboolean loadTestTypeModule(GTypeModule* module)
{
    reinterpret_cast<TestTypeModule*>(module)->initialize(module);
    return TRUE;
}
void unloadTestTypeModule(GTypeModule*) {}

void initTestTypeModuleClass(gpointer klass, gpointer)
{
    G_TYPE_MODULE_CLASS(klass)->load = loadTestTypeModule;
    G_TYPE_MODULE_CLASS(klass)->unload = unloadTestTypeModule;
}

GType testTypeModuleType()
{
    static const GType type = g_type_register_static_simple(
        G_TYPE_TYPE_MODULE, "AmbrevoliTestGtkTypeModule", sizeof(GTypeModuleClass),
        initTestTypeModuleClass, sizeof(TestTypeModule), nullptr, GTypeFlags(0));
    return type;
}

template <class F> F symbol(GModule* module, const std::string& name)
{
    gpointer address = nullptr;
    if (!g_module_symbol(module, name.c_str(), &address) || !address)
        throw std::runtime_error("the module has no " + name);
    return reinterpret_cast<F>(address);
}

struct FakeFile {
    GObject parent;
    gchar* uri;
};
struct FakeFileClass {
    GObjectClass parent;
};

void finalizeFakeFile(GObject* object)
{
    g_free(reinterpret_cast<FakeFile*>(object)->uri);
    G_OBJECT_CLASS(g_type_class_peek_parent(G_OBJECT_GET_CLASS(object)))->finalize(object);
}

void initFakeFileClass(gpointer klass, gpointer)
{
    G_OBJECT_CLASS(klass)->finalize = finalizeFakeFile;
}

MenuEntry entryOf(gpointer item)
{
    gchar* name = nullptr;
    gchar* label = nullptr;
    gboolean sensitive = FALSE;
    g_object_get(item, "name", &name, "label", &label, "sensitive", &sensitive, nullptr);
    MenuEntry entry{name ? name : "", label ? label : "", sensitive != FALSE};
    g_free(name);
    g_free(label);
    return entry;
}

// The items of the submenu of `item` (a new list holding references), or null.
GList* submenuItems(const FileManager& fileManager, gpointer item)
{
    GObject* submenu = nullptr;
    g_object_get(item, "menu", &submenu, nullptr);
    if (!submenu)
        return nullptr;
    GList* items = fileManager.menuItems(submenu);
    g_object_unref(submenu);
    return items;
}

} // namespace

bool registerFileManager(FileManager fileManager)
{
    fileManagers().push_back(std::move(fileManager));
    return true;
}

const std::vector<FileManager>& registeredFileManagers() { return fileManagers(); }

void PrintTo(const FileManager& fileManager, std::ostream* out) { *out << fileManager.name; }

GType loadTypeModule(const std::string& moduleFile, const std::string& prefix,
                     GType providerInterface)
{
    GModule* module =
        g_module_open(moduleFile.c_str(), GModuleFlags(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL));
    if (!module)
        throw std::runtime_error(std::string("cannot load the module: ") + g_module_error());
    auto* typeModule =
        reinterpret_cast<TestTypeModule*>(g_object_new(testTypeModuleType(), nullptr));
    typeModule->initialize = symbol<Initialize>(module, prefix + "_module_initialize");
    auto listTypes = symbol<ListTypes>(module, prefix + "_module_list_types");
    symbol<void (*)()>(module, prefix + "_module_shutdown");

    g_type_module_use(G_TYPE_MODULE(typeModule));
    const GType* types = nullptr;
    int count = 0;
    listTypes(&types, &count);
    g_type_module_unuse(G_TYPE_MODULE(typeModule));
    for (int i = 0; i < count; ++i)
        if (g_type_is_a(types[i], providerInterface))
            return types[i];
    return 0;
}

GType fakeFileType(const char* typeName, GType fileInfoInterface, GInterfaceInitFunc initInterface)
{
    GType type = g_type_from_name(typeName);
    if (type != 0)
        return type;
    type =
        g_type_register_static_simple(G_TYPE_OBJECT, typeName, sizeof(FakeFileClass),
                                      initFakeFileClass, sizeof(FakeFile), nullptr, GTypeFlags(0));
    const GInterfaceInfo info = {initInterface, nullptr, nullptr};
    g_type_add_interface_static(type, fileInfoInterface, &info);
    return type;
}

GObject* newFakeFile(GType type, const char* uri)
{
    auto* file = reinterpret_cast<FakeFile*>(g_object_new(type, nullptr));
    file->uri = g_strdup(uri);
    return G_OBJECT(file);
}

const char* fakeFileURI(gpointer fakeFile) { return static_cast<FakeFile*>(fakeFile)->uri; }

const std::string& home()
{
    static const ScopedTempDir folder;
    return folder.path();
}

namespace {

using GCharsPtr = std::unique_ptr<char, decltype(&g_free)>;

// A location on a network share as GIO's daemon file system presents one: the URI keeps the
// share's scheme, and there is a local path only while the desktop's FUSE bridge serves it.
struct ShareFile {
    GObject parent;
    char* uri;
    char* path; // null: no FUSE path
};
struct ShareFileClass {
    GObjectClass parent;
};

GType shareFileType();

GFile* newShareFile(const char* uri, const char* path)
{
    auto* file = static_cast<ShareFile*>(g_object_new(shareFileType(), nullptr));
    file->uri = g_strdup(uri);
    file->path = g_strdup(path);
    return G_FILE(file);
}

ShareFile* asShareFile(GFile* file) { return reinterpret_cast<ShareFile*>(file); }

void initShareFileInterface(gpointer iface, gpointer)
{
    auto* file = static_cast<GFileIface*>(iface);
    file->dup = [](GFile* f) { return newShareFile(asShareFile(f)->uri, asShareFile(f)->path); };
    file->hash = [](GFile* f) { return g_str_hash(asShareFile(f)->uri); };
    file->equal = [](GFile* a, GFile* b) -> gboolean {
        return g_str_equal(asShareFile(a)->uri, asShareFile(b)->uri);
    };
    file->is_native = [](GFile*) -> gboolean { return FALSE; };
    file->has_uri_scheme = [](GFile* f, const char* scheme) -> gboolean {
        GCharsPtr own(g_uri_parse_scheme(asShareFile(f)->uri), g_free);
        return g_ascii_strcasecmp(own.get(), scheme) == 0;
    };
    file->get_uri_scheme = [](GFile* f) { return g_uri_parse_scheme(asShareFile(f)->uri); };
    file->get_basename = [](GFile* f) { return g_path_get_basename(asShareFile(f)->uri); };
    file->get_path = [](GFile* f) { return g_strdup(asShareFile(f)->path); };
    file->get_uri = [](GFile* f) { return g_strdup(asShareFile(f)->uri); };
    file->get_parse_name = [](GFile* f) { return g_strdup(asShareFile(f)->uri); };
}

GType shareFileType()
{
    static const GType type = [] {
        const GTypeInfo info = {
            sizeof(ShareFileClass),
            nullptr,
            nullptr,
            [](gpointer klass, gpointer) {
                G_OBJECT_CLASS(klass)->finalize = [](GObject* object) {
                    auto* file = reinterpret_cast<ShareFile*>(object);
                    g_free(file->uri);
                    g_free(file->path);
                    G_OBJECT_CLASS(g_type_class_peek_parent(G_OBJECT_GET_CLASS(object)))
                        ->finalize(object);
                };
            },
            nullptr,
            nullptr,
            sizeof(ShareFile),
            0,
            nullptr,
            nullptr,
        };
        const GType registered =
            g_type_register_static(G_TYPE_OBJECT, "AmbrevoliTestShareFile", &info, GTypeFlags(0));
        const GInterfaceInfo file = {initShareFileInterface, nullptr, nullptr};
        g_type_add_interface_static(registered, G_TYPE_FILE, &file);
        return registered;
    }();
    return type;
}

// URI prefix of a mounted share → the local folder its FUSE path is ("" for none).
std::map<std::string, std::string>& mountedShares()
{
    static std::map<std::string, std::string> shares;
    return shares;
}

GFile* shareFileForURI(GVfs*, const char* uri, gpointer)
{
    const std::string_view whole(uri);
    for (const auto& [prefix, root] : mountedShares())
        if (whole.starts_with(prefix)) {
            if (root.empty())
                return newShareFile(uri, nullptr);
            GCharsPtr rest(g_uri_unescape_string(uri + prefix.size(), nullptr), g_free);
            return newShareFile(uri, (root + "/" + rest.get()).c_str());
        }
    return newShareFile(uri, nullptr);
}

} // namespace

void mountShare(const std::string& uriPrefix, const std::string& fuseRoot)
{
    setUpProcess();
    GCharsPtr scheme(g_uri_parse_scheme(uriPrefix.c_str()), g_free);
    if (!scheme)
        throw std::invalid_argument("not a URI: " + uriPrefix);
    const bool known = std::ranges::any_of(mountedShares(), [&](const auto& share) {
        GCharsPtr other(g_uri_parse_scheme(share.first.c_str()), g_free);
        return g_str_equal(other.get(), scheme.get());
    });
    mountedShares()[uriPrefix] = fuseRoot;
    if (!known)
        g_vfs_register_uri_scheme(g_vfs_get_default(), scheme.get(), shareFileForURI, nullptr,
                                  nullptr, shareFileForURI, nullptr, nullptr);
}

void setUpProcess()
{
    static const bool done = [] {
        originalStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (__sanitizer_set_report_fd)
            __sanitizer_set_report_fd(reinterpret_cast<void*>(
                static_cast<std::intptr_t>(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3))));
        ::setenv("AMBREVOLI_LOG", "stderr", 1);
        ::unsetenv("AMBREVOLI_LOG_PRIVATE");
        ::unsetenv("AMBREVOLI_LOG_LEVEL");
        ::unsetenv("XDG_ACTIVATION_TOKEN");
        ::unsetenv("DESKTOP_STARTUP_ID");
        ::setenv("HOME", home().c_str(), 1);
        // The variables the tests set are there from the start, with values that mean the same
        // as none, so that setting and restoring them later replaces a value in place. Adding a
        // variable grows the environment, which GLib's worker thread, started with the module,
        // may be reading with getenv() at that moment.
        for (const char* name : {"AMBREVOLI_HOST", "XDG_RUNTIME_DIR"})
            ::setenv(name, "", 0);
        ::setenv("XDG_DATA_HOME", (home() + "/.local/share").c_str(), 0);
        ::setenv("GIO_USE_VFS", "local", 1);
        ::setenv("GIO_USE_VOLUME_MONITOR", "unix", 1);
        const std::string noModules = home() + "/.no-gio-modules";
        ::mkdir(noModules.c_str(), 0700);
        ::setenv("GIO_MODULE_DIR", noModules.c_str(), 1);
        g_log_set_writer_func(writeGLibLog, nullptr, nullptr);
        return true;
    }();
    (void)done;
}

GType loadModule(const FileManager& fileManager)
{
    setUpProcess();
    static std::map<std::string, GType> loaded;
    auto [entry, fresh] = loaded.try_emplace(fileManager.name, 0);
    if (fresh)
        entry->second = fileManager.load(fileManager);
    if (entry->second == 0)
        throw std::runtime_error("the module lists no menu provider");
    return entry->second;
}

Ref<GObject> newProvider(const FileManager& fileManager)
{
    return Ref<GObject>(G_OBJECT(g_object_new(loadModule(fileManager), nullptr)));
}

Ref<GObject> newStartedProvider(const FileManager& fileManager)
{
    Ref<GObject> provider = newProvider(fileManager);
    drainMainLoop();
    return provider;
}

void drainMainLoop()
{
    while (g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
}

bool waitFor(const ModuleLog& log, const std::string& line, std::chrono::milliseconds patience)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (true) {
        const std::vector<std::string> seen = log.lines();
        if (std::ranges::find(seen, line) != seen.end())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string fileURI(const std::string& path)
{
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string text = uri ? uri : "";
    g_free(uri);
    return text;
}

void PrintTo(const MenuEntry& entry, std::ostream* out)
{
    *out << "{" << entry.name << ", \"" << entry.label << "\", "
         << (entry.sensitive ? "sensitive" : "insensitive") << "}";
}

Selection::Selection(const FileManager& fileManager, const std::vector<std::string>& uris)
    : m_fileManager(fileManager)
{
    for (const std::string& uri : uris)
        m_list = g_list_append(m_list, fileManager.newFile(uri.c_str()));
}

Selection::~Selection() { g_list_free_full(m_list, g_object_unref); }

Menu::~Menu() { g_list_free_full(m_items, g_object_unref); }

std::vector<MenuEntry> Menu::entries() const
{
    std::vector<MenuEntry> entries;
    for (GList* item = m_items; item; item = item->next)
        entries.push_back(entryOf(item->data));
    return entries;
}

std::vector<MenuEntry> Menu::submenu() const
{
    if (!m_items || m_items->next) {
        ADD_FAILURE() << "expected exactly one top-level item";
        return {};
    }
    GList* items = submenuItems(m_fileManager, m_items->data);
    if (!items)
        ADD_FAILURE() << "the top-level item has no submenu";
    std::vector<MenuEntry> entries;
    for (GList* item = items; item; item = item->next)
        entries.push_back(entryOf(item->data));
    g_list_free_full(items, g_object_unref);
    return entries;
}

void Menu::activate(const std::string& name) const
{
    GList* items = m_items ? submenuItems(m_fileManager, m_items->data) : nullptr;
    bool found = false;
    for (GList* item = items; item; item = item->next) {
        if (entryOf(item->data).name == name) {
            m_fileManager.activate(G_OBJECT(item->data));
            found = true;
        }
    }
    g_list_free_full(items, g_object_unref);
    if (!found)
        ADD_FAILURE() << "no item " << name;
}

Menu fileItems(GObject* provider, const Selection& selection)
{
    const FileManager& fileManager = selection.fileManager();
    return Menu(fileManager, fileManager.fileItems(provider, selection.list()));
}

Menu folderItems(const FileManager& fileManager, GObject* provider, const std::string& folderURI)
{
    Ref<GObject> folder(fileManager.newFile(folderURI.c_str()));
    return Menu(fileManager, fileManager.folderItems(provider, folder.get()));
}

} // namespace ambrevoli::testing
