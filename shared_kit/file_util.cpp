#include "file_util.h"

#include "unique_fd.h"
#include "uuid.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ambrevoli {

namespace {

std::string parentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace

std::expected<void, SystemError> makeDirectories(const std::string& path, mode_t mode)
{
    if (path.empty())
        return std::unexpected(SystemError{ENOENT});
    if (::mkdir(path.c_str(), mode) == 0)
        return {};
    int error = errno;
    if (error == EEXIST) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return {};
        return std::unexpected(SystemError{ENOTDIR});
    }
    if (error != ENOENT)
        return std::unexpected(SystemError::fromErrno(error));

    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::string parent = parentOf(trimmed);
    if (parent == trimmed)
        return std::unexpected(SystemError::fromErrno(error));
    if (auto made = makeDirectories(parent, mode); !made)
        return made;
    // Another process may have made it meanwhile; that is fine.
    if (::mkdir(path.c_str(), mode) == 0 || errno == EEXIST)
        return {};
    return std::unexpected(SystemError::last());
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

std::expected<void, SystemError> writeFileAtomically(const std::string& path,
                                                     std::string_view bytes, bool durable)
{
    const std::string folder = parentOf(path);
    const std::string temporary = folder + "/.tmp-" + Uuid::random().text();
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

    if (durable) {
        UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir || ::fsync(dir.get()) != 0)
            return std::unexpected(SystemError::last());
    }
    return {};
}

} // namespace ambrevoli

namespace ambrevoli {

std::string normalizedPath(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return std::string(path);
}

} // namespace ambrevoli
