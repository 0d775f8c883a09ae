#pragma once

#include "host_connection.h"
#include "host_message.h"
#include "host_receipt.h"
#include "outcome_waiter.h"
#include "unique_fd.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLocalSocket;
class QSocketNotifier;
class QTimer;

namespace ambrevoli {

class FrameReader;

// What a later start of the host hands to the running one.
struct InstanceMessage {
    bool activates = false; // whether the running instance may raise a window
    QStringList urls;       // handoff URLs, in the order given
    QStringList addFolders; // folders to add to the destinations, as absolute paths
    // The desktop's leave for the window this start opens to take the focus (an activation or
    // startup-notification token); empty for none.
    QString activationToken = {};
    // The sender stays connected for the outcome of the message's requests.
    bool waitsForOutcome = false;
    // A plain start (no URLs, folders or options), as the user makes one from the application
    // grid: the running instance opens its launch window unless one of its windows is shown.
    bool reopens = false;
    // The waiting sender shows progress and is sent its figures; only with waitsForOutcome.
    bool wantsProgress = false;
    // The start has a display to show windows on.
    bool hasDisplay = false;

    friend bool operator==(const InstanceMessage&, const InstanceMessage&) = default;

    static constexpr qsizetype maxSize = HostMessage::maxSize;

    // The kit's wire form (HostMessage). Paths and arguments cannot hold NUL.
    HostMessage wire() const;
    static InstanceMessage fromWire(const HostMessage& wire);
    QByteArray encode() const;
    // None for anything that is not exactly that form, is larger than maxSize or not UTF-8, or
    // names a folder by a relative path (it would be looked up where the instance runs).
    static std::optional<InstanceMessage> decode(const QByteArray& bytes);
};

// The running instance's answer to a later start, once it has handled the message: what became
// of each folder handed over, in the message's order.
using InstanceReceipt = HostReceipt;

// Keeps the host to one instance per user. The instance holds an exclusive lock on a file beside
// its socket, in a private (0700) folder of the user's runtime directory, for as long as it runs,
// and listens on the socket; a later start (or a sender) hands its message to it and exits. Of
// starts that race, the one that takes the lock is the instance, so there is never a second one;
// a socket file left by an instance that died is replaced only by the lock's new holder. A
// connection from a process of another user is closed unread.
//
// Connections cost the instance a descriptor each, and any process of the user can open them:
// at most maxUnfinished may be sending their message at once (a new one closes the oldest), each
// has a few seconds to finish it, and when the descriptors run out all the same the oldest
// unfinished ones make room. The instance never stops listening for a failed accept.
// Main thread only.
class InstanceChannel : public QObject {
    Q_OBJECT

public:
    enum class Role { primary, forwarded, unanswered, failed };

    struct Start {
        Role role;
        InstanceReceipt receipt; // forwarded only
    };

    // Handles a message a later start handed over and says what became of its folders: one
    // outcome per folder, in order. A start whose answer came too late hands its message over
    // again, so a message may arrive twice; a second send of a request or add of a folder is
    // harmless. `waiter` is the sender waiting for the outcome of the message's requests, for a
    // message that asked for it (null otherwise): the receipt goes to it first, then what the
    // holders of `waiter` tell it (progress only when the sender asked for it, a few times a
    // second at most, summed over the copies), and the end once the last of them let go. When
    // the sender cancels, every copy `waiter` was told of is cancelled, and so is every copy it
    // is told of later; a sender that just goes away cancels nothing. None when the instance
    // hands itself over to the start (it can't do what the message asks, and is ending): the
    // start then gets no answer, and keeps trying until it takes the lock itself.
    using Receiver = std::function<std::optional<InstanceReceipt>(
        const InstanceMessage& message, const std::shared_ptr<OutcomeWaiter>& waiter)>;

    // Long enough for a host still starting on a loaded machine, or finishing its last copies
    // before it ends, so that the later start becomes the next host instead of giving up.
    static constexpr std::chrono::milliseconds defaultPatience{60000};

    // Connections whose message is not in yet; a sender's takes a millisecond or two.
    static constexpr std::size_t maxUnfinished = 64;

    // `socketPath`: where to listen or connect; see defaultSocketPath(). `patience`: how long a
    // start waits for an instance that holds the lock but does not answer yet.
    explicit InstanceChannel(QString socketPath,
                             std::chrono::milliseconds patience = defaultPatience,
                             QObject* parent = nullptr);
    ~InstanceChannel() override;

    // $XDG_RUNTIME_DIR/ambrevoli/instance, or `fallbackFolder` + "/instance" without a runtime
    // directory, as senders find it (HostConnection::socketPath). The folder is created 0700
    // when missing. Empty when neither can be used. Fails, saying why, when the folder isn't
    // this user's alone (HostConnection::checkSocketFolder).
    static std::expected<QString, UnsafeSocketFolder>
    defaultSocketPath(const QString& fallbackFolder);

    // Hands `message` to the instance listening at `socketPath` and yields its receipt once it
    // handled the message. None when no instance took it (nobody listening, no answer within a
    // few seconds, or an answer that is not a receipt for this message). Needs no Qt
    // application object.
    static std::optional<InstanceReceipt> handOff(const QString& socketPath,
                                                  const InstanceMessage& message);

    // Decides whether this process is the instance. Hands `message` to the running instance
    // (forwarded, with its receipt); with none running, takes the lock and yields primary: the
    // lock is held until this channel is destroyed, and the caller then listen()s, or does its
    // work and ends without ever listening. While another start holds the lock without answering
    // (it is still setting up, or finishing), keeps trying both for `patience`: unanswered when
    // that runs out. failed when there is no socket path or the lock file can't be opened.
    // Needs no Qt application object.
    Start claim(const InstanceMessage& message);

    // Only after claim() yielded primary: replaces whatever socket file is there (an instance
    // that died left it; nobody else holds the lock) and listens. From then on each message a
    // later start hands over goes to `receiver` on this thread, and its receipt back to that
    // start. False when it can't listen.
    bool listen(Receiver receiver);

    // Stops taking messages and removes the socket file. The lock stays held until destruction,
    // so later starts do not run beside this instance: they wait for it to end, as long as their
    // patience lasts.
    void stopListening();

private:
    bool openListener();
    void closeListener();
    void acceptPending();
    void adopt(int fd);
    void dropOldestUnfinished();
    void readFrom(QLocalSocket* socket, FrameReader& reader);

    QString m_socketPath;
    std::chrono::milliseconds m_patience;
    UniqueFd m_lock;
    UniqueFd m_listener;
    QSocketNotifier* m_acceptNotifier = nullptr;
    // Brings the listener back (or accepting again) after a pause for descriptors.
    QTimer* m_retry = nullptr;
    // Oldest first; null once a socket is gone.
    std::deque<QPointer<QLocalSocket>> m_unfinished;
    // Lowered when the descriptors ran out below maxUnfinished.
    std::size_t m_unfinishedLimit = maxUnfinished;
    Receiver m_receiver;
};

} // namespace ambrevoli
