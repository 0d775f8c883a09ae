#include "desktop_names.h"

#include <cstdlib>

namespace ambrevoli {

std::vector<std::string_view> desktopNames(std::string_view list)
{
    std::vector<std::string_view> names;
    while (!list.empty()) {
        const std::size_t colon = list.find(':');
        if (const std::string_view name = list.substr(0, colon); !name.empty())
            names.push_back(name);
        if (colon == std::string_view::npos)
            break;
        list.remove_prefix(colon + 1);
    }
    return names;
}

std::string_view currentDesktopList()
{
    const char* list = std::getenv("XDG_CURRENT_DESKTOP");
    return list ? list : "";
}

} // namespace ambrevoli
