#include "destination_checks.h"

#include "destination_volume.h"
#include "file_util.h"
#include "log.h"
#include "paths.h"
#include "unique_fd.h"
#include "uuid.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <ranges>

namespace ambrevoli {

namespace {

struct UserDir {
    std::string_view key;
    std::string_view fallback;
};

constexpr std::size_t maxUserDirsBytes = 64 * 1024;

constexpr std::array<UserDir, 3> protectedUserDirs{{
    {"XDG_DESKTOP_DIR", "Desktop"},
    {"XDG_DOCUMENTS_DIR", "Documents"},
    {"XDG_DOWNLOAD_DIR", "Downloads"},
}};

// One value of user-dirs.dirs: "$HOME/…" or an absolute path in double quotes, with backslash
// escapes. Anything else yields nothing, as the desktop's own lookup ignores it.
std::optional<std::string> userDirValue(std::string_view value, const std::string& home)
{
    if (value.size() < 2 || value.front() != '"')
        return std::nullopt;
    value.remove_prefix(1);
    const bool inHome = value.starts_with("$HOME");
    if (inHome) {
        value.remove_prefix(5);
        if (!value.starts_with('/') && !value.starts_with('"'))
            return std::nullopt;
    } else if (!value.starts_with('/')) {
        return std::nullopt;
    }
    std::string path;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '"')
            return normalizedPath(inHome ? joinPath(home, path) : path);
        if (value[i] == '\\' && i + 1 < value.size())
            ++i;
        path += value[i];
    }
    return std::nullopt;
}

std::string configHome(const std::string& home)
{
    const char* set = std::getenv("XDG_CONFIG_HOME");
    if (set != nullptr && set[0] == '/')
        return set;
    return joinPath(home, ".config");
}

} // namespace

std::vector<std::string> protectedLocations(const std::string& home)
{
    std::array<std::optional<std::string>, protectedUserDirs.size()> named;
    const std::string file =
        readSmallFile(joinPath(configHome(home), "user-dirs.dirs"), maxUserDirsBytes).value_or("");
    for (const auto part : std::views::split(file, '\n')) {
        std::string_view rest(part.begin(), part.end());
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        const auto equals = rest.find('=');
        if (equals == std::string_view::npos)
            continue;
        for (std::size_t i = 0; i < protectedUserDirs.size(); ++i)
            if (rest.substr(0, equals) == protectedUserDirs[i].key)
                named[i] = userDirValue(rest.substr(equals + 1), home);
    }

    std::vector<std::string> locations;
    for (std::size_t i = 0; i < protectedUserDirs.size(); ++i) {
        std::string location = named[i] ? *named[i] : joinPath(home, protectedUserDirs[i].fallback);
        // A folder set to the home folder itself means the user turned it off.
        if (location != normalizedPath(home))
            locations.push_back(std::move(location));
    }
    locations.push_back("/media");
    locations.push_back("/run/media");
    return locations;
}

bool isProtectedLocation(std::string_view path, const std::string& home)
{
    return std::ranges::any_of(protectedLocations(home), [&](const std::string& location) {
        return isWithin(path, location);
    });
}

bool isNetworkError(int error)
{
    switch (error) {
    case ENOTCONN:
    case ECONNABORTED:
    case ECONNRESET:
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case ESHUTDOWN: return true;
    default: return false;
    }
}

DestinationProblem problemForErrno(int error, const std::string& destination,
                                   const std::string& home)
{
    switch (error) {
    case EPERM: return DestinationProblem::notPermitted(isProtectedLocation(destination, home));
    case ENOENT:
    case ENOTDIR: return DestinationProblem::missing();
    case EACCES: return DestinationProblem::noPermission();
    case EROFS: return DestinationProblem::readOnly();
    default:
        return isNetworkError(error) ? DestinationProblem::unreachable()
                                     : DestinationProblem::other(error);
    }
}

namespace {

// GIO's FUSE bridge answers EIO for everything on a share whose server stopped answering; on
// any other volume EIO stays the error it is.
DestinationProblem problemOfFolder(int error, const std::string& destination,
                                   const std::string& home)
{
    if (error == EIO && fileSystemHolding(destination) == "fuse.gvfsd-fuse")
        return DestinationProblem::unreachable();
    return problemForErrno(error, destination, home);
}

} // namespace

std::optional<DestinationProblem> checkDestination(const std::string& destination,
                                                   const std::string& home)
{
    struct stat info {};
    if (::stat(destination.c_str(), &info) != 0)
        return problemOfFolder(errno, destination, home);
    if (!S_ISDIR(info.st_mode))
        return DestinationProblem::missing();

    const std::string check =
        joinPath(destination, std::string(checkFilePrefix) + Uuid::random().text());
    UniqueFd fd(::open(check.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return problemOfFolder(errno, destination, home);
    // Unlocked, a sweep for abandoned copies may remove the file first; that is as good.
    ::flock(fd.get(), LOCK_EX | LOCK_NB);
    if (::unlink(check.c_str()) != 0 && errno != ENOENT)
        logger("copy").log(LogLevel::error, "Couldn't remove the write check file: errno ", errno);
    return std::nullopt;
}

std::unordered_set<FileID> destinationIdentities(const std::string& destination)
{
    std::unordered_set<FileID> identities;
    const auto resolved = canonicalPath(destination);
    if (!resolved)
        return identities;
    for (std::string path = *resolved;; path = parentPath(path)) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0)
            identities.insert(FileID{static_cast<std::uint64_t>(info.st_dev), info.st_ino});
        if (path == "/")
            break;
    }
    return identities;
}

} // namespace ambrevoli
