#include "current_destinations.h"

namespace ambrevoli {

std::expected<std::vector<Destination>, LoadDestinationsFailure>
loadDestinations(const AppGroup& group)
{
    const auto file = group.destinationsFile();
    if (!file)
        return std::unexpected(file.error());
    auto store = DestinationStore::load(*file);
    if (!store)
        return std::unexpected(store.error());
    return store->destinations();
}

std::expected<std::vector<Destination>, LoadDestinationsFailure> loadDestinations()
{
    const auto group = AppGroup::fromMainBundle();
    if (!group)
        return std::unexpected(group.error());
    return loadDestinations(*group);
}

std::expected<std::string, AppGroupError> destinationsFile()
{
    const auto group = AppGroup::fromMainBundle();
    if (!group)
        return std::unexpected(group.error());
    return group->destinationsFile();
}

} // namespace ambrevoli
