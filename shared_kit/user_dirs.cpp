#include "user_dirs.h"

#include "paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace ambrevoli {

namespace {

std::optional<std::string> absolute(std::string_view path)
{
    if (path.empty() || path.front() != '/')
        return std::nullopt;
    return normalizedPath(path);
}

std::optional<std::string> passwordDatabaseHome()
{
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_dir == nullptr)
            return std::nullopt;
        return absolute(found->pw_dir);
    }
}

} // namespace

std::optional<std::string> homeDirectory()
{
    const char* home = std::getenv("HOME");
    if (home && *home)
        return absolute(home);
    return passwordDatabaseHome();
}

std::optional<std::string> dataHome()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg)
        return absolute(xdg);
    const auto home = homeDirectory();
    if (!home)
        return std::nullopt;
    return joinPath(*home, ".local/share");
}

} // namespace ambrevoli
