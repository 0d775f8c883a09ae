#include "item_metadata.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace ambrevoli {

namespace {

constexpr const char* accessAclName = "system.posix_acl_access";
constexpr const char* defaultAclName = "system.posix_acl_default";

constexpr int carriedFlagMask = FS_IMMUTABLE_FL | FS_APPEND_FL | FS_NODUMP_FL;

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

void setTimes(struct timespec (&times)[2], const struct statx& info)
{
    times[0] = {info.stx_atime.tv_sec, info.stx_atime.tv_nsec};
    times[1] = {info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec};
}

// EPERM to the owner's own chmod, or no chmod at all, means the volume stores no permissions
// (FAT, exFAT).
bool volumeRefusesModes(int error)
{
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP;
}

// The /proc name of an open descriptor: it reaches the opened item itself, never anything a
// link points to, and works for descriptors opened only as a path.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

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

} // namespace

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

    // Whether the volume of this item, which refused an ACL with `error`, holds no ACLs at all.
    // Some FUSE volumes answer EINVAL rather than EOPNOTSUPP: then the volume refusing any
    // attribute in the user's namespace too tells it apart from an ACL that is malformed.
    bool holdsNoAcls(int error) const
    {
        if (error == EOPNOTSUPP)
            return true;
        if (error != EINVAL)
            return false;
        if (get(accessAclName, nullptr, 0) >= 0 || errno != EOPNOTSUPP)
            return false;
        return list(nullptr, 0) < 0 && errno == EOPNOTSUPP;
    }

    int removeInherited(const char* name) const
    {
        if (remove(name) == 0 || errno == ENODATA || errno == EOPNOTSUPP)
            return 0;
        return errno;
    }
};

void ItemMetadata::learnInheritedAcls(int folderFd)
{
    m_inheritsAcls = ::getxattr(procPath(folderFd).c_str(), defaultAclName, nullptr, 0) > 0;
}

