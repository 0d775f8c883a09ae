#include "trash.h"

#include "file_util.h"
#include "paths.h"
#include "percent_encoding.h"
#include "unique_fd.h"
#include "user_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ambrevoli {

namespace {

constexpr std::string_view infoSuffix = ".trashinfo";
// Beyond this many taken names something else is wrong; the item stays where it is.
constexpr int maxNameAttempts = 10000;
constexpr std::size_t maxNameBytes = 255;

bool isUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
}

// `name` cut so that it, `suffix` and ".trashinfo" fit in one file name, never inside a UTF-8
// sequence.
std::string fitted(std::string_view name, std::string_view suffix)
{
    const std::size_t room = maxNameBytes - infoSuffix.size() - suffix.size();
    if (name.size() <= room)
        return std::string(name) + std::string(suffix);
    std::size_t end = room;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return std::string(name.substr(0, end)) + std::string(suffix);
}

TrashError makeError(int e)
{
    return e == EROFS ? TrashError::readOnly() : TrashError::noTrash(e);
}

// A folder only this user may use as a trash: made 0700 when missing, then no link, a folder,
// owned by `uid`.
std::expected<void, TrashError> ownFolder(const std::string& path, uid_t uid)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return std::unexpected(makeError(errno));
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return std::unexpected(makeError(errno));
    if (!S_ISDIR(info.st_mode) || info.st_uid != uid)
        return std::unexpected(TrashError::noTrash(EPERM));
    return {};
}

std::expected<void, TrashError> filesAndInfo(const std::string& trash, uid_t uid)
{
    for (const char* part : {"files", "info"})
        if (auto made = ownFolder(joinPath(trash, part), uid); !made)
            return made;
    return {};
}

// The device of the nearest existing folder at or above `path`.
std::optional<dev_t> deviceOf(std::string path)
{
    for (;;) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0)
            return info.st_dev;
        if (path == "/" || path == ".")
            return std::nullopt;
        path = parentPath(path);
    }
}

// The mount point of the volume `device` that holds the folder `folder`: the highest folder
// above it on the same device.
std::string topdirOf(std::string folder, dev_t device)
{
    while (folder != "/") {
        const std::string above = parentPath(folder);
        struct stat info {};
        if (::stat(above.c_str(), &info) != 0 || info.st_dev != device)
            return folder;
        folder = above;
    }
    return folder;
}

} // namespace

std::string textualForm(const TrashError& e)
{
    switch (e.kind) {
    case TrashError::Case::readOnly: return caseText("readOnly");
    case TrashError::Case::noTrash: return caseText("noTrash", std::to_string(e.errorNumber));
    case TrashError::Case::notMoved: return caseText("notMoved", std::to_string(e.errorNumber));
    }
    return {};
}

std::string_view errorDomain(const TrashError&) { return "ambrevoli.TrashError"; }

long errorCode(const TrashError& e) { return static_cast<long>(e.kind); }

