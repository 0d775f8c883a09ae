#include "tree_copy.h"

#include "dir_listing.h"
#include "file_util.h"
#include "paths.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
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

constexpr const char* accessAclName = "system.posix_acl_access";
constexpr const char* defaultAclName = "system.posix_acl_default";

constexpr std::size_t bufferSize = 256 * 1024;
constexpr std::size_t rangeChunk = std::size_t{1} << 30;
constexpr off_t toTheEnd = std::numeric_limits<off_t>::max();

// Whether `path` names an item by a folder and a name in it ("/a/b", "a/b"): not the root, not a
// bare name, no trailing slash.
bool namesAnItemInAFolder(const std::string& path)
{
    return path.find('/') != std::string::npos && !path.ends_with('/');
}

// The /proc name of an open descriptor: it reaches the opened item itself, never anything a
// link points to, and works for descriptors opened only as a path.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

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

// The carried flags that statx reports without another call.
int carriedFlags(const struct statx& info)
{
    int flags = 0;
    if (info.stx_attributes & STATX_ATTR_IMMUTABLE)
        flags |= FS_IMMUTABLE_FL;
    if (info.stx_attributes & STATX_ATTR_APPEND)
        flags |= FS_APPEND_FL;
    if (info.stx_attributes & STATX_ATTR_NODUMP)
        flags |= FS_NODUMP_FL;
    return flags;
}

constexpr int carriedFlagMask = FS_IMMUTABLE_FL | FS_APPEND_FL | FS_NODUMP_FL;

void setTimes(struct timespec (&times)[2], const struct statx& info)
{
    times[0] = {info.stx_atime.tv_sec, info.stx_atime.tv_nsec};
    times[1] = {info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec};
}

// Writes all of `bytes` at `offset`, looping over short writes.
int writeAllAt(int fd, std::string_view bytes, off_t offset)
{
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return 0;
}

// Errors after which copy_file_range can't be used between these two files at all.
bool rangeCopyUnavailable(int error)
{
    return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS ||
           error == EBADF || error == ETXTBSY;
}

// Where an item's extended attributes are read or written: its descriptor, or for an item opened
// only as a path (FIFOs, sockets, device nodes) that descriptor's /proc name, which reaches the
// item itself and never anything a link points to.
struct XattrItem {
    int fd = -1;
    std::string procPath;

    static XattrItem opened(int fd) { return {fd, {}}; }
    static XattrItem pathOnly(int fd) { return {-1, ambrevoli::procPath(fd)}; }

    ssize_t list(char* names, std::size_t size) const
    {
        return fd >= 0 ? ::flistxattr(fd, names, size) : ::listxattr(procPath.c_str(), names, size);
    }
    ssize_t get(const char* name, void* value, std::size_t size) const
    {
        return fd >= 0 ? ::fgetxattr(fd, name, value, size)
                       : ::getxattr(procPath.c_str(), name, value, size);
    }
    int set(const char* name, const void* value, std::size_t size) const
    {
        return fd >= 0 ? ::fsetxattr(fd, name, value, size, 0)
                       : ::setxattr(procPath.c_str(), name, value, size, 0);
    }
    int remove(const char* name) const
    {
        return fd >= 0 ? ::fremovexattr(fd, name) : ::removexattr(procPath.c_str(), name);
    }
};

// Calls `read(buffer, size)` (a listxattr/getxattr-shaped call) until the buffer is big enough.
template <class Read> ssize_t readGrowing(std::vector<char>& buffer, Read read)
{
    for (;;) {
        const ssize_t length = read(buffer.data(), buffer.size());
        if (length >= 0 || errno != ERANGE)
            return length;
        const ssize_t needed = read(nullptr, 0);
        if (needed < 0)
            return needed;
        buffer.resize(std::max(static_cast<std::size_t>(needed), buffer.size() * 2));
    }
}

// A folder that new items are created in, with what a new item's group will be.
struct Folder {
    int fd;
    gid_t gid;
    bool setgid;
};

class TreeCopier {
public:
    explicit TreeCopier(bool clone) : m_clone(clone) {}

    std::expected<void, TreeCopyFailure> copy(const std::string& source, const std::string& target,
                                              UniqueFd* lock)
    {
        if (!namesAnItemInAFolder(target))
            return std::unexpected(TreeCopyFailure{EINVAL, false});
        UniqueFd parent(::open(parentPath(target).c_str(), pathOnlyFolderFlags));
        struct stat info {};
        if (!parent || ::fstat(parent.get(), &info) != 0)
            return std::unexpected(TreeCopyFailure{errno, false});
        // Items made in a folder with a default ACL inherit it; those whose source has no ACL
        // must lose it again, or the copy would grant what the source does not.
        m_inheritsAcls = ::getxattr(procPath(parent.get()).c_str(), defaultAclName, nullptr, 0) > 0;

        const Folder folder{parent.get(), info.st_gid, (info.st_mode & S_ISGID) != 0};
        const std::string name = lastComponent(target);
        const int error = copyEntry(AT_FDCWD, source.c_str(), DT_UNKNOWN, folder, name.c_str());
        if (lock)
            *lock = std::move(m_lock);
        if (error != 0)
            return std::unexpected(TreeCopyFailure{error, m_created});
        return {};
    }

private:
    static std::pair<dev_t, ino_t> identity(const struct statx& info)
    {
        return {::makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino};
    }

