#include "paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace ambrevoli {

std::string normalizedPath(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return std::string(path);
}

bool hasNulByte(std::string_view path) { return path.find('\0') != std::string_view::npos; }

std::string parentPath(std::string_view path)
{
    const std::string normalized = normalizedPath(path);
    const auto slash = normalized.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    const auto end = normalized.find_last_not_of('/', slash);
    return end == std::string::npos ? "/" : normalized.substr(0, end + 1);
}

std::string lastComponent(std::string_view path)
{
    const std::string normalized = normalizedPath(path);
    if (normalized == "/")
        return normalized;
    const auto slash = normalized.find_last_of('/');
    return slash == std::string::npos ? normalized : normalized.substr(slash + 1);
}

std::string joinPath(std::string_view folder, std::string_view name)
{
    while (name.starts_with('/'))
        name.remove_prefix(1);
    std::string joined = normalizedPath(folder);
    if (name.empty() || joined.empty())
        return joined.empty() ? std::string(name) : joined;
    if (joined != "/")
        joined += '/';
    return joined.append(name);
}

bool isWithin(std::string_view path, std::string_view folder)
{
    const std::string inner = normalizedPath(path), outer = normalizedPath(folder);
    if (outer.empty())
        return inner.empty();
    if (!inner.starts_with(outer))
        return false;
    return inner.size() == outer.size() || outer.ends_with('/') || inner[outer.size()] == '/';
}

std::expected<std::string, SystemError> absolutePath(std::string_view path)
{
    if (hasNulByte(path))
        return std::unexpected(SystemError{EINVAL});
    // As for the system, "" names nothing; it is not the current folder.
    if (path.empty())
        return std::unexpected(SystemError{ENOENT});
    if (path.starts_with('/'))
        return std::string(path);
    std::unique_ptr<char, decltype(&std::free)> here(::getcwd(nullptr, 0), &std::free);
    if (!here)
        return std::unexpected(SystemError::last());
    return joinPath(here.get(), path);
}

std::expected<std::string, SystemError> canonicalPath(const std::string& path)
{
    if (hasNulByte(path))
        return std::unexpected(SystemError{EINVAL});
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved)
        return std::unexpected(SystemError::last());
    return std::string(resolved.get());
}

bool isFolder(const std::string& path)
{
    struct stat info {};
    return !hasNulByte(path) && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace ambrevoli
