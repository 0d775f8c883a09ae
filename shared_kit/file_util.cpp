#include "file_util.h"

#include "log.h"
#include "paths.h"
#include "unique_fd.h"
#include "uuid.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ambrevoli {

namespace {

// Sets a folder this process just made to exactly `mode`, without following a link that might
// have replaced it meanwhile.
std::expected<void, SystemError> setMode(const std::string& path, mode_t mode)
{
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir || ::fchmod(dir.get(), mode) != 0)
        return std::unexpected(SystemError::last());
    return {};
}

std::expected<void, SystemError> makeDirectories(const std::string& path, mode_t mode,
                                                 bool exactMode)
{
    if (path.empty())
        return std::unexpected(SystemError{ENOENT});
    if (::mkdir(path.c_str(), mode) == 0)
        return exactMode ? setMode(path, mode) : std::expected<void, SystemError>();
    int error = errno;
    if (error == EEXIST)
        return isFolder(path) ? std::expected<void, SystemError>()
                              : std::unexpected(SystemError{ENOTDIR});
    if (error != ENOENT)
        return std::unexpected(SystemError::fromErrno(error));

    const std::string parent = parentPath(path);
    if (parent == normalizedPath(path))
        return std::unexpected(SystemError::fromErrno(error));
    if (auto made = makeDirectories(parent, mode, exactMode); !made)
        return made;
    if (::mkdir(path.c_str(), mode) == 0)
        return exactMode ? setMode(path, mode) : std::expected<void, SystemError>();
    // Another process may have made it meanwhile; that is fine.
    if (errno == EEXIST)
        return {};
    return std::unexpected(SystemError::last());
}

} // namespace

std::expected<void, SystemError> makeDirectories(const std::string& path, mode_t mode)
{
    return makeDirectories(path, mode, /*exactMode=*/false);
}

std::expected<void, SystemError> makePrivateDirectories(const std::string& path)
{
    return makeDirectories(path, 0700, /*exactMode=*/true);
}

std::expected<void, SystemError> moveByLinking(const std::string& from, const std::string& to)
{
    if (::link(from.c_str(), to.c_str()) != 0)
        return std::unexpected(SystemError::last());
    if (::unlink(from.c_str()) != 0) {
        const SystemError error = SystemError::last();
        ::unlink(to.c_str());
        return std::unexpected(error);
    }
    return {};
}

std::expected<void, SystemError> renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0)
        return std::unexpected(SystemError::last());
    return {};
}

bool exclusiveRenameUnsupported(const SystemError& error)
{
    return error.code == EINVAL || error.code == ENOSYS || error.code == EOPNOTSUPP;
}

std::expected<void, SystemError> renameWithoutReplacing(const std::string& from,
                                                        const std::string& to)
{
    auto renamed = renameNoReplace(from, to);
    if (!renamed && exclusiveRenameUnsupported(renamed.error()))
        return moveByLinking(from, to);
    return renamed;
}

std::expected<void, SystemError> writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(SystemError::last());
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

std::expected<void, SystemError> writeAllAt(int fd, std::string_view bytes, off_t offset)
{
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(SystemError::last());
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return {};
}

std::expected<std::string, SystemError> readSmallFile(const std::string& path, std::size_t maxBytes)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return std::unexpected(SystemError::last());
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return std::unexpected(SystemError::last());
    if (!S_ISREG(info.st_mode))
        return std::unexpected(SystemError{EINVAL});
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0)
            return bytes;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(SystemError::last());
        }
        if (bytes.size() + static_cast<std::size_t>(n) > maxBytes)
            return std::unexpected(SystemError{EFBIG});
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

std::expected<void, SystemError> writeFileAtomically(const std::string& path,
                                                     std::string_view bytes, bool durable)
{
    const std::string folder = parentPath(path);
    const std::string temporary = joinPath(folder, ".tmp-" + Uuid::random().text());
    UniqueFd fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd)
        return std::unexpected(SystemError::last());

    auto fail = [&](SystemError error) -> std::expected<void, SystemError> {
        fd.reset();
        ::unlink(temporary.c_str());
        return std::unexpected(error);
    };
    if (auto written = writeAll(fd.get(), bytes); !written)
        return fail(written.error());
    if (durable && ::fsync(fd.get()) != 0)
        return fail(SystemError::last());
    if (fd.close() != 0)
        return fail(SystemError::last());
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        return fail(SystemError::last());

    // The new file is in place and its data on disk; a folder that can't be flushed now leaves
    // only the rename exposed to a power cut. Callers act on the new content from here on (the
    // host keeps the list it saved), so the write is not reported as failed.
    if (durable) {
        UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir || ::fsync(dir.get()) != 0) {
            const SystemError error = SystemError::last();
            logError(logger("files"), "Replaced a file but couldn't flush its folder", error);
        }
    }
    return {};
}

} // namespace ambrevoli
