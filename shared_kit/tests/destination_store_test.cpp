#include "destination_store.h"

#include "log.h"
#include "scoped_env.h"
#include "temp_dir.h"
#include "unique_fd.h"
#include "without_permission_override.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::ScopedTempDir;
using testing::WithoutPermissionOverride;

const Uuid idA = *Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
const Uuid idB = *Uuid::parse("0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9");

void writeText(const std::string& path, std::string_view text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A store of destinations labelled by single letters, with paths "/<letter>".
struct Lettered {
    std::map<char, Uuid> ids;
    DestinationStore store;

    explicit Lettered(std::string_view letters)
    {
        for (char letter : letters) {
            const std::string name(1, letter);
            ids[letter] = store.add("/" + name, name);
        }
    }
    std::vector<Uuid> idsOf(std::string_view letters) const
    {
        std::vector<Uuid> result;
        for (char letter : letters)
            result.push_back(ids.count(letter) ? ids.at(letter) : Uuid::random());
        return result;
    }
    std::string order() const
    {
        std::string letters;
        for (const Destination& d : store.destinations())
            letters += d.label();
        return letters;
    }
};

TEST(DestinationTest, TrimsUnicodeWhiteSpaceAndLineBreaksOnly)
{
    struct Case {
        const char* text;
        const char* trimmed;
    } cases[] = {
        {"  Work  ", "Work"},
        {"\t\n\v\f\rWork\r\n", "Work"},
        {"\u00A0\u3000Work\u2028\u2029\u0085", "Work"}, // Zs, Zl, Zp and NEL
        {" Two  words ", "Two  words"},
        {"\u200BWork\uFEFF", "\u200BWork\uFEFF"},   // format characters are not white space
        {" \xFFWork\xE2\x80 ", "\xFFWork\xE2\x80"}, // broken UTF-8 is kept, its spaces go
        {" \u2003 ", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(trimmedLabel(c.text), c.trimmed) << c.text;
}

TEST(DestinationTest, LabelDraftFallsBackToTheOriginalOnlyForBlankText)
{
    const LabelDraft draft{"Inbox"};
    EXPECT_EQ(draft.label("   "), "Inbox");
    EXPECT_EQ(draft.label("\n\u00A0"), "Inbox");
    EXPECT_EQ(draft.label("  Outbox "), "  Outbox ");
}

TEST(DestinationTest, IsInTrash)
{
    ScopedEnv dataHome("XDG_DATA_HOME", "/home/me/.local/share/");
    struct Case {
        const char* path;
        bool inTrash;
    } cases[] = {
        {"/Users/me/.Trash/Old", true},
        {"/Volumes/Disk/.Trashes/501/Box", true},
        {"/media/me/Disk/.Trash-1000/files/Box", true},
        {"/home/me/.local/share/Trash/files/Box", true},
        {"/home/me/.local/share/Trash", true},
        {"/home/me/.local/share/Trash/", true},
        {"/Users/me/Trash", false},
        {"/Users/me/.trash", false},
        {"/Users/me/.Trash-", false},
        {"/Users/me/.Trash-me/x", false},
        {"/Users/me/a.Trash/x", false},
        {"/home/me/.local/share/Trashcan/files", false},
        {"/home/me/.local/share", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Destination::isInTrash(c.path), c.inTrash) << c.path;
}

TEST(DestinationStoreTest, AddNormalisesAndReusesAnExistingPath)
{
    DestinationStore store;
    const Uuid drop = store.add("/Users/me/Drop", "Drop", "drop bookmark");
    const DestinationStore before = store;
    EXPECT_EQ(store.add("/Users/me/Drop/", "Other", "other bookmark"), drop);
    EXPECT_EQ(store, before);

    const Uuid other = store.add("/Users/me/Other//", "  ");
    ASSERT_EQ(store.destinations().size(), 2u);
    EXPECT_EQ(store.destinations().back(), Destination(other, "Other", "/Users/me/Other"));
}

TEST(DestinationStoreTest, AddChoosesTheFirstNonBlankLabel)
{
    struct Case {
        const char* path;
        std::optional<std::string_view> label;
        const char* storedPath;
        const char* storedLabel;
    } cases[] = {
        {"/", std::nullopt, "/", "/"},
        {"///", std::nullopt, "/", "/"},
        {"/a/Projects", " My work\n", "/a/Projects", "My work"},
        {"/a/ Projects /", std::nullopt, "/a/ Projects ", "Projects"},
        {"/a/\u00A0 ", "", "/a/\u00A0 ", "/a/\u00A0 "},
    };
    for (const auto& c : cases) {
        DestinationStore store;
        const Uuid id = store.add(c.path, c.label);
        EXPECT_EQ(store.destination(id), Destination(id, c.storedLabel, c.storedPath)) << c.path;
    }
}

TEST(DestinationStoreTest, MoveTakesTheSelectionAsOneBlockBeforeTheAnchor)
{
    struct Case {
        const char* moving;
        std::optional<char> before; // '?' stands for an identifier that is not in the list
        const char* order;
    } cases[] = {
        {"DB", 'B', "ABDCE"},
        {"B", std::nullopt, "ACDEB"},
        {"E", 'A', "EABCD"},
        {"CA", 'E', "BDACE"},
        {"DE", 'D', "ABCDE"}, // everything from the target on moves: to the
                              // end
        {"BD", 'D', "ACBDE"},
        {"A", '?', "BCDEA"},
        {"BB?", 'A', "BACDE"},
        {"", 'A', "ABCDE"},
        {"?", std::nullopt, "ABCDE"},
    };
    for (const auto& c : cases) {
        Lettered list("ABCDE");
        std::optional<Uuid> target;
        if (c.before)
            target = list.idsOf(std::string(1, *c.before)).front();
        list.store.move(list.idsOf(c.moving), target);
        EXPECT_EQ(list.order(), c.order) << c.moving << " before " << c.before.value_or('-');
    }
}

TEST(DestinationStoreTest, ShiftClampsToTheEnds)
{
    struct Case {
        char letter;
        std::int64_t offset;
        const char* order;
    } cases[] = {
        {'A', -1, "ABC"}, {'A', 5, "BCA"},         {'C', -1, "ACB"},        {'B', 1, "ACB"},
        {'B', 0, "ABC"},  {'B', INT64_MAX, "ACB"}, {'B', INT64_MIN, "BAC"}, {'?', 1, "ABC"},
    };
    for (const auto& c : cases) {
        Lettered list("ABC");
        list.store.shift(list.idsOf(std::string(1, c.letter)).front(), c.offset);
        EXPECT_EQ(list.order(), c.order) << c.letter << " by " << c.offset;
    }
}

TEST(DestinationStoreTest, RenameRemoveAndRelocate)
{
    Lettered list("ABC");
    DestinationStore& store = list.store;
    const Uuid a = list.ids['A'], b = list.ids['B'], c = list.ids['C'];

    store.rename(a, " Alpha\t");
    EXPECT_EQ(store.destination(a)->label(), "Alpha");
    store.rename(a, "  ");
    store.rename(Uuid::random(), "Nobody");
    EXPECT_EQ(store.destination(a)->label(), "Alpha");

    store.relocate(b, "/moved/B/", "new bookmark");
    store.relocate(b, "/moved/again");
    EXPECT_EQ(store.destination(b), Destination(b, "B", "/moved/again", "new bookmark"));
    store.relocate(b, "/A"); // another destination's path is not checked
    EXPECT_EQ(store.destination(b)->path(), "/A");

    store.remove({a, c, Uuid::random()});
    EXPECT_EQ(list.order(), "B");
    EXPECT_EQ(store.destination(a), std::nullopt);
}

class DestinationStoreFileTest : public ::testing::Test {
protected:
    ScopedTempDir temp;
    std::string file = temp / "destinations.json";

    std::expected<DestinationStore, DestinationStoreError> loadText(std::string_view text)
    {
        writeText(file, text);
        return DestinationStore::load(file);
    }
};

TEST_F(DestinationStoreFileTest, MissingFileIsAnEmptyStore)
{
    EXPECT_EQ(DestinationStore::load(file), DestinationStore());
}

TEST_F(DestinationStoreFileTest, LoadErrors)
{
    const auto unreadable = std::unexpected(DestinationStoreError::unreadable());
    const std::string entry =
        R"({"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/a"})";
    struct Case {
        std::string text;
        std::expected<DestinationStore, DestinationStoreError> result;
    } cases[] = {
        {"", unreadable},
        {"{}", unreadable},
        {"[]", unreadable},
        {"{\"version\":1,\"destinations\":[]", unreadable},
        {R"({"version":0,"destinations":[]})", unreadable},
        {R"({"version":-1,"destinations":[]})", unreadable},
        {R"({"version":2,"destinations":[]})",
         std::unexpected(DestinationStoreError::unsupportedVersion(2))},
        {R"({"version":2})", std::unexpected(DestinationStoreError::unsupportedVersion(2))},
        {R"({"version":9223372036854775807,"destinations":"x"})",
         std::unexpected(DestinationStoreError::unsupportedVersion(INT64_MAX))},
        {R"({"version":18446744073709551615,"destinations":[]})", unreadable},
        {R"({"version":"1","destinations":[]})", unreadable},
        {R"({"version":1.5,"destinations":[]})", unreadable},
        {R"({"destinations":[]})", unreadable},
        {R"({"version":1})", unreadable},
        {R"({"version":1,"destinations":{}})", unreadable},
        {R"({"version":1,"destinations":[7]})", unreadable},
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","path":"/a"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"id":"nope","label":"A","path":"/a"}]})", unreadable},
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":1,"path":"/a"}]})",
         unreadable},
        // The same identifier twice, written in different cases.
        {R"({"version":1,"destinations":[)" + entry +
             R"(,{"id":"3f2c8a4e-1b7d-4c9a-9e21-0a5b6c7d8e9f","label":"B","path":"/b"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"Documents"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":""}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"   ","path":"/a"}]})",
         unreadable},
        // A system call would take these paths only up to the NUL: "/a" and "/".
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/a\u0000/../etc"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/\u0000"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"\u2028\u00a0","path":"/a"}]})",
         unreadable},
        // Base64 that is unpadded, has padding inside, stray bits, white space or is a number.
        {R"({"version":1,"destinations":[{"bookmark":"AAE","id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/a"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"bookmark":"AA=E","id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/a"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"bookmark":"AB==","id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/a"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"bookmark":"AAEC AAEC","id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/a"}]})",
         unreadable},
        {R"({"version":1,"destinations":[{"bookmark":5,"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/a"}]})",
         unreadable},
        // What a reader takes: extra keys, lower case, a null or empty bookmark, labels as stored.
        {R"({"extra":true,"version":1,"destinations":[{"id":"3f2c8a4e-1b7d-4c9a-9e21-0a5b6c7d8e9f","label":" A ","path":"/a/","bookmark":null,"more":[1]}]})",
         DestinationStore({Destination(idA, " A ", "/a/")})},
        {R"({"version":1,"destinations":[{"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","label":"A","path":"/a","bookmark":""}]})",
         DestinationStore({Destination(idA, "A", "/a", std::string())})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loadText(c.text), c.result) << c.text;
}

