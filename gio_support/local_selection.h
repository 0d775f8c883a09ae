#pragma once

#include "watched_folders.h"

#include <gio/gio.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ambrevoli {

// The location of one entry of a file manager's selection list, as a new reference (its
// file-info interface's get_location).
using LocationOf = GFile* (*)(gpointer fileInfo);

// The absolute local paths of the selection `files` (a list of the file manager's file-info
// objects), in its order; none when the list is empty or one of its items is not a local file
// ("file" scheme) under a folder `watched` covers. Trash, recent, remote and other virtual
// locations are not "file": the host could not copy from them, and some have a local path all
// the same, through a FUSE mount.
std::optional<std::vector<std::string>> localSelection(GList* files, LocationOf locationOf,
                                                       const WatchedFolders& watched);

// `label` as a GTK menu shows it literally: GTK takes an underscore as the mark of the next
// letter's shortcut, so a label's own underscores are doubled.
std::string mnemonicSafeLabel(std::string_view label);

} // namespace ambrevoli