    // The group a new item in `folder` gets from the system.
    gid_t createdGid(const Folder& folder) const { return folder.setgid ? folder.gid : m_gid; }

    int copyEntry(int sourceDir, const char* sourceName, unsigned char type, const Folder& folder,
                  const char* name)
    {
        struct statx info {};
        if (type != DT_REG && type != DT_DIR) {
            if (::statx(sourceDir, sourceName, AT_SYMLINK_NOFOLLOW, statxMask, &info) != 0)
                return errno;
            if (S_ISLNK(info.stx_mode))
                return copyLink(sourceDir, sourceName, info, folder, name);
            if (!S_ISREG(info.stx_mode) && !S_ISDIR(info.stx_mode))
                return copySpecial(sourceDir, sourceName, info, folder, name);
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
            return copyFolder(std::move(source), info, folder, name);
        if (S_ISREG(info.stx_mode))
            return copyFile(source.get(), info, folder, name);
        source.reset();
        return copySpecial(sourceDir, sourceName, info, folder, name);
    }

    int copyFile(int source, const struct statx& info, const Folder& folder, const char* name)
    {
        const bool top = !m_created;
        UniqueFd target(
            ::openat(folder.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!target)
            return errno;
        m_created = true;
        if (top)
            if (const int error = lockTop(target.get(), folder, name))
                return error;
        if (m_umaskLimitsOwner && ::fchmod(target.get(), 0600) != 0)
            return errno;
        if (const int error = copyData(source, target.get(), info))
            return error;
        if (const int error = finish(source, info, target.get(), folder))
            return error;
        // A failed close can be the first sign of lost data (NFS, quotas).
        return target.close() == 0 ? 0 : errno;
    }

    int copyFolder(UniqueFd source, const struct statx& info, const Folder& folder,
                   const char* name)
    {
        // The copy met itself: the destination lies inside the source by a way its path does
        // not show (a bind mount). Stop before copying the copy.
        if (m_topFolder && *m_topFolder == identity(info))
            return ELOOP;
        const bool top = !m_created;
        if (::mkdirat(folder.fd, name, 0700) != 0)
            return errno;
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
            struct statx made {};
            if (::statx(target.get(), "", AT_EMPTY_PATH, STATX_INO, &made) != 0)
                return errno;
            m_topFolder = identity(made);
        }

        auto entries = DirListing::open(source.get());
        if (!entries)
            return entries.error().code;
        // The listing's descriptor stands for the source from here: a deep tree holds one per
        // level, not two.
        source.reset();
        const int sourceFd = entries->fd();
        const Folder inner{target.get(), createdGid(folder), folder.setgid};
        while (const dirent* entry = entries->next())
            if (const int error =
                    copyEntry(sourceFd, entry->d_name, entry->d_type, inner, entry->d_name))
                return error;
        if (const auto error = entries->error())
            return error->code;
        return finish(sourceFd, info, target.get(), folder);
    }

    // Marks the new top item `fd`, just made as `name` in `folder`, as a live copy. A sweep for
    // abandoned copies that took its lock in the moment before removes it: EAGAIN.
    int lockTop(int fd, const Folder& folder, const char* name)
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

    // The new top item is being removed, or is gone, by a sweep: it is not this copy's to remove.
    int sweptAway()
    {
        m_created = false;
        return EAGAIN;
    }

    int copyLink(int sourceDir, const char* sourceName, const struct statx& info,
                 const Folder& folder, const char* name)
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
        if (::symlinkat(linkTarget.c_str(), folder.fd, name) != 0)
            return errno;
        m_created = true;
        struct timespec times[2];
        setTimes(times, info);
        if (::utimensat(folder.fd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        if (ownerWanted(info, folder))
            (void)!::fchownat(folder.fd, name, info.stx_uid, info.stx_gid, AT_SYMLINK_NOFOLLOW);
        return 0;
    }

    // FIFOs, sockets and device nodes: recreated, never opened for reading or writing (that
    // could block or reach a device driver).
    int copySpecial(int sourceDir, const char* sourceName, const struct statx& info,
                    const Folder& folder, const char* name)
    {
        if (::mknodat(folder.fd, name, (info.stx_mode & S_IFMT) | 0600,
                      ::makedev(info.stx_rdev_major, info.stx_rdev_minor)) != 0)
            return errno;
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

        const XattrItem targetItem = XattrItem::pathOnly(target.get());
        struct timespec times[2];
        setTimes(times, info);
        if (::utimensat(AT_FDCWD, targetItem.procPath.c_str(), times, 0) != 0)
            return errno;
        if (ownerWanted(info, folder))
            (void)!::fchownat(target.get(), "", info.stx_uid, info.stx_gid, AT_EMPTY_PATH);
        if (const int error =
                copyXattrs(XattrItem::pathOnly(source.get()), targetItem, /*folder=*/false))
            return error;
        if (::chmod(targetItem.procPath.c_str(), info.stx_mode & 07777) != 0 && errno != EPERM)
            return errno;
        return 0;
    }

    int copyData(int source, int target, const struct statx& info)
    {
        if (m_clone && !m_cloneUnsupported) {
            if (::ioctl(target, FICLONE, source) == 0)
                return 0;
            const int error = errno;
            if (error == EIO || error == ENOMEM || error == ENOSPC || error == EDQUOT)
                return error;
            // The target volume can't clone at all; don't ask again for every file.
            if (error == EOPNOTSUPP || error == ENOTTY)
                m_cloneUnsupported = true;
        }
        const auto size = static_cast<off_t>(info.stx_size);
        if (size > 0 && static_cast<off_t>(info.stx_blocks) * 512 < size)
            return copySparse(source, target, size);
        // To the end, whatever the size said: files in /proc claim none.
        return copyBytes(source, target, std::nullopt, toTheEnd, size > 0);
    }

    // Copies `length` bytes of `source`, or up to its end if that comes first, to `target`: at
    // `offset` in both, or from and at both files' own offsets (which works also for files that
    // cannot seek). By copy_file_range where the two files allow it (only with `rangeCopy`),
    // else by reading and writing. Yields 0 or the errno; `copied`, when given, receives the
    // number of bytes that arrived.
    int copyBytes(int source, int target, std::optional<off_t> offset, off_t length, bool rangeCopy,
                  off_t* copied = nullptr)
    {
        off_t in = offset.value_or(0), out = in;
        off_t* const inAt = offset ? &in : nullptr;
        off_t* const outAt = offset ? &out : nullptr;
        const off_t wanted = length;
        bool ended = false;
        for (bool first = true; rangeCopy && length > 0; first = false) {
            const ssize_t done = ::copy_file_range(source, inAt, target, outAt,
                                                   std::min<std::size_t>(length, rangeChunk), 0);
            if (done > 0) {
                length -= done;
                continue;
            }
            // Some special files claim a size but give nothing this way; read them instead.
            if (done == 0) {
                ended = !first;
                break;
            }
            if (errno == EINTR)
                continue;
            if (!rangeCopyUnavailable(errno))
                return errno;
            break;
        }
        char* buffer = this->buffer();
        while (!ended && length > 0) {
            const std::size_t chunk = std::min<std::size_t>(length, bufferSize);
            const ssize_t read =
                offset ? ::pread(source, buffer, chunk, in) : ::read(source, buffer, chunk);
            if (read == 0)
                break;
            if (read < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            const std::string_view bytes(buffer, static_cast<std::size_t>(read));
            if (!offset) {
                if (auto written = writeAll(target, bytes); !written)
                    return written.error().code;
            } else if (const int error = writeAllAt(target, bytes, in)) {
                return error;
            }
            in += read;
            length -= read;
        }
        if (copied)
            *copied = wanted - length;
        return 0;
    }

    // Copies only the data regions, so that holes stay holes.
    int copySparse(int source, int target, off_t size)
    {
        off_t offset = 0;
        while (offset < size) {
            const off_t data = ::lseek(source, offset, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO)
                    break;
                // No hole detection here: copy the rest as it is.
                return copyBytes(source, target, offset, toTheEnd - offset, true);
            }
            off_t hole = ::lseek(source, data, SEEK_HOLE);
            if (hole < 0)
                return errno;
            hole = std::min(hole, size);
            off_t copied = 0;
            if (const int error = copyBytes(source, target, data, hole - data, true, &copied))
                return error;
            // The file ends before its size said (files in /sys claim a page for a line): so
            // does the copy, with no zeros made up after the end.
            if (copied < hole - data)
                return 0;
            offset = hole;
        }
        return ::ftruncate(target, size) == 0 ? 0 : errno;
    }

    bool ownerWanted(const struct statx& info, const Folder& folder) const
    {
        // Only root may give an item away; a user's own items keep their group where they can.
        if (m_uid != 0 && info.stx_uid != m_uid)
            return false;
        return info.stx_uid != m_uid || info.stx_gid != createdGid(folder);
    }

    // Times, owner, attributes and ACLs, mode, flags of a new file or folder, in that order.
    int finish(int source, const struct statx& info, int target, const Folder& folder)
    {
        struct timespec times[2];
        setTimes(times, info);
        if (::futimens(target, times) != 0)
            return errno;
        if (ownerWanted(info, folder))
            (void)!::fchown(target, info.stx_uid, info.stx_gid);
        if (const int error = copyXattrs(XattrItem::opened(source), XattrItem::opened(target),
                                         S_ISDIR(info.stx_mode)))
            return error;
        // EPERM to the owner's own chmod means the volume stores no permissions (FAT).
        if (::fchmod(target, info.stx_mode & 07777) != 0 && errno != EPERM)
            return errno;
        if (const int wanted = carriedFlags(info); wanted != 0) {
            int flags = 0;
            if (::ioctl(target, FS_IOC_GETFLAGS, &flags) == 0) {
                flags = (flags & ~carriedFlagMask) | wanted;
                ::ioctl(target, FS_IOC_SETFLAGS, &flags);
            }
        }
        return 0;
    }

    int copyXattrs(const XattrItem& source, const XattrItem& target, bool folder)
    {
        ssize_t listed = readGrowing(
            m_names, [&](char* names, std::size_t size) { return source.list(names, size); });
        if (listed < 0) {
            if (errno != EOPNOTSUPP)
                return errno;
            listed = 0;
        }
        bool hadAccessAcl = false, hadDefaultAcl = false;
        for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
            const char* name = m_names.data() + at;
            at += std::strlen(name) + 1;
            const bool accessAcl = std::strcmp(name, accessAclName) == 0;
            const bool defaultAcl = std::strcmp(name, defaultAclName) == 0;
            hadAccessAcl |= accessAcl;
            hadDefaultAcl |= defaultAcl;

            const ssize_t length = readGrowing(m_value, [&](char* value, std::size_t size) {
                return source.get(name, value, size);
            });
            if (length < 0) {
                if (errno == ENODATA)
                    continue;
                return errno;
            }
            if (target.set(name, m_value.data(), static_cast<std::size_t>(length)) != 0) {
                const int error = errno;
                // An ACL is part of the permissions and must arrive. Other attributes go where
                // the volume and the user's privileges allow, as cp -a carries them.
                if (accessAcl || defaultAcl ||
                    (error != EOPNOTSUPP && error != EPERM && error != EACCES))
                    return error;
            }
        }
        if (m_inheritsAcls) {
            if (!hadAccessAcl)
                if (const int error = removeInherited(target, accessAclName))
                    return error;
            if (folder && !hadDefaultAcl)
                if (const int error = removeInherited(target, defaultAclName))
                    return error;
        }
        return 0;
    }

    static int removeInherited(const XattrItem& target, const char* name)
    {
        if (target.remove(name) == 0 || errno == ENODATA || errno == EOPNOTSUPP)
            return 0;
        return errno;
    }

    char* buffer()
    {
        if (!m_buffer)
            m_buffer = std::make_unique<char[]>(bufferSize);
        return m_buffer.get();
    }

    const bool m_clone;
    const bool m_umaskLimitsOwner = umaskLimitsOwner();
    bool m_cloneUnsupported = false;
    bool m_inheritsAcls = false;
    bool m_created = false;
    UniqueFd m_lock;
    std::optional<std::pair<dev_t, ino_t>> m_topFolder;
    const uid_t m_uid = ::geteuid();
    const gid_t m_gid = ::getegid();
    std::vector<char> m_names = std::vector<char>(1024);
    std::vector<char> m_value = std::vector<char>(1024);
    std::unique_ptr<char[]> m_buffer;
};

// Removes `name` in `dirFd` and everything beneath it; yields the first errno or 0.
int removeEntry(int dirFd, const char* name)
{
    if (::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT)
        return 0;
    if (errno != EISDIR)
        return errno;

    int firstError = 0;
    {
        UniqueFd folder(::openat(dirFd, name, folderOpenFlags));
        if (!folder)
            return errno == ENOENT ? 0 : errno;
        auto entries = DirListing::open(folder.get());
        if (!entries)
            return entries.error().code;
        // As in copyFolder: the listing's descriptor serves the removals.
        folder.reset();
        while (const dirent* entry = entries->next()) {
            const int error = removeEntry(entries->fd(), entry->d_name);
            if (error != 0 && firstError == 0)
                firstError = error;
        }
        if (const auto error = entries->error(); error && firstError == 0)
            firstError = error->code;
    }
    if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT && firstError == 0)
        firstError = errno;
    return firstError;
}

} // namespace

std::expected<void, TreeCopyFailure> copyTree(const std::string& source, const std::string& target,
                                              bool clone, UniqueFd* lock)
{
    return TreeCopier(clone).copy(source, target, lock);
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
