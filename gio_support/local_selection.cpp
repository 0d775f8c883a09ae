#include "local_selection.h"

#include "glib_ptr.h"

namespace ambrevoli {

std::optional<std::vector<std::string>> localSelection(GList* files, LocationOf locationOf,
                                                       const WatchedFolders& watched)
{
    if (!files)
        return std::nullopt;
    std::vector<std::string> paths;
    for (GList* entry = files; entry; entry = entry->next) {
        GObjectPtr<GFile> location(locationOf(entry->data));
        if (!location || !g_file_has_uri_scheme(location.get(), "file"))
            return std::nullopt;
        GCharsPtr path(g_file_get_path(location.get()));
        if (!path || !watched.covers(path.get()))
            return std::nullopt;
        paths.emplace_back(path.get());
    }
    return paths;
}

std::string mnemonicSafeLabel(std::string_view label)
{
    std::string shown;
    shown.reserve(label.size());
    for (char c : label) {
        if (c == '_')
            shown += '_';
        shown += c;
    }
    return shown;
}

} // namespace ambrevoli
