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
// objects), in its order; none when the list is empty or one of its items is neither a local
// file ("file" scheme) nor an item on a mounted network share (smb, sftp, dav, ftp, …) with a
// local path through the desktop's FUSE bridge, or its path lies outside the folders `watched`
// covers. Trash, recent and other virtual locations get nothing even where they have a path:
// what they list is not where the files are. A share item without a path is logged.
std::optional<std::vector<std::string>> localSelection(GList* files, LocationOf locationOf,
                                                       const WatchedFolders& watched);

// `label` as a GTK menu shows it literally: GTK takes an underscore as the mark of the next
// letter's shortcut, so a label's own underscores are doubled.
std::string mnemonicSafeLabel(std::string_view label);

} // namespace ambrevoli
