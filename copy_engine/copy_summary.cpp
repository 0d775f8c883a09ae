#include "copy_summary.h"

#include "byte_count.h"
#include "paths.h"
#include "translation.h"

#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdlib>

namespace ambrevoli {

namespace {

// The source's last path component, trailing slashes ignored, in the language's quotation marks.
std::string quotedName(std::string_view source)
{
    // TRANSLATORS: an item's name inside a sentence of a notification; use your language's
    // quotation marks.
    return formatted(translate("\u201C%1$s\u201D"), {lastComponent(source)});
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

std::string couldntCopy(std::int64_t count, const std::string& label)
{
    // TRANSLATORS: a copy notification's title; %1$s is a number of items, %2$s the destination
    // folder's name as the user wrote it.
    return formatted(translatePlural("Couldn't copy %1$s item to %2$s",
                                     "Couldn't copy %1$s items to %2$s", count),
                     {formattedCount(count), label});
}

std::string titleText(const CopyReport& report, const std::string& label)
{
    const auto copied = static_cast<std::int64_t>(report.copied.size());
    const auto failed = static_cast<std::int64_t>(report.failed.size());
    const std::int64_t all = report.itemCount;
    if (report.problem)
        return couldntCopy(all, label);
    if (stoppedCount(report) > 0) {
        if (copied == 0)
            return formatted(translatePlural("Cancelled copying %1$s item to %2$s",
                                             "Cancelled copying %1$s items to %2$s", all),
                             {formattedCount(all), label});
        // TRANSLATORS: %1$s items copied of %2$s in all; the plural form follows %2$s. %3$s is
        // the destination folder's name.
        return formatted(translatePlural("Cancelled after copying %1$s of %2$s item to %3$s",
                                         "Cancelled after copying %1$s of %2$s items to %3$s", all),
                         {formattedCount(copied), formattedCount(all), label});
    }
    if (failed == 0)
        return formatted(
            translatePlural("Copied %1$s item to %2$s", "Copied %1$s items to %2$s", copied),
            {formattedCount(copied), label});
    if (copied == 0)
        return couldntCopy(failed, label);
    // The noun agrees with the whole, not with the number copied.
    // TRANSLATORS: %1$s items copied of %2$s in all; the plural form follows %2$s. %3$s is the
    // destination folder's name.
    return formatted(translatePlural("Copied %1$s of %2$s item to %3$s",
                                     "Copied %1$s of %2$s items to %3$s", all),
                     {formattedCount(copied), formattedCount(all), label});
}

// The system's refusal as one whole sentence, so that a translation can order it. The macOS
// wording, never translated, opens the same sentence with its own name for the system.
std::string refusal(Platform platform, const char* linuxPattern, std::string_view object)
{
    if (platform != Platform::macOS)
        return formatted(translate(linuxPattern), {object});
    constexpr std::string_view linuxOpening = "The system didn't let";
    const std::string_view rest = std::string_view(linuxPattern).substr(linuxOpening.size());
    return formatted(wording(Phrase::systemDidntLet, platform) + std::string(rest), {object});
}

std::string problemBody(const DestinationProblem& problem, const std::string& label,
                        Platform platform)
{
    using enum DestinationProblem::Case;
    switch (problem.kind) {
    case notPermitted:
        // TRANSLATORS: %1$s is the destination folder's name; advice follows this sentence.
        return refusal(platform, N_("The system didn't let Ambrevoli add items to %1$s."), label) +
               " " +
               wording(problem.protectedFolder ? Phrase::allowProtectedFolder
                                               : Phrase::unlockLockedFolder,
                       platform);
    case other:
        // TRANSLATORS: %1$s is the destination folder's name, %2$s a system error number.
        return formatted(translate("Ambrevoli couldn't use %1$s (error %2$s)."),
                         {label, std::to_string(problem.errorNumber)});
    case missing:
        return formatted(translate("Ambrevoli can't find %1$s. If it's on a drive, connect the "
                                   "drive and send the items again."),
                         {label});
    case noPermission:
        return formatted(translate("You don't have permission to add items to %1$s."), {label});
    case readOnly: return formatted(translate("%1$s is on a read-only volume."), {label});
    case unreachable:
        // TRANSLATORS: %1$s is the destination folder's name, on a network share.
        return formatted(translate("Ambrevoli couldn't reach %1$s. Check the connection to it and "
                                   "send the items again."),
                         {label});
    }
    return {};
}

// In the sentences about an item that was not copied, %1$s is the item's name in quotation marks
// and %2$s the destination folder's name.
std::string failureLine(const FailedItem& failure, const std::string& label, Platform platform)
{
    using enum CopyFailure::Case;
    const std::string item = quotedName(failure.source);
    const auto sentence = [&](const char* pattern) {
        return formatted(translate(pattern), {item, label});
    };
    switch (failure.reason.kind) {
    case notPermitted: {
        std::string line =
            refusal(platform, N_("The system didn't let Ambrevoli read %1$s."), item);
        if (failure.reason.protectedFolder)
            line += " " + wording(Phrase::allowProtectedFolder, platform);
        return line;
    }
    case other:
        // TRANSLATORS: %1$s is the item's name in quotation marks, %2$s a system error number.
        return formatted(translate("%1$s couldn't be copied (error %2$s)."),
                         {item, std::to_string(failure.reason.errorNumber)});
    case missing: return sentence(N_("%1$s was moved or deleted before it could be copied."));
    case destinationGone:
        // TRANSLATORS: %1$s is the destination folder's name, %2$s the item's name in
        // quotation marks.
        return formatted(translate("%1$s disappeared before %2$s could be copied. If it's on a "
                                   "drive, connect it and send the rest again."),
                         {label, item});
    case intoItself: return sentence(N_("%1$s can't be copied into a folder inside itself."));
    case notDownloaded:
        return sentence(N_("%1$s isn't downloaded.")) + " " +
               wording(Phrase::downloadThenResend, platform);
    case noPermission: return sentence(N_("You don't have permission to read %1$s."));
    case outOfSpace:
        // TRANSLATORS: %2$s is the destination folder's name, %1$s the item's name in quotation
        // marks.
        return sentence(N_("%2$s doesn't have enough space for %1$s."));
    case nameTooLong:
        // TRANSLATORS: %1$s is the item's name in quotation marks, %2$s the destination
        // folder's name.
        return sentence(N_("%1$s has a name that's too long for %2$s."));
    case cancelled: return sentence(N_("%1$s wasn't copied: you cancelled the copy."));
    case nameRefused: return sentence(N_("%1$s has a name this drive can't store."));
    case tooLarge: return sentence(N_("%1$s is too large for this drive."));
    case kindRefused:
        return sentence(N_("%1$s is or holds a link or special file this drive can't store."));
    case unreachable:
        // TRANSLATORS: %2$s is the destination folder's name, on a network share; %1$s the
        // item's name in quotation marks.
        return sentence(N_("%2$s couldn't be reached while %1$s was being copied. Check the "
                           "connection to it and send the rest again."));
    }
    return {};
}

// "1 item wasn't copied.", "3 items weren't copied."
std::string notCopiedText(std::int64_t count)
{
    return formatted(
        translatePlural("%1$s item wasn't copied.", "%1$s items weren't copied.", count),
        {formattedCount(count)});
}

// A cancelled copy: the first failure that was not the cancel is the one to explain; the items
// the cancel stopped are counted with the rest.
std::string cancelledBodyText(const CopyReport& report, const std::string& label, Platform platform)
{
    const auto failed = static_cast<std::int64_t>(report.failed.size());
    const auto firstReal =
        std::find_if_not(report.failed.begin(), report.failed.end(), wasCancelled);
    if (firstReal == report.failed.end())
        return report.copied.empty() ? translate("Nothing was copied.") : notCopiedText(failed);
    std::string text = failureLine(*firstReal, label, platform);
    if (failed > 1) {
        const std::int64_t more = failed - 1;
        // TRANSLATORS: follows the sentence about the first item that was not copied.
        text += " " + formatted(translatePlural("%1$s more item wasn't copied.",
                                                "%1$s more items weren't copied.", more),
                                {formattedCount(more)});
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
        return report.cancelled ? translate("Everything was already copied when you cancelled.")
                                : "";
    std::string text = failureLine(report.failed.front(), label, platform);
    if (report.failed.size() > 1) {
        const auto more = static_cast<std::int64_t>(report.failed.size()) - 1;
        // TRANSLATORS: follows the sentence about the first item that could not be copied.
        text += " " + formatted(translatePlural("%1$s more item couldn't be copied either.",
                                                "%1$s more items couldn't be copied either.", more),
                                {formattedCount(more)});
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
    // TRANSLATORS: the title of the notification of a copy under way; %1$s is a number of items,
    // %2$s the destination folder's name.
    title = formatted(translatePlural("Copying %1$s item to %2$s", "Copying %1$s items to %2$s",
                                      progress.itemsTotal),
                      {formattedCount(progress.itemsTotal), label});
    if (progress.bytesTotal && *progress.bytesTotal > 0)
        // TRANSLATORS: a copy's progress: the size copied so far and the whole size
        // ("1.2 MB of 4.7 MB").
        body = formatted(translate("%1$s of %2$s"), {formattedByteCount(progress.bytesDone),
                                                     formattedByteCount(*progress.bytesTotal)});
    else
        // TRANSLATORS: a copy's progress in items; the plural form follows the total, %2$s.
        body = formatted(
            translatePlural("%1$s of %2$s item", "%1$s of %2$s items", progress.itemsTotal),
            {formattedCount(progress.itemsDone), formattedCount(progress.itemsTotal)});
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
