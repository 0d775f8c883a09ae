#pragma once

#include "copy_engine.h"
#include "copy_outcome.h"
#include "destination.h"
#include "outcome_waiter.h"
#include "request_inbox.h"
#include "send_request.h"
#include "translation.h"
#include "uuid.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

class QThreadPool;

namespace ambrevoli {

class DestinationsModel;
class ResultNotifier;
class UndoHandler;

// Runs one Send To request from its identifier to the copy notification, and sweeps stale
// request files out of the inbox at launch. A request that cannot be read or is rejected ends
// in a log line only. A request for a volume's root is copied only when that root still holds
// the very volume the request names (isMountedVolume(), asked on the copy's thread right before
// copying); otherwise it ends as a request for a missing destination does, nothing copied. A
// request that asks for a folder is copied, once the user chose one, exactly as a send to a
// destination is, and its notification offers to add the folder to the list; when the user
// cancels the chooser it ends in a log line, nothing copied.
//
// Everything up to the start of the copy runs on the main thread; the copy runs on `pool`; its
// progress, the report's log lines and the notification come back to the main thread. Each copy
// has a CopyControl of its own: the notifier and the waiting sender may cancel the copy with it.
// Copies are never queued behind each other: `pool` must allow as many threads as copies may
// run at once.
// The handler owns none of the referenced objects; they must outlive every copy it starts.
class RequestHandler {
public:
    static constexpr double maxRequestAge = 600.0;
    // The title of the chooser a request for another folder opens.
    // TRANSLATORS: the title of the folder chooser after "Other Folder…" in the Send To menu.
    static constexpr char chooserTitle[] = N_("Send to Another Folder");

    // Asks the user for one folder with a chooser titled `title`; `done` runs later on the main
    // thread with its local path, or nothing when the user cancelled.
    using ChooseFolder = std::function<void(const QString& title,
                                            std::function<void(std::optional<QString>)> done)>;

    RequestHandler(RequestInbox inbox, DestinationsModel& destinations, CopyEngine engine,
                   ResultNotifier& notifier, QThreadPool& pool);

    // What asks the user for the folder of a request that wants one. Without it, such a request
    // ends in a log line. The handler must outlive every answer it waits for.
    void setChooseFolder(ChooseFolder chooseFolder) { m_chooseFolder = std::move(chooseFolder); }

    // Where each copy records what it placed, once it ended (on its own thread), and tells that
    // it started and ended, so that it can be undone; without one nothing is recorded. `undo`
    // must outlive every copy started after this.
    void setUndo(UndoHandler* undo) { m_undo = undo; }

    // Removes stale or invalid request files; logs what it did or why it couldn't.
    void sweepInbox() const;

    // Removes what copies interrupted by a crash or power cut left in each destination, on
    // `pool`; returns at once.
    void sweepDestinations() const;

    // Takes, validates and starts copying the request `requestID`. Returns once the copy has
    // started, without waiting for it. Main thread only. `waiter`, when given, is told every
    // line logged about the request, and held until its report is (or it was refused); it gets
    // the copy's control when the copy starts, and its progress as it goes.
    void handle(const Uuid& requestID, std::shared_ptr<OutcomeWaiter> waiter = {}) const;

    // Writes the outcome lines of a finished copy, and tells them to `waiter` when given (and
    // whether anything was not copied).
    static void logReport(const CopyReport& report, std::string_view label,
                          OutcomeWaiter* waiter = nullptr);

private:
    // With `volume`, copies only when its root still holds that very volume.
    void startCopy(const Uuid& requestID, std::vector<std::string> sources,
                   const Destination& destination, std::optional<VolumeTarget> volume,
                   std::shared_ptr<OutcomeWaiter> waiter, bool chosenFolder = false) const;
    void askForFolder(const Uuid& requestID, std::vector<std::string> sources,
                      std::shared_ptr<OutcomeWaiter> waiter) const;

    RequestInbox m_inbox;
    DestinationsModel& m_destinations;
    CopyEngine m_engine;
    ResultNotifier& m_notifier;
    QThreadPool& m_pool;
    ChooseFolder m_chooseFolder;
    UndoHandler* m_undo = nullptr;
};

} // namespace ambrevoli
