#include "sender.h"

#include "current_destinations.h"
#include "date_time.h"
#include "handoff_url.h"
#include "host_launcher.h"
#include "send_request.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace ambrevoli {

namespace {

// How long a click waits for the running host's answer. The host answers within a millisecond
// or two when it is idle; a file manager must not hang on one that is not.
constexpr std::chrono::milliseconds clickPatience{30};

// How often a waiting sender looks whether the host it started listens yet.
constexpr std::chrono::milliseconds startRetryInterval{10};

// The one way senders wake the host.
std::expected<void, SystemError> wakeHost(const HandoffURL& url, std::string_view activationToken)
{
    HostMessage message{url.isSettings(), {url.url()}, {}, std::string(activationToken)};
    // The caller is on the desktop: a host running without a display hands its settings window
    // over to the host started below.
    message.hasDisplay =
        url.isSettings() && (std::getenv("WAYLAND_DISPLAY") || std::getenv("DISPLAY"));
    if (HostConnection::handOff(HostConnection::socketPath(), message, clickPatience))
        return {};

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

namespace {

// The request for `target`, checking that a destination is still on the list.
std::expected<SendRequest, SendError> requestFor(const AppGroup& group, const SendTarget& target,
                                                 std::vector<std::string> sources)
{
    if (const auto* volume = std::get_if<VolumeTarget>(&target))
        return SendRequest::toVolume(Uuid::random(), now(), *volume, std::move(sources));
    if (std::holds_alternative<ChosenFolder>(target))
        return SendRequest::choosingFolder(Uuid::random(), now(), std::move(sources));

    const Uuid& destinationID = std::get<Uuid>(target);
    const auto destinations = loadDestinations(group);
    if (!destinations)
        return std::unexpected(SendError::destinationsUnavailable(causeOf(destinations.error())));
    if (std::none_of(destinations->begin(), destinations->end(),
                     [&](const Destination& d) { return d.id() == destinationID; }))
        return std::unexpected(SendError::noSuchDestination(destinationID));
    return SendRequest(Uuid::random(), now(), destinationID, std::move(sources));
}

// Reads the destinations and writes the request: the steps a send takes before waking the host.
std::expected<Uuid, SendError> writeRequest(const SendTarget& target,
                                            std::vector<std::string> sources)
{
    const auto group = AppGroup::fromMainBundle();
    if (!group)
        return std::unexpected(SendError::destinationsUnavailable(group.error()));
    const auto request = requestFor(*group, target, std::move(sources));
    if (!request)
        return std::unexpected(request.error());
    const auto inbox = group->requestInbox();
    if (!inbox)
        return std::unexpected(SendError::requestNotWritten(inbox.error()));
    if (auto written = inbox->write(*request); !written)
        return std::unexpected(SendError::requestNotWritten(causeOf(written.error())));
    return request->id();
}

} // namespace

std::expected<Uuid, SendError> sendSelection(const SendTarget& target,
                                             std::vector<std::string> sources)
{
    const auto id = writeRequest(target, std::move(sources));
    if (!id)
        return id;
    if (auto woken = wakeHost(HandoffURL::send(*id), {}); !woken)
        return std::unexpected(SendError::hostNotStarted(woken.error()));
    return id;
}

namespace {

// Hands `message` to the host and keeps the connection for its outcome; with no host answering,
// starts one (without a URL, in the background) and hands the message over once it listens.
std::expected<HostConnection, SendError> handOffWaiting(const std::string& socket,
                                                        const HostMessage& message,
                                                        std::chrono::milliseconds startPatience)
{
    const auto deadline = std::chrono::steady_clock::now() + startPatience;
    bool started = false;
    for (;;) {
        // The whole patience for the answer: a host that took the request late would copy it
        // with nobody waiting, and a second hand-off would only find its file gone.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (auto connection = HostConnection::handOff(socket, message,
                                                      std::max(left, std::chrono::milliseconds(1))))
            return std::move(*connection);
        if (!started) {
            // Without a URL: the one it would handle itself could report to nobody.
            if (auto begun = startHost({hostExecutable(), false, {}}); !begun)
                return std::unexpected(SendError::hostNotStarted(begun.error()));
            started = true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::unexpected(SendError::hostNotStarted(SystemError{ETIMEDOUT}));
        std::this_thread::sleep_for(startRetryInterval);
    }
}

} // namespace

std::expected<WaitedSend, SendError> sendSelectionAndWait(const SendTarget& target,
                                                          std::vector<std::string> sources,
                                                          std::chrono::milliseconds startPatience,
                                                          bool wantsProgress)
{
    const std::string socket = HostConnection::socketPath();
    if (auto checked = HostConnection::checkSocketFolder(socket, false); !checked)
        return std::unexpected(SendError::hostNotStarted(checked.error()));
    const auto id = writeRequest(target, std::move(sources));
    if (!id)
        return std::unexpected(id.error());
    HostMessage message{false, {HandoffURL::send(*id).url()}, {}, {}};
    message.waitsForOutcome = true;
    message.wantsProgress = wantsProgress;
    auto connection = handOffWaiting(socket, message, startPatience);
    if (!connection)
        return std::unexpected(connection.error());
    return WaitedSend{*id, std::move(*connection)};
}

std::expected<HostConnection, SendError> undoAndWait(std::optional<Uuid> requestID,
                                                     std::chrono::milliseconds startPatience)
{
    const std::string socket = HostConnection::socketPath();
    if (auto checked = HostConnection::checkSocketFolder(socket, false); !checked)
        return std::unexpected(SendError::hostNotStarted(checked.error()));
    HostMessage message{false, {HandoffURL::undo(requestID).url()}, {}, {}};
    message.waitsForOutcome = true;
    return handOffWaiting(socket, message, startPatience);
}

std::expected<void, SystemError> openSettings(std::string_view activationToken)
{
    return wakeHost(HandoffURL::settings(), activationToken);
}

} // namespace ambrevoli
