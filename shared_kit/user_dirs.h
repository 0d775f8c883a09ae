#pragma once

#include <optional>
#include <string>

// Where the user's own folders are. Both answers are looked up afresh on every call (the
// environment is read each time) and never touch the disk.

namespace ambrevoli {

// The user's home folder: $HOME when set and not empty, else the password database's entry for
// the real user. No value when that is not an absolute path (a relative $HOME is not used).
std::optional<std::string> homeDirectory();

// The base folder for the user's data files: $XDG_DATA_HOME when set and not empty, else the
// home folder plus "/.local/share". No value when $XDG_DATA_HOME is relative or there is no
// usable home folder. Trailing slashes are dropped.
std::optional<std::string> dataHome();

} // namespace ambrevoli
