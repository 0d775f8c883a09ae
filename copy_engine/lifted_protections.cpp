#include "lifted_protections.h"

#include "folder_descent.h"
#include "unique_fd.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <string>
#include <utility>

namespace ambrevoli {

static_assert(protectionFlagMask == (FS_IMMUTABLE_FL | FS_APPEND_FL));

namespace {

// Regular files and folders only: any other item's ioctl would reach a device driver, and
// opening a FIFO must never block.
constexpr int protectionOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

bool hasProtections(mode_t mode) { return S_ISREG(mode) || S_ISDIR(mode); }

// The default ACL has no descriptor call; this name reaches the opened item itself, never
// through a link.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Opens the item at `path` (or `name` in `dirFd`) if it is a file or folder, and describes it.
UniqueFd openProtected(int dirFd, const char* name, struct stat& info)
{
    if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !hasProtections(info.st_mode))
        return UniqueFd();
    UniqueFd fd(::openat(dirFd, name, protectionOpenFlags));
    if (!fd || ::fstat(fd.get(), &info) != 0 || !hasProtections(info.st_mode))
        return UniqueFd();
    return fd;
}

void clearFlags(int fd)
{
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & protectionFlagMask) != 0) {
        flags &= ~static_cast<int>(protectionFlagMask);
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
}

// Replaces the ACLs by what the mode bits alone say.
void clearAcls(int fd, const struct stat& info)
{
    if (acl_t plain = ::acl_from_mode(info.st_mode)) {
        ::acl_set_fd(fd, plain);
        ::acl_free(plain);
    }
    if (S_ISDIR(info.st_mode))
        ::acl_delete_def_file(procPath(fd).c_str());
}

void stripOne(int fd, const struct stat& info)
{
    clearFlags(fd);
    clearAcls(fd, info);
    if (S_ISDIR(info.st_mode))
        ::fchmod(fd, S_IRWXU | (info.st_mode & 07777));
}

// Each folder before its contents, with a bounded number of folders open, so that a tree of any
// depth the copier made can be unlocked for its removal. Best effort: whatever cannot be listed or
// opened keeps its protections, and removing it then tells.
void stripOpened(UniqueFd top, const struct stat& info)
{
    stripOne(top.get(), info);
    if (!S_ISDIR(info.st_mode))
        return;
    DescentLevel first;
    readEntries(top.get(), first.entries);
    FolderDescent<> descent({std::move(top)}, std::move(first), protectionOpenFlags);
    while (!descent.finished()) {
        DescentLevel& level = descent.deepest();
        const int fd = descent.folder();
        const Entries::Entry* entry = fd >= 0 ? level.take() : nullptr;
        if (!entry) {
            descent.up();
            continue;
        }
        const std::string name = level.entries.name(*entry);
        struct stat child {};
        UniqueFd childFd = openProtected(fd, name.c_str(), child);
        if (!childFd)
            continue;
        stripOne(childFd.get(), child);
        if (!S_ISDIR(child.st_mode))
            continue;
        DescentLevel inner;
        readEntries(childFd.get(), inner.entries);
        descent.down({std::move(childFd)}, name, std::move(inner));
    }
}

} // namespace

void LiftedProtections::AclFree::operator()(void* acl) const { ::acl_free(acl); }

LiftedProtections LiftedProtections::lift(const std::string& path)
{
    LiftedProtections lifted;
    struct stat info {};
    UniqueFd fd = openProtected(AT_FDCWD, path.c_str(), info);
    if (!fd)
        return lifted;

    int flags = 0;
    if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0)
        lifted.m_flags = static_cast<std::uint32_t>(flags);
    if (acl_t access = ::acl_get_fd(fd.get())) {
        if (::acl_equiv_mode(access, nullptr) == 0)
            ::acl_free(access);
        else
            lifted.m_access.reset(access);
    }
    if (S_ISDIR(info.st_mode)) {
        if (acl_t defaults = ::acl_get_file(procPath(fd.get()).c_str(), ACL_TYPE_DEFAULT)) {
            if (::acl_entries(defaults) <= 0)
                ::acl_free(defaults);
            else
                lifted.m_default.reset(defaults);
        }
    }

    if ((lifted.m_flags & protectionFlagMask) != 0) {
        flags = static_cast<int>(lifted.m_flags & ~protectionFlagMask);
        ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
    }
    if (lifted.hasAcl())
        clearAcls(fd.get(), info);
    return lifted;
}

std::optional<int> LiftedProtections::restore(const std::string& path) const
{
    const bool flagsLifted = (m_flags & protectionFlagMask) != 0;
    if (!hasAcl() && !flagsLifted)
        return std::nullopt;

    struct stat info {};
    UniqueFd fd = openProtected(AT_FDCWD, path.c_str(), info);
    if (!fd)
        return errno != 0 ? errno : ENOENT;

    std::optional<int> aclError;
    if (m_access && ::acl_set_fd(fd.get(), static_cast<acl_t>(m_access.get())) != 0)
        aclError = errno;
    if (m_default &&
        ::acl_set_file(procPath(fd.get()).c_str(), ACL_TYPE_DEFAULT,
                       static_cast<acl_t>(m_default.get())) != 0 &&
        !aclError)
        aclError = errno;
    if (!flagsLifted)
        return aclError;

    int flags = static_cast<int>(m_flags);
    if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0 && !aclError)
        return errno;
    return aclError;
}

void stripProtections(const std::string& path)
{
    struct stat info {};
    if (UniqueFd fd = openProtected(AT_FDCWD, path.c_str(), info))
        stripOpened(std::move(fd), info);
}

} // namespace ambrevoli
