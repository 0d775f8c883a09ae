#include "undo_handler.h"

#include "log.h"
#include "result_notifier.h"
#include "undo_summary.h"

#include <QMetaObject>
#include <QThreadPool>

#include <ctime>

namespace ambrevoli {

namespace {

const Logger& requestsLog() { return logger("requests"); }

QString keyOf(const Uuid& id) { return QString::fromStdString(id.text()); }

} // namespace

UndoHandler::UndoHandler(UndoRecords records, std::optional<Trash> trash,
                         ResultNotifier& notifier, QThreadPool& pool)
    : m_records(std::move(records)), m_trash(std::move(trash)), m_notifier(notifier), m_pool(pool)
{}

void UndoHandler::sweep() const
{
    const auto removed = m_records.sweep(std::time(nullptr));
    if (!removed)
        logError(requestsLog(), "Couldn't sweep the undo records", removed.error());
    else if (*removed > 0)
        requestsLog().log(LogLevel::standard, "Removed ", *removed, " expired undo records");
}

void UndoHandler::undo(std::optional<Uuid> requestID, std::shared_ptr<OutcomeWaiter> waiter)
{
    if (!requestID) {
        // A send still copying is later than any record.
        requestID = m_lastStarted && m_running.contains(keyOf(*m_lastStarted))
                        ? m_lastStarted
                        : m_records.latest(std::time(nullptr));
        // No record has the nil identifier: the undo then says there is nothing to undo.
        if (!requestID)
            requestID = Uuid();
    }
    const auto running = m_running.find(keyOf(*requestID));
    if (running != m_running.end()) {
        requestsLog().log(LogLevel::standard, "Cancelling request ", requestID->text(),
                          " to undo it");
        if (waiter)
            waiter->tell("Cancelling request " + requestID->text() + " to undo it");
        running->control->cancel();
        running->undos.push_back(std::move(waiter));
        return;
    }
    start(*requestID, std::move(waiter));
}

void UndoHandler::start(const Uuid& requestID, std::shared_ptr<OutcomeWaiter> waiter)
{
    if (const auto undoing = m_undoing.find(keyOf(requestID)); undoing != m_undoing.end()) {
        if (waiter)
            undoing->push_back(std::move(waiter));
        return;
    }
    m_undoing.insert(keyOf(requestID), {});
    requestsLog().log(LogLevel::standard, "Undoing request ", requestID.text());
    ResultNotifier* notifier = &m_notifier;
    m_pool.start([this, records = m_records, trash = m_trash, requestID, notifier,
                  waiter = std::move(waiter)]() mutable {
        UndoReport report;
        if (trash) {
            report = records.undo(requestID, *trash, std::time(nullptr));
        } else {
            report.requestID = requestID;
            report.problem = UndoProblem::noTrash;
        }
        QMetaObject::invokeMethod(
            notifier,
            [this, report = std::move(report), notifier, waiter = std::move(waiter)]() mutable {
                const std::shared_ptr<OutcomeWaiter> held = std::move(waiter);
                for (const UndoLine& line : undoLines(report)) {
                    if (line.path.empty())
                        requestsLog().log(report.complete() ? LogLevel::standard
                                                            : LogLevel::error,
                                          line.message);
                    else
                        logDetail(requestsLog(), line.message, line.path);
                    if (held)
                        held->tell(line.text());
                }
                if (held && !report.complete())
                    held->notAllCopied();
                notifier->postUndoNotification(report);
                finished(report.requestID);
            },
            Qt::QueuedConnection);
    });
}

void UndoHandler::finished(const Uuid& requestID)
{
    const auto undoing = m_undoing.find(keyOf(requestID));
    if (undoing == m_undoing.end())
        return;
    std::vector<std::shared_ptr<OutcomeWaiter>> next = std::move(*undoing);
    m_undoing.erase(undoing);
    for (auto& waiter : next)
        start(requestID, std::move(waiter));
}

void UndoHandler::copyStarted(const Uuid& requestID, std::shared_ptr<CopyControl> control)
{
    m_running.insert(keyOf(requestID), Running{std::move(control), {}});
    m_lastStarted = requestID;
}

void UndoHandler::copyFinished(const Uuid& requestID)
{
    const auto running = m_running.find(keyOf(requestID));
    if (running == m_running.end())
        return;
    const Running ended = std::move(*running);
    m_running.erase(running);
    for (const auto& waiter : ended.undos)
        start(requestID, waiter);
}

} // namespace ambrevoli
