#include "instance_channel.h"

#include "log.h"
#include "unique_fd.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>
#include <QtEndian>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace ambrevoli {

namespace {

constexpr char magic[] = "AMBV1"; // sent with its NUL
constexpr int ioTimeoutMs = 2000;
constexpr char acknowledgement = 'k';

// How often a start looks again while the lock's holder is not answering yet.
constexpr std::chrono::milliseconds retryInterval{20};

const Logger& requestsLog() { return logger("requests"); }

// One byte per folder in a receipt.
constexpr std::pair<FolderOutcome, char> outcomeBytes[] = {
    {FolderOutcome::added, 'a'},        {FolderOutcome::alreadyThere, 'e'},
    {FolderOutcome::missing, 'm'},      {FolderOutcome::notAFolder, 'n'},
    {FolderOutcome::inaccessible, 'i'}, {FolderOutcome::notSaved, 's'},
};

char byteFor(FolderOutcome outcome)
{
    for (const auto& [known, byte] : outcomeBytes)
        if (known == outcome)
            return byte;
    return '?';
}

std::optional<FolderOutcome> outcomeFor(char byte)
{
    for (const auto& [outcome, known] : outcomeBytes)
        if (known == byte)
            return outcome;
    return std::nullopt;
}

void appendRecord(QByteArray& out, char type, const QString& text)
{
    out += type;
    out += text.toUtf8();
    out += '\0';
}

QByteArray withLength(const QByteArray& payload)
{
    QByteArray framed(4, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(payload.size()), framed.data());
    return framed + payload;
}

} // namespace

QByteArray InstanceMessage::encode() const
{
    QByteArray out(magic, sizeof magic);
    appendRecord(out, 'a', activates ? QStringLiteral("1") : QStringLiteral("0"));
    for (const QString& url : urls)
        appendRecord(out, 'u', url);
    for (const QString& folder : addFolders)
        appendRecord(out, 'f', folder);
    if (!activationToken.isEmpty())
        appendRecord(out, 't', activationToken);
    if (reopens)
        appendRecord(out, 'r', {});
    return out;
}

std::optional<InstanceMessage> InstanceMessage::decode(const QByteArray& bytes)
{
    if (bytes.size() > maxSize || !bytes.startsWith(QByteArray(magic, sizeof magic)))
        return std::nullopt;
    InstanceMessage message;
    bool sawActivates = false;
    qsizetype pos = sizeof magic;
    while (pos < bytes.size()) {
        const char type = bytes[pos++];
        const qsizetype end = bytes.indexOf('\0', pos);
        if (end < 0)
            return std::nullopt;
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = utf8(QByteArrayView(bytes).sliced(pos, end - pos));
        if (utf8.hasError())
            return std::nullopt;
        pos = end + 1;
        switch (type) {
        case 'a':
            if (sawActivates || (text != "0" && text != "1"))
                return std::nullopt;
            sawActivates = true;
            message.activates = text == "1";
            break;
        case 'u': message.urls.append(text); break;
        case 'f':
            if (!text.startsWith(u'/'))
                return std::nullopt;
            message.addFolders.append(text);
            break;
        case 't':
            if (!message.activationToken.isEmpty() || text.isEmpty())
                return std::nullopt;
            message.activationToken = text;
            break;
        case 'r':
            if (message.reopens || !text.isEmpty())
                return std::nullopt;
            message.reopens = true;
            break;
        default: return std::nullopt;
        }
    }
    if (!sawActivates)
        return std::nullopt;
    return message;
}

InstanceChannel::InstanceChannel(QString socketPath, std::chrono::milliseconds patience,
                                 QObject* parent)
    : QObject(parent), m_socketPath(std::move(socketPath)), m_patience(patience)
{}

InstanceChannel::~InstanceChannel() { stopListening(); }

void InstanceChannel::stopListening()
{
    if (!m_server)
        return;
    m_server->close(); // removes the socket file
    delete m_server;
    m_server = nullptr;
}

QString InstanceChannel::defaultSocketPath(const QString& fallbackFolder)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    QString folder = !runtime.isEmpty() && runtime.startsWith('/')
                         ? QString::fromLocal8Bit(runtime) + "/ambrevoli"
                         : fallbackFolder;
    if (folder.isEmpty())
        return {};
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        if (!QDir().mkpath(folder) || ::chmod(native.constData(), 0700) != 0)
            return {};
    }
    return folder + "/instance";
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

bool InstanceChannel::listen(Receiver receiver)
{
    if (!m_lock || m_server)
        return false;
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Whoever holds the lock is the only instance: a socket file there is a dead one's.
    QLocalServer::removeServer(m_socketPath);
    if (!server->listen(m_socketPath)) {
        logDetail(requestsLog(), "Couldn't listen for later starts",
                  server->errorString().toStdString());
        delete server;
        return false;
    }
    m_receiver = std::move(receiver);
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &InstanceChannel::accept);
    return true;
}

std::optional<InstanceReceipt> InstanceChannel::handOff(const QString& socketPath,
                                                        const InstanceMessage& message)
{
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    if (path.isEmpty() || static_cast<std::size_t>(path.size()) >= sizeof address.sun_path)
        return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    // A dead instance never answers: bound every wait.
    const timeval timeout{ioTimeoutMs * 5 / 1000, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const QByteArray framed = withLength(message.encode());
    // MSG_NOSIGNAL: an instance that goes away mid-message must not take this process with it.
    for (qsizetype sent = 0; sent < framed.size();) {
        const ssize_t n = ::send(fd.get(), framed.constData() + sent,
                                 static_cast<std::size_t>(framed.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        sent += n;
    }
    // The instance answers once it has handled the message, so nothing is lost if it is busy:
    // the acknowledgement, then one byte per folder.
    QByteArray reply(1 + message.addFolders.size(), '\0');
    for (qsizetype received = 0; received < reply.size();) {
        const ssize_t n = ::read(fd.get(), reply.data() + received,
                                 static_cast<std::size_t>(reply.size() - received));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        received += n;
    }
    if (reply[0] != acknowledgement)
        return std::nullopt;
    InstanceReceipt receipt;
    for (const char byte : QByteArrayView(reply).sliced(1)) {
        const auto outcome = outcomeFor(byte);
        if (!outcome)
            return std::nullopt;
        receipt.folders.push_back(*outcome);
    }
    return receipt;
}

void InstanceChannel::accept()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A client that never finishes its message is dropped.
        QTimer::singleShot(ioTimeoutMs * 5, socket, [socket] { socket->abort(); });
    }
}

void InstanceChannel::readFrom(QLocalSocket* socket)
{
    if (socket->bytesAvailable() < 4)
        return;
    quint32 length = 0;
    socket->peek(reinterpret_cast<char*>(&length), 4);
    length = qFromBigEndian(length);
    if (length > InstanceMessage::maxSize) {
        requestsLog().log(LogLevel::error, "Dropped an oversized message from another start");
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < 4 + static_cast<qint64>(length))
        return;
    socket->skip(4);
    const auto message = InstanceMessage::decode(socket->read(length));
    if (!message) {
        requestsLog().log(LogLevel::error, "Dropped a malformed message from another start");
        socket->abort();
        return;
    }
    QPointer<QLocalSocket> guard(socket);
    const InstanceReceipt receipt = m_receiver ? m_receiver(*message) : InstanceReceipt{};
    if (!guard)
        return;
    QByteArray reply(1, acknowledgement);
    for (const FolderOutcome outcome : receipt.folders)
        reply += byteFor(outcome);
    socket->write(reply);
    socket->flush();
    socket->disconnectFromServer();
}

} // namespace ambrevoli
