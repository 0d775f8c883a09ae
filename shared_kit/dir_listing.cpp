#include "dir_listing.h"

#include "unique_fd.h"

#include <fcntl.h>

#include <utility>

namespace ambrevoli {

std::expected<DirListing, SystemError> DirListing::open(int dirFd)
{
    UniqueFd own(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (!own)
        return std::unexpected(SystemError::last());
    DIR* dir = ::fdopendir(own.get());
    if (dir == nullptr)
        return std::unexpected(SystemError::last());
    own.release();
    // The offset is shared with `dirFd`, which may have been read from already.
    ::rewinddir(dir);
    return DirListing(dir);
}

DirListing::DirListing(DirListing&& other) noexcept
    : m_dir(std::exchange(other.m_dir, nullptr)), m_error(other.m_error)
{}

DirListing& DirListing::operator=(DirListing&& other) noexcept
{
    if (this != &other) {
        if (m_dir)
            ::closedir(m_dir);
        m_dir = std::exchange(other.m_dir, nullptr);
        m_error = other.m_error;
    }
    return *this;
}

DirListing::~DirListing()
{
    if (m_dir)
        ::closedir(m_dir);
}

const dirent* DirListing::next()
{
    if (!m_dir || m_error)
        return nullptr;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(m_dir);
        if (entry == nullptr) {
            if (errno != 0)
                m_error = SystemError::last();
            return nullptr;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        return entry;
    }
}

int DirListing::fd() const { return m_dir ? ::dirfd(m_dir) : -1; }

} // namespace ambrevoli
