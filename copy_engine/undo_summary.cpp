#include "undo_summary.h"

#include "copy_summary.h"
#include "paths.h"
#include "translation.h"

#include <cstring>

namespace ambrevoli {

namespace {

std::string quotedName(std::string_view path)
{
    // TRANSLATORS: an item's name inside a sentence of a notification; use your language's
    // quotation marks.
    return formatted(translate("\u201C%1$s\u201D"), {lastComponent(path)});
}

// The whole sentence about an item the Trash refused, so that a translation can order it.
std::string notTrashedSentence(const std::string& name, const TrashError& error)
{
    const std::string reason = std::strerror(error.errorNumber);
    switch (error.kind) {
    case TrashError::Case::readOnly:
        // TRANSLATORS: %1$s is the item's name in quotation marks.
        return formatted(translate("%1$s was left where it is: it's on a read-only volume, so it "
                                   "can't go to the Trash."),
                         {name});
    case TrashError::Case::noTrash:
        // TRANSLATORS: %1$s is the item's name in quotation marks, %2$s the system's description
        // of the error.
        return formatted(translate("%1$s was left where it is: its volume has no Trash Ambrevoli "
                                   "can use (%2$s)."),
                         {name, reason});
    case TrashError::Case::notMoved:
        // TRANSLATORS: %1$s is the item's name in quotation marks, %2$s the system's description
        // of the error.
        return formatted(
            translate("%1$s was left where it is: it couldn't be moved to the Trash (%2$s)."),
            {name, reason});
    }
    return {};
}

std::string titleText(const UndoReport& report)
{
    const auto taken = static_cast<std::int64_t>(report.takenBack.size());
    const auto all = taken + static_cast<std::int64_t>(report.left.size());
    if (report.problem)
        // TRANSLATORS: the title of the notification after the user asked to undo a copy.
        return translate("Nothing to undo");
    if (report.left.empty())
        // TRANSLATORS: %1$s is a number of items, %2$s the destination folder's name.
        return formatted(translatePlural("Undid copying %1$s item to %2$s",
                                         "Undid copying %1$s items to %2$s", taken),
                         {formattedCount(taken), report.label});
    if (taken == 0)
        // TRANSLATORS: %1$s is a number of items, %2$s the destination folder's name.
        return formatted(translatePlural("Couldn't undo copying %1$s item to %2$s",
                                         "Couldn't undo copying %1$s items to %2$s", all),
                         {formattedCount(all), report.label});
    // The noun agrees with the whole, as in the copy's own title.
    // TRANSLATORS: %1$s items taken back of %2$s in all; the plural form follows %2$s. %3$s is the
    // destination folder's name.
    return formatted(translatePlural("Undid copying %1$s of %2$s item to %3$s",
                                     "Undid copying %1$s of %2$s items to %3$s", all),
                     {formattedCount(taken), formattedCount(all), report.label});
}

std::string problemText(UndoProblem problem)
{
    switch (problem) {
    case UndoProblem::noRecord:
        return translate("A copy can be undone for a day after it was made. This one is older, "
                         "or Ambrevoli has no record of it.");
    case UndoProblem::alreadyUndone: return translate("This copy was already undone.");
    case UndoProblem::unreadable:
        return translate("Ambrevoli can't read its record of this copy, so nothing was moved.");
    case UndoProblem::noTrash:
        return translate("Ambrevoli can't find your Trash, so nothing was moved.");
    }
    return {};
}

} // namespace

std::string leftSentence(const LeftItem& item)
{
    const std::string name = quotedName(item.path);
    // TRANSLATORS: in the sentences about an item an undo left in place, %1$s is the item's name
    // in quotation marks.
    const auto sentence = [&](const char* pattern) {
        return formatted(translate(pattern), {name});
    };
    switch (item.reason.kind) {
    case LeftReason::Case::changed:
        return sentence(N_("%1$s changed after it was copied, so it was left where it is."));
    case LeftReason::Case::replaced:
        return sentence(N_("%1$s now holds another item, so it was left where it is."));
    case LeftReason::Case::gone:
        return sentence(
            N_("%1$s was renamed, moved or deleted after it was copied, so it was left alone."));
    case LeftReason::Case::unchecked:
        return sentence(N_("%1$s couldn't be checked for changes, so it was left where it is."));
    case LeftReason::Case::notTrashed: return notTrashedSentence(name, item.reason.trash);
    }
    return {};
}

UndoSummary::UndoSummary(const UndoReport& report)
{
    title = titleText(report);
    if (report.problem) {
        body = problemText(*report.problem);
    } else if (report.left.empty()) {
        const auto taken = static_cast<std::int64_t>(report.takenBack.size());
        // TRANSLATORS: the items an undo took back, one or more.
        body = translatePlural("It's in the Trash, where you can restore it.",
                               "They're in the Trash, where you can restore them.", taken);
    } else {
        body = leftSentence(report.left.front());
        if (report.left.size() > 1) {
            const auto more = static_cast<std::int64_t>(report.left.size()) - 1;
            // TRANSLATORS: follows the sentence about the first item left in place.
            body +=
                " " + formatted(translatePlural("%1$s more item was left in place too.",
                                                "%1$s more items were left in place too.", more),
                                {formattedCount(more)});
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
