#include "extension_harness.h"

#include <gmodule.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

// Present in sanitizer builds only: where sanitizer reports go, so that they are not lost into a
// ModuleLog's file when the process dies during a capture.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace ambrevoli::testing {

namespace {

namespace fs = std::filesystem;

using Initialize = void (*)(GTypeModule*);
using ListTypes = void (*)(const GType**, int*);
using Shutdown = void (*)();

// The stderr the test started with, for everything that must reach a person.
int originalStderr = -1;

// GLib's warnings and criticals (a module misusing GLib or Nautilus's API) fail the test.
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

// Nautilus's type module: loading it initializes the extension, which registers its types in it.
// The file stays open (Nautilus closes it, but only after the last of its objects is gone, which
// is never while Nautilus runs); a reload after the last provider is gone initializes it again.
Initialize moduleInitialize = nullptr;

gboolean loadTypeModule(GTypeModule* module)
{
    moduleInitialize(module);
    return TRUE;
}
void unloadTypeModule(GTypeModule*) {}

void initTypeModuleClass(gpointer klass, gpointer)
{
    G_TYPE_MODULE_CLASS(klass)->load = loadTypeModule;
    G_TYPE_MODULE_CLASS(klass)->unload = unloadTypeModule;
}

GType testTypeModuleType()
{
    static const GType type = g_type_register_static_simple(
        G_TYPE_TYPE_MODULE, "AmbrevoliTestTypeModule", sizeof(GTypeModuleClass),
        initTypeModuleClass, sizeof(GTypeModule), nullptr, GTypeFlags(0));
    return type;
}

template <class F> F symbol(GModule* module, const char* name)
{
    gpointer address = nullptr;
    if (!g_module_symbol(module, name, &address) || !address)
        throw std::runtime_error(std::string("the module has no ") + name);
    return reinterpret_cast<F>(address);
}

// The fake NautilusFileInfo.
struct FakeFileInfo {
    GObject parent;
    gchar* uri;
};
struct FakeFileInfoClass {
    GObjectClass parent;
};
GObjectClass* fakeFileInfoParent = nullptr;

FakeFileInfo* asFake(gpointer instance) { return static_cast<FakeFileInfo*>(instance); }

GFile* fakeLocation(NautilusFileInfo* info) { return g_file_new_for_uri(asFake(info)->uri); }
char* fakeURI(NautilusFileInfo* info) { return g_strdup(asFake(info)->uri); }
char* fakeScheme(NautilusFileInfo* info) { return g_uri_parse_scheme(asFake(info)->uri); }
gboolean fakeIsGone(NautilusFileInfo*) { return FALSE; }
char* fakeName(NautilusFileInfo* info)
{
    GFile* location = fakeLocation(info);
    char* name = g_file_get_basename(location);
    g_object_unref(location);
    return name;
}

void initFakeFileInfoInterface(gpointer iface, gpointer)
{
    auto* info = static_cast<NautilusFileInfoInterface*>(iface);
    info->get_location = fakeLocation;
    info->get_uri = fakeURI;
    info->get_activation_uri = fakeURI;
    info->get_uri_scheme = fakeScheme;
    info->get_name = fakeName;
    info->is_gone = fakeIsGone;
}

void finalizeFakeFileInfo(GObject* object)
{
    g_free(asFake(object)->uri);
    fakeFileInfoParent->finalize(object);
}

void initFakeFileInfoClass(gpointer klass, gpointer)
{
    fakeFileInfoParent = G_OBJECT_CLASS(g_type_class_peek_parent(klass));
    G_OBJECT_CLASS(klass)->finalize = finalizeFakeFileInfo;
}

GType fakeFileInfoType()
{
    static const GType type = [] {
        GType registered = g_type_register_static_simple(
            G_TYPE_OBJECT, "AmbrevoliTestFileInfo", sizeof(FakeFileInfoClass),
            initFakeFileInfoClass, sizeof(FakeFileInfo), nullptr, GTypeFlags(0));
        const GInterfaceInfo fileInfo = {initFakeFileInfoInterface, nullptr, nullptr};
        g_type_add_interface_static(registered, NAUTILUS_TYPE_FILE_INFO, &fileInfo);
        return registered;
    }();
    return type;
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

} // namespace

ExtensionModule& ExtensionModule::instance()
{
    static ExtensionModule module;
    return module;
}

ExtensionModule::ExtensionModule()
{
    originalStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (__sanitizer_set_report_fd)
        __sanitizer_set_report_fd(reinterpret_cast<void*>(
            static_cast<std::intptr_t>(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3))));

    ::setenv("AMBREVOLI_LOG", "stderr", 1);
    ::unsetenv("AMBREVOLI_LOG_PRIVATE");
    ::unsetenv("AMBREVOLI_LOG_LEVEL");
    ::unsetenv("XDG_ACTIVATION_TOKEN");
    ::unsetenv("DESKTOP_STARTUP_ID");
    ::setenv("HOME", m_home.path().c_str(), 1);
    ::setenv("GIO_USE_VFS", "local", 1);
    ::setenv("GIO_USE_VOLUME_MONITOR", "unix", 1);
    const std::string noModules = m_home / ".no-gio-modules";
    ::mkdir(noModules.c_str(), 0700);
    ::setenv("GIO_MODULE_DIR", noModules.c_str(), 1);
    g_log_set_writer_func(writeGLibLog, nullptr, nullptr);

