#include "destination_library.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::ScopedTempDir;

// 2025-03-14T15:09:26Z
constexpr double piDay = 1741964966;

void writeText(const std::string& path, std::string_view text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class DestinationLibraryTest : public ::testing::Test {
protected:
    ScopedTempDir temp;
    std::string file = temp / "container/destinations.json";
    std::string setAside = temp / "container/destinations-unreadable-2025-03-14T15-09-26Z.json";

    void writeFile(std::string_view text)
    {
        fs::create_directories(temp / "container");
        writeText(file, text);
    }
};

TEST_F(DestinationLibraryTest, FirstChangingUpdateCreatesTheFile)
{
    DestinationLibrary library(file);
    EXPECT_EQ(library.loadError(), std::nullopt);
    EXPECT_TRUE(library.store().destinations().empty());

    // A change that changes nothing writes nothing, not even an empty file.
    EXPECT_EQ(library.update([](DestinationStore& store) { store.rename(Uuid::random(), "X"); }),
              false);
    EXPECT_FALSE(fs::exists(file));

    Uuid added;
    EXPECT_EQ(library.update([&](DestinationStore& store) { added = store.add("/home/me/Drop"); }),
              true);
    ASSERT_TRUE(library.store().destination(added));
    EXPECT_EQ(DestinationStore::load(file), library.store());
}

TEST_F(DestinationLibraryTest, UpdateWithoutChangeDoesNotRewriteTheFile)
{
    DestinationStore store;
    const Uuid id = store.add("/home/me/Drop");
    ASSERT_TRUE(store.save(file));
    DestinationLibrary library(file);
    ASSERT_EQ(library.store(), store);

    // Rewriting would replace the file by a new one: the inode tells.
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    EXPECT_EQ(library.update([&](DestinationStore& s) { s.rename(id, "   "); }), false);
    EXPECT_EQ(library.update([&](DestinationStore& s) { s.move({id}, std::nullopt); }), false);
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(DestinationLibraryTest, AFailedSaveKeepsTheStore)
{
    // The file's folder is a dangling link: the file reads as missing, but the folder cannot
    // be made.
    ASSERT_EQ(::symlink((temp / "gone/folder").c_str(), (temp / "link").c_str()), 0);
    DestinationLibrary library(temp / "link/destinations.json");
    ASSERT_EQ(library.loadError(), std::nullopt);
    auto result = library.update([](DestinationStore& store) { store.add("/home/me/Drop"); });
    ASSERT_FALSE(result);
    EXPECT_EQ(std::get<SystemError>(result.error()), SystemError{ENOTDIR});
    EXPECT_TRUE(library.store().destinations().empty());
}

TEST_F(DestinationLibraryTest, AnUnreadableFileIsNeverEdited)
{
    writeFile("{ not json");
    DestinationLibrary library(file);
    EXPECT_EQ(library.loadError(), DestinationStoreError::unreadable());

    bool ran = false;
    EXPECT_EQ(library.update([&](DestinationStore& store) {
        ran = true;
        store.add("/home/me/Drop");
    }),
              false);
    EXPECT_FALSE(ran);
    EXPECT_EQ(readText(file), "{ not json");
    EXPECT_TRUE(library.store().destinations().empty());
}

TEST_F(DestinationLibraryTest, StartFreshSetsTheFileAsideUnderADatedName)
{
    writeFile(R"({"version":2,"destinations":[]})");
    DestinationLibrary library(file);
    EXPECT_EQ(library.loadError(), DestinationStoreError::unsupportedVersion(2));

    const auto moved = library.startFresh(piDay);
    ASSERT_TRUE(moved);
    EXPECT_EQ(*moved, setAside);
    EXPECT_EQ(readText(setAside), R"({"version":2,"destinations":[]})");
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(library.loadError(), std::nullopt);
    EXPECT_TRUE(library.store().destinations().empty());

    // Loaded again: edits are saved once more.
    EXPECT_EQ(library.update([](DestinationStore& store) { store.add("/home/me/Drop"); }), true);
    EXPECT_TRUE(fs::exists(file));
}

TEST_F(DestinationLibraryTest, StartFreshWithAReadableFileDoesNothing)
{
    DestinationStore store;
    store.add("/home/me/Drop");
    ASSERT_TRUE(store.save(file));
    DestinationLibrary library(file);

    const auto moved = library.startFresh(piDay);
    ASSERT_TRUE(moved);
    EXPECT_EQ(*moved, std::nullopt);
    EXPECT_EQ(library.store(), store);
    EXPECT_EQ(DestinationStore::load(file), store);
    EXPECT_FALSE(fs::exists(setAside));
}

TEST_F(DestinationLibraryTest, StartFreshNeverReplacesAnExistingFile)
{
    writeFile("broken");
    writeText(setAside, "set aside earlier");
    DestinationLibrary library(file);

    EXPECT_EQ(library.startFresh(piDay), std::unexpected(SystemError{EEXIST}));
    EXPECT_EQ(readText(file), "broken");
    EXPECT_EQ(readText(setAside), "set aside earlier");
    EXPECT_EQ(library.loadError(), DestinationStoreError::unreadable());

    // A time that cannot be written as a date moves nothing either.
    EXPECT_EQ(library.startFresh(std::nan("")), std::unexpected(SystemError{EINVAL}));
    EXPECT_EQ(readText(file), "broken");
}

TEST_F(DestinationLibraryTest, StartFreshReloadsEvenWhenTheMoveFails)
{
    writeFile("broken");
    DestinationLibrary library(file);
    ASSERT_TRUE(library.loadError());

    // Someone else repaired the file meanwhile and a stale set-aside name blocks the move.
    DestinationStore repaired;
    repaired.add("/home/me/Drop");
    ASSERT_TRUE(repaired.save(file));
    writeText(setAside, "");
    EXPECT_EQ(library.startFresh(piDay), std::unexpected(SystemError{EEXIST}));
    EXPECT_EQ(library.loadError(), std::nullopt);
    EXPECT_EQ(library.store(), repaired);
}

TEST(DestinationLibraryNameTest, SetAsideName)
{
    EXPECT_EQ(DestinationLibrary::setAsideName(piDay + 0.999),
              "destinations-unreadable-2025-03-14T15-09-26Z.json");
    EXPECT_EQ(DestinationLibrary::setAsideName(0),
              "destinations-unreadable-1970-01-01T00-00-00Z.json");
    EXPECT_EQ(DestinationLibrary::setAsideName(std::nan("")), std::nullopt);
}

} // namespace
} // namespace ambrevoli
