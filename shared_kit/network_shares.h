#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ambrevoli {

// Whether a location whose URI has `scheme` lies on a network share the desktop mounts: GIO's
// smb, sftp, dav(s), ftp(s), afp and nfs, and KIO's names for the same (fish, webdav(s)). Their
// items are sent from and to where the desktop gives them a local path.
bool isNetworkShareScheme(std::string_view scheme);

// A network share as the desktop's FUSE bridge shows it while it is mounted: one folder per mount
// in `runtimeDir`/gvfs, named after the mount ("smb-share:server=nas,share=photos").
struct NetworkShare {
    std::string name; // as the desktop names it: "photos on nas", or the server's name
    std::string root; // the mount's folder in the bridge

    friend bool operator==(const NetworkShare&, const NetworkShare&) = default;
};

// The network share that the local `path` lies on, when it lies in the bridge's folder; none for
// any other path. Whether the share is mounted now is not asked: a destination on a share keeps
// its path while the share is away.
std::optional<NetworkShare> networkShareOf(std::string_view path, std::string_view runtimeDir);

// The same in this user's runtime folder: XDG_RUNTIME_DIR, or /run/user/<uid> where it is not set.
std::optional<NetworkShare> networkShareOf(std::string_view path);

// The name of the share `path` lies on while that share is not mounted (its folder in the bridge
// is not there); none when the path is not on a share or the share is mounted.
std::optional<std::string> unmountedShareName(std::string_view path);

} // namespace ambrevoli
