#include "tree_copy.h"

#include "file_util.h"
#include "unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace ambrevoli {

namespace {

constexpr int fileOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int folderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr unsigned statxMask = STATX_TYPE | STATX_MODE | STATX_INO | STATX_UID | STATX_GID |
                               STATX_ATIME | STATX_MTIME | STATX_SIZE | STATX_BLOCKS;

constexpr const char* accessAclName = "system.posix_acl_access";
constexpr const char* defaultAclName = "system.posix_acl_default";

constexpr std::size_t bufferSize = 256 * 1024;
constexpr std::size_t rangeChunk = std::size_t{1} << 30;

bool isDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
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

// Writes all of `length` bytes at `offset`, looping over short writes.
int writeAllAt(int fd, const char* data, std::size_t length, off_t offset)
{
    while (length > 0) {
        const ssize_t written = ::pwrite(fd, data, length, offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
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
    static XattrItem pathOnly(int fd) { return {-1, "/proc/self/fd/" + std::to_string(fd)}; }

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

    std::expected<void, TreeCopyFailure> copy(const std::string& source, const std::string& target)
    {
        const auto slash = target.rfind('/');
        if (slash == std::string::npos || slash + 1 == target.size())
            return std::unexpected(TreeCopyFailure{EINVAL, false});
        const std::string parentPath = slash == 0 ? "/" : target.substr(0, slash);
        UniqueFd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat info {};
        if (!parent || ::fstat(parent.get(), &info) != 0)
            return std::unexpected(TreeCopyFailure{errno, false});
        // Items made in a folder with a default ACL inherit it; those whose source has no ACL
        // must lose it again, or the copy would grant what the source does not.
        m_inheritsAcls = ::fgetxattr(parent.get(), defaultAclName, nullptr, 0) > 0;

        const Folder folder{parent.get(), info.st_gid, (info.st_mode & S_ISGID) != 0};
        const std::string name = target.substr(slash + 1);
        if (const int error = copyEntry(AT_FDCWD, source.c_str(), DT_UNKNOWN, folder, name.c_str()))
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
        UniqueFd target(
            ::openat(folder.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!target)
            return errno;
        m_created = true;
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
        if (!target)
            return errno;
        if (m_umaskLimitsOwner && ::fchmod(target.get(), 0700) != 0)
            return errno;
        if (top) {
            struct statx made {};
            if (::statx(target.get(), "", AT_EMPTY_PATH, STATX_INO, &made) != 0)
                return errno;
            m_topFolder = identity(made);
        }

        DirStream entries(::fdopendir(source.get()));
        if (!entries)
            return errno;
        source.release();
        const int sourceFd = ::dirfd(entries.get());
        const Folder inner{target.get(), createdGid(folder), folder.setgid};
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(entries.get());
            if (entry == nullptr) {
                if (errno != 0)
                    return errno;
                break;
            }
            if (isDot(entry->d_name))
                continue;
            if (const int error =
                    copyEntry(sourceFd, entry->d_name, entry->d_type, inner, entry->d_name))
                return error;
        }
        return finish(sourceFd, info, target.get(), folder);
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
        return copyStream(source, target, size > 0);
    }

    // Copies from both files' current offsets to the end of `source`.
    int copyStream(int source, int target, bool rangeCopy)
    {
        for (bool first = true; rangeCopy; first = false) {
            const ssize_t copied =
                ::copy_file_range(source, nullptr, target, nullptr, rangeChunk, 0);
            if (copied > 0)
                continue;
            if (copied == 0) {
                // Some special files claim a size but give nothing this way; read them instead.
                if (first)
                    break;
                return 0;
            }
            if (errno == EINTR)
                continue;
            if (!rangeCopyUnavailable(errno))
                return errno;
            break;
        }
        char* buffer = this->buffer();
        for (;;) {
            const ssize_t length = ::read(source, buffer, bufferSize);
            if (length == 0)
                return 0;
            if (length < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            if (auto written = writeAll(target, std::string_view(buffer, length)); !written)
                return written.error().code;
        }
    }

    // Copies `length` bytes at `offset` to the same offset.
    int copyRange(int source, int target, off_t offset, off_t length)
    {
        off_t in = offset, out = offset;
        while (length > 0) {
            const ssize_t copied = ::copy_file_range(source, &in, target, &out,
                                                     std::min<std::size_t>(length, rangeChunk), 0);
            if (copied == 0)
                return 0;
            if (copied > 0) {
                length -= copied;
                continue;
            }
            if (errno == EINTR)
                continue;
            if (!rangeCopyUnavailable(errno))
                return errno;
            break;
        }
        char* buffer = this->buffer();
        while (length > 0) {
            const ssize_t read =
                ::pread(source, buffer, std::min<std::size_t>(length, bufferSize), in);
            if (read == 0)
                return 0;
            if (read < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            if (const int error = writeAllAt(target, buffer, static_cast<std::size_t>(read), in))
                return error;
            in += read;
            length -= read;
        }
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
                if (::lseek(source, offset, SEEK_SET) < 0 || ::lseek(target, offset, SEEK_SET) < 0)
                    return errno;
                return copyStream(source, target, true);
            }
            off_t hole = ::lseek(source, data, SEEK_HOLE);
            if (hole < 0)
                return errno;
            hole = std::min(hole, size);
            if (const int error = copyRange(source, target, data, hole - data))
                return error;
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
        DirStream entries(::fdopendir(folder.get()));
        if (!entries)
            return errno;
        const int fd = folder.release();
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(entries.get());
            if (entry == nullptr) {
                if (errno != 0 && firstError == 0)
                    firstError = errno;
                break;
            }
            if (isDot(entry->d_name))
                continue;
            const int error = removeEntry(fd, entry->d_name);
            if (error != 0 && firstError == 0)
                firstError = error;
        }
    }
    if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT && firstError == 0)
        firstError = errno;
    return firstError;
}

} // namespace

std::expected<void, TreeCopyFailure> copyTree(const std::string& source, const std::string& target,
                                              bool clone)
{
    return TreeCopier(clone).copy(source, target);
}

std::expected<void, SystemError> removeTree(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size())
        return std::unexpected(SystemError{EINVAL});
    const std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent) {
        // The folder went, and the item with it.
        if (errno == ENOENT)
            return {};
        return std::unexpected(SystemError{errno});
    }
    if (const int error = removeEntry(parent.get(), path.substr(slash + 1).c_str()))
        return std::unexpected(SystemError{error});
    return {};
}

} // namespace ambrevoli
