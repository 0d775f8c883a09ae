#pragma once

#include "error.h"

#include <expected>
#include <string>
#include <string_view>

// Paths as text, and the two questions every module asks the file system about one.
//
// The text functions never touch the file system and never resolve "." or "..": "/a/../b" has
// the parent "/a/.." and the last component "b". They agree on one reading of a path: trailing
// slashes are not part of it (normalizedPath), a path of slashes only is the root "/", and a
// path without a slash is relative to the current folder ".".

namespace ambrevoli {

// The path with its trailing slashes dropped while it is longer than one character ("/a/b//" →
// "/a/b", "//" → "/", "/" stays). Nothing else changes: no "." or ".." resolving, no case
// folding, inner repeated slashes stay.
std::string normalizedPath(std::string_view path);

// Whether `path` holds a NUL byte. The system reads a path only up to its first NUL, so such a
// path would name something else (often a real item: "/a/secret\0/../x" names "/a/secret"). Every
// path read from a file is refused when this is true, and no such path is passed to the system.
bool hasNulByte(std::string_view path);

// The folder that holds the item `path` names, as text: the normalized path without its last
// component and the slashes before it. "/a/b/" → "/a", "/a" → "/", "/" → "/", "a/b" → "a",
// "a" → ".", "" → ".".
std::string parentPath(std::string_view path);

// The last component of the normalized path: "/a/b/" → "b", "a" → "a", "/" → "/" (the root's
// only name), "" → "".
std::string lastComponent(std::string_view path);

// `name` in `folder`: the two joined by exactly one slash, whatever slashes `folder` ends with
// and `name` starts with ("/" + "a" → "/a", "/x/" + "/a" → "/x/a"), so the result always lies
// within `folder`. An empty `folder` is the current one ("" + "a" → "a"); an empty `name` yields
// the normalized `folder`. `name` may hold further components ("share/x").
std::string joinPath(std::string_view folder, std::string_view name);

// Whether `path` is `folder` or lies beneath it, as text: both normalized, then equal, or `path`
// continues `folder` with a slash. "/a/b" and "/a/" are within "/a", "/ab" is not; everything
// absolute is within "/"; nothing but "" is within "". Callers compare canonical or normalized
// paths: "/a/../b" counts as within "/a".
bool isWithin(std::string_view path, std::string_view folder);

// The absolute form of `path`: itself when it starts with "/", else joined to the current
// folder. Nothing is resolved. Fails with the errno of getcwd (the current folder is gone:
// ENOENT), with ENOENT for "" (which names nothing, as for the system), or EINVAL for a path
// with a NUL byte.
std::expected<std::string, SystemError> absolutePath(std::string_view path);

// The canonical path of the existing item `path` (relative paths from the current folder): every
// symbolic link resolved, "." and ".." and repeated slashes gone (realpath). Fails with the
// system's errno: ENOENT when the item or a folder on the way is missing, EACCES, ELOOP,
// ENOTDIR; "" is ENOENT and a path with a NUL byte EINVAL.
std::expected<std::string, SystemError> canonicalPath(const std::string& path);

// Whether `path` names a folder, a symbolic link to one included. False for anything that is
// not, cannot be examined, or has a NUL byte in its path.
bool isFolder(const std::string& path);

} // namespace ambrevoli
