#pragma once

#include "app_group.h"
#include "error.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ambrevoli {

// How the Send To menu is put together, as the user set it in the settings window. Kept in its
// own small file beside the destinations file so that the file-manager modules, which load no Qt,
// read it with the kit alone. A plain value.
//
// The file is one UTF-8 JSON object: "version" (1) and "showsDrives" (true or false). A key that
// is absent or holds another type keeps its default; unknown keys are ignored, so a newer host
// can add options without older modules losing the ones they know.
struct MenuOptions {
    static constexpr std::string_view fileName = "menu-options.json";
    static constexpr int currentVersion = 1;

    // Mounted removable and external volumes are offered below the destinations.
    bool showsDrives = true;

    // Reads the file at `file`. A file that does not exist yields the defaults silently; one
    // that cannot be read or is not a JSON object yields the defaults too, and that is logged
    // on the "options" logger. Never fails: the menu must always be built.
    static MenuOptions load(const std::string& file);

    // The options read from `bytes`, by the rules of load(); nullopt when they are not a JSON
    // object.
    static std::optional<MenuOptions> decode(std::string_view bytes);

    // The file's bytes: keys sorted, two spaces per level, " : " between key and value.
    std::string jsonData() const;

    // Writes the options to `file` durably and atomically (temporary file, flushed, renamed over
    // the old one, folder flushed), creating the folder and its missing parents with mode 0700
    // first. On failure the old file is untouched and the error is returned; once the new file
    // has replaced the old one the save succeeds, also when the folder cannot be flushed.
    std::expected<void, SystemError> save(const std::string& file) const;

    friend bool operator==(const MenuOptions&, const MenuOptions&) = default;
};

// `group`'s options file: container/menu-options.json, beside destinations.json. Looks nothing
// up on disk; the group's containerUnavailable when there is no container.
std::expected<std::string, AppGroupError> menuOptionsFile(const AppGroup& group);

// The options of the running deliverable's app group (AppGroup::fromMainBundle()), read afresh:
// the host may have changed them since the last look. The defaults, logged, when the group's
// container cannot be located.
MenuOptions loadMenuOptions();

} // namespace ambrevoli
