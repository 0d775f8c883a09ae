#pragma once

#include "copy_outcome.h"
#include "error.h"
#include "trash.h"
#include "uuid.h"

#include <ctime>
#include <expected>
#include <optional>
#include <string>
#include <vector>

// The records of what sends placed, one file per request in a private folder of the host's
// data, so that a send can be undone also after the host restarted; and the undo itself, which
// moves to the Trash exactly those placed items that are still as they were placed.
//
// A record lives for maxAge after it was written; sweep() removes older ones (the host sweeps
// when it starts and whenever it writes one). An undone record stays, marked, until it expires,
// so that undoing it again, or undoing "the last send" twice, says it was undone instead of
// reaching for an older send. Any thread; the host writes and undoes on its copy threads.

namespace ambrevoli {

// Why one placed item was not taken back.
struct LeftReason {
    enum class Case {
        changed,    // it, or something inside it, changed after it was placed
        replaced,   // another item has its name now
        gone,       // nothing has its name any more: renamed, moved or removed
        unchecked,  // it can't be told to be unchanged (not recorded whole, unreadable); the errno
        notTrashed, // it could not be moved to the Trash; the TrashError
    };

    Case kind;
    int errorNumber = 0; // unchecked, when known
    TrashError trash{TrashError::Case::noTrash, 0}; // notTrashed only

    friend bool operator==(const LeftReason&, const LeftReason&) = default;
};

// "changed", "replaced", "gone", "unchecked(13)", "notTrashed(readOnly)"
std::string textualForm(const LeftReason& reason);

struct LeftItem {
    std::string path; // where it was placed
    LeftReason reason;

    friend bool operator==(const LeftItem&, const LeftItem&) = default;
};

struct TakenBackItem {
    std::string path; // where it was placed
    TrashedItem trashed;

    friend bool operator==(const TakenBackItem&, const TakenBackItem&) = default;
};

// Why nothing at all could be undone.
enum class UndoProblem {
    noRecord,      // no record of the request: never recorded, or expired and swept
    alreadyUndone, // it was undone before
    unreadable,    // the record can't be read
    noTrash,       // the user has no home trash (no data home)
};

// "noRecord", "alreadyUndone", "unreadable", "noTrash"
std::string textualForm(UndoProblem problem);

// The outcome of one undo: each placed item either taken back or left, in the order placed.
struct UndoReport {
    Uuid requestID;
    std::string label;       // the destination's name as the user knows it
    std::string destination; // its path
    std::optional<UndoProblem> problem;
    std::vector<TakenBackItem> takenBack;
    std::vector<LeftItem> left;

    // Nothing was left and nothing stood in the way.
    bool complete() const { return !problem && left.empty(); }

    friend bool operator==(const UndoReport&, const UndoReport&) = default;
};

class UndoRecords {
public:
    static constexpr std::time_t maxAge = 24 * 60 * 60;
    // A record stops growing here: items beyond are left in place when undone.
    static constexpr std::size_t defaultMaxBytes = std::size_t(256) << 20;

    // Records in `folder` (made 0700 when first written to).
    explicit UndoRecords(std::string folder, std::size_t maxBytes = defaultMaxBytes);

    const std::string& folder() const { return m_folder; }

    // Records the items `report` placed for the request `id`, each walked as it is now, then
    // sweeps expired records. Nothing is written when nothing was placed. Fails with the errno
    // when the record can't be written; no partial record is left then.
    std::expected<void, SystemError> record(const Uuid& id, std::string_view label,
                                            const CopyReport& report, std::time_t now) const;

    // Removes records older than maxAge at `now` (undone ones too) and partial ones left by a
    // crash; yields how many.
    std::expected<int, SystemError> sweep(std::time_t now) const;

    // The request recorded last (undone or not) among those not expired at `now`.
    std::optional<Uuid> latest(std::time_t now) const;

    // Whether a record for `id` is there and not expired.
    bool has(const Uuid& id, std::time_t now) const;

    // Takes back what the request `id` placed, into `trash`, item by item: an item still
    // unchanged is moved to the Trash, anything else stays and is named with its reason. Marks
    // the record undone once nothing of it was left in place.
    UndoReport undo(const Uuid& id, const Trash& trash, std::time_t now) const;

private:
    std::string recordPath(const Uuid& id) const;
    std::string undonePath(const Uuid& id) const;

    std::string m_folder;
    std::size_t m_maxBytes;
};

} // namespace ambrevoli
