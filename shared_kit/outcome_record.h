#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// What the running host sends a sender that waits for the outcome of its message's requests,
// after the receipt: one record after another, the last of them the end.

namespace ambrevoli {

// How far the copies of a message's requests have come, summed over those that started.
struct ProgressFigures {
    std::int64_t itemsDone = 0;
    std::int64_t itemsTotal = 0;
    std::int64_t bytesDone = 0;
    std::optional<std::int64_t> bytesTotal; // none when a copy could not learn its total

    friend bool operator==(const ProgressFigures&, const ProgressFigures&) = default;
};

// One piece of a request's outcome, sent to a sender that waits for it: a line of the report as
// the host logs it (paths shown: they are the sender's own), how far the copies have come (only
// to a sender that asked for it), or the end, which says whether every item of every request in
// the message was copied. After the end the host closes.
struct OutcomeRecord {
    enum class Kind { line, end, progress };

    Kind kind = Kind::line;
    std::string text;        // line only
    bool allCopied = false;  // end only
    ProgressFigures figures; // progress only

    friend bool operator==(const OutcomeRecord&, const OutcomeRecord&) = default;

    static OutcomeRecord line(std::string text) { return {Kind::line, std::move(text), false, {}}; }
    static OutcomeRecord end(bool allCopied) { return {Kind::end, {}, allCopied, {}}; }
    static OutcomeRecord progress(ProgressFigures figures)
    {
        return {Kind::progress, {}, false, figures};
    }

    // 'l' and the UTF-8 line (without any NUL it held, so that it stays one record), 'x' and
    // "0"/"1", or 'p' and the figures as four fields split by one space: items done, items in
    // all, bytes done, bytes in all or "-" when unknown (decimal, no sign, no leading zero);
    // each NUL-terminated. Figures must be sound (none negative, none done above its total).
    std::string encode() const;
};

// Reads the first outcome record from `bytes`. Yields the record and the number of bytes it
// took; `consumed` 0 when `bytes` holds only part of a record so far. None for bytes that cannot
// be a record (an unknown type, an end other than "0"/"1", a line that is not UTF-8 or longer
// than HostMessage::maxSize, figures not in exactly the encoded form, out of range, or with more
// done than in all).
struct DecodedOutcome {
    OutcomeRecord record;
    std::size_t consumed = 0;
};
std::optional<DecodedOutcome> decodeOutcome(std::string_view bytes);

} // namespace ambrevoli