TEST_F(DestinationStoreFileTest, WhatCannotBeReadAsAFileIsUnreadable)
{
    ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);
    EXPECT_EQ(DestinationStore::load(file), std::unexpected(DestinationStoreError::unreadable()));
    ASSERT_EQ(::rmdir(file.c_str()), 0);

    // A FIFO must not block the reader.
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(DestinationStore::load(file), std::unexpected(DestinationStoreError::unreadable()));
}

TEST_F(DestinationStoreFileTest, SavesThePrettySortedFormByteForByte)
{
    const DestinationStore store({
        Destination(idA, "Café \"Drop\"", "/home/me/Café Drop",
                    std::string("\x00\x01\x02\xFB\xFF", 5)),
        Destination(idB, "Root", "/"),
    });
    ASSERT_TRUE(store.save(file));
    EXPECT_EQ(readText(file), R"({
  "destinations" : [
    {
      "bookmark" : "AAEC+\/8=",
      "id" : "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F",
      "label" : "Café \"Drop\"",
      "path" : "\/home\/me\/Café Drop"
    },
    {
      "id" : "0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9",
      "label" : "Root",
      "path" : "\/"
    }
  ],
  "version" : 1
})");
    EXPECT_EQ(DestinationStore::load(file), store);

    ASSERT_TRUE(DestinationStore().save(file));
    EXPECT_EQ(readText(file), "{\n  \"destinations\" : [\n\n  ],\n  \"version\" : 1\n}");
    EXPECT_EQ(DestinationStore::load(file), DestinationStore());
}

