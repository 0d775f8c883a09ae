#include "desktop_names.h"

#include "scoped_env.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace ambrevoli {
namespace {

using Names = std::vector<std::string_view>;

TEST(DesktopNames, SplitsTheListInItsOrderAndDropsEmptyEntries)
{
    const struct {
        std::string_view list;
        Names names;
    } cases[] = {
        {"GNOME", {"GNOME"}},
        {"ubuntu:GNOME", {"ubuntu", "GNOME"}},
        {"", {}},
        {":", {}},
        {"::KDE:", {"KDE"}},
        {"X-Cinnamon::MATE", {"X-Cinnamon", "MATE"}},
        // Names are not trimmed or folded: "GNOME " and "gnome" are other desktops.
        {"GNOME :gnome", {"GNOME ", "gnome"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(desktopNames(c.list), c.names) << '"' << c.list << '"';
}

TEST(DesktopNames, TheCurrentListIsTheEnvironmentsOrEmpty)
{
    {
        testing::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "Budgie:GNOME");
        EXPECT_EQ(currentDesktopList(), "Budgie:GNOME");
    }
    testing::ScopedEnv unset("XDG_CURRENT_DESKTOP", std::nullopt);
    EXPECT_EQ(currentDesktopList(), "");
}

} // namespace
} // namespace ambrevoli
