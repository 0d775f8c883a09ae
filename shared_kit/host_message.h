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
// A message travels framed (wire_frame.h). The host answers once it has handled the message:
// the receipt (host_receipt.h) and, when the message asked for it, the outcome records of its
// requests (outcome_record.h), then it closes. A sender that waits for the outcome may cancel
// after its message (cancel_record.h).

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

} // namespace ambrevoli
