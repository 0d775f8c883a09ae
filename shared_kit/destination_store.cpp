#include "destination_store.h"

#include "file_util.h"
#include "json_text.h"
#include "paths.h"

#include <sodium.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <functional>

namespace ambrevoli {

std::string textualForm(const DestinationStoreError& e)
{
    using enum DestinationStoreError::Case;
    switch (e.kind) {
    case unsupportedVersion: return caseText("unsupportedVersion", std::to_string(e.version));
    case unreadable: return caseText("unreadable");
    }
    return "unknown";
}

std::string_view errorDomain(const DestinationStoreError&)
{
    return "AmbrevoliKit.DestinationStoreError";
}

long errorCode(const DestinationStoreError& e) { return static_cast<long>(e.kind); }

namespace {

using Json = nlohmann::json;

std::string base64(std::string_view bytes)
{
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(),
                      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1); // the terminating NUL
    return text;
}

// Strict: padded, no white space or other characters, no stray bits after the last byte.
std::optional<std::string> fromBase64(std::string_view text)
{
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                          text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

const Json* member(const Json& object, const char* key)
{
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

const std::string* stringMember(const Json& object, const char* key)
{
    const Json* value = member(object, key);
    if (!value || !value->is_string())
        return nullptr;
    return &value->get_ref<const std::string&>();
}

std::optional<Destination> decodeDestination(const Json& entry)
{
    if (!entry.is_object())
        return std::nullopt;
    const std::string* idText = stringMember(entry, "id");
    const std::string* label = stringMember(entry, "label");
    const std::string* path = stringMember(entry, "path");
    if (!idText || !label || !path)
        return std::nullopt;
    const auto id = Uuid::parse(*idText);
    if (!id)
        return std::nullopt;

    std::optional<std::string> bookmark;
    // A null bookmark is an absent one, as an optional field reads.
    if (const Json* value = member(entry, "bookmark"); value && !value->is_null()) {
        if (!value->is_string())
            return std::nullopt;
        bookmark = fromBase64(value->get_ref<const std::string&>());
        if (!bookmark)
            return std::nullopt;
    }
    return Destination(*id, *label, *path, std::move(bookmark));
}

bool keepsInvariants(const std::vector<Destination>& destinations)
{
    std::unordered_set<Uuid> ids;
    for (const Destination& destination : destinations) {
        if (!ids.insert(destination.id()).second)
            return false;
        if (!destination.path().starts_with('/') || hasNulByte(destination.path()))
            return false;
        if (trimmedLabel(destination.label()).empty())
            return false;
    }
    return true;
}

} // namespace

std::expected<DestinationStore, DestinationStoreError>
DestinationStore::load(const std::string& file)
{
    const auto unreadable = std::unexpected(DestinationStoreError::unreadable());

    // The file lists a few dozen folders; anything near this size is not one of ours.
    constexpr std::size_t maxFileSize = 64 << 20;
    const auto bytes = readSmallFile(file, maxFileSize);
    if (!bytes)
        return bytes.error() == SystemError{ENOENT}
                   ? std::expected<DestinationStore, DestinationStoreError>()
                   : unreadable;
    return decode(*bytes);
}

std::expected<DestinationStore, DestinationStoreError>
DestinationStore::decode(std::string_view bytes)
{
    const auto unreadable = std::unexpected(DestinationStoreError::unreadable());

    const Json root = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded() || !root.is_object())
        return unreadable;
    const Json* version = member(root, "version");
    if (!version || !version->is_number_integer())
        return unreadable;
    if (version->is_number_unsigned() && version->get<std::uint64_t>() > INT64_MAX)
        return unreadable;
    const auto versionValue = version->get<std::int64_t>();
    if (versionValue > currentVersion)
        return std::unexpected(DestinationStoreError::unsupportedVersion(versionValue));
    if (versionValue < currentVersion)
        return unreadable;

    const Json* entries = member(root, "destinations");
    if (!entries || !entries->is_array())
        return unreadable;
    std::vector<Destination> destinations;
    destinations.reserve(entries->size());
    for (const Json& entry : *entries) {
        auto destination = decodeDestination(entry);
        if (!destination)
            return unreadable;
        destinations.push_back(std::move(*destination));
    }
    if (!keepsInvariants(destinations))
        return unreadable;
    return DestinationStore(std::move(destinations));
}

std::expected<std::string, EncodeError> DestinationStore::jsonData() const
{
    std::string out = "{\n  \"destinations\" : [\n";
    for (std::size_t i = 0; i < m_destinations.size(); ++i) {
        const Destination& destination = m_destinations[i];
        // JSON text is Unicode; a label or path in another encoding could not be read back.
        if (!isValidUtf8(destination.label()) || !isValidUtf8(destination.path()))
            return std::unexpected(EncodeError{"destination " + std::to_string(i) +
                                               " has a label or path that is not UTF-8"});
        // Such a file would load as unreadable, the whole list with it.
        if (hasNulByte(destination.path()))
            return std::unexpected(
                EncodeError{"destination " + std::to_string(i) + " has a path with a NUL byte"});
        if (i > 0)
            out += ",\n";
        out += "    {\n";
        if (destination.bookmark()) {
            out += "      \"bookmark\" : ";
            appendJsonString(out, base64(*destination.bookmark()));
            out += ",\n";
        }
        out += "      \"id\" : ";
        appendJsonString(out, destination.id().text());
        out += ",\n      \"label\" : ";
        appendJsonString(out, destination.label());
        out += ",\n      \"path\" : ";
        appendJsonString(out, destination.path());
        out += "\n    }";
    }
    // An empty array is written as an opened and closed block with an empty line between.
    out += "\n  ],\n  \"version\" : " + std::to_string(currentVersion) + "\n}";
    return out;
}

std::expected<void, DestinationStore::SaveFailure>
DestinationStore::save(const std::string& file) const
{
    auto bytes = jsonData();
    if (!bytes)
        return std::unexpected(SaveFailure(bytes.error()));
    if (auto made = makePrivateDirectories(parentPath(file)); !made)
        return std::unexpected(SaveFailure(made.error()));
    if (auto written = writeFileAtomically(file, *bytes, /*durable=*/true); !written)
        return std::unexpected(SaveFailure(written.error()));
    return {};
}

Destination* DestinationStore::find(const Uuid& id)
{
    auto found = std::ranges::find(m_destinations, id, &Destination::id);
    return found == m_destinations.end() ? nullptr : &*found;
}

std::optional<Destination> DestinationStore::destination(const Uuid& id) const
{
    auto found = std::ranges::find(m_destinations, id, &Destination::id);
    if (found == m_destinations.end())
        return std::nullopt;
    return *found;
}

Uuid DestinationStore::add(std::string_view path, std::optional<std::string_view> label,
                           std::optional<std::string> bookmark)
{
    std::string normalized = normalizedPath(path);
    auto existing = std::ranges::find(m_destinations, normalized, &Destination::path);
    if (existing != m_destinations.end())
        return existing->id();

    std::string chosen = trimmedLabel(label.value_or(""));
    if (chosen.empty())
        chosen = trimmedLabel(lastComponent(normalized));
    if (chosen.empty())
        chosen = normalized;

    const Uuid id = Uuid::random();
    m_destinations.emplace_back(id, std::move(chosen), std::move(normalized), std::move(bookmark));
    return id;
}

void DestinationStore::rename(const Uuid& id, std::string_view label)
{
    std::string trimmed = trimmedLabel(label);
    if (trimmed.empty())
        return;
    if (Destination* destination = find(id))
        destination->setLabel(std::move(trimmed));
}

void DestinationStore::move(const std::vector<Uuid>& ids, std::optional<Uuid> before)
{
    const std::unordered_set<Uuid> moving(ids.begin(), ids.end());
    const auto isMoving = [&](const Destination& d) { return moving.contains(d.id()); };

    // The anchor as a position among the destinations that stay.
    std::optional<std::size_t> anchor;
    if (before) {
        auto target = std::ranges::find(m_destinations, *before, &Destination::id);
        auto first = std::find_if_not(target, m_destinations.end(), isMoving);
        if (first != m_destinations.end())
            anchor = static_cast<std::size_t>(
                std::count_if(m_destinations.begin(), first, std::not_fn(isMoving)));
    }

    std::vector<Destination> block, staying;
    for (Destination& destination : m_destinations)
        (isMoving(destination) ? block : staying).push_back(std::move(destination));
    const auto at = anchor ? staying.begin() + static_cast<std::ptrdiff_t>(*anchor) : staying.end();
    staying.insert(at, std::make_move_iterator(block.begin()),
                   std::make_move_iterator(block.end()));
    m_destinations = std::move(staying);
}

void DestinationStore::shift(const Uuid& id, std::int64_t offset)
{
    auto found = std::ranges::find(m_destinations, id, &Destination::id);
    if (found == m_destinations.end())
        return;
    const auto from = static_cast<std::int64_t>(found - m_destinations.begin());
    std::int64_t to;
    if (__builtin_add_overflow(from, offset, &to))
        to = offset < 0 ? INT64_MIN : INT64_MAX;
    to = std::clamp<std::int64_t>(to, 0, static_cast<std::int64_t>(m_destinations.size()) - 1);
    if (to == from)
        return;
    Destination moving = std::move(*found);
    m_destinations.erase(found);
    m_destinations.insert(m_destinations.begin() + to, std::move(moving));
}

void DestinationStore::remove(const std::unordered_set<Uuid>& ids)
{
    std::erase_if(m_destinations, [&](const Destination& d) { return ids.contains(d.id()); });
}

void DestinationStore::relocate(const Uuid& id, std::string_view path,
                                std::optional<std::string> bookmark)
{
    Destination* destination = find(id);
    if (!destination)
        return;
    destination->setPath(normalizedPath(path));
    if (bookmark)
        destination->setBookmark(std::move(bookmark));
}

} // namespace ambrevoli
