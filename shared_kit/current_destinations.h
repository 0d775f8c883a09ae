#pragma once

#include "app_group.h"
#include "destination.h"
#include "destination_store.h"

#include <expected>
#include <string>
#include <variant>
#include <vector>

// The Send To list as every sender sees it (a file manager's menu, ambrevoli-send): the
// destinations file in the app group container, read afresh on every call. Only the host writes
// that file, and it may have changed since the last look, so nothing is cached here.

namespace ambrevoli {

using LoadDestinationsFailure = std::variant<AppGroupError, DestinationStoreError>;

// The destinations of `group`'s destinations file, in menu order. A file that does not exist yet
// is an empty list (nothing has been added). Fails with the group's containerUnavailable when
// the file cannot be located, or with the store's error when it cannot be read
// (DestinationStore::load). Synchronous; reads one small file. Thread-safe.
std::expected<std::vector<Destination>, LoadDestinationsFailure>
loadDestinations(const AppGroup& group);

// The same for the running deliverable's app group (AppGroup::fromMainBundle()), whose own
// error (missingIdentifier, missingTeamID) is passed on.
std::expected<std::vector<Destination>, LoadDestinationsFailure> loadDestinations();

// The file loadDestinations() reads, for telling a person where it is; the app group's error when
// it cannot be located. Looks nothing up on disk.
std::expected<std::string, AppGroupError> destinationsFile();

} // namespace ambrevoli
