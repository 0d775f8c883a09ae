#include "instance_channel.h"

#include "cancel_record.h"
#include "host_connection.h"
#include "log.h"
#include "outcome_stream.h"
#include "unique_fd.h"
#include "wire_frame.h"

#include <QFile>
#include <QLocalSocket>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace ambrevoli {

namespace {

// How long a start waits for the instance's receipt, and the instance for a start's whole
// message: a live one takes milliseconds, one that never answers must not hold the other.
constexpr std::chrono::milliseconds messageTimeout{10000};

// The timer that drops a client that never finishes its message; the socket has timers of its
// own.
constexpr auto messageDeadline = "messageDeadline";

// How often a start looks again while the lock's holder is not answering yet.
constexpr std::chrono::milliseconds retryInterval{20};

// How long the listener rests when every descriptor is held by work under way, or before it
// tries again to listen after it lost its socket.
constexpr std::chrono::milliseconds listenerPause{100};

const Logger& requestsLog() { return logger("requests"); }

std::vector<std::string> toStd(const QStringList& texts)
{
    std::vector<std::string> out;
    for (const QString& text : texts)
        out.push_back(text.toStdString());
    return out;
}

QStringList toQt(const std::vector<std::string>& texts)
{
    QStringList out;
    for (const std::string& text : texts)
        out.append(QString::fromStdString(text));
    return out;
}

// Heeds what a waiting sender sent after its message: a cancel, and nothing else.
void heedAfterMessage(std::string_view bytes, const std::weak_ptr<OutcomeStream>& stream)
{
    if (!asksToCancel(bytes))
        return;
    if (const auto held = stream.lock()) {
        requestsLog().log(LogLevel::standard, "The waiting sender asked to cancel its copies");
        held->cancel();
    }
}

// Whether the process at the other end of `fd` runs as this user.
bool peerIsThisUser(int fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

} // namespace

HostMessage InstanceMessage::wire() const
{
    return {activates,       toStd(urls), toStd(addFolders), activationToken.toStdString(),
            waitsForOutcome, reopens,     wantsProgress,     hasDisplay};
}

InstanceMessage InstanceMessage::fromWire(const HostMessage& wire)
{
    return {wire.activates,        toQt(wire.urls),
            toQt(wire.addFolders), QString::fromStdString(wire.activationToken),
            wire.waitsForOutcome,  wire.reopens,
            wire.wantsProgress,    wire.hasDisplay};
}

QByteArray InstanceMessage::encode() const { return QByteArray::fromStdString(wire().encode()); }

std::optional<InstanceMessage> InstanceMessage::decode(const QByteArray& bytes)
{
    const auto wire = HostMessage::decode(std::string_view(bytes.constData(), bytes.size()));
    if (!wire)
        return std::nullopt;
    return fromWire(*wire);
}

InstanceChannel::InstanceChannel(QString socketPath, std::chrono::milliseconds patience,
                                 QObject* parent)
    : QObject(parent), m_socketPath(std::move(socketPath)), m_patience(patience)
{}

InstanceChannel::~InstanceChannel() { stopListening(); }

void InstanceChannel::stopListening()
{
    m_receiver = nullptr;
    if (m_retry)
        m_retry->stop();
    closeListener();
    // Their senders try again and find the next instance.
    for (const QPointer<QLocalSocket>& socket : std::exchange(m_unfinished, {}))
        if (socket)
            socket->abort();
}

void InstanceChannel::closeListener()
{
    if (!m_listener)
        return;
    // Possibly from within its own signal.
    m_acceptNotifier->setEnabled(false);
    m_acceptNotifier->deleteLater();
    m_acceptNotifier = nullptr;
    m_listener.reset();
    ::unlink(QFile::encodeName(m_socketPath).constData());
}

bool InstanceChannel::openListener()
{
    const QByteArray path = QFile::encodeName(m_socketPath);
    sockaddr_un address{};
    if (path.size() >= qsizetype(sizeof address.sun_path)) {
        logDetail(requestsLog(), "The instance socket's path is too long", path.toStdString());
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) {
        logError(requestsLog(), "Couldn't make the instance socket", SystemError::last());
        return false;
    }
    // Whoever holds the lock is the only instance: a socket file there is a dead one's.
    ::unlink(path.constData());
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.constData(), 0600) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
        logError(requestsLog(), "Couldn't listen for later starts", SystemError::last());
        ::unlink(path.constData());
        return false;
    }
    m_listener = std::move(listener);
    m_acceptNotifier = new QSocketNotifier(m_listener.get(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &InstanceChannel::acceptPending);
    return true;
}

