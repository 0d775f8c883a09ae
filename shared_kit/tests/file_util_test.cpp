#include "file_util.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace ambrevoli {
namespace {

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FileUtilTest, MakeDirectoriesCreatesParentsAndAcceptsExistingFolders)
{
    testing::ScopedTempDir temp;
    ASSERT_TRUE(makeDirectories(temp / "a/b/c", 0700));
    EXPECT_TRUE(std::filesystem::is_directory(temp / "a/b/c"));
    EXPECT_TRUE(makeDirectories(temp / "a/b/c", 0700));
    std::ofstream(temp / "file") << "x";
    EXPECT_EQ(makeDirectories(temp / "file", 0700).error(), SystemError{ENOTDIR});
    EXPECT_FALSE(makeDirectories(temp / "file/sub", 0700));
}

TEST(FileUtilTest, AtomicWriteReplacesWholeAndLeavesNoTemporary)
{
    testing::ScopedTempDir temp;
    const std::string path = temp / "data.json";
    ASSERT_TRUE(writeFileAtomically(path, "old", true));
    ASSERT_TRUE(writeFileAtomically(path, "new content", true));
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new content");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path()), {}), 1);

    // A failing rename (the target is a non-empty folder) leaves no temporary behind.
    ASSERT_TRUE(makeDirectories(temp / "taken/inner", 0700));
    EXPECT_FALSE(writeFileAtomically(temp / "taken", "x", false));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path()), {}), 2);
}

TEST(FileUtilTest, ExclusiveMovesNeverReplace)
{
    using Move = std::expected<void, SystemError> (*)(const std::string&, const std::string&);
    for (Move move : {Move(renameNoReplace), Move(renameWithoutReplacing), Move(moveByLinking)}) {
        testing::ScopedTempDir temp;
        std::ofstream(temp / "from") << "from";
        std::ofstream(temp / "taken") << "taken";

        EXPECT_EQ(move(temp / "from", temp / "taken"), std::unexpected(SystemError{EEXIST}));
        EXPECT_EQ(readAll(temp / "from"), "from");
        EXPECT_EQ(readAll(temp / "taken"), "taken");

        ASSERT_TRUE(move(temp / "from", temp / "to"));
        EXPECT_FALSE(std::filesystem::exists(temp / "from"));
        EXPECT_EQ(readAll(temp / "to"), "from");
        EXPECT_EQ(move(temp / "from", temp / "again"), std::unexpected(SystemError{ENOENT}));
    }
}

TEST(FileUtilTest, ReadSmallFileReadsToTheEndWithinItsLimit)
{
    testing::ScopedTempDir temp;
    std::ofstream(temp / "data") << std::string(5000, 'x');
    EXPECT_EQ(readSmallFile(temp / "data", 5000), std::string(5000, 'x'));
    EXPECT_EQ(readSmallFile(temp / "data", 4999).error(), SystemError{EFBIG});
    EXPECT_EQ(readSmallFile(temp / "absent", 10).error(), SystemError{ENOENT});
    // A FIFO is refused at once rather than waited on.
    ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(readSmallFile(temp / "fifo", 10).error(), SystemError{EINVAL});
    // /proc reports no size; the contents are there all the same.
    const auto status = readSmallFile("/proc/self/status", 1 << 16);
    ASSERT_TRUE(status);
    EXPECT_NE(status->find("Umask:"), std::string::npos);
}

// Positioned writes land where asked, leave the file's own offset alone (the copier's readers and
// writers share descriptors with it), and say why they failed.
TEST(FileUtilTest, WriteAllAtWritesAtTheOffsetOnly)
{
    testing::ScopedTempDir temp;
    const std::string path = temp / "data";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(writeAll(fd, "head"));
    ASSERT_TRUE(writeAllAt(fd, "tail", 8));
    ASSERT_TRUE(writeAllAt(fd, "HE", 0));
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 4);
    ::close(fd);
    EXPECT_EQ(readAll(path), std::string("HEad\0\0\0\0tail", 12));

    const int readOnly = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    EXPECT_EQ(writeAllAt(readOnly, "x", 0).error(), SystemError{EBADF});
    ::close(readOnly);
}

} // namespace
} // namespace ambrevoli