TEST_F(DestinationStoreFileTest, AHandWrittenFileLoadsLikeAWrittenOne)
{
    const DestinationStore store({
        Destination(idA, "Café \"Drop\"", "/home/me/Café Drop",
                    std::string("\x00\x01\x02\xFB\xFF", 5)),
        Destination(idB, "Line\nbreak", "/tmp/a\\b", std::string()),
    });
    ASSERT_TRUE(store.save(file));
    const auto written = DestinationStore::load(file);
    const auto handWritten = loadText(R"({"destinations": [
        {"path": "/home/me/Café Drop", "label": "Caf\u00e9 \"Drop\"",
         "id": "3f2c8a4e-1b7d-4c9a-9e21-0a5b6c7d8e9f", "bookmark": "AAEC+/8="},
        {"label": "Line\nbreak", "bookmark": "", "path": "\/tmp\/a\\b",
         "id": "0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9"}
    ], "version": 1})");
    EXPECT_EQ(written, store);
    EXPECT_EQ(handWritten, store);
}

TEST_F(DestinationStoreFileTest, SaveCreatesTheFolderAndReplacesTheFile)
{
    const std::string nested = temp / "data/ambrevoli/destinations.json";
    DestinationStore store;
    store.add("/home/me/Drop");
    ASSERT_TRUE(store.save(nested));
    EXPECT_EQ(DestinationStore::load(nested), store);

    store.add("/home/me/Other");
    ASSERT_TRUE(store.save(nested));
    EXPECT_EQ(DestinationStore::load(nested), store);
    // Only the file: no temporary left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(temp / "data/ambrevoli"), {}), 1);
}

