#include "menu_options.h"

#include "bundle_info.h"
#include "log.h"
#include "scoped_env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::ScopedTempDir;

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(MenuOptionsTest, LoadsWhatTheFileSaysAndDefaultsTheRest)
{
    struct Case {
        const char* name;
        const char* content; // null: no file
        bool showsDrives;
        bool logged;
    } cases[] = {
        {"no file: the defaults, silently", nullptr, true, false},
        {"switched off", R"({"version": 1, "showsDrives": false})", false, false},
        {"switched on", R"({"showsDrives": true})", true, false},
        {"key absent", R"({"version": 1})", true, false},
        {"wrong type keeps the default", R"({"showsDrives": 0})", true, false},
        {"unknown keys and a later version", R"({"version": 7, "showsDrives": false, "x": 1})",
         false, false},
        {"not JSON", "{ showsDrives", true, true},
        {"not an object", "[false]", true, true},
        {"empty", "", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempDir temp;
        const std::string file = temp / "menu-options.json";
        if (c.content)
            std::ofstream(file) << c.content;
        LogCapture capture;
        EXPECT_EQ(MenuOptions::load(file).showsDrives, c.showsDrives);
        EXPECT_EQ(!capture.lines().empty(), c.logged);
    }
}

TEST(MenuOptionsTest, AFileThatCannotBeReadGivesTheDefaultsAndIsLogged)
{
    ScopedTempDir temp;
    // A folder where the file should be: exists, but is not a file to read.
    fs::create_directory(temp / "menu-options.json");
    LogCapture capture;
    EXPECT_EQ(MenuOptions::load(temp / "menu-options.json"), MenuOptions{});
    EXPECT_EQ(capture.lines().size(), 1u);
}

TEST(MenuOptionsTest, SaveWritesAPrivateFolderAndRoundTrips)
{
    ScopedTempDir temp;
    const std::string file = temp / "data/group/menu-options.json";
    MenuOptions off;
    off.showsDrives = false;
    ASSERT_TRUE(off.save(file));
    EXPECT_EQ(readText(file), "{\n  \"showsDrives\" : false,\n  \"version\" : 1\n}");
    EXPECT_EQ(MenuOptions::load(file), off);
    struct stat folder {};
    ASSERT_EQ(::stat((temp / "data/group").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);

    ASSERT_TRUE(MenuOptions{}.save(file));
    EXPECT_EQ(MenuOptions::load(file), MenuOptions{});
    // Only the file: the temporary was renamed over it.
    EXPECT_EQ(std::distance(fs::directory_iterator(temp / "data/group"), {}), 1);

    // A folder in the way of the file's folder: the save fails and says so.
    std::ofstream(temp / "blocker") << "x";
    EXPECT_FALSE(off.save(temp / "blocker/menu-options.json"));
}

TEST(MenuOptionsTest, TheFileLivesBesideTheDestinations)
{
    ScopedTempDir temp;
    ScopedEnv dataHome("XDG_DATA_HOME", temp / "data");
    const AppGroup group = *AppGroup::fromMainBundle();
    const std::string file =
        temp / "data/" + std::string(mainBundle().appGroup) + "/menu-options.json";
    EXPECT_EQ(menuOptionsFile(group), file);
    EXPECT_EQ(fs::path(*menuOptionsFile(group)).parent_path(),
              fs::path(*group.destinationsFile()).parent_path());

    MenuOptions off;
    off.showsDrives = false;
    ASSERT_TRUE(off.save(file));
    EXPECT_EQ(loadMenuOptions(), off);

    ScopedEnv relative("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(loadMenuOptions(), MenuOptions{});
}

} // namespace
} // namespace ambrevoli
