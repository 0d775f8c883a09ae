#include "copy_naming.h"

#include "fs_fixture.h"
#include "log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace ambrevoli {
namespace {

using testing::changeFlags;
using testing::CopyTest;
using testing::namesIn;
using testing::readFile;
using testing::writeFile;

std::string repeated(std::string_view piece, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += piece;
    return text;
}

TEST(CopyNamerTest, SplitsFilesAtTheLastDotAndKeepsFoldersWhole)
{
    struct Case {
        const char* name;
        bool keepWhole;
        const char* base;
        const char* suffix;
    } cases[] = {
        {"notes.txt", false, "notes", ".txt"},    {"archive.tar.gz", false, "archive.tar", ".gz"},
        {"Photos.2024", true, "Photos.2024", ""}, {"Makefile", false, "Makefile", ""},
        {".profile", false, ".profile", ""},      {"notes.", false, "notes.", ""},
        {"Memo .txt", false, "Memo ", ".txt"},    {"..hidden", false, ".", ".hidden"},
    };
    for (const auto& c : cases) {
        const CopyNamer namer(c.name, c.keepWhole);
        EXPECT_EQ(namer.original(), c.name);
        EXPECT_EQ(namer.base(), c.base) << c.name;
        EXPECT_EQ(namer.suffix(), c.suffix) << c.name;
    }
}

TEST(CopyNamerTest, NumbersTheVariantsBeforeTheSuffix)
{
    struct Case {
        const char* name;
        bool keepWhole;
        int attempt;
        const char* candidate;
    } cases[] = {
        {"notes.txt", false, 0, "notes.txt"},
        {"notes.txt", false, -3, "notes.txt"},
        {"notes.txt", false, 1, "notes 2.txt"},
        {"notes.txt", false, 9, "notes 10.txt"},
        {"notes.txt", false, 9999, "notes 10000.txt"},
        {"archive.tar.gz", false, 1, "archive.tar 2.gz"},
        {"Photos.2024", true, 1, "Photos.2024 2"},
        {"Makefile", false, 1, "Makefile 2"},
        {".profile", false, 1, ".profile 2"},
        {"Memo .txt", false, 1, "Memo 2.txt"},
        {"Memo   ", true, 2, "Memo 3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CopyNamer(c.name, c.keepWhole).candidateName(c.attempt), c.candidate)
            << c.name << " attempt " << c.attempt;
}

TEST(CopyNamerTest, ShortensTheBaseByWholeCharactersToFit255Bytes)
{
    const std::string e_acute = "\u00E9";      // 2 bytes, 3 when decomposed
    const std::string e_combining = "e\u0301"; // one character of 3 bytes
    const std::string ohm = "\u2126";          // 3 bytes, 2 when decomposed
    struct Case {
        std::string name;
        std::string candidate; // for attempt 1
    } cases[] = {
        // Exactly 255 bytes passes; 256 loses one character.
        {repeated("a", 249) + ".txt", repeated("a", 249) + " 2.txt"},
        {repeated("a", 250) + ".txt", repeated("a", 249) + " 2.txt"},
        // Counted decomposed: 84 × 3 + 6 = 258 bytes although only 174 are stored.
        {repeated(e_acute, 84) + ".txt", repeated(e_acute, 83) + " 2.txt"},
        // A character is a grapheme cluster: the accent goes with its letter.
        {repeated("a", 248) + e_combining + ".txt", repeated("a", 248) + " 2.txt"},
        // Never less than the bytes stored, which is what this system's file systems count.
        {repeated(ohm, 84) + ".txt", repeated(ohm, 83) + " 2.txt"},
        // Blanks left at the end of the shortened base go too.
        {repeated("a", 248) + " b.txt", repeated("a", 248) + " 2.txt"},
        // Bytes that are not UTF-8 count one each.
        {repeated("\xFF", 250) + ".txt", repeated("\xFF", 249) + " 2.txt"},
        // The suffix is never shortened, even when nothing of the base is left.
        {"a." + repeated("x", 254), " 2." + repeated("x", 254)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CopyNamer(c.name, false).candidateName(1), c.candidate) << c.name;
}

// A rename that never has the exclusive flag, as on volumes without it.
std::expected<void, SystemError> noExclusiveRename(const std::string&, const std::string&)
{
    return std::unexpected(SystemError{EINVAL});
}

// The ways a volume renames: with the exclusive flag; without it; and without it where the
// plain rename never replaces either, as FAT's FUSE driver in Debian 13 does (stood for here by
// the exclusive rename).
struct Renames {
    ExclusiveRename exclusive;
    PlainRename plain;
};
const Renames everyRenaming[] = {
    {renameNoReplace, plainRename},
    {noExclusiveRename, plainRename},
    {noExclusiveRename, renameNoReplace},
};

class PlaceCopyTest : public CopyTest {
protected:
    std::string makeItem(const std::string& name, std::string_view content)
    {
        writeFile(path(name), content);
        return path(name);
    }
};

TEST_F(PlaceCopyTest, TakesTheFirstFreeNameAndNeverReplaces)
{
    for (const Renames& renames : everyRenaming) {
        const std::string dest = makeFolder("dest");
        writeFile(dest + "/notes.txt", "old");
        for (int n = 2; n <= 9; ++n)
            writeFile(dest + "/notes " + std::to_string(n) + ".txt", "old");

        const auto placed = placeUnderFreeName(makeItem("item", "new"), dest,
                                               CopyNamer("notes.txt", false), renames.exclusive,
                                               renames.plain);
        ASSERT_TRUE(placed);
        EXPECT_EQ(*placed, dest + "/notes 10.txt");
        EXPECT_EQ(readFile(*placed), "new");
        for (int n = 2; n <= 9; ++n)
            EXPECT_EQ(readFile(dest + "/notes " + std::to_string(n) + ".txt"), "old");
        EXPECT_FALSE(std::filesystem::exists(path("item")));
        std::filesystem::remove_all(dest);
    }
}

TEST_F(PlaceCopyTest, PlaceholderRouteMovesFoldersAndRemovesItsPlaceholderOnFailure)
{
    const std::string dest = makeFolder("dest");
    std::filesystem::create_directories(dest + "/Photos.2024");
    for (PlainRename plain : {plainRename, renameNoReplace}) {
        std::filesystem::create_directories(path("folder/inner"));
        std::filesystem::remove_all(dest + "/Photos.2024 2");
        const auto placed = placeUnderFreeName(path("folder"), dest, CopyNamer("Photos.2024", true),
                                               noExclusiveRename, plain);
        ASSERT_TRUE(placed);
        EXPECT_EQ(*placed, dest + "/Photos.2024 2");
        EXPECT_TRUE(std::filesystem::is_directory(*placed + "/inner"));
    }

    // The rename over the placeholder fails (a locked item cannot be moved): the placeholder
    // goes again and the rename's error is what the caller sees.
    const std::string locked = makeItem("locked", "x");
    if (const int error = changeFlags(locked, FS_IMMUTABLE_FL))
        GTEST_SKIP() << "cannot lock a file here: " << std::strerror(error);
    const LogCapture log;
    const auto placed =
        placeUnderFreeName(locked, dest, CopyNamer("locked", false), noExclusiveRename);
    ASSERT_FALSE(placed);
    EXPECT_EQ(placed.error(), SystemError{EPERM});
    EXPECT_EQ(namesIn(dest), (std::vector<std::string>{"Photos.2024", "Photos.2024 2"}));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PlaceCopyTest, PlaceholderThatCannotBeRemovedIsLogged)
{
    // In an append-only folder names can be created but neither renamed nor removed.
    const std::string dest = makeFolder("dest");
    const std::string item = makeItem("dest/item", "x");
    if (const int error = changeFlags(dest, FS_APPEND_FL))
        GTEST_SKIP() << "cannot make a folder append-only here: " << std::strerror(error);
    const LogCapture log;
    const auto placed =
        placeUnderFreeName(item, dest, CopyNamer("notes.txt", false), noExclusiveRename);
    ASSERT_FALSE(placed);
    EXPECT_EQ(placed.error(), SystemError{EPERM});
    ASSERT_EQ(log.records().size(), 1u);
    EXPECT_EQ(log.records()[0].category, "copy");
    EXPECT_EQ(log.records()[0].level, LogLevel::error);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Couldn't remove a name placeholder: errno 1"});
}

TEST_F(PlaceCopyTest, StopsAtTheFirstErrorOtherThanTaken)
{
    const auto placed =
        placeUnderFreeName(makeItem("item", "x"), path("no such folder"), CopyNamer("item", false));
    ASSERT_FALSE(placed);
    EXPECT_EQ(placed.error(), SystemError{ENOENT});
    EXPECT_EQ(readFile(path("item")), "x");
}

TEST_F(PlaceCopyTest, GivesUpAfter10000TakenNames)
{
    // Ten thousand names are made much faster in memory than on a journalled disk.
    const testing::ScopedTmpfs memory(path("dest"), "size=64m");
    const std::string dest = memory.mounted() ? memory.path() : makeFolder("dest");
    const CopyNamer namer("x", false);
    for (int attempt = 0; attempt < 10000; ++attempt)
        ::close(::open((dest + "/" + namer.candidateName(attempt)).c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(std::filesystem::exists(dest + "/x 10000"));

    const std::string item = dest + "/item";
    writeFile(item, "x");
    const auto placed = placeUnderFreeName(item, dest, namer);
    ASSERT_FALSE(placed);
    EXPECT_EQ(placed.error(), SystemError{EEXIST});
    EXPECT_FALSE(std::filesystem::exists(dest + "/x 10001"));
    EXPECT_EQ(readFile(item), "x");
}

TEST_F(PlaceCopyTest, ConcurrentPlacementsGetDistinctNames)
{
    constexpr int count = 20;
    for (const Renames& renames : everyRenaming) {
        const std::string dest = makeFolder("dest");
        std::vector<std::string> items;
        for (int i = 0; i < count; ++i)
            items.push_back(makeItem("item" + std::to_string(i), std::to_string(i)));

        std::vector<std::string> placed(count);
        std::atomic<bool> go = false;
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&, i] {
                while (!go)
                    std::this_thread::yield();
                if (auto result = placeUnderFreeName(items[i], dest, CopyNamer("f.txt", false),
                                                     renames.exclusive, renames.plain))
                    placed[i] = *result;
            });
        go = true;
        for (auto& thread : threads)
            thread.join();

        EXPECT_EQ(std::set<std::string>(placed.begin(), placed.end()).size(), count);
        EXPECT_EQ(namesIn(dest).size(), count);
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(readFile(placed[i]), std::to_string(i)) << placed[i];
        std::filesystem::remove_all(dest);
    }
}

} // namespace
} // namespace ambrevoli
