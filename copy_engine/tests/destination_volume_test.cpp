#include "destination_volume.h"

#include "copy_engine.h"
#include "drive_volume.h"
#include "fs_fixture.h"
#include "log.h"

#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::DriveVolume;
using testing::namesIn;
using testing::readFile;
using testing::writeFile;

using Identity = std::pair<dev_t, ino_t>;

// What a copy synced: each synced item's identity, in order, and each item whose whole volume
// was synced.
class SyncLog {
public:
    DeviceSync sync()
    {
        return {[this](int fd) {
                    note(fd, m_synced);
                    return ::fsync(fd) == 0 ? 0 : errno;
                },
                [this](int fd) {
                    note(fd, m_volumes);
                    return ::syncfs(fd) == 0 ? 0 : errno;
                }};
    }
    std::vector<Identity> synced() const
    {
        const std::lock_guard lock(m_mutex);
        return m_synced;
    }
    std::vector<Identity> volumes() const
    {
        const std::lock_guard lock(m_mutex);
        return m_volumes;
    }

private:
    void note(int fd, std::vector<Identity>& list)
    {
        struct stat info {};
        ::fstat(fd, &info);
        const std::lock_guard lock(m_mutex);
        list.push_back({info.st_dev, info.st_ino});
    }

    mutable std::mutex m_mutex;
    std::vector<Identity> m_synced;
    std::vector<Identity> m_volumes;
};

Identity identityOf(const std::string& path)
{
    const struct stat info = testing::lstatOf(path);
    return {info.st_dev, info.st_ino};
}

struct DriveCase {
    DriveVolume::Kind kind;
    bool storesEveryName;     // NTFS through ntfs-3g takes "?" and ":"
    bool storesLinksAndFifos; // so does it links and FIFOs
    bool caseInsensitive;
    const char* leftOut; // what a tree with an ACL, an attribute and a set-user-ID file loses
};

class DriveTest : public testing::CopyTest, public ::testing::WithParamInterface<DriveCase> {
protected:
    void SetUp() override
    {
        CopyTest::SetUp();
        auto volume = DriveVolume::mount(GetParam().kind, path("image"), path("drive"));
        if (!volume)
            GTEST_SKIP() << GetParam().kind.name << ": " << volume.error();
        m_volume.emplace(std::move(*volume));
        m_dest = path("drive/dest");
        ASSERT_TRUE(fs::create_directory(m_dest));
        m_foldersSurviveRenames = foldersSurviveRenames(path("drive"));
    }
    void TearDown() override
    {
        // The volume goes first: nothing of the engine's may be left on it either.
        if (m_volume) {
            EXPECT_EQ(testing::engineLeftovers(m_dest), std::vector<std::string>());
        }
        m_volume.reset();
        CopyTest::TearDown();
    }

    CopyReport copy(const std::vector<std::string>& sources)
    {
        return CopyEngine(path("home"), defaultDownloadProbe, m_syncs.sync())
            .copyItems(sources, m_dest);
    }

    // `folders` where the volume keeps a renamed folder whole, then `files`.
    std::vector<std::string> sources(std::vector<std::string> folders,
                                     const std::vector<std::string>& files) const
    {
        if (!m_foldersSurviveRenames)
            folders.clear();
        folders.insert(folders.end(), files.begin(), files.end());
        return folders;
    }
    bool foldersSent() const { return m_foldersSurviveRenames; }

    // Debian 12's fusefat loses what a folder holds when the folder is renamed (Debian 13's keeps
    // it): sending folders there shows nothing of the engine's.
    static bool foldersSurviveRenames(const std::string& drive)
    {
        fs::create_directory(drive + "/probe");
        writeFile(drive + "/probe/held", "h");
        const bool renamed = ::rename((drive + "/probe").c_str(), (drive + "/probed").c_str()) == 0;
        const bool kept = renamed && fs::exists(drive + "/probed/held");
        fs::remove_all(drive + (renamed ? "/probed" : "/probe"));
        return kept;
    }

    // The names in the destination once the FUSE driver has settled: it keeps a file removed
    // while open as ".fuse_hidden…" until it hears of the close, which it does after close()
    // has returned.
    std::vector<std::string> namesOnDrive() const
    {
        const auto hidden = [](const std::string& name) {
            return name.starts_with(".fuse_hidden");
        };
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::vector<std::string> names = namesIn(m_dest);
            if (std::ranges::none_of(names, hidden))
                return names;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return namesIn(m_dest);
    }

    std::optional<DriveVolume> m_volume;
    std::string m_dest;
    bool m_foldersSurviveRenames = false;
    SyncLog m_syncs;
};

