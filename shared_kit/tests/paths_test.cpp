#include "paths.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace ambrevoli {
namespace {

using namespace std::string_literals;

TEST(PathsTest, TextOperations)
{
    struct Case {
        std::string path;
        const char* normalized;
        const char* parent;
        const char* last;
    } cases[] = {
        {"/a/b", "/a/b", "/a", "b"},
        {"/a/b/", "/a/b", "/a", "b"},
        {"/a/b//", "/a/b", "/a", "b"},
        {"/a", "/a", "/", "a"},
        {"/", "/", "/", "/"},
        {"//", "/", "/", "/"},
        {"//a", "//a", "/", "a"},
        {"/a//b", "/a//b", "/a", "b"},
        {"a/b", "a/b", "a", "b"},
        {"a", "a", ".", "a"},
        {"a/", "a", ".", "a"},
        {"", "", ".", ""},
        // Nothing is resolved.
        {"/a/./b/", "/a/./b", "/a/.", "b"},
        {"/A/../b", "/A/../b", "/A/..", "b"},
        {"/a/..", "/a/..", "/a", ".."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalizedPath(c.path), c.normalized) << c.path;
        EXPECT_EQ(parentPath(c.path), c.parent) << c.path;
        EXPECT_EQ(lastComponent(c.path), c.last) << c.path;
        // A path of several components is its parent joined with its last component.
        if (const std::string n = c.normalized;
            n != "/" && n.find('/') != std::string::npos && n.find("//") == std::string::npos) {
            EXPECT_EQ(joinPath(parentPath(c.path), lastComponent(c.path)), n) << c.path;
        }
    }

    struct Join {
        const char* folder;
        const char* name;
        const char* joined;
        bool within;
    } joins[] = {
        {"/", "a", "/a", true},          {"/x", "a", "/x/a", true},
        {"/x/", "a", "/x/a", true},      {"/x//", "/a", "/x/a", true},
        {"/x", "a/b/", "/x/a/b/", true}, {"/x", ".local/share", "/x/.local/share", true},
        {"/x", "", "/x", true},          {"/", "", "/", true},
        {"", "a", "a", false},           {"", "", "", true},
        {"x", "a", "x/a", true},
    };
    for (const auto& c : joins) {
        EXPECT_EQ(joinPath(c.folder, c.name), c.joined) << c.folder << " + " << c.name;
        EXPECT_EQ(isWithin(c.joined, c.folder), c.within) << c.folder << " + " << c.name;
    }

    struct Within {
        const char* path;
        const char* folder;
        bool within;
    } withins[] = {
        {"/a", "/a", true},   {"/a/", "/a", true},   {"/a", "/a/", true}, {"/a/b", "/a", true},
        {"/ab", "/a", false}, {"/a", "/a/b", false}, {"/a", "/", true},   {"/", "/", true},
        {"/", "/a", false},   {"a/b", "a", true},    {"/a", "", false},   {"/a/../b", "/a", true},
    };
    for (const auto& c : withins)
        EXPECT_EQ(isWithin(c.path, c.folder), c.within) << c.path << " in " << c.folder;

    EXPECT_FALSE(hasNulByte("/a/b"));
    EXPECT_TRUE(hasNulByte("/a/secret\0/../x"s));
}

TEST(PathsTest, FileSystemQuestions)
{
    testing::ScopedTempDir temp;
    ASSERT_EQ(::mkdir((temp / "folder").c_str(), 0700), 0);
    std::ofstream(temp / "file") << "x";
    ASSERT_EQ(::symlink("folder", (temp / "link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (temp / "dangling").c_str()), 0);
    const std::string root = canonicalPath(temp.path()).value();
    const std::string folder = root + "/folder";

    struct Case {
        std::string path;
        bool isFolder;
        std::expected<std::string, SystemError> canonical;
    } cases[] = {
        {temp / "folder", true, folder},
        {temp / "folder/", true, folder},
        {temp / "link", true, folder},
        {temp / "folder/../folder/.", true, folder},
        {temp / "file", false, root + "/file"},
        {temp / "file/", false, std::unexpected(SystemError{ENOTDIR})},
        {temp / "dangling", false, std::unexpected(SystemError{ENOENT})},
        {temp / "absent", false, std::unexpected(SystemError{ENOENT})},
        {"", false, std::unexpected(SystemError{ENOENT})},
        // The system would see only "<temp>/folder".
        {temp / "folder\0/../file"s, false, std::unexpected(SystemError{EINVAL})},
        {"/", true, "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isFolder(c.path), c.isFolder) << c.path;
        EXPECT_EQ(canonicalPath(c.path), c.canonical) << c.path;
    }

    // Relative paths start from the current folder.
    const std::string before = absolutePath(".").value();
    ASSERT_EQ(::chdir(temp.path().c_str()), 0);
    EXPECT_TRUE(isFolder("link"));
    EXPECT_EQ(canonicalPath("link/../file"), root + "/file");
    EXPECT_EQ(absolutePath("a/../b"), root + "/a/../b");
    EXPECT_EQ(absolutePath("/x/y"), "/x/y");
    EXPECT_EQ(absolutePath("").error(), SystemError{ENOENT});
    EXPECT_EQ(absolutePath("a\0b"s).error(), SystemError{EINVAL});
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_EQ(absolutePath("a"), "/a");
    ASSERT_EQ(::chdir(before.c_str()), 0);
}

} // namespace
} // namespace ambrevoli
