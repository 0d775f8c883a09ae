#pragma once

#include "host_message.h"
#include "unique_fd.h"
#include "wire_frame.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ambrevoli::testing {

// Binds a listening (or, with listening false, a dead) socket at `path`; -1 on failure.
inline int bindSocket(const std::string& path, bool listening)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd, 64) != 0)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// Reads one framed message from `fd`: its bytes, or none when the peer closed first.
inline std::optional<std::string> readFramed(int fd)
{
    FrameReader reader(HostMessage::maxSize);
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        switch (reader.feed(std::string_view(chunk, static_cast<std::size_t>(n)))) {
        case FrameReader::State::incomplete: continue;
        case FrameReader::State::complete: return std::string(reader.message());
        case FrameReader::State::oversized: return std::nullopt;
        }
    }
}

// A stand-in for the running host on its socket at `path` (whose folder it creates): a thread
// of its own accepts each connection, reads the framed message, records it, and answers with
// `answer` — nothing at all for an empty answer, as a host too busy to answer. Stops (and
// removes the socket) when destroyed.
class FakeListener {
public:
    FakeListener(const std::string& path, std::string answer)
        : m_path(path), m_answer(std::move(answer))
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        m_fd = UniqueFd(bindSocket(path, true));
        int stop[2];
        if (::pipe2(stop, O_CLOEXEC) == 0) {
            m_stopReader = UniqueFd(stop[0]);
            m_stopWriter = UniqueFd(stop[1]);
        }
        if (m_fd)
            m_thread = std::thread([this] { serve(); });
    }
    ~FakeListener()
    {
        m_stopWriter.reset(); // wakes the thread
        if (m_thread.joinable())
            m_thread.join();
        ::unlink(m_path.c_str());
    }
    FakeListener(const FakeListener&) = delete;
    FakeListener& operator=(const FakeListener&) = delete;

    bool listening() const { return bool(m_fd); }

    // The messages received so far, decoded (a message that does not decode is left out).
    std::vector<HostMessage> messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

private:
    void serve()
    {
        std::vector<UniqueFd> open; // silent answers keep their connection until the end
        for (;;) {
            pollfd entries[] = {{m_fd.get(), POLLIN, 0}, {m_stopReader.get(), POLLIN, 0}};
            if (::poll(entries, 2, -1) < 0 && errno != EINTR)
                return;
            if (entries[1].revents != 0)
                return;
            if (entries[0].revents == 0)
                continue;
            UniqueFd client(::accept4(m_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client)
                continue;
            const auto bytes = readFramed(client.get());
            if (bytes)
                if (const auto message = HostMessage::decode(*bytes)) {
                    std::lock_guard lock(m_mutex);
                    m_messages.push_back(*message);
                }
            if (m_answer.empty()) {
                open.push_back(std::move(client));
                continue;
            }
            (void)!::send(client.get(), m_answer.data(), m_answer.size(), MSG_NOSIGNAL);
        }
    }

    std::string m_path;
    std::string m_answer;
    UniqueFd m_fd, m_stopReader, m_stopWriter;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<HostMessage> m_messages;
};

// A listener at `path` run by another user (nobody), in a child process: it accepts one
// connection and reports how many bytes it received before the peer closed (-1: no connection
// within a few seconds). Needs root; `ready()` is false when it could not be set up.
class ForeignListener {
public:
    explicit ForeignListener(const std::string& path)
    {
        const passwd* nobody = ::getpwnam("nobody");
        int report[2];
        if (::geteuid() != 0 || !nobody || ::pipe2(report, O_CLOEXEC) != 0)
            return;
        m_report = UniqueFd(report[0]);
        UniqueFd writer(report[1]);
        const uid_t uid = nobody->pw_uid;
        const gid_t gid = nobody->pw_gid;
        m_child = ::fork();
        if (m_child == 0) {
            long count = -2;
            if (::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
                ::setresuid(uid, uid, uid) == 0) {
                const int fd = bindSocket(path, true);
                const char ready = fd >= 0 ? 'r' : 'f';
                (void)!::write(writer.get(), &ready, 1);
                pollfd entry{fd, POLLIN, 0};
                count = -1;
                if (fd >= 0 && ::poll(&entry, 1, 10000) == 1) {
                    const int client = ::accept(fd, nullptr, nullptr);
                    char chunk[4096];
                    count = 0;
                    ssize_t n;
                    while ((n = ::read(client, chunk, sizeof chunk)) > 0)
                        count += n;
                }
            }
            (void)!::write(writer.get(), &count, sizeof count);
            ::_exit(0);
        }
        writer.reset();
        char ready = 0;
        m_ready = m_child > 0 && ::read(m_report.get(), &ready, 1) == 1 && ready == 'r';
    }
    ~ForeignListener()
    {
        if (m_child > 0) {
            ::kill(m_child, SIGKILL);
            ::waitpid(m_child, nullptr, 0);
        }
    }
    ForeignListener(const ForeignListener&) = delete;
    ForeignListener& operator=(const ForeignListener&) = delete;

    bool ready() const { return m_ready; }

    // The bytes the listener received from its one connection; waits for it to end.
    long bytesReceived()
    {
        long count = -3;
        if (::read(m_report.get(), &count, sizeof count) != sizeof count)
            return -3;
        return count;
    }

private:
    pid_t m_child = -1;
    UniqueFd m_report;
    bool m_ready = false;
};

} // namespace ambrevoli::testing
