#include "copy_engine.h"

#include "fs_fixture.h"
#include "log.h"

#include <gtest/gtest.h>

#include <acl/libacl.h>
#include <sys/acl.h>

#include <sys/prctl.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <set>
#include <thread>

namespace ambrevoli {
namespace {

using testing::aclText;
using testing::changeFlags;
using testing::CopyTest;
using testing::itemFlags;
using testing::listAfter;
using testing::namesIn;
using testing::readFile;
using testing::runAsNobody;
using testing::ScopedEnv;
using testing::ScopedTmpfs;
using testing::setAcl;
using testing::writeFile;

// One line per entry, in report order: "copied <source> -> <copy>" or "failed <source>: <why>".
std::vector<std::string> entries(const CopyReport& report)
{
    std::vector<std::string> lines;
    for (const auto& item : report.copied)
        lines.push_back("copied " + item.source + " -> " + item.copy);
    for (const auto& item : report.failed)
        lines.push_back("failed " + item.source + ": " + textualForm(item.reason));
    return lines;
}

int stoppedCopierPipe = -1;

// Reports the stop and stays stopped until killed.
void stopMidCopy(int)
{
    const char stopped = 1;
    if (::write(stoppedCopierPipe, &stopped, 1) == 1)
        for (;;)
            ::pause();
    ::_exit(2);
}

// A copy running in a child process that stops for good once it has written 1 MiB of its copy:
// a copier frozen mid-copy, holding what it made. Killed when the value ends.
class StoppedCopier {
public:
    StoppedCopier(const CopyEngine& engine, const std::string& source, const std::string& dest)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            stoppedCopierPipe = fds[1];
            struct sigaction action {};
            action.sa_handler = stopMidCopy;
            ::sigaction(SIGXFSZ, &action, nullptr);
            const rlimit limit{1 << 20, 1 << 20};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            engine.copyItems({source}, dest);
            ::_exit(0);
        }
        ::close(fds[1]);
        char stopped = 0;
        ssize_t length;
        while ((length = ::read(fds[0], &stopped, 1)) < 0 && errno == EINTR) {
        }
        ::close(fds[0]);
        if (length != 1)
            kill();
    }
    ~StoppedCopier() { kill(); }
    StoppedCopier(const StoppedCopier&) = delete;
    StoppedCopier& operator=(const StoppedCopier&) = delete;

    // Whether the copier stopped mid-copy (and was not killed yet).
    bool stopped() const { return m_pid > 0; }

    void kill()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// The names in `folder` that begin with `prefix`, sorted.
std::vector<std::string> namesStartingWith(const std::string& folder, std::string_view prefix)
{
    std::vector<std::string> names;
    for (const auto& name : namesIn(folder))
        if (name.starts_with(prefix))
            names.push_back(name);
    return names;
}

class CopyEngineTest : public CopyTest {
protected:
    CopyEngine engine(DownloadProbe probe = defaultDownloadProbe) const
    {
        return CopyEngine(path("home"), std::move(probe));
    }

