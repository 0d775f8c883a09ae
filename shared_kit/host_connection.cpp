#include "host_connection.h"

#include "app_group.h"
#include "cancel_record.h"
#include "wire_frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ambrevoli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto never = Clock::time_point::max();

// Waits until `fd` is ready for `events` or `deadline` passed; false on the latter or an error.
bool waitUntil(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline != never) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            timeout = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// Whether the process at the other end of `fd` runs as this user.
bool peerIsThisUser(int fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

constexpr std::string_view runtimeFolderName = "/ambrevoli";

// Checks `folder` as checkSocketFolder describes; `othersMay` are the permission bits others may
// hold. A missing folder yields ENOENT's words as its reason.
std::expected<void, UnsafeSocketFolder> checkFolder(const std::string& folder, mode_t othersMay)
{
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0)
        return std::unexpected(UnsafeSocketFolder{folder, textualForm(SystemError::last())});
    if (S_ISLNK(status.st_mode))
        return std::unexpected(UnsafeSocketFolder{folder, "is a symbolic link"});
    if (!S_ISDIR(status.st_mode))
        return std::unexpected(UnsafeSocketFolder{folder, "is not a folder"});
    if (status.st_uid != ::geteuid())
        return std::unexpected(
            UnsafeSocketFolder{folder, "is owned by user " + std::to_string(status.st_uid)});
    if ((status.st_mode & 077 & ~othersMay) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(status.st_mode & 07777));
        return std::unexpected(
            UnsafeSocketFolder{folder, std::string("is open to others (mode ") + mode + ")"});
    }
    return {};
}

} // namespace

std::string textualForm(const UnsafeSocketFolder& e) { return e.folder + " " + e.reason; }
std::string_view errorDomain(const UnsafeSocketFolder&)
{
    return "AmbrevoliKit.UnsafeSocketFolder";
}

std::expected<void, UnsafeSocketFolder>
HostConnection::checkSocketFolder(const std::string& socketPath, bool create)
{
    const std::string folder = socketPath.substr(0, socketPath.rfind('/'));
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/' || folder != runtime + std::string(runtimeFolderName))
        return checkFolder(folder.empty() ? "/" : folder, 055);
    // Without `create`, a folder not made yet is nobody's fault: the host makes it (or finds
    // that it can't).
    struct stat status {};
    const auto missing = [&](const std::string& path) {
        return !create && ::lstat(path.c_str(), &status) != 0 && errno == ENOENT;
    };
    if (missing(runtime))
        return {};
    if (auto checked = checkFolder(runtime, 0); !checked)
        return checked;
    if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return std::unexpected(UnsafeSocketFolder{folder, textualForm(SystemError::last())});
    if (missing(folder))
        return {};
    return checkFolder(folder, 0);
}

std::string HostConnection::socketPath(std::string_view fallbackFolder)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return runtime + std::string(runtimeFolderName) + "/instance";
    if (fallbackFolder.empty())
        return {};
    return std::string(fallbackFolder) + "/instance";
}

std::string HostConnection::socketPath()
{
    std::string container;
    if (const auto group = AppGroup::fromMainBundle())
        container = group->container().value_or("");
    return socketPath(container);
}

std::optional<HostConnection> HostConnection::handOff(const std::string& socketPath,
                                                      const HostMessage& message,
                                                      std::chrono::milliseconds patience)
{
    const auto deadline = Clock::now() + patience;
    sockaddr_un address{};
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path)
        return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    // Non-blocking: a connect to a host whose backlog is full fails at once (EAGAIN) instead of
    // waiting for room.
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return std::nullopt;
    int connected;
    while ((connected = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                                  sizeof address)) != 0 &&
           errno == EINTR) {
    }
    if (connected != 0 || !peerIsThisUser(fd.get()))
        return std::nullopt;

    const std::string bytes = framed(message.encode());
    for (std::size_t sent = 0; sent < bytes.size();) {
        // MSG_NOSIGNAL: a host that goes away mid-message must not take this process with it.
        const ssize_t n = ::send(fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && waitUntil(fd.get(), POLLOUT, deadline))
            continue;
        return std::nullopt;
    }

    HostConnection connection(std::move(fd));
    for (;;) {
        const auto decoded = decodeReceipt(connection.m_buffer, message.addFolders.size());
        if (!decoded)
            return std::nullopt;
        if (decoded->consumed > 0) {
            connection.m_receipt = decoded->receipt;
            connection.m_buffer.erase(0, decoded->consumed);
            return connection;
        }
        char chunk[512];
        const ssize_t n = ::read(connection.m_fd.get(), chunk, sizeof chunk);
        if (n > 0) {
            connection.m_buffer.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && waitUntil(connection.m_fd.get(), POLLIN, deadline))
            continue;
        return std::nullopt;
    }
}

std::optional<OutcomeRecord> HostConnection::nextOutcome()
{
    const auto record = nextOutcome(-1);
    return record ? std::optional(*record) : std::nullopt;
}

std::expected<OutcomeRecord, HostConnection::NoOutcome> HostConnection::nextOutcome(int wakeFd)
{
    if (!m_fd)
        return std::unexpected(NoOutcome::lost);
    for (;;) {
        const auto decoded = decodeOutcome(m_buffer);
        if (!decoded) {
            m_fd.reset();
            return std::unexpected(NoOutcome::lost);
        }
        if (decoded->consumed > 0) {
            m_buffer.erase(0, decoded->consumed);
            if (decoded->record.kind == OutcomeRecord::Kind::end)
                m_fd.reset();
            return decoded->record;
        }
        char chunk[4096];
        const ssize_t n = ::read(m_fd.get(), chunk, sizeof chunk);
        if (n > 0) {
            m_buffer.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd entries[] = {{m_fd.get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
            const int ready = ::poll(entries, wakeFd >= 0 ? 2 : 1, -1);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready > 0 && wakeFd >= 0 && entries[1].revents != 0)
                return std::unexpected(NoOutcome::woken);
            continue;
        }
        break;
    }
    m_fd.reset();
    return std::unexpected(NoOutcome::lost);
}

bool HostConnection::cancel()
{
    if (!m_fd)
        return false;
    for (;;) {
        // MSG_NOSIGNAL: a host that is gone must not take this process with it.
        const ssize_t n = ::send(m_fd.get(), &cancelMark, 1, MSG_NOSIGNAL);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        // Nothing else was ever sent after the message, so the socket's buffer has room; still,
        // a host that reads nothing gets a moment, not forever.
        if (n < 0 && errno == EAGAIN &&
            waitUntil(m_fd.get(), POLLOUT, Clock::now() + std::chrono::seconds(1)))
            continue;
        return false;
    }
}

} // namespace ambrevoli
