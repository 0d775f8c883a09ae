#include "bookmark.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

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
