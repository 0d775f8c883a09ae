#pragma once

#include "destination.h"
#include "error.h"
#include "uuid.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

namespace ambrevoli {

// Why a destinations file could not be loaded.
struct DestinationStoreError {
    enum class Case { unsupportedVersion, unreadable };

    Case kind;
    std::int64_t version; // the "version" found, for unsupportedVersion; 0 otherwise

    static DestinationStoreError unsupportedVersion(std::int64_t version)
    {
        return {Case::unsupportedVersion, version};
    }
    static DestinationStoreError unreadable() { return {Case::unreadable, 0}; }

    friend bool operator==(const DestinationStoreError&, const DestinationStoreError&) = default;
};

std::string textualForm(const DestinationStoreError& e); // "unsupportedVersion(2)", "unreadable"
std::string_view errorDomain(const DestinationStoreError& e);
long errorCode(const DestinationStoreError& e);

// The Send To list in menu order, with the edits the settings window makes and the reading and
// writing of the destinations file. A plain value: edits change the store they are called on and
// never fail; an identifier that is not in the list makes them do nothing. Stores are equal when
// their lists are equal element by element.
//
// The file is one UTF-8 JSON object: "version" (1) and "destinations", an array of objects with
// "id" (UUID text, upper case when written, either case read), "label", "path" and, only when
// there is one, "bookmark" (standard padded Base64). Unknown keys are ignored when reading.
class DestinationStore {
public:
    static constexpr std::string_view fileName = "destinations.json";
    static constexpr std::int64_t currentVersion = 1;

    using SaveFailure = std::variant<SystemError, EncodeError>;

    DestinationStore() = default;
    explicit DestinationStore(std::vector<Destination> destinations)
        : m_destinations(std::move(destinations))
    {}

    const std::vector<Destination>& destinations() const { return m_destinations; }

    // Reads the file at `file`. A file that does not exist is a fresh start: an empty store.
    // Anything else that cannot be read, is not the expected JSON, has a "version" below 1, or
    // breaks an invariant (unique identifiers; paths beginning with "/" and holding no NUL byte;
    // labels with something besides white space) is unreadable; a "version" above 1 is
    // unsupportedVersion, decided before "destinations" is looked at. Labels and paths are taken
    // exactly as stored.
    static std::expected<DestinationStore, DestinationStoreError> load(const std::string& file);

    // Reads the file's bytes, with every rule of load() but the missing file.
    static std::expected<DestinationStore, DestinationStoreError> decode(std::string_view bytes);

    // The file's bytes: pretty-printed with keys sorted, two spaces per level, " : " between key
    // and value, "/" written "\/". Fails when a label or path is not UTF-8, or a path holds a
    // NUL byte (such a file would load as unreadable).
    std::expected<std::string, EncodeError> jsonData() const;

    // Writes the store to `file` durably and atomically (a reader sees the old file or the new
    // one, and the new one survives a power cut once this returns). Creates the folder holding
    // the file and its missing parents first, each with mode 0700 (the container holds the
    // user's paths). Nothing is created when the store cannot be encoded. On failure the old
    // file is untouched and the error is returned. Once the new file has replaced the old one
    // the save succeeds, also when its folder cannot be flushed afterwards (that is logged).
    std::expected<void, SaveFailure> save(const std::string& file) const;

    // The first destination with identifier `id`, if any.
    std::optional<Destination> destination(const Uuid& id) const;

    // Adds the folder at `path` (trailing slashes dropped) at the end of the list, or yields the
    // identifier of the destination whose path already equals it, changing nothing. The label is
    // the first non-empty of: `label` trimmed, the path's last component trimmed ("/" for the
    // root), the path itself.
    Uuid add(std::string_view path, std::optional<std::string_view> label = std::nullopt,
             std::optional<std::string> bookmark = std::nullopt);

    // Sets the label to `label` trimmed; a label that trims to nothing changes nothing.
    void rename(const Uuid& id, std::string_view label);

    // Moves the destinations in `ids` as one block, in their list order, to right before the
    // first destination from `before` onwards that is not itself moving; to the end when there
    // is none or `before` is absent or unknown. Repeated and unknown identifiers have no effect.
    void move(const std::vector<Uuid>& ids, std::optional<Uuid> before);

    // Moves one destination by `offset` places, clamped to the ends of the list.
    void shift(const Uuid& id, std::int64_t offset);

    // Removes every destination whose identifier is in `ids`; the rest keep their order.
    void remove(const std::unordered_set<Uuid>& ids);

    // Sets the path (trailing slashes dropped) and, when one is given, the bookmark; without a
    // bookmark the old one stays. The label is kept and the path is not compared with others.
    void relocate(const Uuid& id, std::string_view path,
                  std::optional<std::string> bookmark = std::nullopt);

    friend bool operator==(const DestinationStore&, const DestinationStore&) = default;

private:
    Destination* find(const Uuid& id);

    std::vector<Destination> m_destinations;
};

} // namespace ambrevoli
