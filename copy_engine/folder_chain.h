#pragma once

#include "unique_fd.h"

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace ambrevoli {

// How many folders on the way down a tree keep a descriptor: enough that a walk seldom opens a
// folder twice, few enough that any depth fits a small descriptor limit.
inline constexpr std::size_t defaultFolderWindow = 16;

// The folders on one way down a tree: a root, a folder in it, a folder in that one, and so on,
// each reached by name from the one above. However deep the way goes, at most `window` folders
// below the root hold a descriptor at once: going down lets go of the shallowest ones, and coming
// back up opens them again by name from the nearest folder still open. Each step of that opens
// without following a link and must reach the very folder first seen (same device and inode), so
// a folder moved or swapped meanwhile is never taken for it.
//
// Used by one thread at a time. A descriptor it hands out stays valid until the next push, pop or
// deepest().
class FolderChain {
public:
    // `root` is kept open throughout. `openFlags` is how folders are opened again (O_DIRECTORY,
    // O_NOFOLLOW and O_CLOEXEC are added). `beforeLetGo(level)`, when given, runs before the
    // descriptor of that level is closed, so that whatever still uses it can finish first.
    FolderChain(UniqueFd root, int openFlags, std::size_t window,
                std::function<void(std::size_t)> beforeLetGo = {});

    // Adds `fd`, open on the folder `name` in the deepest folder, as the new deepest. Yields 0, or
    // the errno of fstat (the chain is then unchanged and `fd` closed).
    int push(UniqueFd fd, std::string name);
    // Drops the deepest folder; the root stays.
    void pop();
    // The number of folders, the root included.
    std::size_t size() const { return m_levels.size(); }
    // The deepest folder's descriptor, opened again when it was let go; -1 with errno when that
    // fails: the system's error, or ENOENT when a name on the way now leads to another folder.
    int deepest();
    // The number of folders holding a descriptor now, the root included.
    std::size_t openCount() const;

private:
    struct Level {
        std::string name;
        dev_t device;
        ino_t inode;
        UniqueFd fd;
    };

    void keepWithinWindow();

    std::vector<Level> m_levels;
    int m_openFlags;
    std::size_t m_window;
    std::function<void(std::size_t)> m_beforeLetGo;
    // Levels m_firstOpen … the deepest hold descriptors (and the root always): every way down
    // opens the folders below the ones it comes from.
    std::size_t m_firstOpen = 1;
};

} // namespace ambrevoli
