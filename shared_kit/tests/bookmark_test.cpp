#include "bookmark.h"

#include "scoped_env.h"
#include "temp_dir.h"
#include "unique_fd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::ScopedTempDir;

class BookmarkTest : public ::testing::Test {
protected:
    ScopedTempDir temp;
    BookmarkSearch search{.budget = 4096, .depth = 3, .homeTrash = temp / "home/Trash/files"};

    std::string made(const std::string& path)
    {
        fs::create_directories(path);
        auto bookmark = makeBookmark(path);
        EXPECT_TRUE(bookmark) << path;
        return bookmark.value_or("");
    }
};

TEST_F(BookmarkTest, AFolderInPlaceResolvesToItsPathNotStale)
{
    const std::string bookmark = made(temp / "a/Drop");
    EXPECT_EQ(resolveBookmark(bookmark, search), (ResolvedBookmark{temp / "a/Drop", false}));
}

TEST_F(BookmarkTest, MovedFoldersAreFollowedAndReportedStale)
{
    struct Case {
        const char* from;
        const char* to;
    } cases[] = {
        {"a/Drop", "a/Renamed"},             // renamed in place
        {"a/b/Drop", "a/c/d/Drop"},          // moved within the grandparent's tree
        {"a/Drop", "home/Trash/files/Drop"}, // moved to the trash
    };
    for (const auto& c : cases) {
        const std::string bookmark = made(temp / c.from);
        fs::create_directories(fs::path(temp / c.to).parent_path());
        fs::rename(temp / c.from, temp / c.to);
        EXPECT_EQ(resolveBookmark(bookmark, search), (ResolvedBookmark{temp / c.to, true}))
            << c.from << " -> " << c.to;
        fs::remove_all(temp / "a");
        fs::remove_all(temp / "home");
    }
}

TEST_F(BookmarkTest, ANewFolderAtTheOldPathIsNotTheBookmarkedOne)
{
    const std::string bookmark = made(temp / "a/Drop");
    // Keep the old folder alive elsewhere so its inode cannot be reused by the new one.
    fs::create_directories(temp / "far/away/deep/down");
    fs::rename(temp / "a/Drop", temp / "far/away/deep/down/Drop");
    fs::create_directories(temp / "a/Drop");
    BookmarkSearch shallow = search;
    shallow.depth = 1;
    const auto resolved = resolveBookmark(bookmark, shallow);
    EXPECT_EQ(resolved, std::unexpected(BookmarkError::notFound()));
}

TEST_F(BookmarkTest, OnANetworkShareOnlyThePathCounts)
{
    // The FUSE bridge gives a share's folders new inode numbers at every mount, recycled from
    // other folders: a remounted share's folder has a new one, a sibling may have the old.
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", temp / "runtime");
    const std::string share = temp / "runtime/gvfs/sftp:host=server";
    const std::string bookmark = made(share + "/Backups");
    fs::rename(share + "/Backups", share + "/Sibling");
    EXPECT_EQ(resolveBookmark(bookmark, search), std::unexpected(BookmarkError::notFound()));

    fs::create_directories(share + "/Backups");
    EXPECT_EQ(resolveBookmark(bookmark, search), (ResolvedBookmark{share + "/Backups", false}));
}

TEST_F(BookmarkTest, SearchNeverFollowsLinksAndStopsAtItsBudget)
{
    const std::string bookmark = made(temp / "a/Drop");
    fs::create_directories(temp / "elsewhere/x/y/z");
    fs::rename(temp / "a/Drop", temp / "elsewhere/x/y/z/Drop");
    fs::create_directory_symlink(temp / "elsewhere/x/y/z", temp / "a/link");
    BookmarkSearch shallow = search;
    shallow.depth = 1; // the link is the only way to reach it from the old parent
    EXPECT_EQ(resolveBookmark(bookmark, shallow), std::unexpected(BookmarkError::notFound()));

    // Found with enough budget; lost when many entries stand before it.
    fs::remove_all(temp / "elsewhere");
    const std::string second = made(temp / "b/Drop");
    for (int i = 0; i < 50; ++i)
        fs::create_directory(temp / ("b/filler" + std::to_string(i)));
    fs::rename(temp / "b/Drop", temp / "b/zzz-Moved");
    BookmarkSearch tight = search;
    tight.budget = 10;
    EXPECT_EQ(resolveBookmark(second, tight), std::unexpected(BookmarkError::notFound()));
    EXPECT_EQ(resolveBookmark(second, search), (ResolvedBookmark{temp / "b/zzz-Moved", true}));
}

