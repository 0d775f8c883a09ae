#pragma once

#include "destination_store.h"
#include "error.h"

#include <expected>
#include <functional>
#include <optional>
#include <string>

namespace ambrevoli {

// The host application's handle on the destinations file: where it is, the store last loaded
// from or saved to it, and why loading failed if it did. A file that failed to load is never
// overwritten by edits; it can only be set aside (startFresh) to begin again with an empty list.
// A plain value owned by one caller; every operation is synchronous.
//
// Invariant: when loadError() has a value, store() is empty.
class DestinationLibrary {
public:
    // An edit of the store made with the store's own operations; cannot fail.
    using Edit = std::function<void(DestinationStore&)>;

    // Loads `file` at once; a failure lands in loadError().
    explicit DestinationLibrary(std::string file);

    const std::string& file() const { return m_file; }
    const DestinationStore& store() const { return m_store; }
    // Why the last load failed; none when it succeeded, a missing file included.
    const std::optional<DestinationStoreError>& loadError() const { return m_loadError; }

    // Loads `file` again, replacing store() and loadError().
    void reload();

    // Runs `edit` on a copy of the store and saves the copy when it differs from store().
    // Yields true when it was saved, false when nothing was written: the store did not change,
    // or loadError() is set (then `edit` is not even run and the file is left alone). A failed
    // save is returned and leaves the library as it was.
    std::expected<bool, DestinationStore::SaveFailure> update(const Edit& edit);

    // When loadError() is set, renames the file to "destinations-unreadable-<time>.json" beside
    // it, <time> being `now` in UTC as 2025-03-14T15-09-26Z, and yields that new path; the file
    // keeps its content. The rename never replaces an existing file (EEXIST). Loads again
    // whether the rename succeeded or failed, then yields the path or the rename's error (EINVAL
    // when `now` cannot be written as a date). With no loadError() yields none and does nothing.
    std::expected<std::optional<std::string>, SystemError> startFresh(double now);

    // The name the unreadable file is given when set aside at `now`; none when `now` is not a
    // date between the years 1 and 9999.
    static std::optional<std::string> setAsideName(double now);

private:
    std::string m_file;
    DestinationStore m_store;
    std::optional<DestinationStoreError> m_loadError;
};

} // namespace ambrevoli