TEST_P(DriveTest, VolumeIsRecognised)
{
    const DestinationVolume volume = examineVolume(m_dest);
    EXPECT_EQ(volume.fileSystem, GetParam().kind.name);
    EXPECT_TRUE(volume.needsSync);
    EXPECT_TRUE(volume.syncsFileByFile);
    const bool fat = std::string_view(GetParam().kind.name) == "vfat";
    EXPECT_EQ(volume.maxFileSize,
              fat ? (std::uint64_t{4} << 30) - 1 : std::numeric_limits<std::uint64_t>::max());
}

// Metadata the volume can't hold is left out, logged once, and the items are copied.
TEST_P(DriveTest, MetadataTheVolumeCantHoldIsLeftOut)
{
    const std::string tree = makeFolder("src/tree");
    writeFile(tree + "/acl.txt", "a");
    ASSERT_TRUE(testing::setAcl(tree + "/acl.txt", ACL_TYPE_ACCESS,
                                "u::rw-,u:65534:rw-,g::r--,m::rw-,o::-"));
    writeFile(tree + "/tagged.txt", "t");
    ASSERT_EQ(::setxattr((tree + "/tagged.txt").c_str(), "user.tag", "blue", 4, 0), 0);
    writeFile(tree + "/setuid", "s", 04755);
    writeFile(path("src/single.txt"), "1");
    ASSERT_TRUE(testing::setAcl(path("src/single.txt"), ACL_TYPE_ACCESS,
                                "u::rw-,u:65534:r--,g::r--,m::r--,o::-"));

    const LogCapture log;
    const CopyReport report = copy(sources({tree}, {tree + "/tagged.txt", path("src/single.txt")}));
    EXPECT_EQ(report.failed, std::vector<FailedItem>());
    if (foldersSent()) {
        EXPECT_EQ(readFile(m_dest + "/tree/acl.txt"), "a");
        EXPECT_EQ(readFile(m_dest + "/tree/setuid"), "s");
    }
    EXPECT_EQ(readFile(m_dest + "/tagged.txt"), "t");
    EXPECT_EQ(readFile(m_dest + "/single.txt"), "1");
    std::vector<std::string> expected;
    if (*GetParam().leftOut)
        expected.push_back(std::string("Copied without what the destination can't hold: ") +
                           GetParam().leftOut + " (" + GetParam().kind.name + ")");
    EXPECT_EQ(log.lines(), expected);
}

TEST_P(DriveTest, LinksAndFifosAreCopiedOrRefusedAsKinds)
{
    makeFolder("src");
    fs::create_symlink("target", path("src/link"));
    ASSERT_EQ(::mkfifo(path("src/fifo").c_str(), 0644), 0);
    makeFolder("src/holder");
    writeFile(path("src/holder/file"), "f");
    fs::create_symlink("file", path("src/holder/link"));

    const CopyReport report =
        copy(sources({path("src/holder")}, {path("src/link"), path("src/fifo")}));
    if (GetParam().storesLinksAndFifos) {
        EXPECT_EQ(report.failed, std::vector<FailedItem>());
        EXPECT_EQ(fs::read_symlink(m_dest + "/link"), "target");
        EXPECT_TRUE(fs::is_fifo(fs::symlink_status(m_dest + "/fifo")));
        EXPECT_EQ(fs::read_symlink(m_dest + "/holder/link"), "file");
    } else {
        std::vector<FailedItem> refused;
        for (const std::string& source :
             sources({path("src/holder")}, {path("src/link"), path("src/fifo")}))
            refused.push_back({source, CopyFailure::kindRefused()});
        EXPECT_EQ(report.failed, refused);
        EXPECT_EQ(namesOnDrive(), std::vector<std::string>());
    }
}

// A name the volume can't store is its own reason, for an item sent and for one inside a
// folder sent; never "missing".
TEST_P(DriveTest, RefusedNamesAreTheirOwnReason)
{
    makeFolder("src/docs");
    writeFile(path("src/what?.txt"), "w");
    writeFile(path("src/docs/a:b.txt"), "d");
    writeFile(path("src/plain.txt"), "p");

    const CopyReport report =
        copy(sources({path("src/docs")}, {path("src/what?.txt"), path("src/plain.txt")}));
    if (GetParam().storesEveryName) {
        EXPECT_EQ(report.failed, std::vector<FailedItem>());
        EXPECT_EQ(readFile(m_dest + "/what?.txt"), "w");
        EXPECT_EQ(readFile(m_dest + "/docs/a:b.txt"), "d");
        return;
    }
    std::vector<FailedItem> refused;
    for (const std::string& source : sources({path("src/docs")}, {path("src/what?.txt")}))
        refused.push_back({source, CopyFailure::nameRefused()});
    EXPECT_EQ(report.failed, refused);
    EXPECT_EQ(namesOnDrive(), std::vector<std::string>{"plain.txt"});
}

