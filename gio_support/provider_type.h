#pragma once

#include "file_manager_menu.h"

#include <glib-object.h>

namespace ambrevoli {

// The GObject type a GTK file manager's module registers as its menu provider: an object
// holding a FileManagerMenu drawn with `toolkit`. The module registers it the way its file manager
// asks (a GTypeModule, a provider plugin) with this GTypeInfo and adds the file manager's
// menu-provider interface itself. A provider whose FileManagerMenu could not be made offers
// nothing.
//
// `toolkit` must outlive the type (a module-level constant).
GTypeInfo providerTypeInfo(const MenuToolkit& toolkit);

// The FileManagerMenu of a provider object of such a type; null when it could not be made.
FileManagerMenu* providerMenu(gpointer provider);

} // namespace ambrevoli
