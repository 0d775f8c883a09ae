// The module Nautilus loads: one GObject type, a menu provider holding the FinderSync, registered
// in Nautilus's type module, and the three functions Nautilus looks up. These functions are the
// only symbols the module exports; nothing of C++ crosses them.

#include "callback_guard.h"
#include "finder_sync.h"

#include <gio/gio.h>
// This header declares the module functions without C linkage of their own; GLib's headers,
// which hold C++ templates, are already in above and so stay out of the extern "C" block.
extern "C" {
#include <nautilus-extension.h>
}

namespace {

struct AmbrevoliFinderSync {
    GObject parent;
    ambrevoli::FinderSync* sync; // null when it could not be made; then the provider offers nothing
};

struct AmbrevoliFinderSyncClass {
    GObjectClass parent;
};

GType finderSyncType = 0;
GObjectClass* parentClass = nullptr;

AmbrevoliFinderSync* finderSyncOf(gpointer instance)
{
    return G_TYPE_CHECK_INSTANCE_CAST(instance, finderSyncType, AmbrevoliFinderSync);
}

GList* getFileItems(NautilusMenuProvider* provider, GList* files)
{
    return ambrevoli::guarded("building the menu", static_cast<GList*>(nullptr), [&] {
        ambrevoli::FinderSync* sync = finderSyncOf(provider)->sync;
        return sync ? sync->fileItems(files) : nullptr;
    });
}

// The menu of a folder's background (a right-click on no item) has nothing to send.
GList* getBackgroundItems(NautilusMenuProvider*, NautilusFileInfo*) { return nullptr; }

void initMenuProvider(gpointer iface, gpointer)
{
    auto* provider = static_cast<NautilusMenuProviderInterface*>(iface);
    provider->get_file_items = getFileItems;
    provider->get_background_items = getBackgroundItems;
}

void initInstance(GTypeInstance* instance, gpointer)
{
    auto* self = finderSyncOf(instance);
    self->sync =
        ambrevoli::guarded("starting the extension", static_cast<ambrevoli::FinderSync*>(nullptr),
                           [&] { return new ambrevoli::FinderSync(G_OBJECT(self)); });
}

void finalize(GObject* object)
{
    ambrevoli::guarded("stopping the extension", [&] {
        auto* self = finderSyncOf(object);
        delete self->sync;
        self->sync = nullptr;
    });
    parentClass->finalize(object);
}

void initClass(gpointer klass, gpointer)
{
    parentClass = G_OBJECT_CLASS(g_type_class_peek_parent(klass));
    G_OBJECT_CLASS(klass)->finalize = finalize;
}

} // namespace

extern "C" {

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module)
{
    ambrevoli::guarded("registering the extension", [&] {
        const GTypeInfo info = {
            sizeof(AmbrevoliFinderSyncClass), nullptr, nullptr,      initClass, nullptr, nullptr,
            sizeof(AmbrevoliFinderSync),      0,       initInstance, nullptr,
        };
        const GInterfaceInfo menuProvider = {initMenuProvider, nullptr, nullptr};
        GType type = g_type_module_register_type(module, G_TYPE_OBJECT, "AmbrevoliFinderSync",
                                                 &info, GTypeFlags(0));
        g_type_module_add_interface(module, type, NAUTILUS_TYPE_MENU_PROVIDER, &menuProvider);
        finderSyncType = type;
    });
}

// Nautilus keeps its providers until it exits; the module holds nothing beyond them.
G_MODULE_EXPORT void nautilus_module_shutdown(void) {}

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* count)
{
    *types = &finderSyncType;
    *count = finderSyncType != 0 ? 1 : 0;
}

} // extern "C"