std::string trashInfoText(std::string_view path, std::time_t deletedAt)
{
    std::tm local{};
    ::localtime_r(&deletedAt, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    return "[Trash Info]\nPath=" + percentEncoded(path, isUnreserved) + "\nDeletionDate=" + date + "\n";
}

Trash::Trash(std::string homeTrash, uid_t uid) : m_homeTrash(std::move(homeTrash)), m_uid(uid) {}

std::expected<Trash, SystemError> Trash::forCurrentUser()
{
    const auto home = dataHome();
    if (!home)
        return std::unexpected(SystemError{ENOENT});
    return Trash(joinPath(*home, "Trash"), ::getuid());
}

std::expected<Trash::Location, TrashError> Trash::trashFor(int parentFd,
                                                           std::string_view originalPath) const
{
    struct stat parent {};
    if (::fstat(parentFd, &parent) != 0)
        return std::unexpected(TrashError::noTrash(errno));
    struct statvfs volume {};
    if (::fstatvfs(parentFd, &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0)
        return std::unexpected(TrashError::readOnly());

    if (deviceOf(m_homeTrash) == parent.st_dev) {
        if (auto made = makePrivateDirectories(m_homeTrash); !made)
            return std::unexpected(makeError(made.error().code));
        if (auto made = filesAndInfo(m_homeTrash, m_uid); !made)
            return std::unexpected(made.error());
        return Location{m_homeTrash, {}};
    }

    const std::string topdir = topdirOf(parentPath(originalPath), parent.st_dev);
    const std::string uid = std::to_string(m_uid);
    // The shared ".Trash" counts only as the administrator made it: sticky, and no link that
    // could lead anywhere.
    const std::string shared = joinPath(topdir, ".Trash");
    struct stat info {};
    if (::lstat(shared.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
        (info.st_mode & S_ISVTX) != 0) {
        const std::string own = joinPath(shared, uid);
        if (ownFolder(own, m_uid) && filesAndInfo(own, m_uid))
            return Location{own, topdir};
    }
    const std::string own = joinPath(topdir, ".Trash-" + uid);
    if (auto made = ownFolder(own, m_uid); !made)
        return std::unexpected(made.error());
    if (auto made = filesAndInfo(own, m_uid); !made)
        return std::unexpected(made.error());
    return Location{own, topdir};
}

std::expected<TrashedItem, TrashError> Trash::moveToTrash(int parentFd, std::string_view name,
                                                          std::string_view originalPath,
                                                          std::time_t deletedAt) const
{
    const auto location = trashFor(parentFd, originalPath);
    if (!location)
        return std::unexpected(location.error());
    const UniqueFd trash(
        ::open(location->folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!trash)
        return std::unexpected(TrashError::noTrash(errno));
    const UniqueFd files(
        ::openat(trash.get(), "files", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const UniqueFd info(
        ::openat(trash.get(), "info", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!files || !info)
        return std::unexpected(TrashError::noTrash(errno));

    // A volume's trash records the path from its topdir, so the volume may be mounted elsewhere
    // when the item is restored.
    std::string recorded(originalPath);
    if (!location->topdir.empty() && location->topdir != "/" &&
        isWithin(originalPath, location->topdir))
        recorded = std::string(originalPath.substr(location->topdir.size() + 1));
    const std::string text = trashInfoText(recorded, deletedAt);
    const std::string base(name);

    for (int attempt = 1; attempt <= maxNameAttempts; ++attempt) {
        const std::string candidate =
            fitted(base, attempt == 1 ? "" : "." + std::to_string(attempt));
        const std::string infoName = candidate + std::string(infoSuffix);
        // The info file is claimed first: it is what reserves the name in the trash.
        UniqueFd infoFile(::openat(info.get(), infoName.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!infoFile) {
            if (errno == EEXIST)
                continue;
            return std::unexpected(makeError(errno));
        }
        const auto written = writeAll(infoFile.get(), text);
        if (!written || infoFile.close() != 0) {
            const int e = written ? errno : written.error().code;
            ::unlinkat(info.get(), infoName.c_str(), 0);
            return std::unexpected(makeError(e));
        }
        int renamed = ::renameat2(parentFd, base.c_str(), files.get(), candidate.c_str(),
                                  RENAME_NOREPLACE);
        if (renamed != 0 && exclusiveRenameUnsupported(SystemError{errno})) {
            // Only this user writes in its trash, and the info file holds the name meanwhile.
            struct stat taken {};
            if (::fstatat(files.get(), candidate.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
                errno = EEXIST;
            else
                renamed = ::renameat(parentFd, base.c_str(), files.get(), candidate.c_str());
        }
        if (renamed == 0)
            return TrashedItem{location->folder, candidate};
        const int e = errno;
        ::unlinkat(info.get(), infoName.c_str(), 0);
        if (e != EEXIST)
            return std::unexpected(e == EROFS ? TrashError::readOnly() : TrashError::notMoved(e));
    }
    return std::unexpected(TrashError::notMoved(EEXIST));
}

} // namespace ambrevoli
