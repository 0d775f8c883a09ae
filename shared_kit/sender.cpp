#include "sender.h"

#include "current_destinations.h"
#include "date_time.h"
#include "handoff_url.h"
#include "host_launcher.h"
#include "send_request.h"

#include <algorithm>

namespace ambrevoli {

namespace {

// The one way senders wake the host.
std::expected<void, SystemError> wakeHost(const HandoffURL& url, std::string_view activationToken)
{
    HostLaunch launch{hostExecutable(), url.isSettings(), {}};
    if (!activationToken.empty()) {
        // Wayland toolkits read the first, X11 toolkits the second.
        const std::string token(activationToken);
        launch.environment = {"XDG_ACTIVATION_TOKEN=" + token, "DESKTOP_STARTUP_ID=" + token};
    }
    return openWithHost(url, launch);
}

template <class... E> SendError::Cause causeOf(const std::variant<E...>& error)
{
    return std::visit([](const auto& e) { return SendError::Cause(e); }, error);
}

} // namespace

std::string textualForm(const SendError& e)
{
    using enum SendError::Case;
    const std::string cause = e.cause ? textualForm(*e.cause) : std::string();
    switch (e.kind) {
    case destinationsUnavailable: return caseText("destinationsUnavailable", cause);
    case noSuchDestination: return caseText("noSuchDestination", e.destinationID.text());
    case requestNotWritten: return caseText("requestNotWritten", cause);
    case hostNotStarted: return caseText("hostNotStarted", cause);
    }
    return "unknown";
}

std::string_view errorDomain(const SendError&) { return "AmbrevoliKit.SendError"; }
long errorCode(const SendError& e) { return static_cast<long>(e.kind); }

std::expected<Uuid, SendError> sendSelection(const Uuid& destinationID,
                                             std::vector<std::string> sources)
{
    const auto group = AppGroup::fromMainBundle();
    if (!group)
        return std::unexpected(SendError::destinationsUnavailable(group.error()));
    const auto destinations = loadDestinations(*group);
    if (!destinations)
        return std::unexpected(SendError::destinationsUnavailable(causeOf(destinations.error())));
    if (std::none_of(destinations->begin(), destinations->end(),
                     [&](const Destination& d) { return d.id() == destinationID; }))
        return std::unexpected(SendError::noSuchDestination(destinationID));

    const SendRequest request(Uuid::random(), now(), destinationID, std::move(sources));
    // The container was found for the destinations just above, so the inbox is found too.
    const auto inbox = group->requestInbox();
    if (!inbox)
        return std::unexpected(SendError::requestNotWritten(inbox.error()));
    if (auto written = inbox->write(request); !written)
        return std::unexpected(SendError::requestNotWritten(causeOf(written.error())));

    if (auto woken = wakeHost(HandoffURL::send(request.id()), {}); !woken)
        return std::unexpected(SendError::hostNotStarted(woken.error()));
    return request.id();
}

std::expected<void, SystemError> openSettings(std::string_view activationToken)
{
    return wakeHost(HandoffURL::settings(), activationToken);
}

} // namespace ambrevoli
