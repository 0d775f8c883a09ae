#include "destination_checks.h"

#include "fs_fixture.h"
#include "log.h"

#include <gtest/gtest.h>

namespace ambrevoli {
namespace {

using testing::changeFlags;
using testing::CopyTest;
using testing::engineLeftovers;
using testing::runAsNobody;
using testing::ScopedEnv;
using testing::ScopedTmpfs;
using testing::writeFile;

using DestinationChecksTest = CopyTest;

TEST_F(DestinationChecksTest, UsableFolderLeavesNoCheckFileBehind)
{
    const std::string dest = makeFolder("dest");
    const LogCapture log;
    EXPECT_EQ(checkDestination(dest, path("home")), std::nullopt);
    EXPECT_TRUE(testing::namesIn(dest).empty());
    EXPECT_TRUE(log.lines().empty());

    // A link to a folder is followed and accepted.
    std::filesystem::create_directory_symlink(dest, path("link"));
    EXPECT_EQ(checkDestination(path("link"), path("home")), std::nullopt);
}

TEST_F(DestinationChecksTest, MissingOrNotAFolder)
{
    writeFile(path("file"), "x");
    for (const std::string& dest : {path("file"), path("gone"), path("file/below")})
        EXPECT_EQ(checkDestination(dest, path("home")), DestinationProblem::missing()) << dest;
}

TEST_F(DestinationChecksTest, LockedFolderIsNotPermittedAndProtectedWhereTheDesktopGuardsIt)
{
    const ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    const std::string home = makeFolder("home");
    const std::string desktop = makeFolder("home/Desktop");
    const std::string other = makeFolder("home/Desktop Archive");
    for (const auto& folder : {desktop, other})
        if (const int error = changeFlags(folder, FS_IMMUTABLE_FL))
            GTEST_SKIP() << "cannot lock a folder here: " << std::strerror(error);
    EXPECT_EQ(checkDestination(desktop, home), DestinationProblem::notPermitted(true));
    EXPECT_EQ(checkDestination(other, home), DestinationProblem::notPermitted(false));
}

TEST_F(DestinationChecksTest, ReadOnlyAndFullVolumes)
{
    const ScopedTmpfs readOnly(path("ro"), "size=1m", /*readOnly=*/true);
    const ScopedTmpfs noInodes(path("full"), "size=1m,nr_inodes=1");
    if (!readOnly.mounted() || !noInodes.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(checkDestination(readOnly.path(), path("home")), DestinationProblem::readOnly());
    EXPECT_EQ(checkDestination(noInodes.path(), path("home")), DestinationProblem::other(ENOSPC));
}

TEST_F(DestinationChecksTest, CheckFileThatCannotBeRemovedIsLoggedAndTheFolderStillUsable)
{
    const std::string dest = makeFolder("dest");
    if (const int error = changeFlags(dest, FS_APPEND_FL))
        GTEST_SKIP() << "cannot make a folder append-only here: " << std::strerror(error);
    const LogCapture log;
    EXPECT_EQ(checkDestination(dest, path("home")), std::nullopt);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Couldn't remove the write check file: errno 1"});
    changeFlags(dest, 0, FS_APPEND_FL);
    for (const auto& leftover : engineLeftovers(dest))
        std::filesystem::remove(leftover);
}

TEST_F(DestinationChecksTest, PermissionRefusalsForAnUnprivilegedUser)
{
    const std::string writable = makeFolder("writable", 0777);
    const std::string readOnly = makeFolder("read-only", 0755);
    makeFolder("closed", 0700);
    const std::string behindClosed = makeFolder("closed/dest", 0777);
    const auto problems = runAsNobody(
        [&] {
            std::string out;
            for (const auto& dest : {writable, readOnly, behindClosed}) {
                const auto problem = checkDestination(dest, "/nonexistent");
                out += (problem ? textualForm(*problem) : "usable") + ";";
            }
            return out;
        },
        m_temp.path());
    if (!problems)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(*problems, "usable;noPermission;noPermission;");
}

TEST_F(DestinationChecksTest, ProblemForErrno)
{
    const ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    struct Case {
        int error;
        const char* destination;
        DestinationProblem problem;
    } cases[] = {
        {EPERM, "/home/u/Downloads/x", DestinationProblem::notPermitted(true)},
        {EPERM, "/home/u/other", DestinationProblem::notPermitted(false)},
        {ENOENT, "/home/u/x", DestinationProblem::missing()},
        {ENOTDIR, "/home/u/x", DestinationProblem::missing()},
        {EACCES, "/home/u/x", DestinationProblem::noPermission()},
        {EROFS, "/home/u/x", DestinationProblem::readOnly()},
        {ENOSPC, "/home/u/x", DestinationProblem::other(ENOSPC)},
        {EIO, "/home/u/x", DestinationProblem::other(EIO)},
        {ENOTCONN, "/home/u/x", DestinationProblem::unreachable()},
        {ETIMEDOUT, "/home/u/x", DestinationProblem::unreachable()},
        {EHOSTUNREACH, "/home/u/x", DestinationProblem::unreachable()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(problemForErrno(c.error, c.destination, "/home/u"), c.problem)
            << c.error << " " << c.destination;
}

TEST_F(DestinationChecksTest, ProtectedLocationsFollowTheUserDirectories)
{
    const std::string home = path("home");
    {
        const ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(protectedLocations(home),
                  (std::vector<std::string>{home + "/Desktop", home + "/Documents",
                                            home + "/Downloads", "/media", "/run/media"}));
    }
    makeFolder("config");
    writeFile(path("config/user-dirs.dirs"), "# written by the desktop\n"
                                             "XDG_DESKTOP_DIR=\"$HOME/Schreib tisch\"\n"
                                             "XDG_DOCUMENTS_DIR=\"$HOME/\"\n"
                                             "  XDG_DOWNLOAD_DIR=\"/data/d\\\"l/\"\n"
                                             "XDG_MUSIC_DIR=\"$HOME/Musik\"\n");
    const ScopedEnv config("XDG_CONFIG_HOME", path("config"));
    EXPECT_EQ(
        protectedLocations(home),
        (std::vector<std::string>{home + "/Schreib tisch", "/data/d\"l", "/media", "/run/media"}));

    struct Case {
        std::string path;
        bool isProtected;
    } cases[] = {
        {home + "/Schreib tisch", true},
        {home + "/Schreib tisch/a/b", true},
        {home + "/Schreib tisch Archiv", false},
        {home + "/schreib tisch", false},
        {home + "/Desktop", false},
        {home + "/Documents", false},
        {home, false},
        {"/data/d\"l/x", true},
        {"/media", true},
        {"/media/usb/file", true},
        {"/mediastore", false},
        {"/run/media/u/stick", true},
        {"/run", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isProtectedLocation(c.path, home), c.isProtected) << c.path;

    // A home that is the root folder (a service's HOME=/) has its folders at the top.
    makeFolder("root config");
    writeFile(path("root config/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"$HOME/Schreib tisch\"\n");
    const ScopedEnv rootConfig("XDG_CONFIG_HOME", path("root config"));
    EXPECT_EQ(protectedLocations("/"),
              (std::vector<std::string>{"/Schreib tisch", "/Documents", "/Downloads", "/media",
                                        "/run/media"}));
    EXPECT_TRUE(isProtectedLocation("/Downloads/x", "/"));
}

TEST_F(DestinationChecksTest, IdentitiesAreTheRealFolderAndItsAncestors)
{
    const std::string dest = makeFolder("a/b");
    std::filesystem::create_directory_symlink(dest, path("link"));

    std::unordered_set<FileID> expected;
    for (std::string p = dest;; p = std::filesystem::path(p).parent_path()) {
        const struct stat info = testing::lstatOf(p);
        expected.insert({static_cast<std::uint64_t>(info.st_dev), info.st_ino});
        if (p == "/")
            break;
    }
    EXPECT_EQ(destinationIdentities(dest), expected);
    EXPECT_EQ(destinationIdentities(path("link")), expected);
    EXPECT_TRUE(destinationIdentities(path("gone")).empty());
}

} // namespace
} // namespace ambrevoli
