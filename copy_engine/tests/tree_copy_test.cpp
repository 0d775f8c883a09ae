#include "tree_copy.h"

#include "copy_engine.h"
#include "copy_progress.h"
#include "fs_fixture.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <atomic>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace ambrevoli {
namespace {

using testing::changeFlags;
using testing::CopyTest;
using testing::itemFlags;
using testing::lstatOf;
using testing::readFile;
using testing::runAsNobody;
using testing::setAcl;
using testing::writeFile;

std::map<std::string, std::string> xattrsOf(const std::string& path)
{
    std::map<std::string, std::string> values;
    char names[4096];
    const ssize_t listed = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        char value[4096];
        const ssize_t length = ::lgetxattr(path.c_str(), names + at, value, sizeof value);
        values[names + at] = length < 0 ? "error" : std::string(value, length);
    }
    return values;
}

void setTimes(const std::string& path, long atimeNsec, long mtimeNsec)
{
    const struct timespec times[2] = {{1600000000, atimeNsec}, {1500000000, mtimeNsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::string randomBytes(std::size_t size)
{
    std::mt19937 generator(42);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

// A file capability (VFS_CAP_REVISION_2, CAP_NET_RAW permitted), which a change of owner drops.
std::string capabilityBlob()
{
    const std::uint32_t words[5] = {0x02000000, 1u << 13, 0, 0, 0};
    return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

// Holds each fanotify permission event of `mask` on the item at `path` until `onEvent` has seen
// the item it is about (by its descriptor), then allows it; on a thread of its own, for the life
// of the value.
class PermissionWatch {
public:
    // The watch, or why there can be none here.
    static std::expected<std::unique_ptr<PermissionWatch>, std::string>
    start(const std::string& path, std::uint64_t mask, std::function<void(int fd)> onEvent)
    {
        const int notify = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
        if (notify < 0)
            return std::unexpected(std::string("no fanotify here: ") + std::strerror(errno));
        if (::fanotify_mark(notify, FAN_MARK_ADD, mask, AT_FDCWD, path.c_str()) != 0) {
            const int error = errno;
            ::close(notify);
            return std::unexpected(std::string("no fanotify permission events here: ") +
                                   std::strerror(error));
        }
        return std::unique_ptr<PermissionWatch>(new PermissionWatch(notify, std::move(onEvent)));
    }
    ~PermissionWatch()
    {
        m_done = true;
        m_thread.join();
        ::close(m_notify);
    }

private:
    PermissionWatch(int notify, std::function<void(int fd)> onEvent)
        : m_notify(notify), m_onEvent(std::move(onEvent)), m_thread([this] { answer(); })
    {}

    void answer()
    {
        while (!m_done) {
            pollfd ready{m_notify, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0)
                continue;
            char buffer[4096];
            const ssize_t length = ::read(m_notify, buffer, sizeof buffer);
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = length; FAN_EVENT_OK(event, left);
                 event = FAN_EVENT_NEXT(event, left)) {
                m_onEvent(event->fd);
                const fanotify_response allow{event->fd, FAN_ALLOW};
                EXPECT_EQ(::write(m_notify, &allow, sizeof allow),
                          static_cast<ssize_t>(sizeof allow));
                ::close(event->fd);
            }
        }
    }

    const int m_notify;
    const std::function<void(int fd)> m_onEvent;
    std::atomic<bool> m_done = false;
    std::thread m_thread;
};

using TreeCopyTest = CopyTest;

TEST_F(TreeCopyTest, CopiesATreeFaithfully)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for owners, devices and flags";
    const std::string top = makeFolder("src/top");
    const std::string data = randomBytes(1 << 20);
    writeFile(top + "/data.bin", data, 0640);
    ASSERT_EQ(::setxattr((top + "/data.bin").c_str(), "user.tag", "blue", 4, 0), 0);
    ASSERT_TRUE(
        setAcl(top + "/data.bin", ACL_TYPE_ACCESS, "u::rw-,u:65534:rw-,g::r--,m::rw-,o::-"));
    ASSERT_EQ(changeFlags(top + "/data.bin", FS_NODUMP_FL), 0);
    writeFile(top + "/empty", "", 0600);
    // Set-ID bits survive only if the mode is set after the owner.
    writeFile(top + "/setuid", "#!/bin/sh\n", 0755);
    ASSERT_EQ(::chown((top + "/setuid").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod((top + "/setuid").c_str(), 06755), 0);
    // A capability survives only if attributes come after the owner.
    writeFile(top + "/capable", "#!/bin/sh\n", 0755);
    ASSERT_EQ(::chown((top + "/capable").c_str(), 65534, 65534), 0);
    const std::string capability = capabilityBlob();
    ASSERT_EQ(::setxattr((top + "/capable").c_str(), "security.capability", capability.data(),
                         capability.size(), 0),
              0);
    // A lock blocks every later write: the copy works only if it is set last.
    writeFile(top + "/locked", "keep", 0444);
    ASSERT_EQ(::setxattr((top + "/locked").c_str(), "user.note", "n", 1, 0), 0);
    std::filesystem::create_symlink("data.bin", top + "/link");
    std::filesystem::create_symlink("/nonexistent/target", top + "/dangling");
    ASSERT_EQ(::mkfifo((top + "/fifo").c_str(), 0640), 0);
    ASSERT_EQ(::mknod((top + "/null").c_str(), S_IFCHR | 0620, ::makedev(1, 3)), 0);
    const std::string sub = makeFolder("src/top/sub");
    writeFile(sub + "/inner.txt", "inner", 0644);
    ASSERT_EQ(::chmod(sub.c_str(), 0555), 0);
    ASSERT_TRUE(setAcl(top, ACL_TYPE_DEFAULT, "u::rwx,u:65534:r-x,g::r-x,m::r-x,o::---"));
    ASSERT_EQ(::setxattr(top.c_str(), "user.folder", "f", 1, 0), 0);
    ASSERT_EQ(::chmod(top.c_str(), 0750), 0);

    long nsec = 1;
    std::map<std::string, std::pair<long, long>> times;
    for (const char* name : {"data.bin", "empty", "setuid", "capable", "locked", "link", "dangling",
                             "fifo", "null", "sub/inner.txt", "sub", ""}) {
        const std::string item = name[0] ? top + "/" + name : top;
        times[name] = {nsec, nsec + 1};
        setTimes(item, nsec, nsec + 1);
        nsec += 2;
    }
    ASSERT_EQ(changeFlags(top + "/locked", FS_IMMUTABLE_FL), 0);

    const std::string dest = makeFolder("dest");
    const std::string copy = dest + "/copy";
    const auto copied = copyTree(top, copy, /*clone=*/true);
    ASSERT_TRUE(copied) << std::strerror(copied.error().error);

    for (const auto& [name, expectedTimes] : times) {
        const std::string original = name.empty() ? top : top + "/" + name;
        const std::string item = name.empty() ? copy : copy + "/" + name;
        const struct stat source = lstatOf(original);
        const struct stat target = lstatOf(item);
        EXPECT_EQ(target.st_mode, source.st_mode) << name;
        EXPECT_EQ(target.st_uid, source.st_uid) << name;
        EXPECT_EQ(target.st_gid, source.st_gid) << name;
        EXPECT_EQ(target.st_atim.tv_nsec, expectedTimes.first) << name;
        EXPECT_EQ(target.st_mtim.tv_sec, 1500000000) << name;
        EXPECT_EQ(target.st_mtim.tv_nsec, expectedTimes.second) << name;
        EXPECT_EQ(xattrsOf(item), xattrsOf(original)) << name;
        if (S_ISREG(source.st_mode)) {
            EXPECT_EQ(readFile(item), readFile(original)) << name;
            EXPECT_EQ(*itemFlags(item) & (FS_NODUMP_FL | FS_IMMUTABLE_FL),
                      *itemFlags(original) & (FS_NODUMP_FL | FS_IMMUTABLE_FL))
                << name;
        }
        if (S_ISLNK(source.st_mode)) {
            EXPECT_EQ(std::filesystem::read_symlink(item), std::filesystem::read_symlink(original));
        }
        if (S_ISCHR(source.st_mode)) {
            EXPECT_EQ(target.st_rdev, source.st_rdev);
        }
    }
    EXPECT_EQ(readFile(copy + "/data.bin"), data);
    EXPECT_TRUE(xattrsOf(copy).contains("system.posix_acl_default"));
    EXPECT_TRUE(xattrsOf(copy + "/data.bin").contains("system.posix_acl_access"));
    EXPECT_TRUE(xattrsOf(copy + "/capable").contains("security.capability"));
}

TEST_F(TreeCopyTest, HolesStayHoles)
{
    constexpr off_t size = 16 << 20, dataAt = 8 << 20;
    const std::string source = path("sparse");
    {
        const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "data", 4, dataAt), 4);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
    }
    if (lstatOf(source).st_blocks * 512 >= (1 << 20))
        GTEST_SKIP() << "this file system keeps no holes";
    for (const bool clone : {true, false}) {
        const std::string copy = path(clone ? "cloned" : "copied");
        ASSERT_TRUE(copyTree(source, copy, clone));
        const struct stat info = lstatOf(copy);
        EXPECT_EQ(info.st_size, size);
        EXPECT_LT(info.st_blocks * 512, 1 << 20);
        std::ifstream in(copy, std::ios::binary);
        std::string head(4, '\0'), data(4, '\0');
        in.read(head.data(), 4).seekg(dataAt).read(data.data(), 4);
        EXPECT_EQ(head, std::string(4, '\0'));
        EXPECT_EQ(data, "data");
    }
}

// Whatever a file's size claims, its content arrives whole: more than one buffer, files in /proc
// that claim none, and files in /sys that claim a page and hold a line.
TEST_F(TreeCopyTest, ContentArrivesWhateverTheSizeClaims)
{
    writeFile(path("large"), randomBytes((3 << 20) + 1));
    std::vector<std::string> sources{path("large"), "/proc/version",
                                     "/sys/kernel/mm/transparent_hugepage/enabled"};
    std::erase_if(sources, [](const std::string& source) { return readFile(source).empty(); });
    int n = 0;
    for (const std::string& source : sources)
        for (const bool clone : {true, false}) {
            const std::string copy = path("copy " + std::to_string(++n));
            const auto copied = copyTree(source, copy, clone);
            ASSERT_TRUE(copied) << source << ": " << std::strerror(copied.error().error);
            EXPECT_EQ(readFile(copy), readFile(source)) << source;
        }
}

TEST_F(TreeCopyTest, NeverOverwritesAndNeverFollowsALink)
{
    writeFile(path("source"), "new");
    writeFile(path("taken"), "old");
    std::filesystem::create_symlink(path("elsewhere"), path("link"));
    for (const char* target : {"taken", "link"}) {
        const auto copied = copyTree(path("source"), path(target), true);
        ASSERT_FALSE(copied);
        EXPECT_EQ(copied.error(), (TreeCopyFailure{EEXIST, false})) << target;
    }
    EXPECT_EQ(readFile(path("taken")), "old");
    EXPECT_FALSE(std::filesystem::exists(path("elsewhere")));

    // A link to a folder is copied as the link.
    makeFolder("folder");
    std::filesystem::create_directory_symlink(path("folder"), path("folder link"));
    ASSERT_TRUE(copyTree(path("folder link"), path("copied link"), true));
    EXPECT_EQ(std::filesystem::read_symlink(path("copied link")), path("folder"));
}

TEST_F(TreeCopyTest, CopiesMadeUnderADefaultAclKeepTheirSourcesPermissions)
{
    const std::string dest = makeFolder("dest");
    if (!setAcl(dest, ACL_TYPE_DEFAULT, "u::rwx,u:65534:rwx,g::rwx,m::rwx,o::rwx"))
        GTEST_SKIP() << "no POSIX ACLs here";
    const std::string top = makeFolder("top", 0750);
    writeFile(top + "/plain", "p", 0600);
    writeFile(top + "/shared", "s", 0640);
    ASSERT_TRUE(setAcl(top + "/shared", ACL_TYPE_ACCESS, "u::rw-,u:65534:r--,g::r--,m::r--,o::-"));

    ASSERT_TRUE(copyTree(top, dest + "/top", true));
    for (const char* item : {"/top", "/top/plain", "/top/shared"})
        EXPECT_EQ(xattrsOf(dest + item), xattrsOf(path(item + 1))) << item;
    EXPECT_EQ(lstatOf(dest + "/top/plain").st_mode & 07777, 0600u);
}

// Pauses the copy while it reads the source file and looks at what has been made so far: no one
// but the owner may read a half-made copy.
TEST_F(TreeCopyTest, HalfMadeItemsAreOpenOnlyToTheirOwner)
{
    const std::string top = makeFolder("top", 0755);
    makeFolder("top/sub", 0775);
    const std::string file = top + "/sub/file";
    writeFile(file, randomBytes(1 << 16), 0644);

    const std::string copy = path("copy");
    std::vector<mode_t> modesWhileReading;
    auto watch = PermissionWatch::start(file, FAN_ACCESS_PERM, [&](int) {
        if (modesWhileReading.empty())
            for (const char* item : {"", "/sub", "/sub/file"})
                modesWhileReading.push_back(lstatOf(copy + item).st_mode & 07777);
    });
    if (!watch)
        GTEST_SKIP() << watch.error();
    const auto copied = copyTree(top, copy, /*clone=*/false);
    watch->reset();

    ASSERT_TRUE(copied);
    EXPECT_EQ(modesWhileReading, (std::vector<mode_t>{0700, 0700, 0600}));
    EXPECT_EQ(lstatOf(copy).st_mode & 07777, 0755u);
    EXPECT_EQ(lstatOf(copy + "/sub").st_mode & 07777, 0775u);
    EXPECT_EQ(lstatOf(copy + "/sub/file").st_mode & 07777, 0644u);
}

// Files listed in a folder that are folders by the time the copy opens them: the copy takes each
// as what it is now. Ten names of twenty characters leave the folder's list of names so little
// room that putting the turned ones back into it reallocates it while some are still to come.
TEST_F(TreeCopyTest, FilesThatBecomeFoldersAfterTheListingArriveAsFolders)
{
    const std::string top = makeFolder("top");
    std::vector<std::string> names;
    for (char c = 'a'; c < 'a' + 10; ++c) {
        names.push_back(std::string(19, c) + "_");
        writeFile(top + "/" + names.back(), names.back());
    }

    // At the first file opened (the listing is done by then), every name from the fifth on in
    // listing order becomes a folder; the pool is still busy with the first few.
    const std::vector<std::string> order = testing::listingOrder(top);
    std::set<std::string> turned(order.begin() + 4, order.end());
    bool swapped = false;
    auto watch = PermissionWatch::start(top, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, [&](int fd) {
        struct stat opened {};
        if (swapped || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))
            return;
        swapped = true;
        for (const std::string& name : turned) {
            EXPECT_EQ(::unlink((top + "/" + name).c_str()), 0) << name;
            EXPECT_EQ(::mkdir((top + "/" + name).c_str(), 0755), 0) << name;
        }
    });
    if (!watch)
        GTEST_SKIP() << watch.error();
    const auto copied = copyTree(top, path("copy"), /*clone=*/false);
    watch->reset();

    ASSERT_TRUE(copied) << std::strerror(copied.error().error);
    ASSERT_TRUE(swapped);
    EXPECT_EQ(testing::namesIn(path("copy")), testing::namesIn(top));
    for (const std::string& name : names) {
        const std::string copy = path("copy/") + name;
        // A file the copy had opened before it turned arrives as the file it opened.
        if (turned.contains(name) && S_ISDIR(lstatOf(copy).st_mode))
            continue;
        EXPECT_EQ(readFile(copy), name) << name;
    }
    EXPECT_GE(std::ranges::count_if(names,
                                    [&](const std::string& name) {
                                        return S_ISDIR(lstatOf(path("copy/") + name).st_mode);
                                    }),
              3);
}

TEST_F(TreeCopyTest, RefusalsOfAnUnprivilegedUserAreErrors)
{
    const std::string top = makeFolder("top", 0755);
    writeFile(top + "/readable", "x", 0644);
    makeFolder("top/closed", 0700);
    makeFolder("devices", 0755);
    ASSERT_EQ(::mknod(path("devices/null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    const std::string dest = makeFolder("dest", 0777);

    const auto results = runAsNobody(
        [&] {
            std::string out;
            for (const auto& [source, target] :
                 {std::pair{top, dest + "/top"}, std::pair{path("devices"), dest + "/devices"}}) {
                const auto copied = copyTree(source, target, true);
                out += copied ? "ok;"
                              : std::to_string(copied.error().error) + "," +
                                    std::to_string(copied.error().created) + ";";
            }
            return out;
        },
        m_temp.path());
    if (!results)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(*results, std::to_string(EACCES) + ",1;" + std::to_string(EPERM) + ",1;");
}

TEST_F(TreeCopyTest, UmaskThatTakesTheOwnersBitsChangesNothing)
{
    const std::string top = makeFolder("top", 0755);
    makeFolder("top/sub", 0705);
    writeFile(top + "/sub/file", "f", 0604);
    const std::string dest = makeFolder("dest", 0777);
    const auto result = runAsNobody(
        [&] {
            const testing::ScopedUmask umask(0277);
            const auto copied = copyTree(top, dest + "/top", true);
            return copied ? std::string("ok") : std::strerror(copied.error().error);
        },
        m_temp.path());
    if (!result)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(*result, "ok");
    for (const auto& [item, mode] :
         {std::pair{"/top", 0755u}, {"/top/sub", 0705u}, {"/top/sub/file", 0604u}})
        EXPECT_EQ(lstatOf(dest + item).st_mode & 07777, mode) << item;
    EXPECT_EQ(readFile(dest + "/top/sub/file"), "f");
}

// Runs `body` in a child process allowed at most `descriptors` open descriptors; its result, or
// none when the child could not run or died.
std::optional<std::string> runWithDescriptorLimit(rlim_t descriptors,
                                                  const std::function<std::string()>& body)
{
    return testing::runInChild(
        [&] {
            const rlimit limit{descriptors, descriptors};
            return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : 3;
        },
        body);
}

// A tree far deeper than the descriptors the copier may hold: a folder per level, each with a
// file saying its depth. It is measured and copied, and its copy, with a locked file at the
// bottom, goes again as a partial copy does.
TEST_F(TreeCopyTest, DeepTreesAreCopiedAndRemovedWithFewDescriptors)
{
    constexpr int depth = 1000;
    const std::string top = makeFolder("deep");
    {
        UniqueFd level(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int i = 1; i <= depth && level; ++i) {
            ASSERT_EQ(::mkdirat(level.get(), "d", 0755), 0) << i;
            level = UniqueFd(::openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            const UniqueFd file(
                ::openat(level.get(), "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            const std::string text = std::to_string(i);
            ASSERT_EQ(::write(file.get(), text.data(), text.size()),
                      static_cast<ssize_t>(text.size()));
        }
        ASSERT_TRUE(level);
    }
    const std::string copy = path("copy");
    std::string deepest;
    for (int i = 0; i < depth; ++i)
        deepest += "/d";
    deepest += "/f";
    std::int64_t bytes = 0;
    for (int i = 1; i <= depth; ++i)
        bytes += static_cast<std::int64_t>(std::to_string(i).size());
    const auto result = runWithDescriptorLimit(64, [&] {
        // The walk that learns a copy's total goes just as deep.
        const CopyControl control({}, CopyControl::defaultInterval,
                                  {1'000'000, std::chrono::hours(1)});
        const auto measured = measureSources({top}, control);
        if (measured != std::vector<std::int64_t>{bytes})
            return std::string("walk: ") + (measured ? std::to_string(measured->at(0)) : "none");
        const auto copied = copyTree(top, copy, /*clone=*/true);
        if (!copied)
            return std::string("copy: ") + std::strerror(copied.error().error);
        // Every level arrived, down to the bottom, and went again with the removal.
        UniqueFd level(::open(copy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int i = 1; i <= depth; ++i) {
            level = UniqueFd(::openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            char text[16] = {};
            const UniqueFd file(::openat(level.get(), "f", O_RDONLY | O_CLOEXEC));
            if (!file || ::read(file.get(), text, sizeof text - 1) <= 0 ||
                std::to_string(i) != text)
                return "level " + std::to_string(i) + " is not there";
        }
        // A lock at the bottom, which only stripping the whole depth lets the removal past.
        const bool locked = changeFlags(copy + deepest, FS_IMMUTABLE_FL) == 0;
        level.reset();
        if (locked && removeTree(copy + "/d"))
            return std::string("removed through a lock");
        removePartialCopy(copy);
        return std::string(std::filesystem::exists(copy) ? "still there" : "ok");
    });
    ASSERT_TRUE(result) << "the child did not finish";
    EXPECT_EQ(*result, "ok");
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_TRUE(removeTree(top));
}

// Several folders of many files, each file its own content: every file lands in its own folder,
// and each folder's times are set only after the last of its files arrived.
TEST_F(TreeCopyTest, ManyFilesArriveAndFoldersKeepTheirTimes)
{
    const std::string top = makeFolder("top");
    for (const char* folder : {"a", "b", "b/c"}) {
        const std::string inner = makeFolder(std::string("top/") + folder);
        for (int i = 0; i < 150; ++i)
            writeFile(inner + "/" + std::to_string(i), std::string(folder) + std::to_string(i));
    }
    for (const char* folder : {"a", "b/c", "b", ""})
        setTimes(folder[0] ? top + "/" + folder : top, 5, 7);

    ASSERT_TRUE(copyTree(top, path("copy"), /*clone=*/false));
    for (const char* folder : {"a", "b", "b/c"}) {
        const std::string inner = path("copy/") + folder;
        EXPECT_EQ(testing::namesIn(inner).size(), std::string(folder) == "b" ? 151u : 150u);
        for (int i = 0; i < 150; ++i)
            ASSERT_EQ(readFile(inner + "/" + std::to_string(i)),
                      std::string(folder) + std::to_string(i))
                << folder << "/" << i;
    }
    for (const char* folder : {"a", "b/c", "b", ""}) {
        const struct stat info = lstatOf(folder[0] ? path("copy/") + folder : path("copy"));
        EXPECT_EQ(info.st_mtim.tv_sec, 1500000000) << folder;
        EXPECT_EQ(info.st_mtim.tv_nsec, 7) << folder;
    }
}

// A file that can't be read among many others: the copy stops with its error, and when it
// returns nothing is still being written, so the partial copy can be removed whole.
TEST_F(TreeCopyTest, AFileFailingAmongManyStopsTheWholeCopy)
{
    const std::string top = makeFolder("top");
    for (const char* folder : {"a", "b"}) {
        makeFolder(std::string("top/") + folder);
        for (int i = 0; i < 100; ++i)
            writeFile(top + "/" + folder + "/" + std::to_string(i), "x");
    }
    writeFile(top + "/a/50", "secret", 0000);
    const std::string dest = makeFolder("dest", 0777);

    const auto result = runAsNobody(
        [&] {
            const auto copied = copyTree(top, dest + "/copy", true);
            if (copied)
                return std::string("copied");
            const std::string failure = std::strerror(copied.error().error);
            if (!copied.error().created)
                return failure + ", nothing created";
            if (const auto removed = removeTree(dest + "/copy"); !removed)
                return failure + ", removal: " + std::strerror(removed.error().code);
            return failure + (std::filesystem::exists(dest + "/copy") ? ", still there" : "");
        },
        m_temp.path());
    if (!result)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(*result, std::strerror(EACCES));
}

TEST_F(TreeCopyTest, RemovalNeverFollowsLinks)
{
    const std::string outside = makeFolder("outside");
    writeFile(outside + "/keep", "x");
    const std::string tree = makeFolder("tree/a/b");
    writeFile(tree + "/file", "x");
    std::filesystem::create_directory_symlink(outside, path("tree/a/link"));
    std::filesystem::create_symlink(outside + "/keep", path("tree/file link"));

    EXPECT_TRUE(removeTree(path("tree")));
    EXPECT_FALSE(std::filesystem::exists(path("tree")));
    EXPECT_EQ(readFile(outside + "/keep"), "x");
    EXPECT_TRUE(removeTree(path("tree")));
}

} // namespace
} // namespace ambrevoli
