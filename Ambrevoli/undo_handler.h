#pragma once

#include "copy_progress.h"
#include "outcome_waiter.h"
#include "trash.h"
#include "undo_records.h"
#include "uuid.h"

#include <QHash>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QThreadPool;

namespace ambrevoli {

class ResultNotifier;

// Takes back what a send placed, asked by the Undo of its notification or by
// "ambrevoli-send --undo": the placed items still as they were placed go to the Trash, the rest
// stay and are named, in a notification that replaces the send's and in the lines told to a
// waiting sender. A send still copying is cancelled first and undone once it ended. The records
// are written by the request handler's copies (recordOf()) and kept on disk, so an undo works
// after a restart too.
//
// Main thread only; the checks and moves run on `pool`. The notifier and the pool must outlive
// the handler and every undo it starts.
class UndoHandler {
public:
    UndoHandler(UndoRecords records, std::optional<Trash> trash, ResultNotifier& notifier,
                QThreadPool& pool);

    const UndoRecords& records() const { return m_records; }

    // Removes expired records; logs what it did.
    void sweep() const;

    // Undoes the send `requestID`, or the latest one (the latest started, when one is still
    // copying). `waiter`, when given, is told every line and whether everything was taken back
    // (notAllCopied otherwise), and held until then. A second Undo clicked while the first runs
    // is ignored; one from a waiting sender runs after it.
    void undo(std::optional<Uuid> requestID, std::shared_ptr<OutcomeWaiter> waiter = {});

    // The request handler's account of its copies: an undo that comes while one runs cancels it
    // and waits for it to end (its record written).
    void copyStarted(const Uuid& requestID, std::shared_ptr<CopyControl> control);
    void copyFinished(const Uuid& requestID);

private:
    struct Running {
        std::shared_ptr<CopyControl> control;
        // The undos asked while it copied, each with its waiter (or null).
        std::vector<std::shared_ptr<OutcomeWaiter>> undos;
    };

    void start(const Uuid& requestID, std::shared_ptr<OutcomeWaiter> waiter);
    void finished(const Uuid& requestID);

    UndoRecords m_records;
    std::optional<Trash> m_trash;
    ResultNotifier& m_notifier;
    QThreadPool& m_pool;
    QHash<QString, Running> m_running;
    // Undos under way, with the waiters of those asked meanwhile: they run after it, one at a
    // time, so that a second Undo never reports the first one's moves as items gone.
    QHash<QString, std::vector<std::shared_ptr<OutcomeWaiter>>> m_undoing;
    std::optional<Uuid> m_lastStarted;
};

} // namespace ambrevoli
