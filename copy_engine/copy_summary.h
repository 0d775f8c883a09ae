#pragma once

#include "copy_outcome.h"
#include "copy_progress.h"
#include "wording.h"

#include <cstdint>
#include <string>
#include <string_view>

// The words of the copy notifications: the result of a copy, and the progress of one under way.
// Every user-visible text about a copy is made here; the notifier only shows the two strings.
// The texts are English; only counts and sizes follow the locale.

namespace ambrevoli {

struct CopySummary {
    std::string title; // one line that counts what happened
    // Explains the first failure and counts the rest; empty when none failed. A copy the user
    // cancelled says so, and what it still copied; a failure of its own is explained first.
    std::string body;

    // The summary of `report` for the destination the user named `label`, in the wording of
    // `platform`. Pure apart from reading ICU's default locale for the counts.
    CopySummary(const CopyReport& report, std::string_view label,
                Platform platform = currentPlatform);

    friend bool operator==(const CopySummary&, const CopySummary&) = default;
};

struct CopyProgressSummary {
    std::string title; // "Copying 3 items to Inbox"
    // "1.2 MB of 4.7 MB", in the desktop's units; "2 of 3 items" when the size is not known (or
    // there is no data to count).
    std::string body;

    // The words for `progress` of a copy into the destination the user named `label`.
    CopyProgressSummary(const CopyProgress& progress, std::string_view label);

    friend bool operator==(const CopyProgressSummary&, const CopyProgressSummary&) = default;
};

// `count` as ICU's default locale writes an integer, with that locale's digit grouping
// ("1,500" in English, "1.500" in German). Error numbers are never written with this.
std::string formattedCount(std::int64_t count);

// Makes ICU's default locale the environment's numeric locale, chosen as the C library chooses
// LC_NUMERIC: LC_ALL, else LC_NUMERIC, else LANG, the first one set and not empty; "C", "POSIX"
// or nothing at all give ICU's POSIX locale, which writes counts without grouping. ICU left to
// itself would follow the messages locale instead. Call once at program start, before threads.
void adoptNumericLocaleFromEnvironment();

} // namespace ambrevoli
