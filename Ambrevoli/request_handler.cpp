#include "request_handler.h"

#include "date_time.h"
#include "destinations_model.h"
#include "log.h"
#include "qt_translation.h"
#include "request_validator.h"
#include "result_notifier.h"
#include "undo_handler.h"
#include "volumes.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QThreadPool>

#include <ctime>

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace ambrevoli {

namespace {

const Logger& requestsLog() { return logger("requests"); }

// Logs one line about a request and tells it to the sender waiting for it, if any. `detail` is
// private in the log; the sender sees it, since it names the sender's own files.
void tell(OutcomeWaiter* waiter, LogLevel level, std::string_view message,
          std::optional<std::string_view> detail = std::nullopt)
{
    if (detail)
        requestsLog().log(level, message, ": ", Private{*detail});
    else
        requestsLog().log(level, message);
    if (waiter)
        waiter->tell(detail ? std::string(message) + ": " + std::string(*detail)
                            : std::string(message));
}

// Carries a copy's progress from its copying thread to the main thread. Only the latest figures
// matter: while a delivery is queued, newer figures take the place of those it will hand over,
// so a main thread that is busy (or not running its event loop, while the host ends) is never
// flooded.
class ProgressRelay : public std::enable_shared_from_this<ProgressRelay> {
public:
    using Deliver = std::function<void(const CopyProgress&)>;

    // Deliveries run on `context`'s thread, and are dropped once `context` is gone.
    explicit ProgressRelay(QObject* context) : m_context(context) {}

    // Set before the copy starts; runs on the context's thread.
    Deliver deliver;

    // Any thread.
    void post(const CopyProgress& progress)
    {
        {
            const std::lock_guard lock(m_mutex);
            const bool queued = m_latest.has_value();
            m_latest = progress;
            if (queued)
                return;
        }
        QMetaObject::invokeMethod(
            m_context, [self = shared_from_this()] { self->handOver(); }, Qt::QueuedConnection);
    }

private:
    void handOver()
    {
        std::optional<CopyProgress> latest;
        {
            const std::lock_guard lock(m_mutex);
            latest.swap(m_latest);
        }
        if (latest && deliver)
            deliver(*latest);
    }

    QObject* const m_context;
    std::mutex m_mutex;
    std::optional<CopyProgress> m_latest;
};

} // namespace

RequestHandler::RequestHandler(RequestInbox inbox, DestinationsModel& destinations,
                               CopyEngine engine, ResultNotifier& notifier, QThreadPool& pool)
    : m_inbox(std::move(inbox)), m_destinations(destinations), m_engine(std::move(engine)),
      m_notifier(notifier), m_pool(pool)
{}

void RequestHandler::sweepInbox() const
{
    const auto removed = m_inbox.sweep(now(), maxRequestAge);
    if (!removed) {
        logError(requestsLog(), "Couldn't sweep the request inbox", removed.error());
        return;
    }
    if (*removed > 0)
        requestsLog().log(LogLevel::standard, "Removed ", *removed,
                          " stale or invalid request files");
}

void RequestHandler::sweepDestinations() const
{
    std::vector<std::string> folders;
    for (const Destination& destination : m_destinations.destinations())
        folders.push_back(destination.path());
    m_pool.start([folders = std::move(folders)] {
        for (const std::string& folder : folders)
            removeAbandonedTemporaries(folder);
    });
}

void RequestHandler::handle(const Uuid& requestID, std::shared_ptr<OutcomeWaiter> waiter) const
{
    auto request = m_inbox.take(requestID);
    if (!request) {
        tell(waiter.get(), LogLevel::standard, "Couldn't read request " + requestID.text(),
             textualForm(request.error()));
        if (waiter)
            waiter->notAllCopied();
        return;
    }

    const RequestValidator validator(maxRequestAge, &RequestValidator::entryExists);
    const auto validated = validator.validate(*request, m_destinations.library().store(), now());
    if (!validated) {
        tell(waiter.get(), LogLevel::error,
             "Rejected request " + request->id().text() + ": " + textualForm(validated.error()));
        if (waiter)
            waiter->notAllCopied();
        return;
    }

    if (validated->choosesFolder) {
        tell(waiter.get(), LogLevel::standard,
             "Request " + validated->id.text() + " asks for a folder: " +
                 std::to_string(validated->sources.size()) + " items found, " +
                 std::to_string(validated->missingSources.size()) + " missing");
        askForFolder(validated->id, request->sources(), std::move(waiter));
        return;
    }

    // A folder moved since the menu was built is copied into at its new place. A volume has no
    // record to refresh: it is copied into at its root or not at all.
    m_destinations.refresh();
    const Destination destination = validated->volume
                                        ? validated->destination
                                        : m_destinations.destination(validated->destination.id())
                                              .value_or(validated->destination);

    tell(waiter.get(), LogLevel::standard,
         "Request " + validated->id.text() +
             " is valid: " + std::to_string(validated->sources.size()) + " items found, " +
             std::to_string(validated->missingSources.size()) + " missing");
    // Every source as the sender wrote it, missing ones too: the report accounts for each.
    startCopy(validated->id, request->sources(), destination, validated->volume, std::move(waiter));
}

void RequestHandler::askForFolder(const Uuid& requestID, std::vector<std::string> sources,
                                  std::shared_ptr<OutcomeWaiter> waiter) const
{
    const std::string request = "Request " + requestID.text();
    if (!m_chooseFolder) {
        tell(waiter.get(), LogLevel::error, request + " asks for a folder, but none can be chosen");
        if (waiter)
            waiter->notAllCopied();
        return;
    }
    m_chooseFolder(uiText(chooserTitle),
                   [this, requestID, request, sources = std::move(sources),
                    waiter = std::move(waiter)](std::optional<QString> folder) mutable {
                       if (!folder) {
                           tell(waiter.get(), LogLevel::standard,
                                request + ": no folder was chosen, nothing copied");
                           if (waiter)
                               waiter->notAllCopied();
                           return;
                       }
                       const QString name = QFileInfo(*folder).fileName();
                       const Destination chosen(Uuid(),
                                                (name.isEmpty() ? *folder : name).toStdString(),
                                                QFile::encodeName(*folder).toStdString());
                       startCopy(requestID, std::move(sources), chosen, std::nullopt,
                                 std::move(waiter), true);
                   });
}

void RequestHandler::startCopy(const Uuid& requestID, std::vector<std::string> sources,
                               const Destination& destination, std::optional<VolumeTarget> volume,
                               std::shared_ptr<OutcomeWaiter> waiter, bool chosenFolder) const
{
    ResultNotifier* notifier = &m_notifier;
    auto relay = std::make_shared<ProgressRelay>(notifier);
    auto control = std::make_shared<CopyControl>(
        [relay](const CopyProgress& progress) { relay->post(progress); });
    const QString copy = QString::fromStdString(requestID.text());
    // Weak: the copy's own task holds both for as long as the copy runs, and lets go of the
    // waiter on the main thread.
    relay->deliver = [control = std::weak_ptr(control), waiter = std::weak_ptr(waiter), notifier,
                      copy](const CopyProgress& progress) {
        notifier->showProgress(copy, progress);
        const auto followed = control.lock();
        if (const auto held = waiter.lock(); held && followed)
            held->progressed(*followed, progress);
    };
    m_notifier.followCopy(copy, control, destination.label(), destination.path());
    if (waiter)
        waiter->copyStarted(control);
    UndoHandler* const undo = m_undo;
    std::optional<UndoRecords> records;
    if (undo) {
        undo->copyStarted(requestID, control);
        records = undo->records();
    }

    m_pool.start([engine = m_engine, sources = std::move(sources), path = destination.path(),
                  label = destination.label(), volume = std::move(volume), notifier,
                  control = std::move(control), copy, waiter = std::move(waiter), chosenFolder,
                  records = std::move(records), requestID, undo]() mutable {
        // Asked as late as possible: a stick pulled since the click, or another one mounted at
        // its place, is a missing destination, and nothing goes into whatever is there now.
        CopyReport report;
        if (volume && !isMountedVolume(*volume)) {
            report.destination = path;
            report.problem = DestinationProblem::missing();
            report.itemCount = static_cast<std::int64_t>(sources.size());
        } else {
            report = engine.copyItems(sources, path, control.get());
        }
        // Before the notification offers Undo, and before an undo that waits for this copy.
        if (records)
            if (auto recorded = records->record(requestID, label, report, std::time(nullptr));
                !recorded)
                logError(requestsLog(), "Couldn't record what request " + copy.toStdString() +
                                            " placed; it can't be undone",
                         recorded.error());
        // Queued to the notifier's (main) thread; dropped if the notifier is gone by then. The
        // waiter goes along and is let go of in the call, on the main thread: the call itself
        // may be destroyed on this one, once the main thread is done with it.
        QMetaObject::invokeMethod(
            notifier,
            [report = std::move(report), label, copy, notifier, waiter = std::move(waiter),
             chosenFolder, undo, requestID]() mutable {
                const std::shared_ptr<OutcomeWaiter> held = std::move(waiter);
                if (report.cancelled)
                    tell(held.get(), LogLevel::standard,
                         "Request " + copy.toStdString() + " was cancelled");
                logReport(report, label, held.get());
                notifier->postCopyNotification(report, label, copy, chosenFolder);
                if (undo)
                    undo->copyFinished(requestID);
            },
            Qt::QueuedConnection);
    });
}

void RequestHandler::logReport(const CopyReport& report, std::string_view label,
                               OutcomeWaiter* waiter)
{
    if (!report.problem)
        tell(waiter, LogLevel::standard,
             "Copied " + std::to_string(report.copied.size()) + " of " +
                 std::to_string(report.itemCount) + " items");
    else
        tell(waiter, LogLevel::error,
             "Couldn't copy " + std::to_string(report.itemCount) +
                 " items: " + textualForm(*report.problem));
    tell(waiter, LogLevel::standard, "Destination",
         std::string(label) + " at " + report.destination);
    for (const FailedItem& failed : report.failed)
        tell(waiter, LogLevel::standard, "Couldn't copy (" + textualForm(failed.reason) + ")",
             failed.source);
    if (waiter && (report.problem || !report.failed.empty() ||
                   report.copied.size() != static_cast<std::size_t>(report.itemCount)))
        waiter->notAllCopied();
}

} // namespace ambrevoli
