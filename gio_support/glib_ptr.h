#pragma once

#include <glib-object.h>

#include <memory>

// Owners for GLib references, so that every path out of a function drops them, an exception's
// included.

namespace ambrevoli {

struct GFreeDeleter {
    void operator()(gpointer memory) const { g_free(memory); }
};
// A string GLib allocated and the caller owns ("transfer full").
using GCharsPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct GObjectUnrefDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
// One reference to a GObject.
template <class T> using GObjectPtr = std::unique_ptr<T, GObjectUnrefDeleter>;

struct GObjectListDeleter {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
// A list of GObject references, owned with the list.
using GObjectListPtr = std::unique_ptr<GList, GObjectListDeleter>;

} // namespace ambrevoli
