#pragma once

#include <unistd.h>

#include <utility>

namespace ambrevoli {

// Owns one file descriptor and closes it when released. A failed close is ignored here: callers
// that must report it call close() themselves.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

    int release() { return std::exchange(m_fd, -1); }

    void reset(int fd = -1)
    {
        // close() is not retried on EINTR: on Linux the descriptor is gone either way.
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

    // Closes now and returns close()'s result (0, or -1 with errno set).
    int close()
    {
        int fd = release();
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int m_fd = -1;
};

} // namespace ambrevoli
