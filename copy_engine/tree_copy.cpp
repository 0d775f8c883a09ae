#include "tree_copy.h"

#include "copy_progress.h"
#include "destination_checks.h"
#include "dir_listing.h"
#include "file_data.h"
#include "file_pool.h"
#include "file_util.h"
#include "folder_descent.h"
#include "item_metadata.h"
#include "paths.h"
#include "unique_fd.h"
#include "uuid.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace ambrevoli {

namespace {

constexpr int fileOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int folderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// For a folder that items are only made in or removed from: it needs to be searchable, not
// readable (a drop box).
constexpr int pathOnlyFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
constexpr unsigned statxMask = STATX_TYPE | STATX_MODE | STATX_INO | STATX_UID | STATX_GID |
                               STATX_ATIME | STATX_MTIME | STATX_SIZE | STATX_BLOCKS;

// Failures of the tree copy that are not an errno.
constexpr int refusedName = -1;
constexpr int refusedKind = -2;

// A folder with fewer files copies them itself: handing a file to another thread and waiting
// for it costs more than copying a few.
constexpr std::ptrdiff_t minFilesForPool = 8;

// Whether `path` names an item by a folder and a name in it ("/a/b", "a/b"): not the root, not a
// bare name, no trailing slash.
bool namesAnItemInAFolder(const std::string& path)
{
    return path.find('/') != std::string::npos && !path.ends_with('/');
}

// The /proc name of an open descriptor: it reaches the opened item itself, never anything a
// link points to, and works for descriptors opened only as a path.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Whether `name` in `dir` is a symbolic link to exactly `target`.
bool linkReads(int dir, const char* name, const std::string& target)
{
    std::string read(target.size() + 1, '\0');
    const ssize_t length = ::readlinkat(dir, name, read.data(), read.size());
    return length >= 0 && static_cast<std::size_t>(length) == target.size() &&
           read.compare(0, target.size(), target) == 0;
}

bool sameItem(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the process umask takes bits from the owner, so that a new 0600 file or 0700 folder
// would not even be writable by its owner. Read without changing the umask, which would race
// with other threads; when it cannot be read, assume it does.
bool umaskLimitsOwner()
{
    const auto status = readSmallFile("/proc/self/status", 64 * 1024);
    if (!status)
        return true;
    const auto at = status->find("\nUmask:");
    if (at == std::string::npos)
        return true;
    return (std::strtoul(status->c_str() + at + 7, nullptr, 8) & 0700) != 0;
}

class TreeCopier {
public:
    TreeCopier(bool clone, CopyControl* control, const TargetVolume& volume)
        : m_control(control), m_volume(volume), m_data(clone, control), m_metadata(volume),
          m_pool([this](const FileJob& job,
                        CopyScratch& scratch) { return copyQueuedFile(job, scratch); },
                 m_scratch, control)
    {}
    TreeCopier(const TreeCopier&) = delete;
    TreeCopier& operator=(const TreeCopier&) = delete;

    std::expected<void, TreeCopyFailure> copy(const std::string& source, const std::string& target,
                                              UniqueFd* lock)
    {
        if (!namesAnItemInAFolder(target))
            return std::unexpected(TreeCopyFailure{EINVAL, false});
        if (cancelled())
            return std::unexpected(TreeCopyFailure{ECANCELED, false});
        UniqueFd parent(::open(parentPath(target).c_str(), pathOnlyFolderFlags));
        struct stat info {};
        if (!parent || ::fstat(parent.get(), &info) != 0)
            return std::unexpected(TreeCopyFailure{errno, false});
        m_metadata.learnInheritedAcls(parent.get());

        const TargetFolder folder{parent.get(), info.st_gid, (info.st_mode & S_ISGID) != 0};
        const std::string name = lastComponent(target);
        std::optional<MadeFolder> made;
        int error = copyEntry(AT_FDCWD, source.c_str(), DT_UNKNOWN, folder, name.c_str(),
                              /*top=*/true, m_scratch, made);
        if (error == 0 && made)
            error = walk(std::move(*made), folder);
        m_pool.stop();
        if (lock)
            *lock = std::move(m_lock);
        if (error != 0) {
            // The partial copy goes, and what it counted with it.
            m_data.takeBackArrived();
            if (error == refusedName)
                return std::unexpected(
                    TreeCopyFailure{EINVAL, m_created, TreeCopyFailure::Refusal::name});
            if (error == refusedKind)
                return std::unexpected(
                    TreeCopyFailure{EOPNOTSUPP, m_created, TreeCopyFailure::Refusal::kind});
            return std::unexpected(TreeCopyFailure{error, m_created});
        }
        return {};
    }

private:
    // A folder made in the copy whose contents are still to come.
    struct MadeFolder {
        UniqueFd source;
        UniqueFd target;
        struct statx info;
        Entries entries;
    };

    // A folder on the walk's way down. The pool's files point to theirs, which the descent
    // never moves.
    struct Frame : DescentLevel {
        Frame(const struct statx& info, const TargetFolder& madeIn, Entries entries)
            : DescentLevel{std::move(entries)}, info(info), madeIn{-1, madeIn.gid, madeIn.setgid}
        {
            const auto files =
                std::ranges::count_if(this->entries.list, [](const Entries::Entry& entry) {
                    return entry.type == DT_REG;
                });
            if (files < minFilesForPool)
                byTheWalkFrom = 0;
        }

        struct statx info;   // of the source folder
        TargetFolder madeIn; // where its copy was made (the descriptor is not kept)
        // Entries from here on are copied by the walk itself, never by the pool.
        std::size_t byTheWalkFrom = std::numeric_limits<std::size_t>::max();
        FileBatch files;
    };

    static std::pair<dev_t, ino_t> identity(const struct statx& info)
    {
        return {::makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino};
    }

    // Copies one entry. A folder is only made, and handed back in `made` with its entries, for
    // the walk to fill.
    int copyEntry(int sourceDir, const char* sourceName, unsigned char type,
                  const TargetFolder& folder, const char* name, bool top, CopyScratch& scratch,
                  std::optional<MadeFolder>& made)
    {
        struct statx info {};
        if (type != DT_REG && type != DT_DIR) {
            if (::statx(sourceDir, sourceName, AT_SYMLINK_NOFOLLOW, statxMask, &info) != 0)
                return errno;
            if (S_ISLNK(info.stx_mode))
                return copyLink(sourceDir, sourceName, info, folder, name);
            if (!S_ISREG(info.stx_mode) && !S_ISDIR(info.stx_mode))
                return copySpecial(sourceDir, sourceName, info, folder, name, scratch);
            type = S_ISDIR(info.stx_mode) ? DT_DIR : DT_REG;
        }
        UniqueFd source(
            ::openat(sourceDir, sourceName, type == DT_DIR ? folderOpenFlags : fileOpenFlags));
        if (!source)
            return errno;
        // What counts is the item opened, whatever the listing said a moment ago.
        if (::statx(source.get(), "", AT_EMPTY_PATH, statxMask, &info) != 0)
            return errno;
        if (S_ISDIR(info.stx_mode))
            return makeFolder(std::move(source), info, folder, name, top, made);
        if (S_ISREG(info.stx_mode))
            return copyFile(source.get(), info, folder, name, top, scratch);
        source.reset();
        return copySpecial(sourceDir, sourceName, info, folder, name, scratch);
    }

    // A file of a folder, on a thread of the pool (or on the walk, helping).
    int copyQueuedFile(const FileJob& job, CopyScratch& scratch)
    {
        UniqueFd source(::openat(job.sourceDir, job.name, fileOpenFlags));
        if (!source)
            return errno;
        struct statx info {};
        if (::statx(source.get(), "", AT_EMPTY_PATH, statxMask, &info) != 0)
            return errno;
        if (!S_ISREG(info.stx_mode)) {
            m_pool.notAFile(job);
            return 0;
        }
        return copyFile(source.get(), info, job.folder, job.name, /*top=*/false, scratch);
    }

    int copyFile(int source, const struct statx& info, const TargetFolder& folder, const char* name,
                 bool top, CopyScratch& scratch)
    {
        if (info.stx_size > m_volume.maxFileSize)
            return EFBIG;
        const auto create = [&](int dir, const char* as) {
            return ::openat(dir, as, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        };
        UniqueFd target(create(folder.fd, name));
        if (!target)
            return creationError(folder.fd, name, false, [&](const char* as) {
                UniqueFd made(create(folder.fd, as));
                return made ? 0 : errno;
            });
        if (top) {
            m_created = true;
            if (const int error = lockTop(target.get(), folder, name))
                return error;
        }
        if (m_umaskLimitsOwner && ::fchmod(target.get(), 0600) != 0)
            return errno;
        if (auto copied = m_data.copy(source, target.get(), info, scratch.data); !copied)
            return copied.error().code;
        if (const int error =
                m_metadata.finish(source, info, target.get(), folder, scratch.attributes))
            return error;
        if (m_volume.sync)
            if (const int error = m_volume.sync(target.get()))
                return error;
        // A failed close can be the first sign of lost data (NFS, quotas).
        return target.close() == 0 ? 0 : errno;
    }

    int makeFolder(UniqueFd source, const struct statx& info, const TargetFolder& folder,
                   const char* name, bool top, std::optional<MadeFolder>& made)
    {
        // The copy met itself: the destination lies inside the source by a way its path does
        // not show (a bind mount). Stop before copying the copy.
        if (m_topFolder && *m_topFolder == identity(info))
            return ELOOP;
        if (::mkdirat(folder.fd, name, 0700) != 0)
            return creationError(folder.fd, name, false, [&](const char* as) {
                return ::mkdirat(folder.fd, as, 0700) == 0 ? 0 : errno;
            });
        if (top)
            m_created = true;
        UniqueFd target(::openat(folder.fd, name, folderOpenFlags));
        if (!target) {
            if (top && errno == ENOENT)
                return sweptAway();
            return errno;
        }
        if (top)
            if (const int error = lockTop(target.get(), folder, name))
                return error;
        if (m_umaskLimitsOwner && ::fchmod(target.get(), 0700) != 0)
            return errno;
        if (top) {
            struct statx madeInfo {};
            if (::statx(target.get(), "", AT_EMPTY_PATH, STATX_INO, &madeInfo) != 0)
                return errno;
            m_topFolder = identity(madeInfo);
        }
        Entries entries;
        if (const int error = readEntries(source.get(), entries))
            return error;
        made.emplace(MadeFolder{std::move(source), std::move(target), info, std::move(entries)});
        return 0;
    }

    // Copies the contents of the folder `first` (made in `madeIn`) and everything beneath, then
    // gives each folder its own metadata once its contents are complete. The files of the
    // deepest folder go to the pool while the walk goes on; a folder is finished only after its
    // files are, and its descriptors are let go only then too.
    int walk(MadeFolder first, const TargetFolder& madeIn)
    {
        FolderDescent<Frame, 2> descent({std::move(first.source), std::move(first.target)},
                                        Frame(first.info, madeIn, std::move(first.entries)),
                                        O_RDONLY,
                                        [&](Frame& frame) { m_pool.waitFor(frame.files); });

        while (!descent.finished() && m_pool.failed() == 0) {
            Frame& frame = descent.deepest();
            const int sourceDir = descent.folder(0);
            const int targetDir = sourceDir < 0 ? -1 : descent.folder(1);
            if (targetDir < 0) {
                m_pool.fail(errno);
                break;
            }
            const TargetFolder inner{targetDir, m_metadata.createdGid(frame.madeIn),
                                     frame.madeIn.setgid};
            const std::size_t index = frame.next;
            if (const Entries::Entry* entry = frame.take()) {
                if (cancelled()) {
                    m_pool.fail(ECANCELED);
                    break;
                }
                const char* name = frame.entries.name(*entry);
                if (entry->type == DT_REG && index < frame.byTheWalkFrom && m_pool.start()) {
                    m_pool.submit({&frame.files, sourceDir, inner, name, entry->at});
                    continue;
                }
                std::optional<MadeFolder> made;
                if (const int error = copyEntry(sourceDir, name, entry->type, inner, name,
                                                /*top=*/false, m_scratch, made)) {
                    m_pool.fail(error);
                    break;
                }
                if (!made)
                    continue;
                if (const int error =
                        descent.down({std::move(made->source), std::move(made->target)}, name,
                                     Frame(made->info, inner, std::move(made->entries)))) {
                    m_pool.fail(error);
                    break;
                }
                continue;
            }
            m_pool.waitFor(frame.files);
            if (m_pool.failed() != 0)
                break;
            if (!frame.files.notFiles.empty()) {
                frame.byTheWalkFrom = frame.entries.list.size();
                for (const std::size_t at : std::exchange(frame.files.notFiles, {}))
                    frame.entries.add(std::string(frame.entries.names.data() + at).c_str(),
                                      DT_UNKNOWN);
                continue;
            }
            if (const int error = m_metadata.finish(sourceDir, frame.info, targetDir, frame.madeIn,
                                                    m_scratch.attributes)) {
                m_pool.fail(error);
                break;
            }
            descent.up();
        }
        // After a failure the pool's remaining files are dropped, and those running finish
        // before the partial copy can be removed.
        m_pool.waitForAll();
        return m_pool.failed();
    }

    // Marks the new top item `fd`, just made as `name` in `folder`, as a live copy. A sweep for
    // abandoned copies that took its lock in the moment before removes it: EAGAIN.
    int lockTop(int fd, const TargetFolder& folder, const char* name)
    {
        UniqueFd lock(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!lock)
            return errno;
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK)
                return 0; // No locks on this volume: no sweep can take the item either.
            return sweptAway();
        }
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) != 0)
            return errno;
        if (::fstatat(folder.fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameItem(opened, named))
            return sweptAway();
        m_lock = std::move(lock);
        return 0;
    }

