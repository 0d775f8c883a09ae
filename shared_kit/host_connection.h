#pragma once

#include "host_message.h"
#include "host_receipt.h"
#include "outcome_record.h"
#include "unique_fd.h"

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

// A connection to the running host over its per-user socket: how senders hand it a URL without
// starting a process, and how a later start of the host hands its work over. Qt-free, for the
// file manager's process. Any thread; one connection is used by one thread at a time.

namespace ambrevoli {

// Why the folder of the host's socket can't be trusted to keep other users away from it.
struct UnsafeSocketFolder {
    std::string folder;
    std::string
        reason; // "is owned by user 0", "is a symbolic link", "is open to others (mode 0755)"

    friend bool operator==(const UnsafeSocketFolder&, const UnsafeSocketFolder&) = default;
};

// "/run/user/1000/ambrevoli is owned by user 0"
std::string textualForm(const UnsafeSocketFolder& e);
std::string_view errorDomain(const UnsafeSocketFolder& e);
inline long errorCode(const UnsafeSocketFolder&) { return 1; }

class HostConnection {
public:
    // Where the running host listens: "$XDG_RUNTIME_DIR/ambrevoli/instance" when the runtime
    // directory is set (and absolute), else `fallbackFolder` + "/instance"; empty when neither
    // can be used. Creates nothing.
    static std::string socketPath(std::string_view fallbackFolder);
    // The same with the running deliverable's app group container as the fallback folder.
    static std::string socketPath();

    // Whether only this user can reach the folder of `socketPath`: it must be a folder, not a
    // symbolic link, owned by this user, and neither readable nor writable by others; when the
    // socket lies in $XDG_RUNTIME_DIR's "ambrevoli" folder the runtime directory must be so too.
    // A socket straight in another folder (the app group container, which may be readable by
    // others) only needs that folder to be this user's and writable by nobody else. With
    // `create` a missing "ambrevoli" folder is made (0700); without, a missing one (or a missing
    // runtime directory) is no fault.
    // A folder left by another user (a start as root, say) fails: a host listening in it, or a
    // sender trusting it, could be impersonated or shut out by that user.
    static std::expected<void, UnsafeSocketFolder> checkSocketFolder(const std::string& socketPath,
                                                                     bool create);

    // Connects to the host listening at `socketPath`, makes sure it runs as this user, hands it
    // `message` and waits for its receipt, which the host sends once it has handled the message.
    // Every step is bounded by `patience` together; a connect never waits for a host whose
    // backlog is full. Yields the connection, with the receipt read, when the host took the
    // message. None when no host took it: no socket there, nobody listening (a socket file left
    // by a host that died), a full backlog, a listener of another user (it is told nothing), no
    // receipt within `patience`, or an answer that is not a receipt for this message (the wrong
    // first byte, or a folder's outcome it does not know).
    //
    // Without `patience` a host that took the message late may still handle it: whoever falls
    // back to starting the host then hands it over twice, which the host shrugs off.
    static std::optional<HostConnection> handOff(const std::string& socketPath,
                                                 const HostMessage& message,
                                                 std::chrono::milliseconds patience);

    // What the host answered for each folder of the message, in order.
    const HostReceipt& receipt() const { return m_receipt; }

    // Only for a message that waits for its outcome: the next outcome record, waiting as long as
    // the copies take. None when the host closed the connection before the end record, or sent
    // something that is not a record. After the end record the connection is finished.
    std::optional<OutcomeRecord> nextOutcome();

    // Why nextOutcome(wakeFd) yielded no record.
    enum class NoOutcome {
        woken, // `wakeFd` became readable first; the connection stays as it was
        lost,  // the host closed the connection before the end record, or sent garbage
    };

    // The same, but also returns as soon as `wakeFd` is readable (a signal handler's self-pipe,
    // say), without reading it: the caller drains it. Without a record at hand it sleeps until
    // one of the two descriptors is ready. A whole record already received comes first.
    std::expected<OutcomeRecord, NoOutcome> nextOutcome(int wakeFd);

    // Only for a message that waits for its outcome, before its end: asks the host to cancel
    // the copies of the message's requests, also those not started yet. The outcome still
    // comes, with the cancelled items in it. False when the connection is gone or full.
    bool cancel();

private:
    explicit HostConnection(UniqueFd fd) : m_fd(std::move(fd)) {}

    UniqueFd m_fd;
    HostReceipt m_receipt;
    std::string m_buffer; // what was read beyond the last record
};

} // namespace ambrevoli
