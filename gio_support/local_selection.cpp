#include "local_selection.h"

#include "glib_ptr.h"
#include "log.h"
#include "network_shares.h"

namespace ambrevoli {

std::optional<std::vector<std::string>> localSelection(GList* files, LocationOf locationOf,
                                                       const WatchedFolders& watched)
{
    if (!files)
        return std::nullopt;
    std::vector<std::string> paths;
    for (GList* entry = files; entry; entry = entry->next) {
        GObjectPtr<GFile> location(locationOf(entry->data));
        if (!location)
            return std::nullopt;
        GCharsPtr scheme(g_file_get_uri_scheme(location.get()));
        if (!scheme)
            return std::nullopt;
        // An item on a mounted share has a local path while the desktop's FUSE bridge runs, and
        // the host copies from it as from any folder.
        const bool onShare = isNetworkShareScheme(scheme.get());
        if (!onShare && g_ascii_strcasecmp(scheme.get(), "file") != 0)
            return std::nullopt;
        GCharsPtr path(g_file_get_path(location.get()));
        if (!path && onShare) {
            logger("extension")
                .log(LogLevel::standard, "No Send To for an item on a ", scheme.get(),
                     " share: it has no local path (the desktop's FUSE bridge, "
                     "gvfsd-fuse, is not running)");
            return std::nullopt;
        }
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
