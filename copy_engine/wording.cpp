#include "wording.h"

#include <array>
#include <utility>

namespace ambrevoli {

namespace {

struct Row {
    Phrase phrase;
    std::string_view macOS;
    std::string_view linuxDesktop;
};

// One row per phrase, in the order of the enumeration. On Linux the refusals come from an
// immutable flag, a sandbox or a security module rather than from a settings pane, and items are
// never cloud placeholders, but the sentences keep their shape.
constexpr std::array rows{
    Row{Phrase::systemDidntLet, "macOS didn't let", "The system didn't let"},
    Row{Phrase::allowProtectedFolder,
        "Allow it in System Settings \u203A Privacy & Security \u203A Files & Folders.",
        "Allow it in the sandbox or security policy that protects the folder."},
    Row{Phrase::unlockLockedFolder, "If the folder is locked, unlock it in its Get Info window.",
        "If the folder is locked, unlock it with chattr -i."},
    Row{Phrase::downloadThenResend, "Download it in Finder, then send it again.",
        "Download it in the file manager, then send it again."},
    Row{Phrase::destinationsNotSaved,
        "Ambrevoli couldn't save that change, so Finder still shows the saved list.",
        "Ambrevoli couldn't save that change, so the file manager still shows the saved list."},
};

constexpr bool rowsFollowTheEnumeration()
{
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (std::to_underlying(rows[i].phrase) != static_cast<int>(i))
            return false;
    return true;
}
static_assert(rowsFollowTheEnumeration());

} // namespace

std::string_view wording(Phrase phrase, Platform platform)
{
    const Row& row = rows.at(static_cast<std::size_t>(std::to_underlying(phrase)));
    return platform == Platform::macOS ? row.macOS : row.linuxDesktop;
}

} // namespace ambrevoli
