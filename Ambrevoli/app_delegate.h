#pragma once

#include "app_group.h"
#include "destination_adding.h"
#include "destinations_model.h"
#include "request_handler.h"
#include "result_notifier.h"

#include <QObject>
#include <QStringList>

#include <expected>
#include <memory>
#include <optional>

class QThreadPool;

namespace ambrevoli {

class NotificationService;

// The host application's long-lived core: it builds the services once (app group →
// destinations file → destinations model → inbox → copy engine → request handler), sweeps the
// inbox at launch and routes incoming handoff URLs. Without a reachable app group container
// there are no services for the life of the process, and every URL is ignored.
// Main thread only; lives until the process ends.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // `center` and `pool` must outlive the delegate; `pool` runs the copies. A click on the
    // update notification runs `showUpdate`.
    AppDelegate(NotificationService& center, QThreadPool& pool,
                ResultNotifier::Action showUpdate = {}, QObject* parent = nullptr);
    ~AppDelegate() override;

    bool hasServices() const { return m_services != nullptr; }
    // The live destinations; null without services.
    DestinationsModel* destinations() const;
    ResultNotifier& notifier() { return m_notifier; }

    // Logs the start, sweeps the inbox, and sweeps each destination of what interrupted copies
    // left. Called once, after the launch's own URLs (if any) were delivered through openURLs.
    void didFinishLaunching();

    // Handles each URL in turn: a send starts its copy, anything that is not a handoff URL is
    // logged and skipped.
    void openURLs(const QStringList& urls);

    // Adds folders (absolute paths) to the destinations, as if chosen in the settings, and says
    // what became of each. Without services none can be saved.
    std::vector<FolderOutcome> addFolders(const QStringList& folders);

    // How the settings window opens (the window coordinator's showSettings): for the settings
    // URL and for a click on a notification whose folder can't be shown. Set once the windows
    // exist over the services' destinations; until then the settings URL is logged and ignored.
    void setShowSettings(ResultNotifier::Action showSettings);

private:
    struct Services;
    std::expected<std::unique_ptr<Services>, AppGroupError> buildServices(QThreadPool& pool);

    ResultNotifier m_notifier;
    std::unique_ptr<Services> m_services;
    bool m_openedForURL = false;
    ResultNotifier::Action m_showSettings;
};

} // namespace ambrevoli
