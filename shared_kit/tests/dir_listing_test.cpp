#include "dir_listing.h"

#include "temp_dir.h"
#include "unique_fd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace ambrevoli {
namespace {

std::size_t openDescriptors()
{
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

TEST(DirListingTest, ListsEveryEntryButDotsThroughACloseOnExecDuplicate)
{
    testing::ScopedTempDir temp;
    std::ofstream(temp / "file") << "x";
    std::ofstream(temp / ".hidden") << "x";
    ASSERT_EQ(::mkdir((temp / "folder").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("file", (temp / "link").c_str()), 0);
    const UniqueFd dir(::open(temp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);

    for (int round = 0; round < 2; ++round) {
        const std::size_t before = openDescriptors();
        {
            auto listing = DirListing::open(dir.get());
            ASSERT_TRUE(listing) << textualForm(listing.error());
            EXPECT_NE(listing->fd(), dir.get());
            EXPECT_EQ(::fcntl(listing->fd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
            std::set<std::string> names;
            while (const dirent* entry = listing->next())
                names.insert(entry->d_name);
            EXPECT_EQ(listing->error(), std::nullopt);
            // Every round starts at the first entry, whatever the last one left in the shared
            // offset.
            EXPECT_EQ(names, (std::set<std::string>{".hidden", "file", "folder", "link"}))
                << "round " << round;
            EXPECT_EQ(openDescriptors(), before + 1);
        }
        EXPECT_EQ(openDescriptors(), before);
        // The caller's descriptor is still its own.
        struct stat info {};
        EXPECT_EQ(::fstatat(dir.get(), "file", &info, 0), 0);
    }
}

TEST(DirListingTest, FailuresLeaveNothingOpen)
{
    testing::ScopedTempDir temp;
    std::ofstream(temp / "file") << "x";
    const UniqueFd file(::open((temp / "file").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(file);
    const std::size_t before = openDescriptors();
    EXPECT_EQ(DirListing::open(file.get()).error(), SystemError{ENOTDIR});
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(DirListing::open(-1).error(), SystemError{EBADF});
    EXPECT_EQ(openDescriptors(), before);
}

TEST(DirListingTest, AFailedReadIsReportedNotTakenForTheEnd)
{
    testing::ScopedTempDir temp;
    std::ofstream(temp / "file") << "x";
    // A folder opened as a path only can be examined but not read: the read fails with EBADF.
    const UniqueFd pathOnly(::open(temp.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(pathOnly);
    auto listing = DirListing::open(pathOnly.get());
    if (!listing) {
        // glibc 2.41 refuses such a folder already when it is opened, with the same error.
        EXPECT_EQ(listing.error(), SystemError{EBADF});
        GTEST_SKIP() << "this C library does not open a path-only folder, so no read can fail";
    }
    EXPECT_EQ(listing->next(), nullptr);
    EXPECT_EQ(listing->error(), SystemError{EBADF});
    EXPECT_EQ(listing->next(), nullptr);
}

} // namespace
} // namespace ambrevoli
