#include "network_shares.h"

#include <sys/stat.h>
#include <uriparser/Uri.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>

namespace ambrevoli {

namespace {

constexpr std::array shareSchemes = {"smb",     "sftp", "ssh",  "fish",  "dav", "davs", "webdav",
                                     "webdavs", "ftp",  "ftps", "ftpis", "afp", "nfs"};

// The bridge writes a value's reserved characters (",", "=", "/") as %XX.
std::string unescaped(std::string_view value)
{
    std::string plain(value);
    const char* end = uriUnescapeInPlaceExA(plain.data(), URI_FALSE, URI_BR_DONT_TOUCH);
    plain.resize(static_cast<std::size_t>(end - plain.data()));
    return plain;
}

// "smb-share:server=nas,share=photos" → {"type": "smb-share", "server": "nas", ...}; none when
// the name is not a mount's.
std::optional<std::map<std::string, std::string, std::less<>>> mountSpec(std::string_view name)
{
    const std::size_t colon = name.find(':');
    if (colon == 0 || colon == std::string_view::npos)
        return std::nullopt;
    std::map<std::string, std::string, std::less<>> spec;
    spec["type"] = std::string(name.substr(0, colon));
    std::string_view rest = name.substr(colon + 1);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view pair = rest.substr(0, comma);
        const std::size_t equals = pair.find('=');
        if (equals == 0 || equals == std::string_view::npos)
            return std::nullopt;
        spec[std::string(pair.substr(0, equals))] = unescaped(pair.substr(equals + 1));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return spec;
}

} // namespace

bool isNetworkShareScheme(std::string_view scheme)
{
    return std::ranges::find(shareSchemes, scheme) != shareSchemes.end();
}

std::optional<NetworkShare> networkShareOf(std::string_view path, std::string_view runtimeDir)
{
    if (runtimeDir.empty() || !runtimeDir.starts_with('/'))
        return std::nullopt;
    while (runtimeDir.size() > 1 && runtimeDir.ends_with('/'))
        runtimeDir.remove_suffix(1);
    const std::string bridge = std::string(runtimeDir) + "/gvfs/";
    if (!path.starts_with(bridge))
        return std::nullopt;
    const std::string_view root = path.substr(0, path.find('/', bridge.size()));
    const auto spec = mountSpec(root.substr(bridge.size()));
    if (!spec)
        return std::nullopt;
    const auto value = [&](std::string_view key) -> std::string {
        const auto found = spec->find(key);
        return found == spec->end() ? std::string() : found->second;
    };
    const std::string server = !value("server").empty() ? value("server") : value("host");
    if (server.empty())
        return std::nullopt;
    const std::string part = !value("share").empty() ? value("share") : value("volume");
    return NetworkShare{part.empty() ? server : part + " on " + server, std::string(root)};
}

std::optional<NetworkShare> networkShareOf(std::string_view path)
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return networkShareOf(path, runtime);
    return networkShareOf(path, "/run/user/" + std::to_string(::getuid()));
}

std::optional<std::string> unmountedShareName(std::string_view path)
{
    auto share = networkShareOf(path);
    if (!share)
        return std::nullopt;
    struct stat status {};
    if (::stat(share->root.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        return std::nullopt;
    return std::move(share->name);
}

} // namespace ambrevoli