    // What to stop with after the folder `dir` refused to make `name` (errno tells why), where
    // `make` makes the same kind of item under another name. A name the folder's volume can't
    // store looks like a missing folder (ENOENT), a bad argument or a refusal, depending on the
    // file system: when the folder takes the item under a name every volume stores, it was the
    // name (refusedName). A link or special file that can't be made under that name either, with
    // the same error, is a kind the volume can't hold (`special`: refusedKind).
    template <class Make> int creationError(int dir, const char* name, bool special, Make make)
    {
        const int error = errno;
        // Some volumes leave the item behind when they fail to make it (exFAT a FIFO): it is the
        // copy's to remove.
        struct stat left {};
        if (error != EEXIST && ::fstatat(dir, name, &left, AT_SYMLINK_NOFOLLOW) == 0)
            m_created = true;
        // An SFTP server passes its file system's refusal of a name on as a denied permission, or
        // as a bare failure that GIO's FUSE bridge makes EIO; FAT's FUSE driver in Debian 13
        // answers EIO for a ':' itself. A failing disk fails the plain name as well.
        const bool nameMayBeRefused = error == ENOENT || error == EINVAL || error == EPERM ||
                                      error == EILSEQ || error == EACCES || error == EIO;
        const bool kindMayBeRefused =
            special && (error == EPERM || error == ENOSYS || error == EOPNOTSUPP || error == EIO);
        if (!nameMayBeRefused && !kindMayBeRefused)
            return error;
        const std::string plain = std::string(checkFilePrefix) + Uuid::random().text();
        const int probe = make(plain.c_str());
        if (::unlinkat(dir, plain.c_str(), 0) != 0 && errno == EISDIR)
            ::unlinkat(dir, plain.c_str(), AT_REMOVEDIR);
        if (probe == 0 && nameMayBeRefused)
            return refusedName;
        if (probe == error && kindMayBeRefused)
            return refusedKind;
        return error;
    }