TEST_F(BookmarkTest, AFolderMovedToAnotherFileSystemIsNotFound)
{
    const std::string bookmark = made(temp / "a/Drop");
    fs::create_directories(temp / "a/mnt");
    const std::string mountPoint = temp / "a/mnt";
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint};
    // Copy, then delete: what a move across file systems does.
    fs::copy(temp / "a/Drop", temp / "a/mnt/Drop");
    fs::remove(temp / "a/Drop");
    EXPECT_EQ(resolveBookmark(bookmark, search), std::unexpected(BookmarkError::notFound()));
}

// Mounts `source` at `target` (a tmpfs when `source` is empty, else a bind mount) and takes it
// down again; mounted() is false where this process may not mount.
class ScopedMount {
public:
    ScopedMount(const std::string& source, const std::string& target) : m_target(target)
    {
        m_mounted = source.empty()
                        ? ::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=1m") == 0
                        : ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    ~ScopedMount()
    {
        if (m_mounted)
            ::umount2(m_target.c_str(), MNT_DETACH);
    }
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    bool mounted() const { return m_mounted; }

private:
    std::string m_target;
    bool m_mounted;
};

// The number of IN_OPEN events waiting on `fd` (non-blocking), reading them off.
int opensSeen(int fd)
{
    alignas(inotify_event) char buffer[4096];
    int opens = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return opens;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            opens += (event->mask & IN_OPEN) ? 1 : 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

TEST_F(BookmarkTest, TheSearchOpensNoOtherMount)
{
    // A dead network mount hangs whoever opens it, and opening an automount point mounts it: the
    // search must tell mounts apart without opening them. One tmpfs and one bind mount of this
    // very file system stand in the searched tree, beside the way to the moved folder.
    const std::string bookmark = made(temp / "a/Drop");
    fs::create_directories(temp / "b/c");
    fs::rename(temp / "a/Drop", temp / "b/c/Drop");
    fs::create_directories(temp / "tmpfs");
    fs::create_directories(temp / "bound");
    const ScopedTempDir elsewhere;
    fs::create_directories(elsewhere / "inside");
    const ScopedMount tmpfs("", temp / "tmpfs");
    if (!tmpfs.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    const ScopedMount bound(elsewhere.path(), temp / "bound");
    ASSERT_TRUE(bound.mounted()) << std::strerror(errno);
    fs::create_directories(temp / "tmpfs/inside");

    const UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch);
    for (const std::string& root : {temp / "tmpfs", elsewhere.path()})
        ASSERT_GE(::inotify_add_watch(watch.get(), root.c_str(), IN_OPEN), 0) << root;

    EXPECT_EQ(resolveBookmark(bookmark, search), (ResolvedBookmark{temp / "b/c/Drop", true}));
    EXPECT_EQ(opensSeen(watch.get()), 0);

    // The watches do see an open.
    for (const std::string& root : {temp / "tmpfs", temp / "bound"})
        UniqueFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(opensSeen(watch.get()), 2);
}

TEST_F(BookmarkTest, MakingAndReadingRefuseWhatIsNotABookmark)
{
    std::ofstream(temp / "file") << "x";
    EXPECT_EQ(makeBookmark(temp / "file"), std::unexpected(SystemError{ENOTDIR}));
    EXPECT_EQ(makeBookmark(temp / "none"), std::unexpected(SystemError{ENOENT}));

    std::string valid = made(temp / "a/Drop");
    std::string newer = valid;
    newer[0] = 2;
    std::string relative = valid.substr(0, valid.size() - (temp / "a/Drop").size()) + "a/Drop";
    // The path would reach the system as far as the NUL, naming a/Drop itself.
    const std::string cut = temp / "a/Drop" + std::string("\0/../x", 7);
    EXPECT_EQ(makeBookmark(cut), std::unexpected(SystemError{EINVAL}));
    std::string withNul = valid.substr(0, valid.size() - (temp / "a/Drop").size() - 4);
    for (int i = 0; i < 4; ++i)
        withNul += static_cast<char>((cut.size() >> (8 * i)) & 0xFF);
    withNul += cut;
    const std::pair<std::string, BookmarkError> cases[] = {
        {"", BookmarkError::malformed()},
        {std::string(1, '\1'), BookmarkError::malformed()},
        {valid.substr(0, valid.size() - 1), BookmarkError::malformed()},
        {valid + "x", BookmarkError::malformed()},
        {std::string(1, '\0') + valid.substr(1), BookmarkError::malformed()},
        {relative, BookmarkError::malformed()},
        {withNul, BookmarkError::malformed()},
        {newer, BookmarkError::unsupportedVersion()},
    };
    for (const auto& [bytes, error] : cases)
        EXPECT_EQ(resolveBookmark(bytes, search), std::unexpected(error)) << textualForm(error);
}

} // namespace
} // namespace ambrevoli
