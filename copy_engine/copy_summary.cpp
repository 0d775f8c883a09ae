#include "copy_summary.h"

#include "byte_count.h"
#include "paths.h"

#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdlib>

namespace ambrevoli {

namespace {

std::string_view noun(std::int64_t count) { return count == 1 ? "item" : "items"; }

std::string counted(std::int64_t count)
{
    return formattedCount(count) + " " + std::string(noun(count));
}

// The source's last path component, trailing slashes ignored, in typographic double quotes.
std::string quotedName(std::string_view source)
{
    return "\u201C" + lastComponent(source) + "\u201D";
}

bool wasCancelled(const FailedItem& failure)
{
    return failure.reason.kind == CopyFailure::Case::cancelled;
}

// Items the user's cancel kept from being copied.
std::int64_t stoppedCount(const CopyReport& report)
{
    return std::count_if(report.failed.begin(), report.failed.end(), wasCancelled);
}

std::string titleText(const CopyReport& report, const std::string& label)
{
    const auto copied = static_cast<std::int64_t>(report.copied.size());
    const auto failed = static_cast<std::int64_t>(report.failed.size());
    if (report.problem)
        return "Couldn't copy " + counted(report.itemCount) + " to " + label;
    if (stoppedCount(report) > 0)
        return copied == 0 ? "Cancelled copying " + counted(report.itemCount) + " to " + label
                           : "Cancelled after copying " + formattedCount(copied) + " of " +
                                 counted(report.itemCount) + " to " + label;
    if (failed == 0)
        return "Copied " + counted(copied) + " to " + label;
    if (copied == 0)
        return "Couldn't copy " + counted(failed) + " to " + label;
    // The noun agrees with the whole, not with the number copied.
    return "Copied " + formattedCount(copied) + " of " + counted(report.itemCount) + " to " + label;
}

std::string problemBody(const DestinationProblem& problem, const std::string& label,
                        Platform platform)
{
    using enum DestinationProblem::Case;
    const std::string refused = std::string(wording(Phrase::systemDidntLet, platform)) +
                                " Ambrevoli add items to " + label + ". ";
    switch (problem.kind) {
    case notPermitted:
        return refused + std::string(wording(problem.protectedFolder ? Phrase::allowProtectedFolder
                                                                     : Phrase::unlockLockedFolder,
                                             platform));
    case other:
        return "Ambrevoli couldn't use " + label + " (error " +
               std::to_string(problem.errorNumber) + ").";
    case missing:
        return "Ambrevoli can't find " + label +
               ". If it's on a drive, connect the drive and send the items again.";
    case noPermission: return "You don't have permission to add items to " + label + ".";
    case readOnly: return label + " is on a read-only volume.";
    case unreachable:
        return "Ambrevoli couldn't reach " + label +
               ". Check the connection to it and send the items again.";
    }
    return {};
}

std::string failureLine(const FailedItem& failure, const std::string& label, Platform platform)
{
    using enum CopyFailure::Case;
    const std::string item = quotedName(failure.source);
    switch (failure.reason.kind) {
    case notPermitted: {
        std::string line = std::string(wording(Phrase::systemDidntLet, platform)) +
                           " Ambrevoli read " + item + ".";
        if (failure.reason.protectedFolder)
            line += " " + std::string(wording(Phrase::allowProtectedFolder, platform));
        return line;
    }
    case other:
        return item + " couldn't be copied (error " + std::to_string(failure.reason.errorNumber) +
               ").";
    case missing: return item + " was moved or deleted before it could be copied.";
    case destinationGone:
        return label + " disappeared before " + item +
               " could be copied. If it's on a drive, connect it and send the rest again.";
    case intoItself: return item + " can't be copied into a folder inside itself.";
    case notDownloaded:
        return item + " isn't downloaded. " +
               std::string(wording(Phrase::downloadThenResend, platform));
    case noPermission: return "You don't have permission to read " + item + ".";
    case outOfSpace: return label + " doesn't have enough space for " + item + ".";
    case nameTooLong: return item + " has a name that's too long for " + label + ".";
    case cancelled: return item + " wasn't copied: you cancelled the copy.";
    case nameRefused: return item + " has a name this drive can't store.";
    case tooLarge: return item + " is too large for this drive.";
    case kindRefused: return item + " is or holds a link or special file this drive can't store.";
    case unreachable:
        return label + " couldn't be reached while " + item +
               " was being copied. Check the connection to it and send the rest again.";
    }
    return {};
}

// "1 item wasn't copied.", "3 items weren't copied."
std::string notCopiedText(std::int64_t count)
{
    return counted(count) + (count == 1 ? " wasn't copied." : " weren't copied.");
}

// A cancelled copy: the first failure that was not the cancel is the one to explain; the items
// the cancel stopped are counted with the rest.
std::string cancelledBodyText(const CopyReport& report, const std::string& label, Platform platform)
{
    const auto failed = static_cast<std::int64_t>(report.failed.size());
    const auto firstReal =
        std::find_if_not(report.failed.begin(), report.failed.end(), wasCancelled);
    if (firstReal == report.failed.end())
        return report.copied.empty() ? "Nothing was copied." : notCopiedText(failed);
    std::string text = failureLine(*firstReal, label, platform);
    if (failed > 1) {
        const std::int64_t more = failed - 1;
        text += " " + formattedCount(more) + " more " + std::string(noun(more)) +
                (more == 1 ? " wasn't copied." : " weren't copied.");
    }
    return text;
}

std::string bodyText(const CopyReport& report, const std::string& label, Platform platform)
{
    if (report.problem)
        return problemBody(*report.problem, label, platform);
    if (stoppedCount(report) > 0)
        return cancelledBodyText(report, label, platform);
    if (report.failed.empty())
        return report.cancelled ? "Everything was already copied when you cancelled." : "";
    std::string text = failureLine(report.failed.front(), label, platform);
    if (report.failed.size() > 1) {
        const auto more = static_cast<std::int64_t>(report.failed.size()) - 1;
        text += " " + formattedCount(more) + " more " + std::string(noun(more)) +
                " couldn't be copied either.";
    }
    return text;
}

// POSIX locale names carry a codeset and a modifier ("de_DE.UTF-8@euro") that ICU does not
// want in a locale identifier.
std::string icuLocaleName(std::string_view posixName)
{
    if (posixName == "C" || posixName == "POSIX" || posixName.starts_with("C."))
        return "en_US_POSIX";
    const auto end = posixName.find_first_of(".@");
    return std::string(posixName.substr(0, end));
}

} // namespace

CopySummary::CopySummary(const CopyReport& report, std::string_view label, Platform platform)
{
    const std::string name(label);
    title = titleText(report, name);
    body = bodyText(report, name, platform);
}

CopyProgressSummary::CopyProgressSummary(const CopyProgress& progress, std::string_view label)
{
    title = "Copying " + counted(progress.itemsTotal) + " to " + std::string(label);
    if (progress.bytesTotal && *progress.bytesTotal > 0)
        body = formattedByteCount(progress.bytesDone) + " of " +
               formattedByteCount(*progress.bytesTotal);
    else
        body = formattedCount(progress.itemsDone) + " of " + counted(progress.itemsTotal);
}

std::string formattedCount(std::int64_t count)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString text =
        icu::number::NumberFormatter::withLocale(icu::Locale::getDefault())
            .formatInt(count, status)
            .toString(status);
    if (U_FAILURE(status))
        return std::to_string(count);
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

void adoptNumericLocaleFromEnvironment()
{
    std::string_view name;
    for (const char* variable : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            name = value;
            break;
        }
    }
    const std::string id = name.empty() ? "en_US_POSIX" : icuLocaleName(name);
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(id.c_str()), status);
}

} // namespace ambrevoli