int ItemMetadata::finish(int source, const struct statx& info, int target,
                         const TargetFolder& folder, XattrBuffers& buffers) const
{
    struct timespec times[2];
    setTimes(times, info);
    if (::futimens(target, times) != 0 && timesFailed())
        return errno;
    if (ownerWanted(info, folder) && ::fchown(target, info.stx_uid, info.stx_gid) != 0)
        leftOutIf(true, LeftOut::owners);
    if (const int error = copyXattrs(XattrItem::opened(source), XattrItem::opened(target),
                                     S_ISDIR(info.stx_mode), buffers))
        return error;
    if (::fchmod(target, info.stx_mode & 07777) != 0) {
        if (!volumeRefusesModes(errno))
            return errno;
        leftOutIf(true, LeftOut::modes);
    }
    if (const int wanted = carriedFlags(info); wanted != 0) {
        int flags = 0;
        if (::ioctl(target, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = (flags & ~carriedFlagMask) | wanted;
            if (::ioctl(target, FS_IOC_SETFLAGS, &flags) != 0)
                leftOutIf(errno == EOPNOTSUPP || errno == ENOTTY, LeftOut::flags);
        } else {
            leftOutIf(errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL, LeftOut::flags);
        }
    }
    if (S_ISDIR(info.stx_mode) && m_volume.sync)
        return m_volume.sync(target);
    return 0;
}

int ItemMetadata::finishPathOnly(int source, const struct statx& info, int target,
                                 const TargetFolder& folder, XattrBuffers& buffers) const
{
    const XattrItem targetItem = XattrItem::pathOnly(target);
    struct timespec times[2];
    setTimes(times, info);
    if (::utimensat(AT_FDCWD, targetItem.procPath.c_str(), times, 0) != 0 && timesFailed())
        return errno;
    if (ownerWanted(info, folder) &&
        ::fchownat(target, "", info.stx_uid, info.stx_gid, AT_EMPTY_PATH) != 0)
        leftOutIf(true, LeftOut::owners);
    if (const int error =
            copyXattrs(XattrItem::pathOnly(source), targetItem, /*folder=*/false, buffers))
        return error;
    if (::chmod(targetItem.procPath.c_str(), info.stx_mode & 07777) != 0) {
        if (!volumeRefusesModes(errno))
            return errno;
        leftOutIf(true, LeftOut::modes);
    }
    return 0;
}

int ItemMetadata::finishLink(const struct statx& info, const TargetFolder& folder,
                             const char* name) const
{
    // Times set there would land on whatever the link points to, on the server and maybe
    // outside the copy.
    if (m_volume.linkMetadataFollows) {
        leftOutIf(true, LeftOut::times);
        leftOutIf(ownerWanted(info, folder), LeftOut::owners);
        return 0;
    }
    struct timespec times[2];
    setTimes(times, info);
    if (::utimensat(folder.fd, name, times, AT_SYMLINK_NOFOLLOW) != 0 && timesFailed())
        return errno;
    if (ownerWanted(info, folder) &&
        ::fchownat(folder.fd, name, info.stx_uid, info.stx_gid, AT_SYMLINK_NOFOLLOW) != 0)
        leftOutIf(true, LeftOut::owners);
    return 0;
}

bool ItemMetadata::ownerWanted(const struct statx& info, const TargetFolder& folder) const
{
    // Only root may give an item away; a user's own items keep their group where they can.
    if (m_uid != 0 && info.stx_uid != m_uid)
        return false;
    return info.stx_uid != m_uid || info.stx_gid != createdGid(folder);
}

bool ItemMetadata::timesFailed() const
{
    // An SMB share whose server's file system keeps no times of its own (FAT) refuses them.
    if (errno != EOPNOTSUPP)
        return true;
    leftOutIf(true, LeftOut::times);
    return false;
}

void ItemMetadata::leftOutIf(bool refused, LeftOut what) const
{
    if (refused && m_volume.leftOut)
        m_volume.leftOut->add(what);
}

int ItemMetadata::copyXattrs(const XattrItem& source, const XattrItem& target, bool folder,
                             XattrBuffers& buffers) const
{
    ssize_t listed = readGrowing(
        buffers.names, [&](char* names, std::size_t size) { return source.list(names, size); });
    if (listed < 0) {
        if (errno != EOPNOTSUPP)
            return errno;
        listed = 0;
    }
    bool hadAccessAcl = false, hadDefaultAcl = false;
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        const char* name = buffers.names.data() + at;
        at += std::strlen(name) + 1;
        const bool accessAcl = std::strcmp(name, accessAclName) == 0;
        const bool defaultAcl = std::strcmp(name, defaultAclName) == 0;
        hadAccessAcl |= accessAcl;
        hadDefaultAcl |= defaultAcl;

        const ssize_t length = readGrowing(buffers.value, [&](char* value, std::size_t size) {
            return source.get(name, value, size);
        });
        if (length < 0) {
            if (errno == ENODATA)
                continue;
            return errno;
        }
        if (target.set(name, buffers.value.data(), static_cast<std::size_t>(length)) != 0) {
            const int error = errno;
            // An ACL is part of the permissions and must arrive where the volume holds ACLs;
            // where it holds none, nothing there is guarded by ACLs. Other attributes go where
            // the volume and the user's privileges allow, as cp -a carries them.
            const bool acl = accessAcl || defaultAcl;
            if (acl ? !target.holdsNoAcls(error)
                    : error != EOPNOTSUPP && error != EPERM && error != EACCES)
                return error;
            leftOutIf(acl || error == EOPNOTSUPP, acl ? LeftOut::acls : LeftOut::attributes);
        }
    }
    if (m_inheritsAcls) {
        if (!hadAccessAcl)
            if (const int error = target.removeInherited(accessAclName))
                return error;
        if (folder && !hadDefaultAcl)
            if (const int error = target.removeInherited(defaultAclName))
                return error;
    }
    return 0;
}

} // namespace ambrevoli
