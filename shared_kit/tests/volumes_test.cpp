#include "volumes.h"

#include "temp_dir.h"
#include "test_volumes.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::LoopVolume;
using testing::MediaFolder;
using testing::privateMounts;
using testing::ScopedTempDir;

TEST(VolumesTest, OffersRemovableAndDesktopMountedVolumesOnly)
{
    struct Case {
        const char* name;
        MountCandidate mount;
        bool offered;
    } cases[] = {
        {"USB stick, ext4, mounted by the desktop",
         {"/media/me/STICK", "", "/dev/sdb1", "ext4", true},
         true},
        {"USB stick, exFAT through FUSE",
         {"/run/media/me/CAMERA", "", "/dev/sdc1", "fuseblk", true},
         true},
        {"external disk the desktop calls fixed, in /media",
         {"/media/me/Backup", "", "/dev/sdd2", "ntfs", false},
         true},
        {"removable, mounted by hand in /mnt", {"/mnt/usb", "", "/dev/sde1", "vfat", true}, true},
        {"the root file system", {"/", "", "/dev/nvme0n1p2", "ext4", false}, false},
        {"an internal disk", {"/data", "", "/dev/sda1", "xfs", false}, false},
        {"a system folder on a removable disk",
         {"/boot/efi", "", "/dev/sdb1", "vfat", true},
         false},
        {"home on a USB disk", {"/home", "", "/dev/sdb2", "ext4", true}, false},
        {"network share", {"/media/me/share", "", "//server/share", "cifs", false}, false},
        {"NFS", {"/media/nfs", "", "server:/export", "nfs4", true}, false},
        {"gvfs", {"/run/user/1000/gvfs", "", "gvfsd-fuse", "fuse.gvfsd-fuse", false}, false},
        {"sshfs in media", {"/media/me/remote", "", "/dev/fuse", "fuse.sshfs", false}, false},
        {"a snap's loop image", {"/snap/core/123", "", "/dev/loop3", "squashfs", false}, false},
        {"a disk image the user mounted",
         {"/media/me/Image", "", "/dev/loop4", "iso9660", false},
         true},
        {"tmpfs", {"/media/me/ram", "", "tmpfs", "tmpfs", false}, false},
        {"the media folder itself", {"/media", "", "/dev/sdb1", "ext4", false}, false},
        {"a relative root", {"media/me/STICK", "", "/dev/sdb1", "ext4", true}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(offeredMounts({c.mount}).size(), c.offered ? 1u : 0u) << c.name;
}

TEST(VolumesTest, OrdersByLabelAndLetsTheLastMountAtARootWin)
{
    const auto offered = offeredMounts({
        {"/media/me/zeta", "", "/dev/sdb1", "ext4", true},
        {"/media/me/b", "Alpha", "/dev/sdc1", "ext4", true},
        {"/media/me/a/", "alpha", "/dev/sdd1", "ext4", true},
        {"/media/me/STICK", "Old", "/dev/sde1", "vfat", true},
        {"/media/me/STICK", "Stick", "/dev/sdf1", "vfat", true},
    });
    std::vector<std::pair<std::string, std::string>> seen;
    for (const MountCandidate& mount : offered)
        seen.emplace_back(mount.label, mount.root);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{{"alpha", "/media/me/a"},
                                                                      {"Alpha", "/media/me/b"},
                                                                      {"Stick", "/media/me/STICK"},
                                                                      {"zeta", "/media/me/zeta"}}));
    EXPECT_EQ(offered[2].device, "/dev/sdf1");
}

class VolumesMountTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!privateMounts())
            GTEST_SKIP() << "needs root and a mount namespace of its own";
        if (!media.made())
            GTEST_SKIP() << "cannot make a folder in /media";
    }

    ScopedTempDir temp;
    MediaFolder media;
};

TEST_F(VolumesMountTest, TheIdentityTellsAnotherVolumeAtTheSameRootApart)
{
    const std::string root = media / "STICK";
    std::string first;
    {
        LoopVolume stick(temp / "a.img", root, "STICK");
        if (!stick.mounted())
            GTEST_SKIP() << stick.whyNot();
        first = volumeIdentity(root).value_or("");
        ASSERT_FALSE(first.empty());
        EXPECT_EQ(volumeIdentity(root), first) << "stable while mounted";
        EXPECT_TRUE(isMountedVolume({root, first}));
        EXPECT_TRUE(isMountedVolume({root + "/", first}));
        EXPECT_FALSE(isMountedVolume({root, "uuid:0000"}));

        fs::create_directory(root + "/inside");
        EXPECT_EQ(volumeIdentity(root + "/inside").error(), SystemError{EINVAL});
    }
    // Pulled: the folder stays but is no volume's root any more.
    EXPECT_FALSE(isMountedVolume({root, first}));
    EXPECT_EQ(volumeIdentity(root).error(), SystemError{EINVAL});
    EXPECT_EQ(volumeIdentity(media / "never").error(), SystemError{ENOENT});

    // Another stick with the same label, mounted at the same place.
    LoopVolume other(temp / "b.img", root, "STICK");
    ASSERT_TRUE(other.mounted()) << other.whyNot();
    EXPECT_NE(volumeIdentity(root), first);
    EXPECT_FALSE(isMountedVolume({root, first}));
}

TEST_F(VolumesMountTest, UdevsLinksGiveTheUuidAndTheLabel)
{
    const std::string root = media / "My Stick";
    LoopVolume stick(temp / "a.img", root, "My Stick");
    if (!stick.mounted())
        GTEST_SKIP() << stick.whyNot();
    const auto table = mountTable();
    const auto found = std::ranges::find(table, root, &MountCandidate::root);
    ASSERT_NE(found, table.end()) << "the mount table reads the escaped space";
    EXPECT_TRUE(found->device.starts_with("/dev/loop")) << found->device;
    EXPECT_EQ(found->fsType, "ext4");
    EXPECT_FALSE(found->removable) << "a loop device is not removable";

    // udev's folders as a desktop has them: a link per device, named by UUID and by label.
    const std::string disk = temp / "disk";
    fs::create_directories(disk + "/by-uuid");
    fs::create_directories(disk + "/by-label");
    fs::create_symlink("/dev/null", disk + "/by-uuid/not-a-disk");
    fs::create_symlink(found->device, disk + "/by-uuid/0d1b2c3a-1111-4222-8333-444455556666");
    fs::create_symlink(found->device, disk + "/by-label/My\\x20Stick");
    EXPECT_EQ(volumeIdentity(root, disk), "uuid:0d1b2c3a-1111-4222-8333-444455556666");
    const auto labelled = mountTable(disk);
    const auto withLabel = std::ranges::find(labelled, root, &MountCandidate::root);
    ASSERT_NE(withLabel, labelled.end());
    EXPECT_EQ(withLabel->label, "My Stick");

    // What ambrevoli-send offers: the stick, under its label, with the identity a click names.
    const auto offered = offeredVolumes(mountTable());
    const auto volume =
        std::ranges::find(offered, root, [](const Volume& v) { return v.target.root; });
    ASSERT_NE(volume, offered.end());
    EXPECT_EQ(volume->label, "My Stick");
    EXPECT_EQ(volume->target.identity, volumeIdentity(root));
}

} // namespace
} // namespace ambrevoli
