#pragma once

#include "error.h"
#include "unique_fd.h"

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

// The engine's own recursive copier and remover: exclusive, link-preserving, never following a
// link, working relative to folder descriptors.

namespace ambrevoli {

class CopyControl;

struct TreeCopyFailure {
    // What the volume refused to make, where that, not the errno, is the reason.
    enum class Refusal {
        none,
        name, // a name it can't store (it took a plain one in the same folder): EINVAL
        kind, // a link, FIFO, socket or device node it can't hold at all: EOPNOTSUPP
    };

    int error = EIO;      // the errno that stopped the copy
    bool created = false; // whether an item was created at the target (and must be removed)
    Refusal refusal = Refusal::none;

    friend bool operator==(const TreeCopyFailure&, const TreeCopyFailure&) = default;
};

// Metadata a copy left out because the volume it went to can't hold it.
enum class LeftOut : unsigned {
    acls = 1,
    attributes = 2, // extended attributes other than ACLs
    owners = 4,
    modes = 8, // permission bits, set-user-ID and the like
    flags = 16,
    times = 32,
};

// Collects what copies left out; any thread.
class LeftOutMetadata {
public:
    void add(LeftOut what) noexcept
    {
        m_bits.fetch_or(static_cast<unsigned>(what), std::memory_order_relaxed);
    }
    bool contains(LeftOut what) const noexcept
    {
        return (m_bits.load(std::memory_order_relaxed) & static_cast<unsigned>(what)) != 0;
    }
    bool empty() const noexcept { return m_bits.load(std::memory_order_relaxed) == 0; }
    // "ACLs, extended attributes and owners": what was left out, in the order of LeftOut.
    std::string text() const;

private:
    std::atomic<unsigned> m_bits = 0;
};

// Syncs an open file or folder to its device: fsync(2) and the like; yields 0 or the errno.
// Called from any of a copy's threads, several at once.
using FileSync = std::function<int(int fd)>;

// How a copy reaches the device: `file` syncs one file or folder (fsync(2) when not given),
// `volume` the whole volume an open item lies on (syncfs(2) when not given).
struct DeviceSync {
    FileSync file;
    FileSync volume;
};

// What the volume a copy goes to can hold, and what it needs.
struct TargetVolume {
    // A larger regular file fails the copy with EFBIG before any of its data is written.
    std::uint64_t maxFileSize = std::numeric_limits<std::uint64_t>::max();
    // Given, every file and folder the copy makes is synced with it before the copy succeeds.
    FileSync sync;
    // Given, collects the metadata the volume refused with EOPNOTSUPP (an owner: EPERM), which
    // the copy then goes on without instead of failing.
    LeftOutMetadata* leftOut = nullptr;
    // The volume sets a link's times and owner on what the link points to (SETSTAT over SFTP
    // follows links): links are made without them, and that is told to `leftOut`.
    bool linkMetadataFollows = false;
};

// Copies the item at `source` (a link at its last component is copied as a link) to the new
// absolute path `target`, which must not exist; the folder holding `target` may be reached
// through a link.
//
// What is carried: a file's data (a clone when `clone` is true and the volume can make one,
// else copied, holes staying holes); a folder and everything in it; links as links; FIFOs,
// sockets and device nodes where the system permits; extended attributes, POSIX ACLs included
// (one the user cannot store is skipped, and so is any the volume holds none of; an ACL the
// volume refuses otherwise fails the copy); nanosecond access and modification times (left out
// where the volume refuses them with EOPNOTSUPP); the owner
// when permitted (as root, or for the user's own items, best effort); the mode (skipped where
// the volume refuses mode changes, as FAT does); and the immutable, append-only and no-dump
// flags (best effort). What the volume can't hold is told to `volume.leftOut`.
//
// A name the volume refuses (it takes a plain name in the same folder) fails the copy with
// Refusal::name, a link or special file it can't hold with Refusal::kind, and a file larger
// than `volume.maxFileSize` with EFBIG before its data. With `volume.sync`, each file and
// folder made is synced once complete.
//
// Every new file is created 0600 and every new folder 0700, so no one else can read a half-made
// copy. Per item the order is data, times, owner, attributes and ACLs, mode, flags (a lock would
// block every later write); a folder gets its own after its contents.
//
// A file or folder made at `target` is marked as a live copy by an exclusive flock(2), taken the
// moment it exists (see removeAbandonedTemporaries); `lock`, when given, receives it, on success
// and on failure alike, so that the caller keeps it until the item is placed or removed; without
// `lock` it is let go on return. Links, FIFOs, sockets and device nodes carry no lock. Where the
// volume has no such locks the copy goes on unmarked.
//
// On failure yields the errno and whether anything was created at `target`; the partial item is
// left for the caller to remove. EAGAIN with nothing created: a sweep for abandoned copies took
// the new item away between its creation and its lock; a fresh name will do. The folder holding
// `target` only needs to be writable and searchable, not readable.
//
// The files of a folder are copied by a few threads of the call's own (no more than the cores),
// all ended before it returns, so nothing is written to the copy afterwards. A tree of any depth
// is copied with a bounded number of open descriptors and without recursion. Thread-safe: calls
// share no state.
//
// With `control`, every piece of data that arrives is added to it as it arrives, by whichever
// of the call's threads copied it: each chunk of copy_file_range (at most 8 MiB) or of reading
// and writing (256 KiB), a hole as if it were written, a clone as the whole file at once. And the
// copy checks it for a cancel before each entry of a tree, each file a thread of the pool takes
// up and each chunk: once cancelled, the copy stops there with ECANCELED (every thread of the
// pool stops too) and the partial item is left for the caller to remove, as after any failure.
// On failure, cancelled or not, the bytes the call added are taken back from the control (its
// reported figures never go down), so that another attempt, or the next item, counts afresh. A
// copy whose last data arrived ends as a success, cancelled meanwhile or not.
std::expected<void, TreeCopyFailure> copyTree(const std::string& source, const std::string& target,
                                              bool clone, UniqueFd* lock = nullptr,
                                              CopyControl* control = nullptr,
                                              const TargetVolume& volume = {});

// The data that copies of the items at `paths` will carry, item by item in the order of `paths`:
// a regular file's size, for a folder the sizes of all regular files beneath it, and 0 for a
// symbolic link (never followed), a FIFO, socket or device node, and whatever cannot be examined
// or is not an absolute path. Learnt within `control`'s walk budget: each source and each entry
// listed in a folder spends one of its entries, and its time runs from the call. No value when
// the budget runs out first, or the control is cancelled. A tree of any depth is walked with a
// bounded number of open descriptors and without recursion.
std::optional<std::vector<std::int64_t>> measureSources(const std::vector<std::string>& paths,
                                                        const CopyControl& control);

// Removes the item at the absolute `path` and everything beneath it without following any link,
// with a bounded number of open descriptors however deep. An item that vanished meanwhile counts
// as removed. Yields the first error that stopped a
// removal; everything else that could be removed is. The folder holding `path` need not be
// readable.
std::expected<void, SystemError> removeTree(const std::string& path);

// The lock on the item `name` in the folder `dirFd` when no one holds it: the copy that made
// the item under a temporary name is no longer running. No value when a copy holds it, when the
// item is not a file or folder (a link is never followed), belongs to another user (unless the
// caller is root), cannot be opened, or no longer carries that name once locked.
UniqueFd lockAbandoned(int dirFd, const char* name);

} // namespace ambrevoli