// A volume that ignores case still never replaces: "A.TXT" beside "a.txt" is numbered.
TEST_P(DriveTest, NamesThatDifferOnlyInCaseAreNumberedWhereCaseIsIgnored)
{
    writeFile(m_dest + "/a.txt", "lower");
    makeFolder("src");
    writeFile(path("src/A.TXT"), "upper");

    const CopyReport report = copy({path("src/A.TXT")});
    ASSERT_EQ(report.failed, std::vector<FailedItem>());
    const std::string placed = GetParam().caseInsensitive ? "A 2.TXT" : "A.TXT";
    EXPECT_EQ(report.copied,
              (std::vector<CopiedItem>{{path("src/A.TXT"), m_dest + "/" + placed, false}}));
    EXPECT_EQ(readFile(m_dest + "/a.txt"), "lower");
    EXPECT_EQ(readFile(m_dest + "/" + placed), "upper");
}

// Before the report, each file copied was synced, and the destination folder after them. A
// FUSE volume's driver is reached through its files, not through syncfs.
TEST_P(DriveTest, CopiesAreSyncedBeforeTheReport)
{
    makeFolder("src/folder");
    writeFile(path("src/folder/inner"), "i");
    writeFile(path("src/file"), "f");

    const CopyReport report = copy(sources({path("src/folder")}, {path("src/file")}));
    ASSERT_EQ(report.failed, std::vector<FailedItem>());
    const auto synced = m_syncs.synced();
    for (const char* item : {"/folder/inner", "/folder", "/file"})
        if (foldersSent() || item == std::string_view("/file")) {
            EXPECT_NE(std::ranges::find(synced, identityOf(m_dest + item)), synced.end()) << item;
        }
    ASSERT_FALSE(synced.empty());
    EXPECT_EQ(synced.back(), identityOf(m_dest));
    EXPECT_EQ(m_syncs.volumes(), std::vector<Identity>());
}

// A file larger than FAT stores fails before any of it is written.
TEST_P(DriveTest, FileLargerThanTheVolumeStoresFailsAtOnce)
{
    if (std::string_view(GetParam().kind.name) != "vfat")
        GTEST_SKIP() << "only FAT limits a file below its free space";
    writeFile(path("big.iso"), "");
    ASSERT_EQ(::truncate(path("big.iso").c_str(), (std::int64_t{4} << 30) + 1), 0);

    const CopyReport report = copy({path("big.iso")});
    EXPECT_EQ(report.failed, (std::vector<FailedItem>{{path("big.iso"), CopyFailure::tooLarge()}}));
    EXPECT_EQ(namesOnDrive(), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Drives, DriveTest,
                         ::testing::Values(DriveCase{DriveVolume::exfat, false, false, true,
                                                     "ACLs, extended attributes and permissions"},
                                           DriveCase{DriveVolume::ntfs, true, true, false, ""},
                                           DriveCase{DriveVolume::fat, false, false, true,
                                                     "ACLs, extended attributes and permissions"}),
                         [](const auto& info) { return std::string(info.param.kind.name); });

// On a volume of the machine's own (a tmpfs), nothing is synced: the data reaches the disk
// with the kernel's writeback, and no one pulls the disk out.
using InternalVolumeTest = testing::CopyTest;

TEST_F(InternalVolumeTest, IsNotSynced)
{
    testing::ScopedTmpfs tmpfs(path("tmpfs"), "size=1m");
    if (!tmpfs.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(examineVolume(tmpfs.path()),
              (DestinationVolume{"tmpfs", DestinationVolume().maxFileSize, false}));
    // Found by the mount point alone, for a path below it that does not exist, and not for a
    // sibling whose name merely begins the same.
    EXPECT_EQ(fileSystemHolding(tmpfs.path()), "tmpfs");
    EXPECT_EQ(fileSystemHolding(tmpfs.path() + "/not/there"), "tmpfs");
    EXPECT_EQ(fileSystemHolding(tmpfs.path() + "x"), fileSystemHolding(path("")));
    writeFile(path("file"), "f");
    SyncLog syncs;
    const CopyReport report = CopyEngine(path("home"), defaultDownloadProbe, syncs.sync())
                                  .copyItems({path("file")}, tmpfs.path());
    EXPECT_EQ(report.copied.size(), 1u);
    EXPECT_EQ(syncs.synced(), std::vector<Identity>());
    EXPECT_EQ(syncs.volumes(), std::vector<Identity>());
}

} // namespace
} // namespace ambrevoli
