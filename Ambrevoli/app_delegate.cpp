#include "app_delegate.h"

#include "app_group.h"
#include "copy_engine.h"
#include "host_settings.h"
#include "host_windows.h"
#include "log.h"
#include "undo_handler.h"
#include "user_dirs.h"
#include "window_activation.h"

#include <QThreadPool>

namespace ambrevoli {

namespace {

const Logger& requestsLog() { return logger("requests"); }

// Without a data home there is no Trash: an undo then says so and moves nothing.
std::optional<Trash> userTrash()
{
    auto trash = Trash::forCurrentUser();
    if (!trash)
        return std::nullopt;
    return std::move(*trash);
}

} // namespace

struct AppDelegate::Services {
    Services(std::string file, RequestInbox inbox, CopyEngine engine, UndoRecords records,
             ResultNotifier& notifier, QThreadPool& pool)
        : destinations(std::move(file)),
          handler(std::move(inbox), destinations, std::move(engine), notifier, pool),
          undo(std::move(records), userTrash(), notifier, pool)
    {
        handler.setUndo(&undo);
    }

    DestinationsModel destinations;
    RequestHandler handler;
    UndoHandler undo;
};

AppDelegate::AppDelegate(NotificationService& center, QThreadPool& pool,
                         ResultNotifier::Action showUpdate, QObject* parent)
    : QObject(parent), m_notifier(center, {}, std::move(showUpdate))
{
    center.setDelegate(&m_notifier);
    m_notifier.setDriveEjector(&m_ejector);

    // Built exactly once: a container that can't be reached now stays unreachable until the next
    // launch, rather than half-working.
    auto services = buildServices(pool);
    if (services)
        m_services = std::move(*services);
    else
        logError(requestsLog(), "Can't reach the App Group container", services.error());
    if (!m_services)
        return;
    m_notifier.setAddFolder([this](const QString& folder) {
        const FolderOutcome outcome = addFolders({folder}).front();
        logDetail(requestsLog(), std::string(wordsFor(outcome)) + " from a notification",
                  folder.toStdString());
    });
    m_notifier.setUndo([this](const QString& copy) {
        if (const auto id = Uuid::parse(copy.toStdString()))
            m_services->undo.undo(*id);
    });
    m_services->handler.setChooseFolder(
        [this](const QString& title, std::function<void(std::optional<QString>)> done) {
            if (m_windows) {
                m_windows->chooseFolder(title, std::move(done));
                return;
            }
            requestsLog().log(LogLevel::error, "There is no folder chooser without windows");
            done(std::nullopt);
        });
}

std::expected<std::unique_ptr<AppDelegate::Services>, AppGroupError>
AppDelegate::buildServices(QThreadPool& pool)
{
    const auto group = AppGroup::fromMainBundle();
    if (!group)
        return std::unexpected(group.error());
    auto file = group->destinationsFile();
    if (!file)
        return std::unexpected(file.error());
    auto inbox = group->requestInbox();
    if (!inbox)
        return std::unexpected(inbox.error());
    const auto container = group->container();
    if (!container)
        return std::unexpected(container.error());
    CopyEngine engine(homeDirectory().value_or(""), &defaultDownloadProbe);
    return std::make_unique<Services>(std::move(*file), std::move(*inbox), std::move(engine),
                                      UndoRecords(*container + "/Undo"), m_notifier, pool);
}

AppDelegate::~AppDelegate() = default;

DestinationsModel* AppDelegate::destinations() const
{
    return m_services ? &m_services->destinations : nullptr;
}

void AppDelegate::didFinishLaunching(bool inBackground)
{
    requestsLog().log(LogLevel::standard, "Ambrevoli started");
    if (m_services) {
        m_services->handler.sweepInbox();
        m_services->handler.sweepDestinations();
        m_services->undo.sweep();
    }
    // A click on one of the host's notifications reaches the running host over the session bus;
    // it never starts one, so no launch here is for a notification.
    if (inBackground)
        return;
    if (hostSettings().value(skipLaunchWindowKey, false).toBool())
        return;
    if (!m_services)
        return;
    showLaunchWindow();
}

void AppDelegate::reopen()
{
    if (m_windows && m_windows->hasVisibleWindows())
        return;
    if (!m_services)
        return;
    showLaunchWindow();
}

void AppDelegate::showLaunchWindow()
{
    if (!m_windows)
        return;
    if (hostSettings().value(firstLaunchGuideFinishedKey, false).toBool())
        m_windows->showSettings();
    else
        m_windows->showGuide();
}

void AppDelegate::showSettings()
{
    if (m_services && m_windows)
        m_windows->showSettings();
}

InstanceReceipt AppDelegate::route(const InstanceMessage& message, bool launching,
                                   const std::shared_ptr<OutcomeWaiter>& waiter)
{
    return m_router.route(message, launching, waiter);
}

void AppDelegate::openURLs(const QStringList& urls, const std::shared_ptr<OutcomeWaiter>& waiter)
{
    m_router.openURLs(urls, waiter);
}

void AppDelegate::handleRequest(const Uuid& requestID, const std::shared_ptr<OutcomeWaiter>& waiter)
{
    m_services->handler.handle(requestID, waiter);
}

void AppDelegate::undoRequest(std::optional<Uuid> requestID,
                              const std::shared_ptr<OutcomeWaiter>& waiter)
{
    m_services->undo.undo(requestID, waiter);
}

bool AppDelegate::showSettingsWindow()
{
    if (!m_windows)
        return false;
    m_windows->showSettings();
    return true;
}

void AppDelegate::lendActivationToken(const QString& token)
{
    if (m_windows)
        m_windows->setActivationToken(token);
}

void AppDelegate::endActivation(const QString& token)
{
    if (m_windows)
        m_windows->dropActivationToken();
    else
        endStartup(token);
}

void AppDelegate::setWindows(HostWindows* windows)
{
    m_windows = windows;
    m_notifier.setShowSettings(windows ? ResultNotifier::Action([this] { showSettings(); })
                                       : ResultNotifier::Action());
}

std::vector<FolderOutcome> AppDelegate::addFolders(const QStringList& folders)
{
    if (!m_services)
        return std::vector<FolderOutcome>(folders.size(), FolderOutcome::notSaved);
    return addDestinations(m_services->destinations, folders);
}

} // namespace ambrevoli
