#include "undo_summary.h"

#include "copy_summary.h"
#include "paths.h"

#include <cstring>

namespace ambrevoli {

namespace {

std::string counted(std::int64_t count)
{
    return formattedCount(count) + (count == 1 ? " item" : " items");
}

std::string quotedName(std::string_view path) { return "\u201C" + lastComponent(path) + "\u201D"; }

std::string trashReason(const TrashError& error)
{
    switch (error.kind) {
    case TrashError::Case::readOnly: return "it's on a read-only volume, so it can't go to the Trash";
    case TrashError::Case::noTrash:
        return "its volume has no Trash Ambrevoli can use (" + std::string(std::strerror(error.errorNumber)) + ")";
    case TrashError::Case::notMoved:
        return "it couldn't be moved to the Trash (" + std::string(std::strerror(error.errorNumber)) + ")";
    }
    return {};
}

std::string titleText(const UndoReport& report)
{
    const auto taken = static_cast<std::int64_t>(report.takenBack.size());
    const auto all = taken + static_cast<std::int64_t>(report.left.size());
    if (report.problem)
        return "Nothing to undo";
    if (report.left.empty())
        return "Undid copying " + counted(taken) + " to " + report.label;
    if (taken == 0)
        return "Couldn't undo copying " + counted(all) + " to " + report.label;
    // The noun agrees with the whole, as in the copy's own title.
    return "Undid copying " + formattedCount(taken) + " of " + counted(all) + " to " +
           report.label;
}

std::string problemText(UndoProblem problem)
{
    switch (problem) {
    case UndoProblem::noRecord:
        return "A copy can be undone for a day after it was made. This one is older, or "
               "Ambrevoli has no record of it.";
    case UndoProblem::alreadyUndone: return "This copy was already undone.";
    case UndoProblem::unreadable:
        return "Ambrevoli can't read its record of this copy, so nothing was moved.";
    case UndoProblem::noTrash:
        return "Ambrevoli can't find your Trash, so nothing was moved.";
    }
    return {};
}

} // namespace

std::string leftSentence(const LeftItem& item)
{
    const std::string name = quotedName(item.path);
    switch (item.reason.kind) {
    case LeftReason::Case::changed:
        return name + " changed after it was copied, so it was left where it is.";
    case LeftReason::Case::replaced:
        return name + " now holds another item, so it was left where it is.";
    case LeftReason::Case::gone:
        return name + " was renamed, moved or deleted after it was copied, so it was left alone.";
    case LeftReason::Case::unchecked:
        return name + " couldn't be checked for changes, so it was left where it is.";
    case LeftReason::Case::notTrashed:
        return name + " was left where it is: " + trashReason(item.reason.trash) + ".";
    }
    return {};
}

UndoSummary::UndoSummary(const UndoReport& report)
{
    title = titleText(report);
    if (report.problem) {
        body = problemText(*report.problem);
    } else if (report.left.empty()) {
        body = report.takenBack.size() == 1 ? "It's in the Trash, where you can restore it."
                                            : "They're in the Trash, where you can restore them.";
    } else {
        body = leftSentence(report.left.front());
        if (report.left.size() > 1) {
            const auto more = static_cast<std::int64_t>(report.left.size()) - 1;
            body += " " + formattedCount(more) + (more == 1 ? " more item was" : " more items were") +
                    " left in place too.";
        }
    }
}

std::vector<UndoLine> undoLines(const UndoReport& report)
{
    const std::string request = "Undo of request " + report.requestID.text();
    if (report.problem)
        return {UndoLine{request + ": nothing to undo (" + textualForm(*report.problem) + ")",
                         {},
                         {}}};
    std::vector<UndoLine> lines;
    lines.push_back({request + ": moved " + std::to_string(report.takenBack.size()) + " of " +
                         std::to_string(report.takenBack.size() + report.left.size()) +
                         " items to the Trash",
                     {},
                     {}});
    for (const TakenBackItem& item : report.takenBack)
        lines.push_back({"Moved to the Trash", item.path, {}});
    for (const LeftItem& item : report.left)
        lines.push_back(
            {"Left in place (" + textualForm(item.reason) + ")", item.path, leftSentence(item)});
    return lines;
}

} // namespace ambrevoli