    const ScopedEnv m_config{"XDG_CONFIG_HOME", std::nullopt};
};

TEST_F(CopyEngineTest, UnusableDestinationTouchesNoSource)
{
    writeFile(path("a"), "a");
    int asked = 0;
    const auto counting = engine([&](const std::string&) { return ++asked, true; });
    const std::vector<std::string> sources{path("a"), path("b"), "c"};

    for (const std::string& dest : {path("gone"), path("a"), std::string("relative/dest")}) {
        const CopyReport report = counting.copyItems(sources, dest);
        EXPECT_EQ(report, (CopyReport{dest, DestinationProblem::missing(), 3, {}, {}})) << dest;
    }
    EXPECT_EQ(asked, 0);

    const std::string dest = makeFolder("dest") + "/";
    EXPECT_EQ(counting.copyItems({}, dest), (CopyReport{dest, std::nullopt, 0, {}, {}}));
}

TEST_F(CopyEngineTest, TakenNamesGetNumberedVariantsAndNothingIsReplaced)
{
    const std::string dest = makeFolder("dest");
    writeFile(dest + "/photo.jpg", "old");
    writeFile(path("photo.jpg"), "new");
    for (const char* expected : {"/photo 2.jpg", "/photo 3.jpg"}) {
        const CopyReport report = engine().copyItems({path("photo.jpg")}, dest);
        EXPECT_EQ(report.copied,
                  (std::vector<CopiedItem>{{path("photo.jpg"), dest + expected, false}}));
        EXPECT_TRUE(report.failed.empty());
        EXPECT_EQ(readFile(dest + expected), "new");
    }
    EXPECT_EQ(readFile(dest + "/photo.jpg"), "old");
}

TEST_F(CopyEngineTest, VariantThatCannotBeNamedIsTooLong)
{
    // The suffix alone fills the name: its variants are longer than the file system allows.
    const std::string name = "a." + std::string(253, 'x');
    const std::string dest = makeFolder("dest");
    writeFile(dest + "/" + name, "taken");
    writeFile(path(name), "new");
    const CopyReport report = engine().copyItems({path(name)}, dest);
    EXPECT_EQ(report.failed, (std::vector<FailedItem>{{path(name), CopyFailure::nameTooLong()}}));
    EXPECT_EQ(namesIn(dest), std::vector<std::string>{name});
}

TEST_F(CopyEngineTest, SourcesAreTrimmedButReportedAsPassed)
{
    const std::string dest = makeFolder("dest");
    makeFolder("Project/src");
    writeFile(path("Project/src/main.cpp"), "int main() {}");
    writeFile(path("notes.txt"), "n");
    const std::vector<std::string> sources{path("Project") + "//", "notes.txt", path("absent"),
                                           path("notes.txt")};

    const CopyReport report = engine().copyItems(sources, dest + "/");
    EXPECT_EQ(report.destination, dest + "/");
    EXPECT_EQ(report.itemCount, 4);
    EXPECT_EQ(report.copied, (std::vector<CopiedItem>{{sources[0], dest + "/Project", true},
                                                      {sources[3], dest + "/notes.txt", false}}));
    EXPECT_EQ(report.failed, (std::vector<FailedItem>{{"notes.txt", CopyFailure::missing()},
                                                      {sources[2], CopyFailure::missing()}}));
    EXPECT_EQ(readFile(dest + "/Project/src/main.cpp"), "int main() {}");
}

TEST_F(CopyEngineTest, PathsWithANulByteNameNothing)
{
    // The system would read each path only up to the NUL: x/secret, and the folder dest.
    makeFolder("x");
    writeFile(path("x/secret"), "secret");
    const std::string dest = makeFolder("dest");
    const std::string source = path("x/secret") + std::string("\0/../../etc/x", 13);
    const LogCapture log;

    const CopyReport report = engine().copyItems({source}, dest);
    EXPECT_EQ(report.failed, (std::vector<FailedItem>{{source, CopyFailure::missing()}}));
    EXPECT_TRUE(report.copied.empty());

    const std::string cutDest = dest + std::string("\0/elsewhere", 11);
    EXPECT_EQ(engine().copyItems({path("x/secret")}, cutDest),
              (CopyReport{cutDest, DestinationProblem::missing(), 1, {}, {}}));
    EXPECT_TRUE(namesIn(dest).empty());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Refused a source path with a NUL byte",
                                        "Refused a destination path with a NUL byte"}));
}

