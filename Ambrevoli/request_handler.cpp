#include "request_handler.h"

#include "date_time.h"
#include "destinations_model.h"
#include "log.h"
#include "request_validator.h"
#include "result_notifier.h"

#include <QMetaObject>
#include <QThreadPool>

namespace ambrevoli {

namespace {

const Logger& requestsLog() { return logger("requests"); }

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
    for (const Destination& destination : m_destinations.library().store().destinations())
        folders.push_back(destination.path());
    m_pool.start([folders = std::move(folders)] {
        for (const std::string& folder : folders)
            removeAbandonedTemporaries(folder);
    });
}

void RequestHandler::handle(const Uuid& requestID) const
{
    auto request = m_inbox.take(requestID);
    if (!request) {
        logDetail(requestsLog(), "Couldn't read request " + requestID.text(),
                  textualForm(request.error()));
        return;
    }

    const RequestValidator validator(maxRequestAge, &RequestValidator::entryExists);
    const auto validated = validator.validate(*request, m_destinations.library().store(), now());
    if (!validated) {
        requestsLog().log(LogLevel::error, "Rejected request ", request->id().text(), ": ",
                          textualForm(validated.error()));
        return;
    }

    // A folder moved since the menu was built is copied into at its new place.
    m_destinations.refresh();
    const Destination destination = m_destinations.library()
                                        .store()
                                        .destination(validated->destination.id())
                                        .value_or(validated->destination);

    requestsLog().log(LogLevel::standard, "Request ", validated->id.text(),
                      " is valid: ", validated->sources.size(), " items found, ",
                      validated->missingSources.size(), " missing");
    // Every source as the sender wrote it, missing ones too: the report accounts for each.
    startCopy(request->sources(), destination);
}

void RequestHandler::startCopy(std::vector<std::string> sources,
                               const Destination& destination) const
{
    ResultNotifier* notifier = &m_notifier;
    m_pool.start([engine = m_engine, sources = std::move(sources), path = destination.path(),
                  label = destination.label(), notifier]() {
        CopyReport report = engine.copyItems(sources, path);
        // Queued to the notifier's (main) thread; dropped if the notifier is gone by then.
        QMetaObject::invokeMethod(
            notifier,
            [report = std::move(report), label, notifier]() {
                logReport(report, label);
                notifier->postCopyNotification(report, label);
            },
            Qt::QueuedConnection);
    });
}

void RequestHandler::logReport(const CopyReport& report, std::string_view label)
{
    if (!report.problem)
        requestsLog().log(LogLevel::standard, "Copied ", report.copied.size(), " of ",
                          report.itemCount, " items");
    else
        requestsLog().log(LogLevel::error, "Couldn't copy ", report.itemCount,
                          " items: ", textualForm(*report.problem));
    logDetail(requestsLog(), "Destination", std::string(label) + " at " + report.destination);
    for (const FailedItem& failed : report.failed)
        logDetail(requestsLog(), "Couldn't copy (" + textualForm(failed.reason) + ")",
                  failed.source);
}

} // namespace ambrevoli
