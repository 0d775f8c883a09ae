#pragma once

#include "folder_chain.h"
#include "unique_fd.h"

#include <array>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// How the copy engine goes down a tree: folder by folder, without recursion and with a bounded
// number of descriptors however deep. Internal to the copy engine.

namespace ambrevoli {

// A folder's entries, read whole, so that its listing need not stay open while the folders in
// it are gone through.
struct Entries {
    struct Entry {
        std::size_t at; // of the name in `names`
        unsigned char type;
    };
    std::string names; // each name followed by a NUL
    std::vector<Entry> list;

    const char* name(const Entry& entry) const { return names.data() + entry.at; }
    void add(const char* name, unsigned char type)
    {
        list.push_back({names.size(), type});
        names.append(name).push_back('\0');
    }
};

// Reads the entries of the folder open as `fd` into `entries`; yields 0, or the errno that cut
// the listing short (what was read is kept).
int readEntries(int fd, Entries& entries);

// A folder on the way down: its entries and how far through them the walk is. A walk that keeps
// more per folder derives its level from this.
struct DescentLevel {
    Entries entries;
    std::size_t next = 0;

    // The next entry not yet taken; none once every entry was.
    const Entries::Entry* take()
    {
        return next < entries.list.size() ? &entries.list[next++] : nullptr;
    }
};

// One way down a tree, or down `Trees` trees in step (a source and the copy made of it): a stack
// of levels, one per folder from the top one down to the one being gone through, each holding
// the folder's entries, and for each tree a FolderChain of the folders' descriptors (see there:
// at most `defaultFolderWindow` below the top stay open; one let go is opened again by name, and
// must be the very folder it was). The caller drives it: takes entries of the deepest level, goes
// down into the folders among them, and up again when a folder is through.
//
// Levels never move while they are on the stack, so a pointer to one stays valid until it is
// left. Used by one thread at a time.
template <class Level = DescentLevel, std::size_t Trees = 1> class FolderDescent {
public:
    using Folders = std::array<UniqueFd, Trees>;

    // Starts at the top folder of each tree, open as `tops`, with its level. `openFlags` is how a
    // folder is opened again (see FolderChain). `beforeLetGo(level)`, when given, runs before any
    // tree's descriptor of that level is closed, so that whatever still uses them can finish.
    FolderDescent(Folders tops, Level top, int openFlags,
                  std::function<void(Level&)> beforeLetGo = {})
    {
        m_levels.push_back(std::move(top));
        m_chains.reserve(Trees);
        for (std::size_t tree = 0; tree < Trees; ++tree) {
            std::function<void(std::size_t)> letGo;
            // The trees go down in step, the first one first: its letting go of a level comes
            // before the others', so one call serves them all.
            if (tree == 0 && beforeLetGo)
                letGo = [this, beforeLetGo = std::move(beforeLetGo)](std::size_t level) {
                    beforeLetGo(m_levels[level]);
                };
            m_chains.emplace_back(std::move(tops[tree]), openFlags, defaultFolderWindow,
                                  std::move(letGo));
        }
    }
    FolderDescent(const FolderDescent&) = delete;
    FolderDescent& operator=(const FolderDescent&) = delete;

    // Whether the top folder was left too: the walk is over.
    bool finished() const { return m_levels.empty(); }
    // The level of the deepest folder; not when finished().
    Level& deepest() { return m_levels.back(); }
    // The number of folders on the way down, the top one included.
    std::size_t depth() const { return m_levels.size(); }

    // The deepest folder of `tree`, opened again when it was let go; -1 with errno when that
    // fails (ENOENT when a name on the way now leads to another folder). Valid until the next
    // down() or up(), or folder() of the same tree.
    int folder(std::size_t tree = 0) { return m_chains[tree].deepest(); }

    // Goes down into `folders`, each open on the folder `name` in the deepest folder of its tree,
    // whose level is `level`. Yields 0, or the errno of fstat: then nothing changed and the
    // descriptors are closed.
    int down(Folders folders, const std::string& name, Level level)
    {
        m_levels.push_back(std::move(level));
        for (std::size_t tree = 0; tree < Trees; ++tree) {
            if (const int error = m_chains[tree].push(std::move(folders[tree]), name)) {
                while (tree-- > 0)
                    m_chains[tree].pop();
                m_levels.pop_back();
                return error;
            }
        }
        return 0;
    }

    // Leaves the deepest folder, going back up to the one holding it; after the top folder,
    // finished().
    void up()
    {
        m_levels.pop_back();
        if (!m_levels.empty())
            for (FolderChain& chain : m_chains)
                chain.pop();
    }

    // The descriptors held now, of every tree, the tops included.
    std::size_t openCount() const
    {
        std::size_t count = 0;
        for (const FolderChain& chain : m_chains)
            count += chain.openCount();
        return count;
    }

private:
    std::deque<Level> m_levels;
    std::vector<FolderChain> m_chains;
};

} // namespace ambrevoli
