#pragma once

#include "app_group.h"
#include "destination_adding.h"
#include "destinations_model.h"
#include "drive_ejector.h"
#include "instance_channel.h"
#include "launch_router.h"
#include "outcome_waiter.h"
#include "request_handler.h"
#include "result_notifier.h"

#include <QObject>
#include <QStringList>

#include <expected>
#include <memory>
#include <optional>

class QThreadPool;

namespace ambrevoli {

class HostWindows;
class NotificationService;

// The host application's long-lived core: it builds the services once (app group →
// destinations file → destinations model → inbox → copy engine → request handler), sweeps the
// inbox at launch and routes what each start asks for through its LaunchRouter. Without a
// reachable app group container there are no services for the life of the process, and every
// URL is ignored. Main thread only; lives until the process ends.
class AppDelegate : public QObject, private LaunchTargets {
    Q_OBJECT

public:
    // `center` and `pool` must outlive the delegate; `pool` runs the copies. A click on the
    // update notification runs `showUpdate`.
    AppDelegate(NotificationService& center, QThreadPool& pool,
                ResultNotifier::Action showUpdate = {}, QObject* parent = nullptr);
    ~AppDelegate() override;

    bool hasServices() const override { return m_services != nullptr; }
    // The live destinations; null without services.
    DestinationsModel* destinations() const;
    ResultNotifier& notifier() { return m_notifier; }

    // A message of a later start (`waiter`: its sender waits for the outcome), or this launch's
    // own (`launching`): see LaunchRouter::route.
    InstanceReceipt route(const InstanceMessage& message, bool launching,
                          const std::shared_ptr<OutcomeWaiter>& waiter = {});

    // Logs the start, sweeps the inbox, sweeps each destination of what interrupted copies left,
    // and opens the launch window: none `inBackground` (as for a start with URLs), with
    // "AmbrevoliSkipLaunchWindow" set or without services; otherwise the settings window once the
    // welcome guide was finished, else the guide. Called once.
    void didFinishLaunching(bool inBackground) override;

    // The user started the running application again (a plain start, as from the application
    // grid): with none of its windows shown, opens the window a launch would (the settings
    // window or the guide) unless there are no services.
    void reopen() override;

    // "Settings…": the settings window when there are services; otherwise nothing.
    void showSettings();

    // Handles each URL in turn (LaunchRouter::openURLs): a send starts its copy (one that asks
    // for a folder first opens the windows' folder chooser).
    void openURLs(const QStringList& urls, const std::shared_ptr<OutcomeWaiter>& waiter = {});

    // Adds folders (absolute paths) to the destinations, as if chosen in the settings, and says
    // what became of each. Without services none can be saved.
    std::vector<FolderOutcome> addFolders(const QStringList& folders) override;

    // The host's windows, made over the services' destinations: they open for the launch, a
    // reopen, the settings URL, "Settings…" and a click on a notification whose folder can't be
    // shown. Until they are set (or after they are reset to null) the settings URL is logged and
    // ignored and nothing opens. `windows` must stay valid until it is replaced.
    void setWindows(HostWindows* windows);

private:
    struct Services;
    std::expected<std::unique_ptr<Services>, AppGroupError> buildServices(QThreadPool& pool);
    // The settings window once the guide was finished, else the guide.
    void showLaunchWindow();

    void handleRequest(const Uuid& requestID,
                       const std::shared_ptr<OutcomeWaiter>& waiter) override;
    void undoRequest(std::optional<Uuid> requestID,
                     const std::shared_ptr<OutcomeWaiter>& waiter) override;
    bool showSettingsWindow() override;
    void lendActivationToken(const QString& token) override;
    void endActivation(const QString& token) override;

    // Before the notifier, which holds on to it.
    DriveEjector m_ejector;
    ResultNotifier m_notifier;
    std::unique_ptr<Services> m_services;
    HostWindows* m_windows = nullptr;
    LaunchRouter m_router{*this};
};

} // namespace ambrevoli
