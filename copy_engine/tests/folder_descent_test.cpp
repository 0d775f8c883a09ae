#include "folder_descent.h"

#include "fs_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace ambrevoli {
namespace {

using testing::CopyTest;

class FolderDescentTest : public CopyTest {
protected:
    // A chain of `depth` folders "d" below `top`, each with a file "f" and, beside the next
    // level, an empty folder "side".
    void makeChain(const std::string& top, int depth)
    {
        UniqueFd level(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int i = 1; i <= depth; ++i) {
            ASSERT_EQ(::mkdirat(level.get(), "d", 0755), 0) << i;
            ASSERT_EQ(::mkdirat(level.get(), "side", 0755), 0) << i;
            level = UniqueFd(::openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(level) << i;
            UniqueFd(::openat(level.get(), "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        }
    }

    static ino_t inode(int fd)
    {
        struct stat info {};
        return ::fstat(fd, &info) == 0 ? info.st_ino : 0;
    }
};

struct Level : DescentLevel {
    ino_t inodes[2] = {};
};

// Two trees of the same shape gone through in step, far deeper than the descriptors the descent
// may hold: every folder is reached, each tree's folder at each step is the one first opened there
// (also after it was let go and opened again on the way back up), the descriptors stay within the
// window, and a level is announced once, for both trees, before it is let go.
TEST_F(FolderDescentTest, GoesDeepInStepWithBoundedDescriptors)
{
    constexpr int depth = 120;
    const std::string a = makeFolder("a"), b = makeFolder("b");
    makeChain(a, depth);
    makeChain(b, depth);

    UniqueFd topA(::open(a.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd topB(::open(b.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Level top;
    top.inodes[0] = inode(topA.get());
    top.inodes[1] = inode(topB.get());
    ASSERT_EQ(readEntries(topA.get(), top.entries), 0);

    std::vector<const Level*> letGo;
    FolderDescent<Level, 2> descent({std::move(topA), std::move(topB)}, std::move(top), O_RDONLY,
                                    [&](Level& level) { letGo.push_back(&level); });
    std::vector<const Level*> levels; // as gone down
    levels.push_back(&descent.deepest());
    std::size_t folders = 1, files = 0, mostOpen = 0;
    while (!descent.finished()) {
        Level& level = descent.deepest();
        const int fdA = descent.folder(0), fdB = descent.folder(1);
        ASSERT_GE(fdA, 0) << descent.depth();
        ASSERT_GE(fdB, 0) << descent.depth();
        ASSERT_EQ(inode(fdA), level.inodes[0]) << descent.depth();
        ASSERT_EQ(inode(fdB), level.inodes[1]) << descent.depth();
        mostOpen = std::max(mostOpen, descent.openCount());
        const Entries::Entry* entry = level.take();
        if (!entry) {
            descent.up();
            continue;
        }
        const std::string name = level.entries.name(*entry);
        if (name == "f") {
            ++files;
            continue;
        }
        UniqueFd innerA(::openat(fdA, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        UniqueFd innerB(::openat(fdB, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(innerA && innerB) << name;
        Level inner;
        inner.inodes[0] = inode(innerA.get());
        inner.inodes[1] = inode(innerB.get());
        ASSERT_EQ(readEntries(innerA.get(), inner.entries), 0);
        ASSERT_EQ(descent.down({std::move(innerA), std::move(innerB)}, name, std::move(inner)), 0);
        ++folders;
        if (name == "d")
            levels.push_back(&descent.deepest());
    }
    EXPECT_EQ(folders, 1 + 2 * static_cast<std::size_t>(depth));
    EXPECT_EQ(files, static_cast<std::size_t>(depth));
    // Each tree holds its top and at most a window's worth below it.
    EXPECT_LE(mostOpen, 2 * (defaultFolderWindow + 1));
    EXPECT_GT(mostOpen, 2u);
    // The way down lets go of levels 1, 2, … in turn, each once, not once per tree (coming back
    // up opens some again, to be let go again later).
    constexpr std::size_t wayDown = depth - defaultFolderWindow;
    ASSERT_GE(letGo.size(), wayDown);
    for (std::size_t i = 0; i < wayDown; ++i)
        EXPECT_EQ(letGo[i], levels[i + 1]) << i;
}

// A folder let go and swapped for another meanwhile is never taken for it: coming back to it
// fails with ENOENT, as does a folder gone.
TEST_F(FolderDescentTest, AFolderSwappedWhileLetGoIsNotReachedAgain)
{
    constexpr int depth = static_cast<int>(defaultFolderWindow) + 4;
    const std::string top = makeFolder("top");
    makeChain(top, depth);

    UniqueFd topFd(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DescentLevel first;
    FolderDescent<> descent({std::move(topFd)}, std::move(first), O_RDONLY);
    for (int i = 1; i <= depth; ++i) {
        UniqueFd inner(::openat(descent.folder(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(inner) << i;
        ASSERT_EQ(descent.down({std::move(inner)}, "d", DescentLevel{}), 0) << i;
    }
    // The first level below the top was let go long ago: put another folder in its place.
    ASSERT_EQ(::rename((top + "/d").c_str(), (top + "/old").c_str()), 0);
    ASSERT_EQ(::rename((top + "/old/side").c_str(), (top + "/d").c_str()), 0);
    ASSERT_EQ(::mkdir((top + "/d/d").c_str(), 0755), 0);
    while (descent.depth() > 2)
        descent.up();
    errno = 0;
    EXPECT_EQ(descent.folder(), -1);
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
} // namespace ambrevoli
