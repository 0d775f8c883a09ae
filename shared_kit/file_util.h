#pragma once

#include "error.h"

#include <sys/types.h>

#include <expected>
#include <string>
#include <string_view>

// Small file-system helpers the kit's types share.

namespace ambrevoli {

// Creates `path` and any missing parents with `mode` (before the umask). An existing folder is
// fine; an existing non-folder is ENOTDIR (or EEXIST from the system).
std::expected<void, SystemError> makeDirectories(const std::string& path, mode_t mode);

// Writes `bytes` to `path` atomically: into a new temporary file in the same folder, then one
// rename over the target, so that a reader sees either the old file or the whole new one. With
// `durable`, the data and the folder entry are flushed to disk before returning. The temporary
// file is removed on every failure path.
std::expected<void, SystemError> writeFileAtomically(const std::string& path,
                                                     std::string_view bytes, bool durable);

// Writes all of `bytes` to `fd`, retrying on EINTR and after short writes.
std::expected<void, SystemError> writeAll(int fd, std::string_view bytes);

} // namespace ambrevoli

namespace ambrevoli {

// The one path normalisation: trailing slashes are dropped while the path is longer than one
// character ("/a/b//" → "/a/b"; "/" stays). Nothing else changes: no "." or ".." resolving, no
// case folding. Destinations and the copy engine both use it.
std::string normalizedPath(std::string_view path);

} // namespace ambrevoli
