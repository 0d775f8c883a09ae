#pragma once

#include <cstddef>
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

    friend bool operator==(const HostMessage&, const HostMessage&) = default;

    static constexpr std::size_t maxSize = 1 << 20;

    // "AMBV1\0", then one record per field: a type byte ('a' activates "0"/"1", 'u' URL,
    // 'f' folder, 't' activation token, at most one; 'r' reopens and 'w' waits for the outcome,
    // each empty and at most once) and NUL-terminated UTF-8 text. A message without 'r' is no
    // reopen, and one without 'w' is the form older senders send, answered as before: the
    // receipt, then the end of the connection.
    std::string encode() const;
    // None for anything that is not exactly that form, is larger than maxSize or not UTF-8, or
    // names a folder by a relative path (it would be looked up where the host runs).
    static std::optional<HostMessage> decode(std::string_view bytes);
};

// The message as it goes over the socket: its length (4 bytes, big-endian), then its bytes.
std::string framed(std::string_view encoded);

// The first byte of every answer.
inline constexpr char receiptMark = 'k';

// One piece of a request's outcome, sent to a sender that waits for it: a line of the report as
// the host logs it (paths shown: they are the sender's own), or the end, which says whether
// every item of every request in the message was copied. After the end the host closes.
struct OutcomeRecord {
    enum class Kind { line, end };

    Kind kind = Kind::line;
    std::string text;       // line only
    bool allCopied = false; // end only

    friend bool operator==(const OutcomeRecord&, const OutcomeRecord&) = default;

    static OutcomeRecord line(std::string text) { return {Kind::line, std::move(text), false}; }
    static OutcomeRecord end(bool allCopied) { return {Kind::end, {}, allCopied}; }

    // 'l' and the UTF-8 line (without any NUL it held, so that it stays one record), or 'x' and
    // "0"/"1"; each NUL-terminated.
    std::string encode() const;
};

// Reads the first outcome record from `bytes`. Yields the record and the number of bytes it
// took; `consumed` 0 when `bytes` holds only part of a record so far. None for bytes that cannot
// be a record (an unknown type, an end other than "0"/"1", a line that is not UTF-8 or longer
// than HostMessage::maxSize).
struct DecodedOutcome {
    OutcomeRecord record;
    std::size_t consumed = 0;
};
std::optional<DecodedOutcome> decodeOutcome(std::string_view bytes);

} // namespace ambrevoli
