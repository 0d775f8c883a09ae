#include "package_copy.h"

#include "file_util.h"
#include "uuid.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace ambrevoli {

namespace {

std::unexpected<SystemError> lastError() { return std::unexpected(SystemError::last()); }

bool sameState(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_nlink == b.st_nlink &&
           a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::expected<void, SystemError> copyBytes(int from, int to, const std::stop_token& stop)
{
    std::array<char, 64 * 1024> buffer;
    off_t offset = 0;
    for (;;) {
        if (stop.stop_requested())
            return std::unexpected(SystemError::fromErrno(ECANCELED));
        const ssize_t got = ::pread(from, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return lastError();
        if (got == 0)
            return {};
        if (auto written = writeAll(to, {buffer.data(), size_t(got)}); !written)
            return written;
        offset += got;
    }
}

} // namespace

std::expected<PackageCopy, SystemError> PackageCopy::make(int source, const std::string& parent,
                                                          const std::string& name,
                                                          std::stop_token stop)
{
    if (!parent.starts_with('/') || name.empty() || name.find('/') != std::string::npos)
        return std::unexpected(SystemError::fromErrno(EINVAL));
    PackageCopy copy;
    copy.m_parent.reset(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!copy.m_parent)
        return lastError();
    for (int attempt = 0;; ++attempt) {
        copy.m_folderName = "ambrevoli-install-" + Uuid::random().text();
        if (::mkdirat(copy.m_parent.get(), copy.m_folderName.c_str(), 0700) == 0)
            break;
        if (errno != EEXIST || attempt == 9) {
            copy.m_folderName.clear();
            return lastError();
        }
    }
    copy.m_folder.reset(::openat(copy.m_parent.get(), copy.m_folderName.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!copy.m_folder)
        return lastError();
    copy.m_file.reset(::openat(copy.m_folder.get(), name.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!copy.m_file)
        return lastError();
    copy.m_name = name;
    if (auto copied = copyBytes(source, copy.m_file.get(), stop); !copied)
        return std::unexpected(copied.error());
    if (::fchmod(copy.m_file.get(), 0400) != 0 ||
        ::fstat(copy.m_folder.get(), &copy.m_folderState) != 0 ||
        ::fstat(copy.m_file.get(), &copy.m_fileState) != 0)
        return lastError();
    copy.m_path = (parent.ends_with('/') ? parent : parent + '/') + copy.m_folderName + '/' + name;
    return copy;
}

PackageCopy& PackageCopy::operator=(PackageCopy&& other) noexcept
{
    if (this != &other) {
        remove();
        m_parent = std::move(other.m_parent);
        m_folder = std::move(other.m_folder);
        m_file = std::move(other.m_file);
        m_folderName = std::move(other.m_folderName);
        m_name = std::move(other.m_name);
        m_path = std::move(other.m_path);
        m_folderState = other.m_folderState;
        m_fileState = other.m_fileState;
    }
    return *this;
}

bool PackageCopy::unchanged() const
{
    struct stat folder {};
    struct stat file {};
    struct stat named {};
    struct stat atPath {};
    return m_file && ::fstat(m_folder.get(), &folder) == 0 && sameState(folder, m_folderState) &&
           ::fstat(m_file.get(), &file) == 0 && sameState(file, m_fileState) &&
           ::fstatat(m_folder.get(), m_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameFile(named, m_fileState) && ::stat(m_path.c_str(), &atPath) == 0 &&
           sameFile(atPath, m_fileState);
}

void PackageCopy::remove()
{
    // Relative to the folders' descriptors: a folder renamed meanwhile is still emptied, and
    // nothing outside ours is touched.
    if (m_folder && !m_name.empty())
        ::unlinkat(m_folder.get(), m_name.c_str(), 0);
    if (m_parent && !m_folderName.empty())
        ::unlinkat(m_parent.get(), m_folderName.c_str(), AT_REMOVEDIR);
    m_file.reset();
    m_folder.reset();
    m_parent.reset();
    m_name.clear();
    m_folderName.clear();
}

} // namespace ambrevoli
