#pragma once

#include "copy_outcome.h"
#include "wording.h"

#include <cstdint>
#include <string>
#include <string_view>

// The words of the copy notification. Every user-visible text about a copy is made here; the
// notifier only shows the two strings. The texts are English; only counts follow the locale.

namespace ambrevoli {

struct CopySummary {
    std::string title; // one line that counts what happened
    std::string body;  // explains the first failure and counts the rest; empty when none failed

    // The summary of `report` for the destination the user named `label`, in the wording of
    // `platform`. Pure apart from reading ICU's default locale for the counts.
    CopySummary(const CopyReport& report, std::string_view label,
                Platform platform = currentPlatform);

    friend bool operator==(const CopySummary&, const CopySummary&) = default;
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
