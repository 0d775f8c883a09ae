#include "folder_chain.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace ambrevoli {

FolderChain::FolderChain(UniqueFd root, int openFlags, std::size_t window,
                         std::function<void(std::size_t)> beforeLetGo)
    : m_openFlags(openFlags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
      m_window(std::max<std::size_t>(window, 1)), m_beforeLetGo(std::move(beforeLetGo))
{
    struct stat info {};
    if (root)
        ::fstat(root.get(), &info);
    m_levels.push_back({{}, info.st_dev, info.st_ino, std::move(root)});
}

int FolderChain::push(UniqueFd fd, std::string name)
{
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return errno;
    // A way down continues from the deepest folder, which must be open for the new one to be
    // reached from it again.
    if (m_firstOpen >= m_levels.size())
        m_firstOpen = m_levels.size();
    m_levels.push_back({std::move(name), info.st_dev, info.st_ino, std::move(fd)});
    keepWithinWindow();
    return 0;
}

void FolderChain::pop()
{
    if (m_levels.size() <= 1)
        return;
    m_levels.pop_back();
    m_firstOpen = std::min(m_firstOpen, m_levels.size());
}

int FolderChain::deepest()
{
    const std::size_t deepest = m_levels.size() - 1;
    if (deepest == 0 || m_firstOpen <= deepest)
        return m_levels[deepest].fd.get();
    // Down again from the nearest open folder above, which is the root: the open folders are
    // always the deepest ones.
    const std::size_t keepFrom = deepest >= m_window ? deepest - m_window + 1 : 1;
    int above = m_levels[0].fd.get();
    UniqueFd passing;
    for (std::size_t level = 1; level <= deepest; ++level) {
        Level& step = m_levels[level];
        UniqueFd fd(::openat(above, step.name.c_str(), m_openFlags));
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0)
            return -1;
        if (info.st_dev != step.device || info.st_ino != step.inode) {
            errno = ENOENT;
            return -1;
        }
        above = fd.get();
        if (level >= keepFrom)
            step.fd = std::move(fd);
        else
            passing = std::move(fd);
    }
    m_firstOpen = keepFrom;
    return m_levels[deepest].fd.get();
}

std::size_t FolderChain::openCount() const
{
    return 1 + (m_levels.size() - std::min(m_firstOpen, m_levels.size()));
}

void FolderChain::keepWithinWindow()
{
    while (m_levels.size() - m_firstOpen > m_window) {
        if (m_beforeLetGo)
            m_beforeLetGo(m_firstOpen);
        m_levels[m_firstOpen].fd.reset();
        ++m_firstOpen;
    }
}

} // namespace ambrevoli
