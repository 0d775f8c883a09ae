#pragma once

#include <string_view>
#include <vector>

namespace ambrevoli {

// The desktops named in `list`, XDG_CURRENT_DESKTOP's colon-separated form ("ubuntu:GNOME"), in
// its order, most specific first; empty entries are left out. The names are compared as they
// stand: the desktop entries' names are case-sensitive.
std::vector<std::string_view> desktopNames(std::string_view list);

// XDG_CURRENT_DESKTOP of this process, empty where it is not set. Points into the environment:
// valid until the variable is changed.
std::string_view currentDesktopList();

} // namespace ambrevoli
