#pragma once

#include "error.h"

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

// Bookmarks: a persistent reference to a folder that finds it again after it was renamed or
// moved nearby. The bytes are opaque to everyone but this file; they carry a format version so
// the format can change later.
//
// A bookmark holds the folder's identity (device, inode and, where the file system gives one,
// the inode generation) and its path when made. Resolving first checks the stored path, then
// searches for the identity within a fixed budget of directory entries: the old parent's
// entries, the top of the user's trash folders, then each ancestor's subtree to a small depth. The
// search never leaves the folder's device, never follows a symbolic link and never triggers an
// automount, so a folder moved to another file system is not found. It tells other mounts apart
// without opening them and never opens one (nor a bind mount of the same file system), so an
// automount point stays unmounted and a dead network mount cannot hang it. A folder on a network
// share the desktop's FUSE bridge shows is found at its path only: the bridge numbers items anew
// for every mount.

namespace ambrevoli {

struct BookmarkError {
    enum class Case {
        malformed,          // the bytes are not a bookmark
        unsupportedVersion, // a bookmark of a newer format
        notFound,           // the folder is neither at its path nor anywhere the search looked
    };

    Case kind;

    static BookmarkError malformed() { return {Case::malformed}; }
    static BookmarkError unsupportedVersion() { return {Case::unsupportedVersion}; }
    static BookmarkError notFound() { return {Case::notFound}; }

    friend bool operator==(const BookmarkError&, const BookmarkError&) = default;
};

std::string textualForm(const BookmarkError& e);
std::string_view errorDomain(const BookmarkError& e);
long errorCode(const BookmarkError& e);

struct ResolvedBookmark {
    std::string path;
    // The folder is no longer at the stored path: a fresh bookmark should replace this one.
    bool stale = false;

    friend bool operator==(const ResolvedBookmark&, const ResolvedBookmark&) = default;
};

struct BookmarkSearch {
    // Directory entries the search may look at before it gives up.
    std::size_t budget = 4096;
    // How deep below each ancestor the search goes.
    int depth = 3;
    // The home trash's "files" folder; empty: the one under the user's data home.
    std::string homeTrash;
};

// Makes a bookmark for the folder at `path` (an absolute path; symbolic links are followed).
// Fails with the system's error, ENOTDIR when `path` is not a folder, EINVAL when it is relative
// or holds a NUL byte.
std::expected<std::string, SystemError> makeBookmark(const std::string& path);

// Finds the folder that `bookmark` names. Yields its current path, stale when it was found
// elsewhere than the stored path. Safe from any thread; touches nothing but directory listings.
std::expected<ResolvedBookmark, BookmarkError> resolveBookmark(std::string_view bookmark,
                                                               const BookmarkSearch& search = {});

} // namespace ambrevoli