    // Whether the link `name` that symlinkat(2) just failed to make (errno tells why) was made
    // all the same. GIO's FUSE bridge makes it on an SFTP share and then answers EIO, and where
    // the link leads somewhere it shows the link as what it leads to. The name is one this copy
    // made up or one in a fresh folder of its own, so what stands there now is the link it made.
    // Leaves errno as it found it.
    bool madeAnyway(int dir, const char* name, const std::string& target) const
    {
        const int error = errno;
        struct stat standing {};
        const bool made =
            error != EEXIST && (linkReads(dir, name, target) ||
                                (m_volume.linkMetadataFollows && error == EIO &&
                                 ::fstatat(dir, name, &standing, AT_SYMLINK_NOFOLLOW) == 0));
        errno = error;
        return made;
    }

    // The new top item is being removed, or is gone, by a sweep: it is not this copy's to remove.
    int sweptAway()
    {
        m_created = false;
        return EAGAIN;
    }

    int copyLink(int sourceDir, const char* sourceName, const struct statx& info,
                 const TargetFolder& folder, const char* name)
    {
        std::string linkTarget(std::max<std::size_t>(info.stx_size + 1, 64), '\0');
        for (;;) {
            const ssize_t length =
                ::readlinkat(sourceDir, sourceName, linkTarget.data(), linkTarget.size());
            if (length < 0)
                return errno;
            if (static_cast<std::size_t>(length) < linkTarget.size()) {
                linkTarget.resize(static_cast<std::size_t>(length));
                break;
            }
            linkTarget.resize(linkTarget.size() * 2);
        }
        if (::symlinkat(linkTarget.c_str(), folder.fd, name) != 0 &&
            !madeAnyway(folder.fd, name, linkTarget))
            return creationError(folder.fd, name, true, [&](const char* as) {
                return ::symlinkat(linkTarget.c_str(), folder.fd, as) == 0 ? 0 : errno;
            });
        m_created = true;
        return m_metadata.finishLink(info, folder, name);
    }