bool InstanceChannel::listen(Receiver receiver)
{
    if (!m_lock || m_listener)
        return false;
    if (!openListener())
        return false;
    m_receiver = std::move(receiver);
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    m_retry->setInterval(listenerPause);
    connect(m_retry, &QTimer::timeout, this, [this] {
        if (!m_receiver) // stopped meanwhile
            return;
        if (m_listener) {
            m_acceptNotifier->setEnabled(true);
            acceptPending();
        } else if (openListener()) {
            requestsLog().log(LogLevel::standard, "Listening for later starts again");
        } else {
            m_retry->start();
        }
    });
    return true;
}

std::expected<QString, UnsafeSocketFolder>
InstanceChannel::defaultSocketPath(const QString& fallbackFolder)
{
    const std::string socket =
        HostConnection::socketPath(QFile::encodeName(fallbackFolder).toStdString());
    if (socket.empty())
        return QString();
    if (auto checked = HostConnection::checkSocketFolder(socket, true); !checked)
        return std::unexpected(checked.error());
    return QFile::decodeName(QByteArray::fromStdString(socket));
}

InstanceChannel::Start InstanceChannel::claim(const InstanceMessage& message)
{
    if (m_socketPath.isEmpty())
        return {Role::failed, {}};
    const QByteArray lockPath = QFile::encodeName(m_socketPath + ".lock");
    UniqueFd lock(::open(lockPath.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock) {
        logError(requestsLog(), "Couldn't open the instance lock", SystemError::last());
        return {Role::failed, {}};
    }
    const auto deadline = std::chrono::steady_clock::now() + m_patience;
    for (;;) {
        if (auto receipt = handOff(m_socketPath, message))
            return {Role::forwarded, std::move(*receipt)};
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
            m_lock = std::move(lock);
            return {Role::primary, {}};
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            logError(requestsLog(), "Couldn't take the instance lock", SystemError::last());
            return {Role::failed, {}};
        }
        // Another start holds the lock: it is setting up its listener, or finishing.
        if (std::chrono::steady_clock::now() >= deadline)
            return {Role::unanswered, {}};
        std::this_thread::sleep_for(retryInterval);
    }
}

std::optional<InstanceReceipt> InstanceChannel::handOff(const QString& socketPath,
                                                        const InstanceMessage& message)
{
    // A dead instance never answers: the wait is bounded.
    const auto connection = HostConnection::handOff(QFile::encodeName(socketPath).toStdString(),
                                                    message.wire(), messageTimeout);
    if (!connection)
        return std::nullopt;
    return connection->receipt();
}

void InstanceChannel::acceptPending()
{
    while (m_listener) {
        const int fd = ::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            adopt(fd);
            continue;
        }
        switch (errno) {
        case EAGAIN: return;
        case EINTR:
        case ECONNABORTED:
        case EPROTO: continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            if (!m_unfinished.empty()) {
                // Fewer unfinished connections from now on, so that the copies have descriptors
                // to work with.
                const std::size_t limit = std::max<std::size_t>(m_unfinished.size() / 2, 1);
                if (limit < m_unfinishedLimit)
                    requestsLog().log(LogLevel::error,
                                      "Out of descriptors for later starts; keeping at most ",
                                      limit, " unfinished connections");
                m_unfinishedLimit = std::min(m_unfinishedLimit, limit);
                while (m_unfinished.size() > m_unfinishedLimit)
                    dropOldestUnfinished();
                continue;
            }
            // What holds the descriptors is work under way; the connection waits in the backlog
            // until some are given back. Level-triggered, the notifier would spin meanwhile.
            m_acceptNotifier->setEnabled(false);
            m_retry->start();
            return;
        default:
            logError(requestsLog(), "Lost the socket for later starts; listening again",
                     SystemError::last());
            closeListener();
            if (openListener())
                requestsLog().log(LogLevel::standard, "Listening for later starts again");
            else
                m_retry->start();
            return;
        }
    }
}

