#include "gnome_notification_switch.h"

#include "desktop_names.h"

#include <dlfcn.h>

#include <algorithm>

namespace ambrevoli {

namespace {

constexpr char schemaID[] = "org.gnome.desktop.notifications.application";
constexpr char enableKey[] = "enable";

// GNOME Flashback and Classic name GNOME in the list too.
bool onGnome()
{
    const std::vector<std::string_view> names = desktopNames(currentDesktopList());
    return std::ranges::find(names, "GNOME") != names.end();
}

} // namespace

// The few GIO and GObject functions used, looked up in the library loaded at run time. The
// types are GIO's, with pointers to its opaque types as void*.
struct GnomeNotificationSwitch::Gio {
    void* library = nullptr;
    void* (*schemaSourceGetDefault)() = nullptr;
    void* (*schemaSourceLookup)(void* source, const char* id, int recursive) = nullptr;
    int (*schemaHasKey)(void* schema, const char* key) = nullptr;
    void (*schemaUnref)(void* schema) = nullptr;
    void* (*settingsNewFull)(void* schema, void* backend, const char* path) = nullptr;
    int (*settingsGetBoolean)(void* settings, const char* key) = nullptr;
    void (*objectUnref)(void* object) = nullptr;

    ~Gio()
    {
        if (library)
            ::dlclose(library);
    }

    bool load()
    {
        library = ::dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return false;
        return find(schemaSourceGetDefault, "g_settings_schema_source_get_default") &&
               find(schemaSourceLookup, "g_settings_schema_source_lookup") &&
               find(schemaHasKey, "g_settings_schema_has_key") &&
               find(schemaUnref, "g_settings_schema_unref") &&
               find(settingsNewFull, "g_settings_new_full") &&
               find(settingsGetBoolean, "g_settings_get_boolean") &&
               find(objectUnref, "g_object_unref");
    }

    template <class Function> bool find(Function& function, const char* name)
    {
        function = reinterpret_cast<Function>(::dlsym(library, name));
        return function != nullptr;
    }
};

GnomeNotificationSwitch::GnomeNotificationSwitch(std::string desktopID)
    : m_desktopID(std::move(desktopID))
{}

GnomeNotificationSwitch::~GnomeNotificationSwitch()
{
    if (m_settings)
        m_gio->objectUnref(m_settings);
}

std::string GnomeNotificationSwitch::settingsPath(std::string_view desktopID)
{
    std::string path = "/org/gnome/desktop/notifications/application/";
    for (char c : desktopID) {
        if (c >= 'A' && c <= 'Z')
            path += char(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')
            path += c;
        else
            path += '-';
    }
    return path + "/";
}

bool GnomeNotificationSwitch::open()
{
    if (m_tried)
        return m_settings != nullptr;
    m_tried = true;
    if (!onGnome() || m_desktopID.empty())
        return false;
    m_gio = std::make_unique<Gio>();
    if (!m_gio->load())
        return false;
    // GSettings ends the process for a schema or key that is not installed: look first.
    void* source = m_gio->schemaSourceGetDefault();
    void* schema = source ? m_gio->schemaSourceLookup(source, schemaID, 1) : nullptr;
    if (!schema)
        return false;
    if (m_gio->schemaHasKey(schema, enableKey))
        m_settings = m_gio->settingsNewFull(schema, nullptr, settingsPath(m_desktopID).c_str());
    m_gio->schemaUnref(schema);
    return m_settings != nullptr;
}

bool GnomeNotificationSwitch::isSwitchedOff()
{
    return open() && !m_gio->settingsGetBoolean(m_settings, enableKey);
}

} // namespace ambrevoli
