#include "undo_records.h"

#include "fs_fixture.h"
#include "unique_fd.h"
#include "placed_record.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::lstatOf;
using testing::readFile;
using testing::ScopedEnv;
using testing::ScopedTmpfs;
using testing::writeFile;

inline void PrintTo(const LeftItem& item, std::ostream* out)
{
    *out << item.path << ": " << textualForm(item.reason);
}

// A destination with what a send placed in it, the records of the host and the user's trash,
// all in one temporary folder on one volume.
class UndoTest : public ::testing::Test {
protected:
    testing::ScopedTempDir root;
    const std::string destination = root / "Inbox";
    const std::string homeTrash = root / "data/Trash";
    const UndoRecords records{root / "data/ambrevoli/Undo"};
    const Trash trash{homeTrash, ::getuid()};
    const Uuid id = Uuid::random();
    const std::time_t now = std::time(nullptr);

    void SetUp() override { fs::create_directories(destination); }

    // Records `placed` (names in the destination) as one send's.
    void recordPlaced(const std::vector<std::string>& placed)
    {
        CopyReport report;
        report.destination = destination;
        for (const std::string& name : placed)
            report.copied.push_back({"/src/" + name, destination + "/" + name,
                                     fs::is_directory(destination + "/" + name)});
        report.itemCount = static_cast<std::int64_t>(placed.size());
        ASSERT_TRUE(records.record(id, "Inbox", report, now));
    }
};

