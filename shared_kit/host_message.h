#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The wire form spoken over the running host's per-user socket: what a later start of the host,
// or a sender, hands to it, and what the host answers. Plain bytes, so that the file manager's
// process (through the kit) and the host (through its instance channel) share one definition.
//
// A message travels framed: a 4-byte big-endian length, then the encoded message. The host
// answers once it has handled the message: the receipt ('k', then one byte per folder to add),
// and, when the message asked for it, the outcome records of its requests, then it closes.
// A sender that waits for the outcome may send cancelMark after its message: the host then
// cancels every copy of the message's requests, also those that have not started yet. A
// connection that merely closes cancels nothing.

namespace ambrevoli {

struct HostMessage {
    bool activates = false;              // whether the host may raise a window
    std::vector<std::string> urls;       // handoff URLs, in the order given
    std::vector<std::string> addFolders; // folders to add to the destinations, absolute paths
    std::string activationToken;         // the desktop's leave to take the focus; empty for none
    bool waitsForOutcome = false;        // the sender stays connected for its requests' outcome
    // A plain start (no URLs, folders or options), as the user makes one from the application
    // grid: the host opens its launch window unless one of its windows is shown.
    bool reopens = false;
    // The waiting sender shows progress: the host sends it progress records too. Only with
    // waitsForOutcome.
    bool wantsProgress = false;
    // The start has a display to show windows on: a host without one that is asked for a window
    // hands the instance over to it.
    bool hasDisplay = false;

    friend bool operator==(const HostMessage&, const HostMessage&) = default;

    static constexpr std::size_t maxSize = 1 << 20;

    // "AMBV1\0", then one record per field: a type byte ('a' activates "0"/"1", 'u' URL,
    // 'f' folder, 't' activation token, at most one; 'r' reopens, 'w' waits for the outcome,
    // 'p' wants progress and 'd' has a display, each empty and at most once) and NUL-terminated
    // UTF-8 text. A message without 'r' is no reopen, and one without 'w' is the form older senders
    // send, answered as before: the receipt, then the end of the connection. Without 'p' no
    // progress record is sent: senders that know none would take it for garbage.
    std::string encode() const;
    // None for anything that is not exactly that form, is larger than maxSize or not UTF-8,
    // names a folder by a relative path (it would be looked up where the host runs), or wants
    // progress without waiting for the outcome.
    static std::optional<HostMessage> decode(std::string_view bytes);
};

// The message as it goes over the socket: its length (4 bytes, big-endian), then its bytes.
std::string framed(std::string_view encoded);

// The first byte of every answer.
inline constexpr char receiptMark = 'k';

// What a waiting sender sends after its message to cancel the copies of its requests.
inline constexpr char cancelMark = 'c';

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