    // As Nautilus opens extension files.
    GModule* module = g_module_open(AMBREVOLI_FINDER_MODULE,
                                    GModuleFlags(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL));
    if (!module)
        throw std::runtime_error(std::string("cannot load the module: ") + g_module_error());
    moduleInitialize = symbol<Initialize>(module, "nautilus_module_initialize");
    auto listTypes = symbol<ListTypes>(module, "nautilus_module_list_types");
    symbol<Shutdown>(module, "nautilus_module_shutdown");

    auto* typeModule = G_TYPE_MODULE(g_object_new(testTypeModuleType(), nullptr));
    g_type_module_use(typeModule);
    const GType* types = nullptr;
    int count = 0;
    listTypes(&types, &count);
    g_type_module_unuse(typeModule);
    for (int i = 0; i < count; ++i)
        if (g_type_is_a(types[i], NAUTILUS_TYPE_MENU_PROVIDER))
            m_providerType = types[i];
    if (m_providerType == 0)
        throw std::runtime_error("the module lists no menu provider");
}

Ref<GObject> ExtensionModule::newProvider() const
{
    return Ref<GObject>(G_OBJECT(g_object_new(m_providerType, nullptr)));
}

Ref<GObject> ExtensionModule::newStartedProvider() const
{
    Ref<GObject> provider = newProvider();
    drainMainLoop();
    return provider;
}

void drainMainLoop()
{
    while (g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
}

ModuleLog::ModuleLog() : m_file(m_folder / "stderr")
{
    std::fflush(stderr);
    m_savedStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int fd = ::open(m_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

ModuleLog::~ModuleLog()
{
    std::fflush(stderr);
    ::dup2(m_savedStderr, STDERR_FILENO);
    ::close(m_savedStderr);
    // Whatever else was written meanwhile (a fake host's complaints) still reaches a person.
    std::ifstream in(m_file);
    for (std::string line; std::getline(in, line);)
        if (!line.starts_with("ambrevoli.finder[extension] "))
            std::fprintf(stderr, "%s\n", line.c_str());
}

std::vector<std::string> ModuleLog::lines() const
{
    static constexpr std::string_view prefix = "ambrevoli.finder[extension] ";
    std::vector<std::string> lines;
    std::ifstream in(m_file);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix))
            lines.push_back(line.substr(prefix.size()));
    return lines;
}

bool ModuleLog::waitFor(const std::string& line, std::chrono::milliseconds patience) const
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (true) {
        const auto seen = lines();
        if (std::find(seen.begin(), seen.end(), line) != seen.end())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ModuleLog::clear()
{
    std::fflush(stderr);
    // O_APPEND: the next line lands at the new end.
    if (::truncate(m_file.c_str(), 0) != 0)
        ADD_FAILURE() << "cannot empty the captured log";
}

Ref<NautilusFileInfo> fakeFile(const std::string& uri)
{
    auto* info = static_cast<FakeFileInfo*>(g_object_new(fakeFileInfoType(), nullptr));
    info->uri = g_strdup(uri.c_str());
    return Ref<NautilusFileInfo>(NAUTILUS_FILE_INFO(info));
}

std::string fileURI(const std::string& path)
{
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string text = uri ? uri : "";
    g_free(uri);
    return text;
}

Selection::Selection(const std::vector<std::string>& uris)
{
    for (const std::string& uri : uris)
        m_list = g_list_append(m_list, fakeFile(uri).release());
}

Selection::~Selection() { g_list_free_full(m_list, g_object_unref); }

void PrintTo(const MenuEntry& entry, std::ostream* out)
{
    *out << "{" << entry.name << ", \"" << entry.label << "\", "
         << (entry.sensitive ? "sensitive" : "insensitive") << "}";
}

Menu::~Menu()
{
    if (m_items)
        nautilus_menu_item_list_free(m_items);
}

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
    NautilusMenu* submenu = nullptr;
    g_object_get(m_items->data, "menu", &submenu, nullptr);
    if (!submenu) {
        ADD_FAILURE() << "the top-level item has no submenu";
        return {};
    }
    GList* items = nautilus_menu_get_items(submenu);
    std::vector<MenuEntry> entries;
    for (GList* item = items; item; item = item->next)
        entries.push_back(entryOf(item->data));
    nautilus_menu_item_list_free(items);
    g_object_unref(submenu);
    return entries;
}

void Menu::activate(const std::string& name) const
{
    NautilusMenu* submenu = nullptr;
    if (m_items)
        g_object_get(m_items->data, "menu", &submenu, nullptr);
    if (!submenu) {
        ADD_FAILURE() << "no submenu to activate " << name << " in";
        return;
    }
    GList* items = nautilus_menu_get_items(submenu);
    bool found = false;
    for (GList* item = items; item; item = item->next) {
        if (entryOf(item->data).name == name) {
            nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(item->data));
            found = true;
        }
    }
    nautilus_menu_item_list_free(items);
    g_object_unref(submenu);
    if (!found)
        ADD_FAILURE() << "no item " << name;
}

Menu fileItems(GObject* provider, const Selection& selection)
{
    return Menu(
        nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(provider), selection.list()));
}

Menu backgroundItems(GObject* provider, const std::string& folderURI)
{
    auto folder = fakeFile(folderURI);
    return Menu(nautilus_menu_provider_get_background_items(NAUTILUS_MENU_PROVIDER(provider),
                                                            folder.get()));
}

} // namespace ambrevoli::testing
