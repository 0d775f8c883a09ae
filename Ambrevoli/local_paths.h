#pragma once

#include <QUrl>

#include <optional>
#include <string>

namespace ambrevoli {

// Whether `url` may have a local path for the host to copy to or from: a file URL, or a location
// on a network share the desktop mounts (smb, sftp, dav, …). Asks nothing of the desktop, so that
// it can be asked as often as a drag moves.
bool mayHaveLocalPath(const QUrl& url);

// The local path of `url`: a file URL's own, or for a location on a mounted network share its
// path through the desktop's FUSE bridge, as GIO gives it. None for any other URL, and for a
// share without such a path (not mounted, or the bridge not running); that is logged.
std::optional<std::string> localPathOf(const QUrl& url);

} // namespace ambrevoli
