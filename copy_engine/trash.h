#pragma once

#include "error.h"

#include <sys/types.h>

#include <cerrno>

#include <ctime>
#include <expected>
#include <string>
#include <string_view>

// Moving items to the desktop's Trash the way the file managers do, so that their "Restore" puts
// an item back: an item on the home's volume goes to the home trash ($XDG_DATA_HOME/Trash); one
// on another volume goes to that volume's "$topdir/.Trash/$uid" when "$topdir/.Trash" is a
// sticky folder and no link, else to "$topdir/.Trash-$uid" (made 0700). Each trashed item gets
// "info/NAME.trashinfo" (its URL-encoded original path and the deletion date), written
// exclusively before the item is renamed into "files/NAME"; a name already taken in the trash
// becomes "NAME.2", "NAME.3", …
//
// Nothing is ever copied or deleted: an item that can't be renamed into a trash on its own
// volume stays where it is. A plain value; any thread.

namespace ambrevoli {

struct TrashError {
    enum class Case {
        readOnly,     // the item's volume is mounted read-only
        noTrash,      // no trash folder can be made or used on the item's volume; the errno
        notMoved,     // the rename into the trash failed; the errno
    };

    Case kind;
    int errorNumber = 0; // noTrash and notMoved

    static TrashError readOnly() { return {Case::readOnly, EROFS}; }
    static TrashError noTrash(int e) { return {Case::noTrash, e}; }
    static TrashError notMoved(int e) { return {Case::notMoved, e}; }

    friend bool operator==(const TrashError&, const TrashError&) = default;
};

// "readOnly", "noTrash(13)", "notMoved(18)"
std::string textualForm(const TrashError& e);
std::string_view errorDomain(const TrashError& e);
long errorCode(const TrashError& e);

// Where a trashed item went.
struct TrashedItem {
    std::string trash; // the trash folder (the one holding "files" and "info")
    std::string name;  // the item's name in "files", and of its info file without ".trashinfo"

    friend bool operator==(const TrashedItem&, const TrashedItem&) = default;
};

class Trash {
public:
    // The trash of the user `uid` whose home trash is `homeTrash` (an absolute path; made when
    // first needed).
    Trash(std::string homeTrash, uid_t uid);

    // The current user's: dataHome() + "/Trash". Fails with ENOENT without a usable data home.
    static std::expected<Trash, SystemError> forCurrentUser();

    const std::string& homeTrash() const { return m_homeTrash; }

    // Moves the entry `name` of the folder open as `parentFd` (which must not be O_PATH-only for
    // the volume check to work) into the trash of its volume. `originalPath` is the absolute path
    // the entry has now; it is what the info file records and where the topdir is looked for.
    // `deletedAt` is written as the deletion date, in local time. On success the entry is gone
    // from the folder and lies in the trash as the result names it. On failure nothing was
    // moved and no info file is left behind.
    std::expected<TrashedItem, TrashError> moveToTrash(int parentFd, std::string_view name,
                                                       std::string_view originalPath,
                                                       std::time_t deletedAt) const;

    // The trash folder for items on the volume holding `originalPath` (whose folder is open as
    // `parentFd`), made when missing: the home trash, a ".Trash/$uid" or a ".Trash-$uid". Yields
    // it with the path that info files of that trash record: absolute for the home trash,
    // relative to the topdir for a volume's own.
    struct Location {
        std::string folder;
        std::string topdir; // empty for the home trash
    };
    std::expected<Location, TrashError> trashFor(int parentFd,
                                                 std::string_view originalPath) const;

private:
    std::string m_homeTrash;
    uid_t m_uid;
};

// The contents of an info file for `path` deleted at `deletedAt` (local time):
// "[Trash Info]\nPath=<URL-encoded path>\nDeletionDate=YYYY-MM-DDThh:mm:ss\n".
std::string trashInfoText(std::string_view path, std::time_t deletedAt);

} // namespace ambrevoli