TEST_F(CopyEngineTest, FolderIsNeverCopiedIntoItself)
{
    const std::string dest = makeFolder("work/sub/dest");
    writeFile(path("file"), "f");
    std::filesystem::create_directory_symlink(path("work"), path("work link"));
    std::filesystem::create_directory_symlink(path("work"), path("link to work"));
    const std::vector<std::string> sources{
        path("work"),               // an ancestor
        dest,                       // the destination itself
        path("work link") + "/sub", // an ancestor under another path text
        path("link to work"),       // a link: copied as a link, never followed
        path("file"),
    };
    const CopyReport report = engine().copyItems(sources, dest);
    EXPECT_EQ(entries(report), (std::vector<std::string>{
                                   "copied " + sources[3] + " -> " + dest + "/link to work",
                                   "copied " + sources[4] + " -> " + dest + "/file",
                                   "failed " + sources[0] + ": intoItself",
                                   "failed " + sources[1] + ": intoItself",
                                   "failed " + sources[2] + ": intoItself",
                               }));
    EXPECT_TRUE(std::filesystem::is_symlink(dest + "/link to work"));
}

// The destination lies inside the source by a way its path does not show: the copy must stop
// when it meets itself instead of copying itself into itself.
TEST_F(CopyEngineTest, CopyThatMeetsItselfThroughABindMountStops)
{
    const std::string dest = makeFolder("source/sub/dest");
    writeFile(path("source/file"), "f");
    const std::string alias = makeFolder("alias");
    if (!testing::privateMounts() ||
        ::mount(path("source/sub").c_str(), alias.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount here";
    const CopyReport report = engine().copyItems({path("source")}, alias + "/dest");
    ::umount2(alias.c_str(), MNT_DETACH);
    EXPECT_EQ(report.failed,
              (std::vector<FailedItem>{{path("source"), CopyFailure::other(ELOOP)}}));
    EXPECT_TRUE(namesIn(dest).empty());
}

TEST_F(CopyEngineTest, ContentNotOnThisMachineIsNotCopied)
{
    const std::string dest = makeFolder("dest");
    writeFile(path("cloud"), "");
    writeFile(path("local"), "l");
    const auto probe = [&](const std::string& source) { return source != path("cloud"); };
    const CopyReport report = engine(probe).copyItems({path("cloud"), path("local")}, dest);
    EXPECT_EQ(report.failed,
              (std::vector<FailedItem>{{path("cloud"), CopyFailure::notDownloaded()}}));
    EXPECT_EQ(namesIn(dest), std::vector<std::string>{"local"});
}

TEST_F(CopyEngineTest, DestinationRemovedMidRequestFailsTheRestAsGone)
{
    const std::string dest = makeFolder("dest");
    std::vector<std::string> sources;
    for (int i = 1; i <= 5; ++i) {
        sources.push_back(path("item" + std::to_string(i)));
        writeFile(sources.back(), "x");
    }
    // The probe is asked just before an item is copied: make the third one find no folder.
    const auto probe = [&](const std::string& source) {
        if (source == sources[2])
            std::filesystem::remove_all(dest);
        return true;
    };
    const CopyReport report = engine(probe).copyItems(sources, dest);
    EXPECT_EQ(entries(report), (std::vector<std::string>{
                                   "copied " + sources[0] + " -> " + dest + "/item1",
                                   "copied " + sources[1] + " -> " + dest + "/item2",
                                   "failed " + sources[2] + ": destinationGone",
                                   "failed " + sources[3] + ": destinationGone",
                                   "failed " + sources[4] + ": destinationGone",
                               }));
}

TEST_F(CopyEngineTest, LockAndAclArriveOnTheFinalCopyWithItsOtherFlags)
{
    const std::string dest = makeFolder("dest");
    writeFile(dest + "/report.pdf", "taken");
    const std::string file = path("report.pdf");
    writeFile(file, "locked", 0640);
    if (!setAcl(file, ACL_TYPE_ACCESS, "u::rw-,u:65534:r--,g::r--,m::r--,o::---"))
        GTEST_SKIP() << "no POSIX ACLs here";
    if (const int error = changeFlags(file, FS_IMMUTABLE_FL | FS_NODUMP_FL))
        GTEST_SKIP() << "cannot lock a file here: " << std::strerror(error);
    const std::string folder = makeFolder("Locked Folder");
    writeFile(folder + "/inside", "i");
    ASSERT_EQ(changeFlags(folder, FS_IMMUTABLE_FL), 0);

    const LogCapture log;
    const CopyReport report = engine().copyItems({file, folder}, dest);
    EXPECT_EQ(report.copied, (std::vector<CopiedItem>{{file, dest + "/report 2.pdf", false},
                                                      {folder, dest + "/Locked Folder", true}}));
    EXPECT_TRUE(log.lines().empty());
    const std::string copy = dest + "/report 2.pdf";
    EXPECT_EQ(*itemFlags(copy) & (FS_IMMUTABLE_FL | FS_NODUMP_FL | FS_APPEND_FL),
              FS_IMMUTABLE_FL | FS_NODUMP_FL);
    EXPECT_EQ(aclText(copy, ACL_TYPE_ACCESS), aclText(file, ACL_TYPE_ACCESS));
    EXPECT_EQ(readFile(copy), "locked");
    EXPECT_EQ(*itemFlags(dest + "/Locked Folder") & FS_IMMUTABLE_FL, FS_IMMUTABLE_FL);
    EXPECT_EQ(readFile(dest + "/Locked Folder/inside"), "i");
}

TEST_F(CopyEngineTest, UnusableVolumesAndLockedFolders)
{
    const ScopedTmpfs readOnly(path("ro"), "size=1m", /*readOnly=*/true);
    if (!readOnly.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    writeFile(path("file"), "x");
    const std::string locked = makeFolder("locked");
    const std::string desktop = makeFolder("home/Desktop");
    if (const int error =
            changeFlags(locked, FS_IMMUTABLE_FL) | changeFlags(desktop, FS_IMMUTABLE_FL))
        GTEST_SKIP() << "cannot lock a folder here: " << std::strerror(error);

    struct Case {
        std::string dest;
        DestinationProblem problem;
    } cases[] = {
        {readOnly.path(), DestinationProblem::readOnly()},
        {locked, DestinationProblem::notPermitted(false)},
        {desktop, DestinationProblem::notPermitted(true)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(engine().copyItems({path("file")}, c.dest),
                  (CopyReport{c.dest, c.problem, 1, {}, {}}))
            << c.dest;
}

TEST_F(CopyEngineTest, OutOfSpaceLeavesNothingAndTheRestGoesOn)
{
    const ScopedTmpfs tiny(path("tiny"), "size=1m");
    if (!tiny.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    writeFile(path("big"), std::string(2 << 20, 'b'));
    writeFile(path("small"), "s");
    const CopyReport report = engine().copyItems({path("big"), path("small")}, tiny.path());
    EXPECT_EQ(entries(report), (std::vector<std::string>{
                                   "copied " + path("small") + " -> " + tiny.path() + "/small",
                                   "failed " + path("big") + ": outOfSpace",
                               }));
    EXPECT_EQ(namesIn(tiny.path()), std::vector<std::string>{"small"});
}

// A copy that fails midway, after a locked file inside a read-only folder was copied: the
// partial copy can only be removed after its protections are stripped.
TEST_F(CopyEngineTest, PartialCopyWithALockedFileInAReadOnlyFolderIsRemoved)
{
    const ScopedTmpfs tiny(path("tiny"), "size=1m");
    if (!tiny.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    writeFile(tiny.path() + "/probe", "");
    if (const int error = changeFlags(tiny.path() + "/probe", FS_IMMUTABLE_FL))
        GTEST_SKIP() << "cannot lock a file on tmpfs here: " << std::strerror(error);
    changeFlags(tiny.path() + "/probe", 0, FS_IMMUTABLE_FL);
    std::filesystem::remove(tiny.path() + "/probe");

    const std::string source = makeFolder("source");
    const std::string readOnly = makeFolder("source/read-only");
    writeFile(readOnly + "/locked", "x", 0444);
    ASSERT_EQ(changeFlags(readOnly + "/locked", FS_IMMUTABLE_FL), 0);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0555), 0);
    const std::string big = listAfter(source, "read-only", "big");
    writeFile(source + "/" + big, std::string(2 << 20, 'b'));

    const LogCapture log;
    const CopyReport report = engine().copyItems({source}, tiny.path());
    EXPECT_EQ(report.failed, (std::vector<FailedItem>{{source, CopyFailure::outOfSpace()}}));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(namesIn(tiny.path()).empty());
}

TEST_F(CopyEngineTest, PermissionRefusalsForAnUnprivilegedUser)
{
    const std::string closedDest = makeFolder("closed dest", 0755);
    const std::string dest = makeFolder("dest", 0777);
    writeFile(path("secret"), "s", 0600);
    makeFolder("private", 0700);
    writeFile(path("private/file"), "p", 0644);
    const std::string folder = makeFolder("folder", 0755);
    makeFolder("folder/closed", 0700);
    // A read-only folder is copied completely before the copy fails on its unreadable sibling.
    const std::string tree = makeFolder("tree", 0755);
    const std::string readOnly = makeFolder("tree/read-only", 0755);
    writeFile(readOnly + "/inside", "i", 0644);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0555), 0);
    const std::string secret = listAfter(tree, "read-only", "secret");
    writeFile(tree + "/" + secret, "s", 0600);
    writeFile(path("public"), "p", 0644);

    const auto result = runAsNobody(
        [&] {
            const LogCapture log;
            const CopyEngine engine(path("home"), defaultDownloadProbe);
            std::string out = textualForm(*engine.copyItems({path("public")}, closedDest).problem);
            const CopyReport report = engine.copyItems(
                {path("secret"), path("private/file"), folder, tree, path("public")}, dest);
            for (const auto& line : entries(report))
                out += "\n" + line;
            for (const auto& line : log.lines())
                out += "\nlog: " + line;
            return out;
        },
        m_temp.path());
    if (!result)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(*result, "noPermission"
                       "\ncopied " +
                           path("public") + " -> " + dest + "/public" + "\nfailed " +
                           path("secret") + ": noPermission" + "\nfailed " + path("private/file") +
                           ": noPermission" + "\nfailed " + folder + ": noPermission" +
                           "\nfailed " + tree + ": noPermission");
    EXPECT_EQ(namesIn(dest), std::vector<std::string>{"public"});
}

// A drop box: others may put items into it but not see what is there. Nothing the engine does
// there needs to read the folder, and a copy that fails midway is still removed.
TEST_F(CopyEngineTest, DropBoxTakesCopiesFromAUserWhoCannotListIt)
{
    const std::string dropBox = makeFolder("drop box", 0733);
    writeFile(path("file.txt"), "f", 0644);
    const std::string tree = makeFolder("tree", 0755);
    makeFolder("tree/sub", 0755);
    writeFile(tree + "/sub/inner", "i", 0644);
    // Its subfolder is copied before the copy fails on the file no one else may read.
    const std::string failing = makeFolder("failing", 0755);
    makeFolder("failing/sub", 0755);
    writeFile(failing + "/sub/inner", "i", 0644);
    writeFile(failing + "/" + listAfter(failing, "sub", "secret"), "s", 0600);

    const auto result = runAsNobody(
        [&] {
            const LogCapture log;
            const CopyReport report =
                engine().copyItems({path("file.txt"), tree, failing}, dropBox);
            std::string out = report.problem ? textualForm(*report.problem) : "usable";
            for (const auto& line : entries(report))
                out += "\n" + line;
            for (const auto& line : log.lines())
                out += "\nlog: " + line;
            return out;
        },
        m_temp.path());
    if (!result)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(*result, "usable\ncopied " + path("file.txt") + " -> " + dropBox +
                           "/file.txt\ncopied " + tree + " -> " + dropBox + "/tree\nfailed " +
                           failing + ": noPermission");
    EXPECT_EQ(namesIn(dropBox), (std::vector<std::string>{"file.txt", "tree"}));
    EXPECT_EQ(readFile(dropBox + "/tree/sub/inner"), "i");
}

TEST_F(CopyEngineTest, RefusedMoveIsOtherAndAFailedCleanUpIsLogged)
{
    // An append-only folder takes new items but lets none be renamed or removed.
    const std::string dest = makeFolder("dest");
    writeFile(path("file"), "x");
    if (const int error = changeFlags(dest, FS_APPEND_FL))
        GTEST_SKIP() << "cannot make a folder append-only here: " << std::strerror(error);
    const LogCapture log;
    const CopyReport report = engine().copyItems({path("file")}, dest);
    EXPECT_EQ(report.failed, (std::vector<FailedItem>{{path("file"), CopyFailure::other(EPERM)}}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Couldn't remove the write check file: errno 1",
                               "Couldn't remove a partial copy: <private>",
                           }));
    ASSERT_EQ(log.records().size(), 2u);
    EXPECT_EQ(log.records()[1].revealed,
              "Couldn't remove a partial copy: Operation not permitted (errno 1)");
    for (const auto& record : log.records()) {
        EXPECT_EQ(record.category, "copy");
        EXPECT_EQ(record.level, LogLevel::error);
    }
    changeFlags(dest, 0, FS_APPEND_FL);
    for (const auto& leftover : testing::engineLeftovers(dest))
        std::filesystem::remove(leftover);
}

// What a copier killed mid-copy left is removed before the next copy into the folder, and when
// the host starts; a live copier's item, and whatever a link of such a name points to, are not.
TEST_F(CopyEngineTest, WhatAKilledCopyLeftIsRemovedAndNothingElse)
{
    const std::string dest = makeFolder("dest");
    const std::string big = makeFolder("big");
    makeFolder("big/sub");
    writeFile(big + "/sub/data", std::string(4 << 20, 'd'));
    writeFile(path("small"), "s");
    const std::string outside = makeFolder("outside");
    writeFile(outside + "/keep", "k");
    const std::string link = dest + "/.ambrevoli-copy-link";
    std::filesystem::create_directory_symlink(outside, link);

    StoppedCopier killed(engine(), big, dest);
    if (!killed.stopped())
        GTEST_SKIP() << "the copy did not stop mid-way: this volume may have cloned it";
    const auto killedItems = namesStartingWith(dest, ".ambrevoli-copy-");
    // It sweeps the folder first, and leaves the first copier's item alone.
    StoppedCopier live(engine(), big, dest);
    ASSERT_TRUE(live.stopped());
    auto liveItems = namesStartingWith(dest, ".ambrevoli-copy-");
    ASSERT_EQ(killedItems.size(), 2u);
    ASSERT_EQ(liveItems.size(), 3u);
    std::erase_if(liveItems, [&](const std::string& name) {
        return std::ranges::find(killedItems, name) != killedItems.end();
    });
    const std::string killedItem =
        dest + "/" + (killedItems[0] == ".ambrevoli-copy-link" ? killedItems[1] : killedItems[0]);
    const std::string liveItem = dest + "/" + liveItems.at(0);
    writeFile(dest + "/.ambrevoli-check-left", "");
    killed.kill();
    ASSERT_TRUE(std::filesystem::is_directory(killedItem + "/sub"));

    {
        const LogCapture log;
        const CopyReport report = engine().copyItems({path("small")}, dest);
        EXPECT_EQ(entries(report),
                  std::vector<std::string>{"copied " + path("small") + " -> " + dest + "/small"});
        EXPECT_EQ(namesIn(dest),
                  (std::vector<std::string>{liveItems[0], ".ambrevoli-copy-link", "small"}));
        std::set<std::string> removed;
        for (const auto& record : log.records()) {
            EXPECT_EQ(record.category, "copy");
            EXPECT_EQ(record.text, "Removed a temporary item no copy was holding: <private>");
            removed.insert(record.revealed);
        }
        const std::string prefix = "Removed a temporary item no copy was holding: ";
        EXPECT_EQ(removed, (std::set<std::string>{prefix + killedItem,
                                                  prefix + dest + "/.ambrevoli-check-left"}));
    }

    // The sweep the host runs at its start for every destination.
    live.kill();
    ASSERT_TRUE(std::filesystem::is_directory(liveItem));
    removeAbandonedTemporaries(dest);
    EXPECT_EQ(namesIn(dest), (std::vector<std::string>{".ambrevoli-copy-link", "small"}));
    EXPECT_EQ(readFile(outside + "/keep"), "k");
    std::filesystem::remove(link);
}

// In a folder shared with others, another user's items are theirs to remove, even where the
// folder would let this user remove them.
TEST_F(CopyEngineTest, SweepLeavesAnotherUsersItemsAlone)
{
    const std::string shared = makeFolder("shared", 0777);
    writeFile(shared + "/.ambrevoli-copy-readable", "r", 0644);
    writeFile(shared + "/.ambrevoli-copy-private", "p", 0600);
    makeFolder("shared/.ambrevoli-copy-folder", 0755);
    const auto result = runAsNobody(
        [&] {
            writeFile(shared + "/.ambrevoli-check-own", "", 0600);
            removeAbandonedTemporaries(shared);
            return std::string("swept");
        },
        m_temp.path());
    if (!result)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    const std::vector<std::string> names{".ambrevoli-copy-folder", ".ambrevoli-copy-private",
                                         ".ambrevoli-copy-readable"};
    EXPECT_EQ(namesIn(shared), names);
    for (const auto& name : names)
        std::filesystem::remove(shared + "/" + name);
}

// A sweep meets copies' new items in the moment between their creation and their lock: each of
// those copies goes on under another name.
TEST_F(CopyEngineTest, CopiesRacingASweepAllArrive)
{
    constexpr int rounds = 100;
    const std::string dest = makeFolder("dest");
    makeFolder("folder/sub");
    writeFile(path("folder/sub/file"), "f");
    writeFile(path("file"), "x");

    std::atomic<bool> done = false;
    std::thread sweeper([&] {
        while (!done)
            removeAbandonedTemporaries(dest);
    });
    const CopyEngine copier = engine();
    std::size_t copied = 0;
    for (int i = 0; i < rounds; ++i) {
        const CopyReport report = copier.copyItems({path("folder"), path("file")}, dest);
        EXPECT_TRUE(report.failed.empty()) << ::testing::PrintToString(entries(report));
        copied += report.copied.size();
    }
    done = true;
    sweeper.join();
    EXPECT_EQ(copied, 2u * rounds);
    EXPECT_EQ(namesIn(dest).size(), 2u * rounds);
}

TEST_F(CopyEngineTest, ConcurrentCopiesOfOneFileGetDistinctNames)
{
    constexpr int count = 20;
    const std::string dest = makeFolder("dest");
    writeFile(dest + "/f.txt", "already here");
    writeFile(path("f.txt"), "sent");

    std::vector<CopyReport> reports(count);
    std::atomic<bool> go = false;
    std::vector<std::thread> threads;
    const CopyEngine shared = engine();
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            reports[i] = shared.copyItems({path("f.txt")}, dest);
        });
    go = true;
    for (auto& thread : threads)
        thread.join();

    std::set<std::string> copies;
    for (const auto& report : reports) {
        ASSERT_EQ(report.copied.size(), 1u) << ::testing::PrintToString(entries(report));
        copies.insert(report.copied[0].copy);
        EXPECT_EQ(readFile(report.copied[0].copy), "sent");
    }
    EXPECT_EQ(copies.size(), count);
    EXPECT_EQ(namesIn(dest).size(), count + 1);
    EXPECT_EQ(readFile(dest + "/f.txt"), "already here");
}

} // namespace
} // namespace ambrevoli