void InstanceChannel::dropOldestUnfinished()
{
    const QPointer<QLocalSocket> oldest = m_unfinished.front();
    m_unfinished.pop_front();
    if (!oldest)
        return;
    oldest->abort();
}

void InstanceChannel::adopt(int fd)
{
    // The socket's folder keeps other users out; should it not, they still get nothing in.
    if (!peerIsThisUser(fd)) {
        requestsLog().log(LogLevel::error, "Refused a connection from another user");
        ::close(fd);
        return;
    }
    auto* socket = new QLocalSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // Gone (its deadline passed, its client left): no longer counted.
    connect(socket, &QLocalSocket::disconnected, this,
            [this, socket] { std::erase(m_unfinished, socket); });
    std::erase_if(m_unfinished, [](const QPointer<QLocalSocket>& known) { return !known; });
    if (m_unfinished.size() >= m_unfinishedLimit)
        dropOldestUnfinished();
    m_unfinished.push_back(socket);
    auto reader = std::make_shared<FrameReader>(HostMessage::maxSize);
    connect(socket, &QLocalSocket::readyRead, this,
            [this, socket, reader] { readFrom(socket, *reader); });
    // A client that never finishes its message is dropped.
    auto* deadline = new QTimer(socket);
    deadline->setObjectName(messageDeadline);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, &QLocalSocket::abort);
    deadline->start(messageTimeout);
}

void InstanceChannel::readFrom(QLocalSocket* socket, FrameReader& reader)
{
    const QByteArray bytes = socket->readAll();
    switch (reader.feed(std::string_view(bytes.constData(), std::size_t(bytes.size())))) {
    case FrameReader::State::incomplete: return;
    case FrameReader::State::oversized:
        requestsLog().log(LogLevel::error, "Dropped an oversized message from another start");
        socket->abort();
        return;
    case FrameReader::State::complete: break;
    }
    const auto wire = HostMessage::decode(reader.message());
    const auto message = wire ? std::optional(InstanceMessage::fromWire(*wire)) : std::nullopt;
    if (!message) {
        requestsLog().log(LogLevel::error, "Dropped a malformed message from another start");
        socket->abort();
        return;
    }
    // Taken before the reader goes with the connection that owns it.
    const std::string behind(reader.rest());
    // The whole message is in; a sender waiting for its outcome stays as long as the copies take.
    std::erase(m_unfinished, socket);
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    delete socket->findChild<QTimer*>(messageDeadline, Qt::FindDirectChildrenOnly);
    QPointer<QLocalSocket> guard(socket);
    std::shared_ptr<OutcomeStream> stream;
    if (message->waitsForOutcome) {
        stream = std::make_shared<OutcomeStream>(socket, message->wantsProgress);
        // Read from now on, so that a cancel sent right behind the message is not missed.
        const std::weak_ptr<OutcomeStream> weak = stream;
        connect(socket, &QLocalSocket::readyRead, socket,
                [socket, weak] { heedAfterMessage(socket->readAll().toStdString(), weak); });
    }
    const std::optional<InstanceReceipt> receipt =
        m_receiver ? m_receiver(*message, stream) : InstanceReceipt{};
    if (!receipt) {
        // Not taken: the start becomes the next instance.
        if (guard)
            guard->abort();
        return;
    }
    const std::string reply = receipt->encode();
    if (stream) {
        // The end follows once the last request of the message let go of the stream.
        stream->begin(reply);
        // A cancel may have come with the message, or while it was handled.
        heedAfterMessage(behind, stream);
        if (guard && guard->bytesAvailable() > 0)
            heedAfterMessage(guard->readAll().toStdString(), stream);
        return;
    }
    if (!guard)
        return;
    socket->write(reply.data(), qint64(reply.size()));
    socket->flush();
    socket->disconnectFromServer();
}

} // namespace ambrevoli
