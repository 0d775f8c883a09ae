#pragma once

#include "copy_outcome.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// What the copy engine makes sure of before it touches any source: that the destination exists,
// is a folder and takes a new item; which folders it lies in; and whether a refused path lies
// where the desktop guards access, which changes the advice given to the user.

namespace ambrevoli {

// What the name of a write-check file begins with; a UUID follows.
inline constexpr std::string_view checkFilePrefix = ".ambrevoli-check-";

// Checks the folder at `destination` (trailing slashes trimmed; a link to a folder is followed)
// by creating and removing an empty ".ambrevoli-check-<UUID>" file in it, locked as a live copy
// while it exists (see copyTree). Yields no value when the folder is usable, else the problem. A
// check file that cannot be removed is logged on the "copy" logger and the folder still counts as
// usable. The folder need not be readable.
std::optional<DestinationProblem> checkDestination(const std::string& destination,
                                                   const std::string& home);

// Whether `error` is what a network file system answers when the server can't be reached
// (ENOTCONN, ETIMEDOUT, EHOSTUNREACH and the like).
bool isNetworkError(int error);

// EPERM → notPermitted (protectedFolder: whether `destination` is a protected location),
// ENOENT and ENOTDIR → missing, EACCES → noPermission, EROFS → readOnly, what a lost connection
// gives (ENOTCONN, ETIMEDOUT, EHOSTUNREACH, …) → unreachable, any other → other. (checkDestination
// also takes EIO for unreachable on a share through GIO's FUSE bridge.)
DestinationProblem problemForErrno(int error, const std::string& destination,
                                   const std::string& home);

// The protected locations, in order: the user's Desktop, Documents and Downloads folders as
// named in user-dirs.dirs (in $XDG_CONFIG_HOME when it is absolute, else in `home`/.config),
// each defaulting to `home` + "/Desktop" and so on and left out when it names `home` itself;
// then "/media" and "/run/media". `home` is used as passed.
std::vector<std::string> protectedLocations(const std::string& home);

// Whether `path` equals a protected location or lies beneath one. Textual and case-sensitive;
// no link is resolved ("Desktop Archive" is not under "Desktop").
bool isProtectedLocation(std::string_view path, const std::string& home);

// The identities of the destination's real folder and of every folder above it, up to and
// including the root. Empty when the destination's real path cannot be resolved.
std::unordered_set<FileID> destinationIdentities(const std::string& destination);

} // namespace ambrevoli
