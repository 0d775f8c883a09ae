#include "trash.h"

#include "fs_fixture.h"
#include "unique_fd.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::lstatOf;
using testing::readFile;
using testing::ScopedEnv;
using testing::ScopedTmpfs;
using testing::writeFile;

TEST(TrashInfo, RecordsTheEncodedPathAndTheLocalDeletionTime)
{
    const ScopedEnv zone("TZ", "UTC");
    ::tzset();
    struct Case {
        const char* path;
        const char* encoded;
    } cases[] = {
        {"/home/me/Inbox/report.pdf", "/home/me/Inbox/report.pdf"},
        {"/home/me/a b#c?%.txt", "/home/me/a%20b%23c%3F%25.txt"},
        {"/home/me/\xC3\xA9t\xC3\xA9\nx", "/home/me/%C3%A9t%C3%A9%0Ax"},
        {"Backups/F", "Backups/F"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(trashInfoText(c.path, 86400 * 365),
                  std::string("[Trash Info]\nPath=") + c.encoded +
                      "\nDeletionDate=1971-01-01T00:00:00\n")
            << c.path;
}

// gio reads the trash the way the file manager does: its listing and its restore show that
// what Ambrevoli put there can be put back.
TEST(Trash, TheDesktopsTrashListsAndRestoresIt)
{
    if (std::system("(command -v gio && command -v dbus-run-session) >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gio or dbus-run-session isn't installed";
    testing::ScopedTempDir root;
    const ScopedEnv data("XDG_DATA_HOME", root / "data");
    const ScopedEnv home("HOME", root.path());
    const std::string inbox = root / "Inbox";
    fs::create_directories(inbox);
    writeFile(inbox + "/report.pdf", "pdf");
    const Trash trash(root / "data/Trash", ::getuid());
    const UniqueFd parent(::open(inbox.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(trash.moveToTrash(parent.get(), "report.pdf", inbox + "/report.pdf",
                                  std::time(nullptr)));
    ASSERT_FALSE(fs::exists(inbox + "/report.pdf"));

    // The trash backend is a session service: a private bus of its own starts it, and ends it.
    const std::string listing = root / "listing";
    const std::string script = "gio trash --list > " + listing +
                               " && gio trash --restore trash:///report.pdf";
    const int status = std::system(("timeout 60 dbus-run-session -- sh -c '" + script +
                                    "' >/dev/null 2>&1")
                                       .c_str());
    const std::string listed = readFile(listing);
    if (status != 0 && listed.empty())
        GTEST_SKIP() << "gio can't reach the trash here (no session bus or trash backend)";
    EXPECT_NE(listed.find("trash:///report.pdf\t" + inbox + "/report.pdf"), std::string::npos)
        << listed;
    ASSERT_EQ(status, 0);
    EXPECT_EQ(readFile(inbox + "/report.pdf"), "pdf");
    EXPECT_FALSE(fs::exists(root / "data/Trash/files/report.pdf"));
    EXPECT_FALSE(fs::exists(root / "data/Trash/info/report.pdf.trashinfo"));
}

TEST(Trash, AVolumeWhoseTrashIsALinkUsesItsOwnInstead)
{
    testing::ScopedTempDir root;
    const std::string mount = root / "vol";
    ScopedTmpfs volume(mount, "size=1m");
    if (!volume.mounted())
        GTEST_SKIP() << "can't mount a tmpfs here (needs root)";
    const std::string elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    ::chmod(elsewhere.c_str(), 01777);
    fs::create_directory_symlink(elsewhere, mount + "/.Trash");
    writeFile(mount + "/a", "a");
    const Trash trash(root / "data/Trash", ::getuid());
    const UniqueFd parent(::open(mount.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

    const auto trashed = trash.moveToTrash(parent.get(), "a", mount + "/a", 0);
    ASSERT_TRUE(trashed) << textualForm(trashed.error());
    EXPECT_EQ(trashed->trash, mount + "/.Trash-" + std::to_string(::getuid()));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    fs::remove_all(trashed->trash);
}

} // namespace
} // namespace ambrevoli
