#pragma once

#include "app_group.h"
#include "destination_store.h"
#include "error.h"
#include "host_connection.h"
#include "send_request.h"
#include "uuid.h"

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// What a sender does with the user's choice: a click on a destination in a file manager's Send
// To menu, "Edit Destinations…", and ambrevoli-send, all go through these two functions, so that
// every file-manager integration behaves alike and the way the host is woken is decided in one
// place. A caller only finds the selection and the destination (or the activation token) and
// words the outcome for its own log or user.

namespace ambrevoli {

// Why a selection was not sent: the step that failed, with that step's own error.
struct SendError {
    enum class Case {
        destinationsUnavailable,
        noSuchDestination,
        requestNotWritten,
        hostNotStarted
    };
    using Cause = std::variant<AppGroupError, DestinationStoreError, SystemError, EncodeError,
                               UnsafeSocketFolder>;

    Case kind;
    Uuid destinationID;         // the destination asked for, for noSuchDestination; nil otherwise
    std::optional<Cause> cause; // the failing step's error; none for noSuchDestination

    // The destinations could not be read: the app group's or the store's error.
    static SendError destinationsUnavailable(Cause cause)
    {
        return {Case::destinationsUnavailable, Uuid(), std::move(cause)};
    }
    // The destinations were read and `id` is not among them.
    static SendError noSuchDestination(Uuid id) { return {Case::noSuchDestination, id, {}}; }
    // The request could not be written into the inbox: a system or encoding error (a source
    // that is not UTF-8).
    static SendError requestNotWritten(Cause cause)
    {
        return {Case::requestNotWritten, Uuid(), std::move(cause)};
    }
    // The request was written but the host could not be started: the system's error; for a
    // waiting send also ETIMEDOUT, when no host took the request in time, or the socket's
    // folder that isn't this user's alone (then nothing was written).
    static SendError hostNotStarted(Cause cause)
    {
        return {Case::hostNotStarted, Uuid(), std::move(cause)};
    }

    friend bool operator==(const SendError&, const SendError&) = default;
};

// Where a selection goes: a destination of the list (its identifier), the root of a mounted
// volume (volumes.h), or a folder the host asks the user to choose ("Other Folder…").
struct ChosenFolder {
    friend bool operator==(const ChosenFolder&, const ChosenFolder&) = default;
};
using SendTarget = std::variant<Uuid, VolumeTarget, ChosenFolder>;

// "destinationsUnavailable(unreadable)", "noSuchDestination(3F2C…)",
// "requestNotWritten(Not a directory (errno 20))", "hostNotStarted(No such file or directory
// (errno 2))"
std::string textualForm(const SendError& e);
std::string_view errorDomain(const SendError& e);
long errorCode(const SendError& e);

// Sends the items at `sources` to `target`, as a click on its Send To item does, in the running
// deliverable's app group:
//
//  1. For a destination, reads the destinations afresh (loadDestinations). The destination must
//     still be there: a menu may have been built from an older list, and a click on a
//     destination removed since then goes nowhere. Its label and path may have changed; its
//     identifier is what counts. A volume or a folder to choose is not looked up here: the host
//     checks the volume before copying, and asks for the folder.
//  2. Writes a SendRequest (the current version, a fresh identifier, the current time, the
//     target, `sources` exactly as given) into the group's request inbox.
//  3. Wakes the host with the send handoff URL of that request, without letting it raise a
//     window: the user stays in the file manager. The URL goes straight to the running host over
//     its socket (HostConnection), and the host binary is started with it only when no host
//     takes it within a few milliseconds — none runs, it is another user's, or it is too busy
//     to answer now (the started binary then waits for it as long as it takes).
//
// `sources` are absolute paths in the order the user selected them. They are not checked here:
// the host validates the request (an empty list included) and reports the copy to the user.
//
// On success yields the request's identifier: the request is in the inbox and the host has it
// in hand (a host that was not running has been started). That is all a sender learns; whether
// the copy succeeds is the host's to tell.
//
// On failure nothing after the failing step has happened: destinationsUnavailable and
// noSuchDestination write nothing and wake nobody; requestNotWritten leaves the host asleep;
// hostNotStarted leaves the written request in the inbox, for a later start of the host to sweep
// away.
//
// Synchronous and stateless: reads and writes small files, waits for the host's answer a few
// milliseconds at most, and may start a process; a file manager may call it on its main thread.
// Safe from any thread of a multi-threaded process (see openWithHost). No exception of its own
// (allocation aside).
std::expected<Uuid, SendError> sendSelection(const SendTarget& target,
                                             std::vector<std::string> sources);

// A sent request whose outcome the host reports back over `connection`
// (HostConnection::nextOutcome): the lines of its report as they are logged, then the end.
struct WaitedSend {
    Uuid requestID;
    HostConnection connection;
};

// Sends as sendSelection does, but asks the host to report the request's outcome and keeps the
// connection for it (and its cancel, HostConnection::cancel). With no host answering, starts the
// host (without a URL, in the background) and hands the URL over once it listens.
// `startPatience` bounds all of that, not the copy. With `wantsProgress` the outcome has progress
// records among its lines; ask only when they are shown. Fails as sendSelection does;
// hostNotStarted also when no host took the request within `startPatience` (ETIMEDOUT), the
// request then waiting in the inbox, and, before anything is written, when the host's socket is
// in a folder that isn't this user's alone (UnsafeSocketFolder): no host could report to it.
// Blocks: not for a file manager's main thread.
std::expected<WaitedSend, SendError> sendSelectionAndWait(const SendTarget& target,
                                                          std::vector<std::string> sources,
                                                          std::chrono::milliseconds startPatience,
                                                          bool wantsProgress = false);

// Asks the host to undo the send `requestID` (without one, the latest send), as the Undo of its
// notification does, and keeps the connection for the outcome: one line per item moved to the
// Trash or left in place, then the end, whose allCopied says that everything was taken back.
// Starts the host as sendSelectionAndWait does; a host that starts keeps the records of earlier
// sends. Fails with hostNotStarted as sendSelectionAndWait does. Blocks.
std::expected<HostConnection, SendError> undoAndWait(std::optional<Uuid> requestID,
                                                     std::chrono::milliseconds startPatience);

// Brings up the host with its settings, as "Edit Destinations…" does: wakes it with the settings
// handoff URL (straight over its socket, or by starting it) and lets it raise its window.
// `activationToken` is the desktop's leave for that window to take the focus (an XDG activation
// token under Wayland, a startup-notification identifier under X11), which only the caller's
// toolkit can ask for; empty when there is none. Nothing is written. Fails with the system's error
// when the host cannot be started; the caller then withdraws the token it asked for. Synchronous
// and stateless, like sendSelection.
std::expected<void, SystemError> openSettings(std::string_view activationToken = {});

} // namespace ambrevoli