TEST_F(DestinationStoreFileTest, AFailedSaveLeavesTheOldFileAndCreatesNothing)
{
    DestinationStore store;
    store.add("/home/me/Drop");
    ASSERT_TRUE(store.save(file));
    const std::string saved = readText(file);

    // Not UTF-8: cannot be written as JSON. Nothing is created, the old file stays.
    DestinationStore broken = store;
    broken.add("/home/me/\xFF");
    const std::string elsewhere = temp / "new/destinations.json";
    auto result = broken.save(elsewhere);
    ASSERT_FALSE(result);
    EXPECT_TRUE(std::holds_alternative<EncodeError>(result.error()));
    EXPECT_FALSE(fs::exists(temp / "new"));
    EXPECT_FALSE(broken.save(file));
    EXPECT_EQ(readText(file), saved);

    // A path with a NUL byte: the file would load as unreadable, so it is not written.
    DestinationStore cut = store;
    cut.add(std::string("/home/me/Drop\0/../Other", 23));
    result = cut.save(file);
    ASSERT_FALSE(result);
    EXPECT_TRUE(std::holds_alternative<EncodeError>(result.error()));
    EXPECT_EQ(readText(file), saved);

    // The folder cannot be made: a file stands in its place.
    result = store.save(file + "/destinations.json");
    ASSERT_FALSE(result);
    EXPECT_EQ(std::get<SystemError>(result.error()), SystemError{ENOTDIR});
    EXPECT_EQ(readText(file), saved);
}

TEST_F(DestinationStoreFileTest, ASaveIsReportedByWhetherTheNewFileTookThePlaceOfTheOld)
{
    DestinationStore old;
    old.add("/home/me/Old");
    DestinationStore edited = old;
    edited.add("/home/me/New");
    // Folder modes as the owner (root too, without its override) meets them. 0300: the new file
    // can be written and renamed into place, but the folder cannot be opened to be flushed
    // afterwards. 0500: nothing can be written.
    struct Case {
        mode_t mode;
        bool saved;
    } cases[] = {{0300, true}, {0500, false}};
    for (const auto& c : cases) {
        const std::string folder = temp / ("mode-" + std::to_string(c.mode));
        const std::string path = folder + "/destinations.json";
        ASSERT_TRUE(old.save(path));
        ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
        const LogCapture log;
        std::expected<void, DestinationStore::SaveFailure> saved;
        bool modeHolds;
        {
            const WithoutPermissionOverride withoutOverride;
            modeHolds = (c.mode & S_IRUSR) != 0 ||
                        !UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            saved = edited.save(path);
        }
        ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
        if (!modeHolds)
            GTEST_SKIP() << "this process reads folders whatever their mode";

        EXPECT_EQ(saved.has_value(), c.saved) << std::oct << c.mode;
        if (!c.saved && !saved) {
            EXPECT_EQ(saved.error(), DestinationStore::SaveFailure(SystemError{EACCES}));
        }
        EXPECT_EQ(DestinationStore::load(path), c.saved ? edited : old) << std::oct << c.mode;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << std::oct << c.mode;
        const auto lines = log.lines();
        EXPECT_EQ(lines.size(), c.saved ? 1u : 0u) << std::oct << c.mode;
        if (c.saved && !lines.empty()) {
            EXPECT_TRUE(lines[0].starts_with("Replaced a file but couldn't flush its folder: "))
                << lines[0];
        }
    }
}

TEST(DestinationStoreErrorTest, TextualForms)
{
    EXPECT_EQ(textualForm(DestinationStoreError::unsupportedVersion(2)), "unsupportedVersion(2)");
    EXPECT_EQ(textualForm(DestinationStoreError::unreadable()), "unreadable");
    EXPECT_NE(errorCode(DestinationStoreError::unreadable()),
              errorCode(DestinationStoreError::unsupportedVersion(2)));
}

} // namespace
} // namespace ambrevoli