void setMtime(const std::string& path, std::time_t seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST_F(UndoTest, TakesBackOnlyWhatIsStillAsPlaced)
{
    using enum LeftReason::Case;
    struct Case {
        const char* what;
        std::function<void(const std::string& item)> place;  // makes the item in the destination
        std::function<void(const std::string& item)> change; // what the user did since
        std::vector<LeftReason::Case> left; // the reasons it may be left for; none: taken back
    };
    const auto file = [](const std::string& item) { writeFile(item, "report"); };
    const auto folder = [](const std::string& item) {
        fs::create_directories(item + "/sub");
        writeFile(item + "/a.txt", "a");
        writeFile(item + "/sub/b.txt", "b");
        fs::create_symlink("a.txt", item + "/link");
    };
    const auto nothing = [](const std::string&) {};
    const Case cases[] = {
        {"unchanged file", file, nothing, {}},
        {"unchanged folder", folder, nothing, {}},
        {"file written to", file, [](auto& item) { writeFile(item, "report, edited"); }, {changed}},
        // Same size, so only the time tells.
        {"file touched", file, [](auto& item) { setMtime(item, 1000); }, {changed}},
        // The placed file still exists elsewhere, so its inode can't have been reused.
        {"name holds another file", file,
         [](auto& item) {
             fs::rename(item, item + " moved");
             writeFile(item, "report");
         },
         {replaced}},
        // A removed file's inode may be reused at once: the new one's time still tells.
        {"name holds a new file", file,
         [](auto& item) {
             fs::remove(item);
             writeFile(item, "report");
         },
         {replaced, changed}},
        {"renamed away", file, [](auto& item) { fs::rename(item, item + " old"); }, {gone}},
        {"file added inside", folder, [](auto& item) { writeFile(item + "/sub/new", ""); },
         {changed}},
        {"file changed inside", folder, [](auto& item) { writeFile(item + "/sub/b.txt", "bb"); },
         {changed}},
        {"file removed inside", folder, [](auto& item) { fs::remove(item + "/sub/b.txt"); },
         {changed}},
        {"link pointed elsewhere", folder,
         [](auto& item) {
             fs::remove(item + "/link");
             fs::create_symlink("sub", item + "/link");
         },
         {changed}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = std::string(c.what) + ".item";
        const std::string item = destination + "/" + name;
        c.place(item);
        const Uuid request = Uuid::random();
        CopyReport report;
        report.destination = destination;
        report.copied = {{"/src/x", item, fs::is_directory(item)}};
        report.itemCount = 1;
        ASSERT_TRUE(records.record(request, "Inbox", report, now));
        c.change(item);

        const UndoReport undone = records.undo(request, trash, now);
        EXPECT_FALSE(undone.problem);
        if (c.left.empty()) {
            ASSERT_EQ(undone.takenBack.size(), 1u);
            EXPECT_TRUE(undone.left.empty());
            EXPECT_FALSE(fs::exists(fs::symlink_status(item)));
            EXPECT_TRUE(fs::exists(homeTrash + "/files/" + name));
            EXPECT_EQ(undone.takenBack[0].trashed, (TrashedItem{homeTrash, name}));
        } else {
            EXPECT_TRUE(undone.takenBack.empty());
            ASSERT_EQ(undone.left.size(), 1u);
            EXPECT_EQ(undone.left[0].path, item);
            EXPECT_NE(std::find(c.left.begin(), c.left.end(), undone.left[0].reason.kind),
                      c.left.end())
                << textualForm(undone.left[0].reason);
            EXPECT_FALSE(fs::exists(homeTrash + "/files/" + name));
        }
    }
}

TEST_F(UndoTest, OneSendsItemsAreJudgedOneByOne)
{
    writeFile(destination + "/kept.txt", "k");
    writeFile(destination + "/edited.txt", "e");
    fs::create_directories(destination + "/Folder/deep");
    writeFile(destination + "/Folder/deep/x", "x");
    recordPlaced({"kept.txt", "edited.txt", "Folder"});
    writeFile(destination + "/edited.txt", "edited");

    const UndoReport undone = records.undo(id, trash, now);
    EXPECT_EQ(undone.label, "Inbox");
    EXPECT_EQ(undone.destination, destination);
    ASSERT_EQ(undone.takenBack.size(), 2u);
    EXPECT_EQ(undone.takenBack[0].path, destination + "/kept.txt");
    EXPECT_EQ(undone.takenBack[1].path, destination + "/Folder");
    EXPECT_EQ(readFile(homeTrash + "/files/Folder/deep/x"), "x");
    ASSERT_EQ(undone.left.size(), 1u);
    EXPECT_EQ(undone.left[0].path, destination + "/edited.txt");
    EXPECT_EQ(readFile(destination + "/edited.txt"), "edited");
    // What was left may be dealt with and undone again; the rest is gone from its place now.
    const UndoReport again = records.undo(id, trash, now);
    EXPECT_EQ(again.left.size(), 3u);
}

TEST_F(UndoTest, ATakenNameInTheTrashGetsAnotherAndTheInfoFileSaysWhereFrom)
{
    writeFile(destination + "/a b%.txt", "new");
    fs::create_directories(homeTrash + "/files");
    fs::create_directories(homeTrash + "/info");
    writeFile(homeTrash + "/files/a b%.txt", "older");
    writeFile(homeTrash + "/info/a b%.txt.trashinfo", "[Trash Info]\n");
    recordPlaced({"a b%.txt"});

    const UndoReport undone = records.undo(id, trash, now);
    ASSERT_EQ(undone.takenBack.size(), 1u);
    EXPECT_EQ(undone.takenBack[0].trashed.name, "a b%.txt.2");
    EXPECT_EQ(readFile(homeTrash + "/files/a b%.txt.2"), "new");
    EXPECT_EQ(readFile(homeTrash + "/files/a b%.txt"), "older");
    EXPECT_EQ(readFile(homeTrash + "/info/a b%.txt.2.trashinfo"),
              trashInfoText(destination + "/a b%.txt", now));
    EXPECT_NE(trashInfoText(destination + "/a b%.txt", now).find("/a%20b%25.txt\n"),
              std::string::npos);
}

TEST_F(UndoTest, AnUndoneSendIsNotUndoneTwiceNorAnOlderOneInstead)
{
    writeFile(destination + "/a", "a");
    const Uuid older = Uuid::random();
    CopyReport report;
    report.destination = destination;
    report.copied = {{"/src/a", destination + "/a", false}};
    report.itemCount = 1;
    ASSERT_TRUE(records.record(older, "Inbox", report, now));
    writeFile(destination + "/b", "b");
    // A second later, as a later send would be.
    recordPlaced({"b"});
    setMtime(records.folder() + "/" + older.text() + ".record", now - 10);

    EXPECT_EQ(records.latest(now), id);
    EXPECT_TRUE(records.undo(id, trash, now).complete());
    EXPECT_EQ(records.latest(now), id);
    EXPECT_EQ(records.undo(id, trash, now).problem, UndoProblem::alreadyUndone);
    EXPECT_TRUE(fs::exists(destination + "/a"));
}

TEST_F(UndoTest, ARecordExpiresAfterADay)
{
    writeFile(destination + "/a", "a");
    recordPlaced({"a"});
    const std::time_t dayLater = now + UndoRecords::maxAge + 1;

    EXPECT_EQ(records.latest(dayLater), std::nullopt);
    EXPECT_EQ(records.undo(id, trash, dayLater).problem, UndoProblem::noRecord);
    EXPECT_TRUE(fs::exists(destination + "/a"));
    EXPECT_EQ(records.sweep(dayLater), 1);
    EXPECT_TRUE(fs::is_empty(records.folder()));
    EXPECT_EQ(records.undo(Uuid::random(), trash, now).problem, UndoProblem::noRecord);
}

TEST_F(UndoTest, AnItemBeyondTheRecordsLimitIsLeftUnchecked)
{
    fs::create_directories(destination + "/Big");
    for (int i = 0; i < 50; ++i)
        writeFile(destination + "/Big/" + std::to_string(i), "");
    writeFile(destination + "/after", "");
    const UndoRecords small(records.folder(), 2000);
    CopyReport report;
    report.destination = destination;
    report.copied = {{"/s/Big", destination + "/Big", true}, {"/s/after", destination + "/after", false}};
    report.itemCount = 2;
    ASSERT_TRUE(small.record(id, "Inbox", report, now));
    EXPECT_LE(fs::file_size(small.folder() + "/" + id.text() + ".record"), 2100u);

    const UndoReport undone = small.undo(id, trash, now);
    EXPECT_TRUE(undone.takenBack.empty());
    ASSERT_EQ(undone.left.size(), 2u);
    EXPECT_EQ(undone.left[0].reason.kind, LeftReason::Case::unchecked);
    EXPECT_EQ(undone.left[1].reason.kind, LeftReason::Case::unchecked);
    EXPECT_TRUE(fs::exists(destination + "/Big/49"));
}

TEST_F(UndoTest, ARecordCutShortByACrashEndsWhereItWasCut)
{
    writeFile(destination + "/a", "a");
    writeFile(destination + "/b", "b");
    recordPlaced({"a", "b"});
    const std::string path = records.folder() + "/" + id.text() + ".record";
    std::string text = readFile(path);
    text.resize(text.find("item " + destination + "/b") + 8);
    writeFile(path, text, 0600);

    const UndoReport undone = records.undo(id, trash, now);
    ASSERT_EQ(undone.takenBack.size(), 1u);
    EXPECT_TRUE(fs::exists(destination + "/b"));
}

// The trash of a volume other than the home's is that volume's own, and one that can't take
// anything leaves everything in place.
TEST_F(UndoTest, AnotherVolumesItemsGoToItsOwnTrash)
{
    struct Case {
        const char* what;
        bool readOnly;
        bool sharedTrash; // the volume has a sticky ".Trash"
        const char* trashFolder;
    } cases[] = {
        {"own trash", false, false, ".Trash-"},
        {"shared trash", false, true, ".Trash/"},
        {"read-only", true, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string mount = root / c.what;
        fs::create_directories(mount);
        {
            // Filled while writable, then remounted read-only below.
            ScopedTmpfs volume(mount, "size=4m");
            if (!volume.mounted())
                GTEST_SKIP() << "can't mount a tmpfs here (needs root)";
            fs::create_directories(mount + "/Backups/F");
            writeFile(mount + "/Backups/F/x", "x");
            if (c.sharedTrash) {
                fs::create_directories(mount + "/.Trash");
                ::chmod((mount + "/.Trash").c_str(), 01777);
            }
            const Uuid request = Uuid::random();
            CopyReport report;
            report.destination = mount + "/Backups";
            report.copied = {{"/s/F", mount + "/Backups/F", true}};
            report.itemCount = 1;
            ASSERT_TRUE(records.record(request, "Backups", report, now));
            if (c.readOnly) {
                ASSERT_EQ(::mount(nullptr, mount.c_str(), nullptr, MS_REMOUNT | MS_RDONLY,
                                  nullptr),
                          0);
            }

            const UndoReport undone = records.undo(request, trash, now);
            const std::string uid = std::to_string(::getuid());
            if (!c.trashFolder) {
                ASSERT_EQ(undone.left.size(), 1u);
                EXPECT_EQ(undone.left[0].reason,
                          (LeftReason{LeftReason::Case::notTrashed, 0, TrashError::readOnly()}));
                EXPECT_TRUE(fs::exists(mount + "/Backups/F/x"));
                EXPECT_FALSE(fs::exists(homeTrash + "/files/F"));
                ::mount(nullptr, mount.c_str(), nullptr, MS_REMOUNT, nullptr);
                continue;
            }
            const std::string volumeTrash = mount + "/" + c.trashFolder + uid;
            ASSERT_EQ(undone.takenBack.size(), 1u) << ::testing::PrintToString(undone.left);
            EXPECT_EQ(undone.takenBack[0].trashed, (TrashedItem{volumeTrash, "F"}));
            EXPECT_EQ(readFile(volumeTrash + "/files/F/x"), "x");
            EXPECT_EQ(lstatOf(volumeTrash).st_mode & 07777, 0700u);
            // Relative to the volume's top, so the volume may be mounted elsewhere next time.
            EXPECT_EQ(readFile(volumeTrash + "/info/F.trashinfo").substr(0, 34),
                      "[Trash Info]\nPath=Backups/F\nDeleti");
            fs::remove_all(volumeTrash);
        }
    }
}

} // namespace
} // namespace ambrevoli