    // FIFOs, sockets and device nodes: recreated, never opened for reading or writing (that
    // could block or reach a device driver).
    int copySpecial(int sourceDir, const char* sourceName, const struct statx& info,
                    const TargetFolder& folder, const char* name, CopyScratch& scratch)
    {
        const auto make = [&](const char* as) {
            return ::mknodat(folder.fd, as, (info.stx_mode & S_IFMT) | 0600,
                             ::makedev(info.stx_rdev_major, info.stx_rdev_minor)) == 0
                       ? 0
                       : errno;
        };
        if (const int error = make(name); error != 0) {
            // Only the privileged make device nodes: a refusal says nothing of the volume.
            if (error == EPERM && (S_ISCHR(info.stx_mode) || S_ISBLK(info.stx_mode)))
                return error;
            return creationError(folder.fd, name, true, make);
        }
        m_created = true;
        UniqueFd source(::openat(sourceDir, sourceName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        UniqueFd target(::openat(folder.fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!source || !target)
            return errno;
        struct stat made {};
        if (::fstat(target.get(), &made) != 0)
            return errno;
        if ((made.st_mode & S_IFMT) != (info.stx_mode & S_IFMT))
            return EEXIST;
        return m_metadata.finishPathOnly(source.get(), info, target.get(), folder,
                                         scratch.attributes);
    }

    bool cancelled() const { return m_control && m_control->isCancelled(); }

    CopyControl* const m_control;
    const TargetVolume& m_volume;
    FileDataCopy m_data;
    ItemMetadata m_metadata;
    const bool m_umaskLimitsOwner = umaskLimitsOwner();
    bool m_created = false;
    UniqueFd m_lock;
    std::optional<std::pair<dev_t, ino_t>> m_topFolder;
    // The walk's own; each thread of the pool has one of its own.
    CopyScratch m_scratch;
    // Last, so that its threads end before anything they use goes.
    FilePool m_pool;
};

// Removes `name` in `dirFd` and everything beneath it; yields the first errno or 0. Goes down
// with a bounded number of folders open, as the copy does, so that whatever a copy could make
// can be removed again.
int removeEntry(int dirFd, const char* name)
{
    if (::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT)
        return 0;
    if (errno != EISDIR)
        return errno;
    UniqueFd top(::openat(dirFd, name, folderOpenFlags));
    if (!top)
        return errno == ENOENT ? 0 : errno;

    int firstError = 0;
    const auto note = [&](int error) {
        if (error != 0 && firstError == 0)
            firstError = error;
    };
    struct Level : DescentLevel {
        std::string name;
    };
    Level first;
    note(readEntries(top.get(), first.entries));
    FolderDescent<Level> descent({std::move(top)}, std::move(first), O_RDONLY);
    for (;;) {
        Level& level = descent.deepest();
        const int fd = descent.folder();
        if (const Entries::Entry* entry = fd >= 0 ? level.take() : nullptr) {
            const char* child = level.entries.name(*entry);
            if (::unlinkat(fd, child, 0) == 0 || errno == ENOENT)
                continue;
            if (errno != EISDIR) {
                note(errno);
                continue;
            }
            UniqueFd folder(::openat(fd, child, folderOpenFlags));
            if (!folder) {
                if (errno != ENOENT)
                    note(errno);
                continue;
            }
            Level inner;
            inner.name = child;
            note(readEntries(folder.get(), inner.entries));
            note(descent.down({std::move(folder)}, child, std::move(inner)));
            continue;
        }
        // The folder is as empty as it gets (or can't be reached again: it stays, and says so).
        if (fd < 0)
            note(errno);
        if (descent.depth() == 1)
            break;
        const std::string emptied = std::move(level.name);
        descent.up();
        const int above = descent.folder();
        if (above < 0)
            note(errno);
        else if (::unlinkat(above, emptied.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            note(errno);
    }
    if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT)
        note(errno);
    return firstError;
}

// Sums the data beneath sources within a control's walk budget: every entry listed or examined
// spends one, and the time runs from the walk's start. Goes down with a bounded number of folders
// open, as the copy does.
class SourceWalk {
public:
    // Any budget beyond this is as good as none, and still a time point the clock can hold.
    static constexpr std::chrono::milliseconds longestWalk = std::chrono::hours(24 * 365);

    explicit SourceWalk(const CopyControl& control)
        : m_control(control), m_entriesLeft(control.walkBudget().entries),
          m_deadline(std::chrono::steady_clock::now() +
                     std::min(control.walkBudget().time, longestWalk))
    {}

    // The bytes of the item at `path`; none once the budget ran out.
    std::optional<std::int64_t> measure(const std::string& path)
    {
        if (!spend())
            return std::nullopt;
        if (!path.starts_with('/') || path.find('\0') != std::string::npos)
            return 0;
        struct statx info {};
        if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_SIZE, &info) !=
            0)
            return 0;
        if (S_ISREG(info.stx_mode))
            return static_cast<std::int64_t>(info.stx_size);
        if (!S_ISDIR(info.stx_mode))
            return 0;
        UniqueFd top(::open(path.c_str(), folderOpenFlags));
        if (!top)
            return 0;
        return measureFolder(std::move(top));
    }

private:
    bool spend()
    {
        return --m_entriesLeft >= 0 && std::chrono::steady_clock::now() < m_deadline &&
               !m_control.isCancelled();
    }

    // Lists the folder open as `fd`; false once the budget ran out. What cannot be read counts
    // as empty: its copy will tell.
    bool list(int fd, Entries& entries)
    {
        auto listing = DirListing::open(fd);
        if (!listing)
            return true;
        while (const dirent* entry = listing->next()) {
            if (!spend())
                return false;
            // Links and special files carry no data; they need no second look.
            if (entry->d_type == DT_REG || entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN)
                entries.add(entry->d_name, entry->d_type);
        }
        return true;
    }

    std::optional<std::int64_t> measureFolder(UniqueFd top)
    {
        DescentLevel first;
        if (!list(top.get(), first.entries))
            return std::nullopt;
        FolderDescent<> descent({std::move(top)}, std::move(first), O_RDONLY);
        std::int64_t total = 0;
        while (!descent.finished()) {
            DescentLevel& level = descent.deepest();
            const int fd = level.next < level.entries.list.size() ? descent.folder() : -1;
            if (fd < 0) {
                // Done, or the folder cannot be reached again: what is left of it counts nothing.
                descent.up();
                continue;
            }
            const std::string name = level.entries.name(*level.take());
            struct statx info {};
            if (::statx(fd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_SIZE, &info) != 0)
                continue;
            if (S_ISREG(info.stx_mode))
                total += static_cast<std::int64_t>(info.stx_size);
            if (!S_ISDIR(info.stx_mode))
                continue;
            UniqueFd folder(::openat(fd, name.c_str(), folderOpenFlags));
            if (!folder)
                continue;
            DescentLevel inner;
            if (!list(folder.get(), inner.entries))
                return std::nullopt;
            // A folder that can't be held counts nothing, as one that can't be opened.
            descent.down({std::move(folder)}, name, std::move(inner));
        }
        return total;
    }

    const CopyControl& m_control;
    std::int64_t m_entriesLeft;
    const std::chrono::steady_clock::time_point m_deadline;
};

} // namespace

std::expected<void, TreeCopyFailure> copyTree(const std::string& source, const std::string& target,
                                              bool clone, UniqueFd* lock, CopyControl* control,
                                              const TargetVolume& volume)
{
    return TreeCopier(clone, control, volume).copy(source, target, lock);
}

std::string LeftOutMetadata::text() const
{
    static constexpr std::pair<LeftOut, const char*> names[] = {
        {LeftOut::acls, "ACLs"},        {LeftOut::attributes, "extended attributes"},
        {LeftOut::owners, "owners"},    {LeftOut::modes, "permissions"},
        {LeftOut::flags, "file flags"}, {LeftOut::times, "times"},
    };
    std::vector<const char*> found;
    for (const auto& [what, name] : names)
        if (contains(what))
            found.push_back(name);
    std::string text;
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (i > 0)
            text += i + 1 == found.size() ? " and " : ", ";
        text += found[i];
    }
    return text;
}

