#include "provider_type.h"

#include "callback_guard.h"

namespace ambrevoli {

namespace {

struct ProviderInstance {
    GObject parent;
    FileManagerMenu* menu;
};

struct ProviderClass {
    GObjectClass parent;
    const MenuToolkit* toolkit;
};

// One module registers one provider type: its parent class is the same for every instance.
GObjectClass* parentClass = nullptr;

void finalizeProvider(GObject* object)
{
    guarded("stopping the extension", [&] {
        auto* self = reinterpret_cast<ProviderInstance*>(object);
        delete self->menu;
        self->menu = nullptr;
    });
    parentClass->finalize(object);
}

void initProviderClass(gpointer klass, gpointer toolkit)
{
    parentClass = G_OBJECT_CLASS(g_type_class_peek_parent(klass));
    G_OBJECT_CLASS(klass)->finalize = finalizeProvider;
    static_cast<ProviderClass*>(klass)->toolkit = static_cast<const MenuToolkit*>(toolkit);
}

void initProviderInstance(GTypeInstance* instance, gpointer klass)
{
    auto* self = reinterpret_cast<ProviderInstance*>(instance);
    const MenuToolkit& toolkit = *static_cast<ProviderClass*>(klass)->toolkit;
    self->menu = guarded("starting the extension", static_cast<FileManagerMenu*>(nullptr),
                         [&] { return new FileManagerMenu(G_OBJECT(instance), toolkit); });
}

} // namespace

GTypeInfo providerTypeInfo(const MenuToolkit& toolkit)
{
    return GTypeInfo{
        sizeof(ProviderClass),
        nullptr,
        nullptr,
        initProviderClass,
        nullptr,
        &toolkit,
        sizeof(ProviderInstance),
        0,
        initProviderInstance,
        nullptr,
    };
}

FileManagerMenu* providerMenu(gpointer provider)
{
    return provider ? static_cast<ProviderInstance*>(provider)->menu : nullptr;
}

} // namespace ambrevoli
