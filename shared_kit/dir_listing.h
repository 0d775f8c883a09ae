#pragma once

#include "error.h"

#include <dirent.h>

#include <expected>
#include <optional>

namespace ambrevoli {

// The entries of one open folder, read once from start to end, "." and ".." left out.
//
// The listing reads through a descriptor of its own: open() duplicates the caller's with
// F_DUPFD_CLOEXEC, close-on-exec from its first moment (a program another thread starts meanwhile
// inherits nothing, which matters inside the file manager), and the listing closes the duplicate
// when it goes, on every path. The caller's descriptor stays the caller's, open and usable for
// *at calls. The duplicate shares the caller's file offset, so the folder must not be read
// through `dirFd` while the listing is in use.
//
// Use:
//     auto listing = DirListing::open(fd);
//     if (!listing) …listing.error()…
//     while (const dirent* entry = listing->next()) …
//     if (const auto error = listing->error()) …the listing is incomplete…
class DirListing {
public:
    // A listing of the folder open as `dirFd`, from its first entry. Fails with the errno:
    // EBADF (not open), ENOTDIR (not a folder), EMFILE, ENOMEM; nothing is left open then. A
    // folder opened as a path only (O_PATH) cannot be read: its first next() fails with EBADF.
    static std::expected<DirListing, SystemError> open(int dirFd);

    DirListing(DirListing&& other) noexcept;
    DirListing& operator=(DirListing&& other) noexcept;
    DirListing(const DirListing&) = delete;
    DirListing& operator=(const DirListing&) = delete;
    ~DirListing();

    // The next entry, valid until the next call; nullptr at the end of the folder, and also when
    // reading failed, which error() then tells.
    const dirent* next();

    // Why the last next() returned nullptr before the folder's end (the errno of readdir), or
    // none after a listing that reached the end.
    std::optional<SystemError> error() const { return m_error; }

    // The listing's own descriptor, open on the same folder while the listing lives.
    int fd() const;

private:
    explicit DirListing(DIR* dir) : m_dir(dir) {}

    DIR* m_dir = nullptr;
    std::optional<SystemError> m_error;
};

} // namespace ambrevoli
