#pragma once

#include "destination_adding.h"
#include "handoff_url.h"
#include "instance_channel.h"
#include "outcome_waiter.h"
#include "uuid.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace ambrevoli {

// What routing a start's message sets going: the host's services and windows, and the desktop's
// wait for a window. Main thread only.
class LaunchTargets {
public:
    virtual ~LaunchTargets() = default;

    // Whether the services were built; without them no URL can be handled.
    virtual bool hasServices() const = 0;
    // Adds folders (absolute paths) to the destinations and says what became of each, in order.
    virtual std::vector<FolderOutcome> addFolders(const QStringList& folders) = 0;
    // Runs the request `requestID` from the inbox; returns once its copy started. `waiter`, when
    // given, hears its outcome. Only called with services.
    virtual void handleRequest(const Uuid& requestID,
                               const std::shared_ptr<OutcomeWaiter>& waiter) = 0;
    // Takes back what the send `requestID` placed (the latest send without one). `waiter`, when
    // given, hears what was taken back and what was left. Only called with services.
    virtual void undoRequest(std::optional<Uuid> requestID,
                             const std::shared_ptr<OutcomeWaiter>& waiter) = 0;
    // Shows the settings window, or brings it to the front. False when there is no window to
    // show (no windows were made).
    virtual bool showSettingsWindow() = 0;
    // The launch sequence: logs the start and sweeps; opens the launch window unless
    // `inBackground`.
    virtual void didFinishLaunching(bool inBackground) = 0;
    // A plain start reached the running host: the launch window, unless a window is shown.
    virtual void reopen() = 0;
    // `token` (empty for none) is the desktop's leave for a window shown from now on.
    virtual void lendActivationToken(const QString& token) = 0;
    // Routing the message that carried `token` is done: if no window took the token, the
    // desktop stops waiting for one.
    virtual void endActivation(const QString& token) = 0;
};

// The application's rule for what a start asks of the host: a message from a later start, or
// this launch's own, becomes folders added, requests run, the settings window, the launch
// window or a reopen. Holds no services itself; everything it does goes through `targets`.
// Main thread only; `targets` must outlive the router.
class LaunchRouter {
public:
    explicit LaunchRouter(LaunchTargets& targets) : m_targets(targets) {}

    // Routes `message`: lends its activation token, adds its folders, opens its URLs (openURLs),
    // then, for this launch's own message (`launching`), finishes launching (in the background
    // when the message doesn't activate or brought URLs), else reopens for a plain start; and
    // ends the activation. Only a later start's sender can wait: `waiter` hears the outcome of
    // every URL. Yields what became of each folder, in order.
    InstanceReceipt route(const InstanceMessage& message, bool launching,
                          const std::shared_ptr<OutcomeWaiter>& waiter = {});

    // Handles each URL in turn: a send runs its request, an undo takes back what a send placed,
    // the settings URL shows the settings window, anything that is not a handoff URL is logged and skipped (the others are still
    // handled). Without services every URL is ignored with one line. `waiter`, when given, hears
    // the outcome of every send among them; a URL that is skipped counts as not copied.
    void openURLs(const QStringList& urls, const std::shared_ptr<OutcomeWaiter>& waiter = {});

    // Whether `message` asks for a window: the settings, or the window of a plain start.
    static bool asksForWindow(const InstanceMessage& message);

private:
    void route(const HandoffURL& url, const std::shared_ptr<OutcomeWaiter>& waiter);

    LaunchTargets& m_targets;
    // Set by the first URLs; a launch that brought URLs opens no launch window.
    bool m_openedForURL = false;
};

} // namespace ambrevoli
