#pragma once

#include "undo_records.h"

#include <string>
#include <vector>

// The words of an undo's notification and of its report to a waiting sender. Every user-visible
// text about an undo is made here, in the user's language (translation.h); counts follow the
// locale.

namespace ambrevoli {

struct UndoSummary {
    std::string title; // what was taken back, or that nothing was
    // Why the first item left stayed where it is, and how many more did; empty when nothing was
    // left.
    std::string body;

    UndoSummary(const UndoReport& report);

    friend bool operator==(const UndoSummary&, const UndoSummary&) = default;
};

// One sentence for an item left in place: "“report.pdf” changed after it was copied, so it was
// left where it is."
std::string leftSentence(const LeftItem& item);

// One line of an undo's report: what happened, and the path it happened to (private in the log;
// a waiting sender sees it, its own file).
struct UndoLine {
    std::string message;
    std::string path;     // empty for a line about the whole undo
    std::string sentence; // for an item left: why, in the notification's words

    // "message: path — sentence", without what is empty.
    std::string text() const
    {
        return message + (path.empty() ? "" : ": " + path) +
               (sentence.empty() ? "" : " \u2014 " + sentence);
    }
};

// The lines an undo reports, as logged and as told to a waiting sender: what was moved in all,
// then one per item moved to the Trash ("Moved to the Trash: <path>") and one per item left
// ("Left in place (<reason>): <path> — <sentence>"), or the one problem.
std::vector<UndoLine> undoLines(const UndoReport& report);

} // namespace ambrevoli
