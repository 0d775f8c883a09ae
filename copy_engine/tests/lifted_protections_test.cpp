#include "lifted_protections.h"

#include "fs_fixture.h"
#include "tree_copy.h"

#include <gtest/gtest.h>

namespace ambrevoli {
namespace {

using testing::aclText;
using testing::changeFlags;
using testing::CopyTest;
using testing::itemFlags;
using testing::setAcl;
using testing::writeFile;

class LiftedProtectionsTest : public CopyTest {
protected:
    void SetUp() override
    {
        CopyTest::SetUp();
        const std::string probe = path("probe");
        writeFile(probe, "");
        if (const int error = changeFlags(probe, FS_IMMUTABLE_FL | FS_NODUMP_FL))
            GTEST_SKIP() << "cannot set file flags here: " << std::strerror(error);
        changeFlags(probe, 0, FS_IMMUTABLE_FL);
        if (!setAcl(probe, ACL_TYPE_ACCESS, "u::rw-,u:65534:r--,g::r--,m::r--,o::---"))
            GTEST_SKIP() << "no POSIX ACLs here";
    }
};

TEST_F(LiftedProtectionsTest, LockedFileIsUnlockedForTheMoveAndLockedAgainWithItsOtherFlags)
{
    const std::string file = path("file");
    writeFile(file, "x", 0640);
    ASSERT_EQ(changeFlags(file, FS_IMMUTABLE_FL | FS_NODUMP_FL), 0);
    const int before = *itemFlags(file);

    const auto lifted = LiftedProtections::lift(file);
    EXPECT_EQ(lifted.flags(), static_cast<std::uint32_t>(before));
    EXPECT_FALSE(lifted.hasAcl());
    EXPECT_EQ(*itemFlags(file), before & ~FS_IMMUTABLE_FL);
    ASSERT_EQ(::rename(file.c_str(), path("moved").c_str()), 0);

    EXPECT_EQ(lifted.restore(path("moved")), std::nullopt);
    EXPECT_EQ(*itemFlags(path("moved")), before);
}

TEST_F(LiftedProtectionsTest, FolderAclsAreReplacedForTheMoveAndPutBack)
{
    const std::string folder = makeFolder("folder", 0750);
    ASSERT_TRUE(setAcl(folder, ACL_TYPE_ACCESS, "u::rwx,u:65534:---,g::r-x,m::r-x,o::---"));
    ASSERT_TRUE(setAcl(folder, ACL_TYPE_DEFAULT, "u::rwx,u:65534:r--,g::r-x,m::r-x,o::---"));
    const std::string access = aclText(folder, ACL_TYPE_ACCESS);
    const std::string defaults = aclText(folder, ACL_TYPE_DEFAULT);
    ASSERT_NE(access, "");
    ASSERT_NE(defaults, "");

    const auto lifted = LiftedProtections::lift(folder);
    EXPECT_TRUE(lifted.hasAcl());
    EXPECT_EQ(aclText(folder, ACL_TYPE_ACCESS), "");
    EXPECT_EQ(aclText(folder, ACL_TYPE_DEFAULT), "");
    EXPECT_EQ(testing::lstatOf(folder).st_mode & 07777, 0750u);

    ASSERT_EQ(::rename(folder.c_str(), path("moved").c_str()), 0);
    EXPECT_EQ(lifted.restore(path("moved")), std::nullopt);
    EXPECT_EQ(aclText(path("moved"), ACL_TYPE_ACCESS), access);
    EXPECT_EQ(aclText(path("moved"), ACL_TYPE_DEFAULT), defaults);
}

TEST_F(LiftedProtectionsTest, NothingToLiftMeansNothingToRestore)
{
    const std::string file = path("plain");
    writeFile(file, "x", 0644);
    const int before = *itemFlags(file);
    const auto lifted = LiftedProtections::lift(file);
    EXPECT_FALSE(lifted.hasAcl());
    EXPECT_EQ(*itemFlags(file), before);
    // Makes no call at all: a path with nothing there does not matter.
    EXPECT_EQ(lifted.restore(path("nothing here")), std::nullopt);

    std::filesystem::create_symlink(file, path("link"));
    const auto link = LiftedProtections::lift(path("link"));
    EXPECT_EQ(link.flags(), 0u);
    EXPECT_EQ(link.restore(path("link")), std::nullopt);
}

TEST_F(LiftedProtectionsTest, FlagsAreWrittenBackEvenWhenTheAclCannotBe)
{
    const std::string source = path("source");
    writeFile(source, "x", 0640);
    ASSERT_TRUE(setAcl(source, ACL_TYPE_ACCESS, "u::rw-,u:65534:r--,g::r--,m::r--,o::---"));
    ASSERT_EQ(changeFlags(source, FS_IMMUTABLE_FL | FS_NODUMP_FL), 0);
    const int sourceFlags = *itemFlags(source);
    const auto lifted = LiftedProtections::lift(source);
    ASSERT_TRUE(lifted.hasAcl());

    // An append-only item refuses its ACL; the flags word is written all the same.
    const std::string target = path("target");
    writeFile(target, "y", 0640);
    ASSERT_EQ(changeFlags(target, FS_APPEND_FL), 0);
    EXPECT_EQ(lifted.restore(target), EPERM);
    EXPECT_EQ(*itemFlags(target), sourceFlags);
    EXPECT_EQ(aclText(target, ACL_TYPE_ACCESS), "");
}

TEST_F(LiftedProtectionsTest, StrippedTreeCanBeRemoved)
{
    const std::string top = makeFolder("top", 0755);
    const std::string readOnly = makeFolder("top/read-only", 02555);
    writeFile(readOnly + "/locked", "x", 0444);
    ASSERT_EQ(changeFlags(readOnly + "/locked", FS_IMMUTABLE_FL | FS_NODUMP_FL), 0);
    ASSERT_TRUE(setAcl(readOnly, ACL_TYPE_DEFAULT, "u::rwx,g::r-x,o::---"));
    const std::string appendOnly = makeFolder("top/append-only", 0755);
    writeFile(appendOnly + "/entry", "x");
    ASSERT_EQ(changeFlags(appendOnly, FS_APPEND_FL), 0);

    stripProtections(top);
    EXPECT_EQ(testing::lstatOf(readOnly).st_mode & 07777, 02755u);
    EXPECT_EQ(*itemFlags(readOnly + "/locked") & (FS_IMMUTABLE_FL | FS_NODUMP_FL), FS_NODUMP_FL);
    EXPECT_EQ(*itemFlags(appendOnly) & FS_APPEND_FL, 0);
    EXPECT_EQ(aclText(readOnly, ACL_TYPE_DEFAULT), "");
    EXPECT_TRUE(removeTree(top));
    EXPECT_FALSE(std::filesystem::exists(top));
}

} // namespace
} // namespace ambrevoli
