#pragma once

#include "error.h"
#include "request_inbox.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ambrevoli {

struct AppGroupError {
    enum class Case { containerUnavailable, missingIdentifier, missingTeamID };

    Case kind;
    std::string identifier; // the group's identifier, for containerUnavailable; empty otherwise

    static AppGroupError containerUnavailable(std::string identifier)
    {
        return {Case::containerUnavailable, std::move(identifier)};
    }
    static AppGroupError missingIdentifier() { return {Case::missingIdentifier, {}}; }
    static AppGroupError missingTeamID() { return {Case::missingTeamID, {}}; }

    friend bool operator==(const AppGroupError&, const AppGroupError&) = default;
};

// "containerUnavailable(ambrevoli)", "missingIdentifier", "missingTeamID"
std::string textualForm(const AppGroupError& e);
std::string_view errorDomain(const AppGroupError& e);
long errorCode(const AppGroupError& e);

// The one folder the deliverables share, the container, found from the application group
// identifier every deliverable carries in its bundle information. The container is
// dataHome() + "/" + identifier (~/.local/share/<identifier> by default).
//
// Every operation here is a pure lookup, made afresh on each call: nothing on disk is created or
// examined. The container is created by the first writer that needs it: RequestInbox::write and
// DestinationStore::save make missing folders, the container and the folders above it included,
// with mode 0700, because request files and the destinations file list the user's paths.
//
// A plain value; thread-safe.
class AppGroup {
public:
    // The key under which bundle information carries the identifier.
    static constexpr std::string_view infoKey = "AmbrevoliAppGroup";

    // No identifier or an empty one is missingIdentifier; one beginning with "." (the team part
    // left empty) is missingTeamID. Anything else is kept exactly as given.
    static std::expected<AppGroup, AppGroupError> make(std::optional<std::string_view> identifier);

    // The group named in the running deliverable's bundle information (mainBundle().appGroup);
    // an empty value there is missingIdentifier.
    static std::expected<AppGroup, AppGroupError> fromMainBundle();

    const std::string& identifier() const { return m_identifier; }

    // The container folder. containerUnavailable(identifier) when there is no usable data home
    // (see dataHome()) or the identifier cannot name a single folder in it (it holds a "/").
    std::expected<std::string, AppGroupError> container() const;

    // The inbox in container/Requests, with the default size limit. Its folder may not exist
    // yet: the first request written creates it.
    std::expected<RequestInbox, AppGroupError> requestInbox() const;

    // container/destinations.json.
    std::expected<std::string, AppGroupError> destinationsFile() const;

    friend bool operator==(const AppGroup&, const AppGroup&) = default;

private:
    explicit AppGroup(std::string identifier) : m_identifier(std::move(identifier)) {}

    std::string m_identifier;
};

} // namespace ambrevoli
