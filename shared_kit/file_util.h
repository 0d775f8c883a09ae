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

// Like makeDirectories, for folders that must stay the user's own: every folder it creates ends
// up with mode 0700 whatever the umask (it is chmod-ed after mkdir). Folders that already exist
// keep their mode.
std::expected<void, SystemError> makePrivateDirectories(const std::string& path);

// The exclusive rename: renames `from` to `to` atomically, only if nothing has the name `to` yet
// (EEXIST otherwise), by renameat2(RENAME_NOREPLACE). Nothing else is tried: on a file system
// without an exclusive rename it fails with an error for which exclusiveRenameUnsupported() is
// true, and the caller takes its own way round (renameWithoutReplacing links; the copy engine
// claims the name with a placeholder). Both names must be in the same file system.
std::expected<void, SystemError> renameNoReplace(const std::string& from, const std::string& to);

// Whether `error`, from renameNoReplace, means that the file system has no exclusive rename
// (EINVAL, ENOSYS, EOPNOTSUPP) rather than that this rename failed.
bool exclusiveRenameUnsupported(const SystemError& error);

// Renames `from` to `to` only if nothing has the name `to` yet (EEXIST otherwise): by
// renameNoReplace, or where the file system has no exclusive rename by moveByLinking, which is
// just as exclusive but fails for folders. Both names must be in the same file system.
std::expected<void, SystemError> renameWithoutReplacing(const std::string& from,
                                                        const std::string& to);

// Moves `from` to `to` by link() and unlink(): exclusive (link fails with EEXIST when `to`
// exists), not atomic. If `from` cannot be unlinked after the link, the link is taken back and
// that failure returned, so success or failure leaves exactly one name. Fails like link() on
// folders and on file systems without hard links.
std::expected<void, SystemError> moveByLinking(const std::string& from, const std::string& to);

// Writes `bytes` to `path` atomically: into a new temporary file in the same folder, then one
// rename over the target, so that a reader sees either the old file or the whole new one. With
// `durable`, the data is flushed to disk before the rename and the folder entry after it. Fails
// only when the new file did not take the target's place: the old file is then untouched and the
// temporary file removed. Once the rename happened the write succeeds: a folder that cannot be
// opened or flushed then is logged on the "files" logger.
std::expected<void, SystemError> writeFileAtomically(const std::string& path,
                                                     std::string_view bytes, bool durable);

// Writes all of `bytes` to `fd`, retrying on EINTR and after short writes.
std::expected<void, SystemError> writeAll(int fd, std::string_view bytes);

// Writes all of `bytes` to `fd` at `offset` (pwrite(2): the file's own offset stays where it was),
// retrying on EINTR and after short writes.
std::expected<void, SystemError> writeAllAt(int fd, std::string_view bytes, off_t offset);

// Reads the whole regular file at `path` (a link is followed), reading to its end also where the
// file reports no size (/proc). Anything but a regular file fails with EINVAL without being read,
// so a FIFO in a file's place cannot hang the reader. A file longer than `maxBytes` fails with
// EFBIG.
std::expected<std::string, SystemError> readSmallFile(const std::string& path,
                                                      std::size_t maxBytes);

} // namespace ambrevoli
