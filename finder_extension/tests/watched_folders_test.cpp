#include "nautilus_harness.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::drainMainLoop;
using testing::ModuleLog;
using testing::nautilus;
using testing::newProvider;

// The folder count of the last declaration logged, or -1.
long lastDeclaredCount(const ModuleLog& log)
{
    static const std::regex line(
        R"(default: Watching (\d+) folders: / and the mounted volume roots)");
    long count = -1;
    std::smatch match;
    for (const std::string& text : log.lines())
        if (std::regex_match(text, match, line))
            count = std::stol(match[1]);
    return count;
}

std::string declaration(long count)
{
    return "default: Watching " + std::to_string(count) +
           " folders: / and the mounted volume roots";
}

class WatchedFoldersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Mounts made by the tests stay in a namespace of this process's own. unshare() needs a
        // process without threads yet: before the module and GLib start any.
        privateMounts = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        testing::loadModule(nautilus());
    }

    static bool privateMounts;
    ModuleLog log{nautilus().subsystem};
};

bool WatchedFoldersTest::privateMounts = false;

TEST_F(WatchedFoldersTest, DeclaresTheFoldersFromTheMainLoopAfterStarting)
{
    auto provider = newProvider(nautilus());
    // Construction only schedules the first declaration.
    EXPECT_EQ(lastDeclaredCount(log), -1);
    drainMainLoop();
    // "/" at least; the boot volume's root, if listed, is the same folder and counted once.
    EXPECT_GE(lastDeclaredCount(log), 1);
}

TEST_F(WatchedFoldersTest, AProviderGoneBeforeItsFirstDeclarationNeverMakesIt)
{
    newProvider(nautilus()).reset();
    drainMainLoop();
    EXPECT_EQ(lastDeclaredCount(log), -1);
}

TEST_F(WatchedFoldersTest, AMountedVolumeIsDeclaredUntilItIsUnmounted)
{
    if (!privateMounts)
        GTEST_SKIP() << "needs root and a mount namespace of its own";
    auto provider = newProvider(nautilus());
    drainMainLoop();
    const long before = lastDeclaredCount(log);
    ASSERT_GE(before, 1);

    // The desktop shows a user's mount in the home folder; a tmpfs it never shows.
    const std::string home = testing::home();
    const std::string hidden = home + "/Scratch", shown = home + "/Volume";
    fs::create_directories(hidden);
    fs::create_directories(shown);
    if (::mount("ambrevoli-scratch", hidden.c_str(), "tmpfs", 0, nullptr) != 0 ||
        ::mount("ambrevoli-volume", shown.c_str(), "ramfs", 0, nullptr) != 0)
        GTEST_SKIP() << "cannot mount tmpfs and ramfs here: " << std::strerror(errno);
    std::ofstream(shown + "/photo.jpg") << "jpeg";

    EXPECT_TRUE(testing::waitFor(log, declaration(before + 1)))
        << ::testing::PrintToString(log.lines());

    // A selection on the new volume gets the menu.
    testing::Selection onVolume(nautilus(), {testing::fileURI(shown + "/photo.jpg")});
    EXPECT_FALSE(testing::fileItems(provider.get(), onVolume).empty());

    log.clear();
    ASSERT_EQ(::umount(shown.c_str()), 0);
    EXPECT_TRUE(testing::waitFor(log, declaration(before)))
        << ::testing::PrintToString(log.lines());
    ::umount(hidden.c_str());
}

} // namespace
} // namespace ambrevoli
