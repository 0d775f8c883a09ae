#include "menu_options.h"

#include "file_util.h"
#include "log.h"
#include "paths.h"

#include <nlohmann/json.hpp>

namespace ambrevoli {

namespace {

using Json = nlohmann::json;

const Logger& optionsLog() { return logger("options"); }

} // namespace

MenuOptions MenuOptions::load(const std::string& file)
{
    // A handful of switches; anything near this size is not one of ours.
    constexpr std::size_t maxFileSize = 1 << 20;
    const auto bytes = readSmallFile(file, maxFileSize);
    if (!bytes) {
        if (bytes.error() != SystemError{ENOENT})
            logError(optionsLog(), "Menu options unreadable, using the defaults", bytes.error());
        return {};
    }
    auto options = decode(*bytes);
    if (!options) {
        logDetail(optionsLog(), "Menu options are not a JSON object, using the defaults", file);
        return {};
    }
    return *options;
}

std::optional<MenuOptions> MenuOptions::decode(std::string_view bytes)
{
    const Json root = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded() || !root.is_object())
        return std::nullopt;
    MenuOptions options;
    if (auto found = root.find("showsDrives"); found != root.end() && found->is_boolean())
        options.showsDrives = found->get<bool>();
    return options;
}

std::string MenuOptions::jsonData() const
{
    return std::string("{\n  \"showsDrives\" : ") + (showsDrives ? "true" : "false") +
           ",\n  \"version\" : " + std::to_string(currentVersion) + "\n}";
}

std::expected<void, SystemError> MenuOptions::save(const std::string& file) const
{
    if (auto made = makePrivateDirectories(parentPath(file)); !made)
        return made;
    return writeFileAtomically(file, jsonData(), /*durable=*/true);
}

std::expected<std::string, AppGroupError> menuOptionsFile(const AppGroup& group)
{
    auto folder = group.container();
    if (!folder)
        return std::unexpected(folder.error());
    return joinPath(*folder, MenuOptions::fileName);
}

MenuOptions loadMenuOptions()
{
    const auto group = AppGroup::fromMainBundle();
    auto file = group ? menuOptionsFile(*group)
                      : std::expected<std::string, AppGroupError>(std::unexpected(group.error()));
    if (!file) {
        logError(optionsLog(), "Menu options file not found, using the defaults", file.error());
        return {};
    }
    return MenuOptions::load(*file);
}

} // namespace ambrevoli