std::optional<std::vector<std::int64_t>> measureSources(const std::vector<std::string>& paths,
                                                        const CopyControl& control)
{
    SourceWalk walk(control);
    std::vector<std::int64_t> sizes;
    sizes.reserve(paths.size());
    for (const std::string& path : paths) {
        const auto size = walk.measure(path);
        if (!size)
            return std::nullopt;
        sizes.push_back(*size);
    }
    return sizes;
}

std::expected<void, SystemError> removeTree(const std::string& path)
{
    if (!namesAnItemInAFolder(path))
        return std::unexpected(SystemError{EINVAL});
    UniqueFd parent(::open(parentPath(path).c_str(), pathOnlyFolderFlags));
    if (!parent) {
        // The folder went, and the item with it.
        if (errno == ENOENT)
            return {};
        return std::unexpected(SystemError{errno});
    }
    if (const int error = removeEntry(parent.get(), lastComponent(path).c_str()))
        return std::unexpected(SystemError{error});
    return {};
}

UniqueFd lockAbandoned(int dirFd, const char* name)
{
    UniqueFd item(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!item || ::fstat(item.get(), &info) != 0 ||
        !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)))
        return {};
    if (const uid_t uid = ::geteuid(); uid != 0 && info.st_uid != uid)
        return {};
    // Opened again through the descriptor: the item just examined, whatever its name meanwhile
    // names; never a FIFO's or device's open.
    UniqueFd opened(
        ::open(procPath(item.get()).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened || ::flock(opened.get(), LOCK_EX | LOCK_NB) != 0)
        return {};
    // Its copy may have moved it to its final name and let go of it meanwhile.
    struct stat named {};
    if (::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameItem(info, named))
        return {};
    return opened;
}

} // namespace ambrevoli
