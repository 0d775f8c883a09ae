#include "app_group.h"

#include "bundle_info.h"
#include "destination_store.h"
#include "paths.h"
#include "user_dirs.h"

namespace ambrevoli {

std::string textualForm(const AppGroupError& e)
{
    using enum AppGroupError::Case;
    switch (e.kind) {
    case containerUnavailable: return caseText("containerUnavailable", e.identifier);
    case missingIdentifier: return caseText("missingIdentifier");
    case missingTeamID: return caseText("missingTeamID");
    }
    return "unknown";
}

std::string_view errorDomain(const AppGroupError&) { return "AmbrevoliKit.AppGroupError"; }
long errorCode(const AppGroupError& e) { return static_cast<long>(e.kind); }

std::expected<AppGroup, AppGroupError> AppGroup::make(std::optional<std::string_view> identifier)
{
    if (!identifier || identifier->empty())
        return std::unexpected(AppGroupError::missingIdentifier());
    if (identifier->starts_with('.'))
        return std::unexpected(AppGroupError::missingTeamID());
    return AppGroup(std::string(*identifier));
}

std::expected<AppGroup, AppGroupError> AppGroup::fromMainBundle()
{
    return make(mainBundle().appGroup);
}

std::expected<std::string, AppGroupError> AppGroup::container() const
{
    // A "/" would reach into another folder; a NUL would cut the path short.
    const bool namesOneFolder =
        m_identifier.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
    const auto data = dataHome();
    if (!data || !namesOneFolder)
        return std::unexpected(AppGroupError::containerUnavailable(m_identifier));
    return joinPath(*data, m_identifier);
}

std::expected<RequestInbox, AppGroupError> AppGroup::requestInbox() const
{
    auto folder = container();
    if (!folder)
        return std::unexpected(folder.error());
    return RequestInbox(joinPath(*folder, "Requests"));
}

std::expected<std::string, AppGroupError> AppGroup::destinationsFile() const
{
    auto folder = container();
    if (!folder)
        return std::unexpected(folder.error());
    return joinPath(*folder, DestinationStore::fileName);
}

} // namespace ambrevoli
