#include "app_group.h"

#include "bundle_info.h"
#include "destination_store.h"
#include "paths.h"
#include "scoped_env.h"
#include "temp_dir.h"
#include "user_dirs.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace ambrevoli {
namespace {

using testing::ScopedEnv;
using testing::ScopedTempDir;
using testing::ScopedUmask;

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(AppGroupTest, IdentifierRules)
{
    struct Case {
        std::optional<std::string_view> identifier;
        std::expected<std::string, AppGroupError> result;
    } cases[] = {
        {std::nullopt, std::unexpected(AppGroupError::missingIdentifier())},
        {"", std::unexpected(AppGroupError::missingIdentifier())},
        {".org.example.ambrevoli", std::unexpected(AppGroupError::missingTeamID())},
        {".", std::unexpected(AppGroupError::missingTeamID())},
        {"org.example.ambrevoli", "org.example.ambrevoli"},
        {" Team.App ", " Team.App "},
    };
    for (const auto& c : cases) {
        const auto group = AppGroup::make(c.identifier);
        const std::expected<std::string, AppGroupError> identifier =
            group ? std::expected<std::string, AppGroupError>(group->identifier())
                  : std::unexpected(group.error());
        EXPECT_EQ(identifier, c.result) << c.identifier.value_or("(none)");
    }
}

TEST(AppGroupTest, FromMainBundleReadsTheBuiltInIdentifier)
{
    // The tests carry the build's app group like every deliverable does.
    ASSERT_FALSE(mainBundle().appGroup.empty());
    const auto group = AppGroup::fromMainBundle();
    ASSERT_TRUE(group);
    EXPECT_EQ(group->identifier(), mainBundle().appGroup);
}

TEST(AppGroupTest, ContainerLiesInTheDataHome)
{
    const auto group = *AppGroup::make("ambrevoli");
    const auto unavailable = std::unexpected(AppGroupError::containerUnavailable("ambrevoli"));
    struct Case {
        std::optional<std::string> xdgDataHome;
        std::optional<std::string> home;
        std::expected<std::string, AppGroupError> container;
    } cases[] = {
        {"/data/me/", "/home/me", "/data/me/ambrevoli"},
        {"/", "/home/me", "/ambrevoli"},
        {"", "/home/me/", "/home/me/.local/share/ambrevoli"},
        {std::nullopt, "/home/me", "/home/me/.local/share/ambrevoli"},
        {std::nullopt, "/", "/.local/share/ambrevoli"},
        {"data", "/home/me", unavailable},
        {std::nullopt, "home/me", unavailable},
    };
    for (const auto& c : cases) {
        ScopedEnv xdg("XDG_DATA_HOME", c.xdgDataHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(group.container(), c.container)
            << c.xdgDataHome.value_or("(unset)") << " " << c.home.value_or("(unset)");
        const auto file = group.destinationsFile();
        const auto inbox = group.requestInbox();
        ASSERT_EQ(file.has_value(), c.container.has_value());
        ASSERT_EQ(inbox.has_value(), c.container.has_value());
        if (c.container) {
            EXPECT_EQ(*file, *c.container + "/destinations.json");
            EXPECT_EQ(inbox->folder(), *c.container + "/Requests");
            EXPECT_EQ(inbox->maxFileSize(), 16'777'216);
        } else {
            EXPECT_EQ(file.error(), unavailable.error());
            EXPECT_EQ(inbox.error(), unavailable.error());
        }
    }

    // An identifier that would name a folder inside another.
    ScopedEnv xdg("XDG_DATA_HOME", "/data/me");
    EXPECT_EQ(AppGroup::make("team/../../etc")->container(),
              std::unexpected(AppGroupError::containerUnavailable("team/../../etc")));
}

TEST(AppGroupTest, HomeComesFromThePasswordDatabaseWithoutHOME)
{
    ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    const passwd* entry = ::getpwuid(::getuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/')
        GTEST_SKIP() << "the password database has no absolute home for this user";
    const std::string expected = normalizedPath(entry->pw_dir);
    EXPECT_EQ(homeDirectory(), expected);
    EXPECT_EQ(AppGroup::make("ambrevoli")->container(),
              (expected == "/" ? "" : expected) + "/.local/share/ambrevoli");
}

TEST(AppGroupTest, WritersCreateAPrivateContainer)
{
    ScopedTempDir temp;
    ScopedEnv xdg("XDG_DATA_HOME", temp / "data");
    const auto group = *AppGroup::make("ambrevoli");

    // Looking the container up creates nothing.
    ASSERT_TRUE(group.requestInbox());
    ASSERT_TRUE(group.destinationsFile());
    EXPECT_FALSE(std::filesystem::exists(temp / "data"));

    // Whatever the umask, open or strict, the folders made end up 0700.
    {
        ScopedUmask umask(0);
        ASSERT_TRUE(group.requestInbox()->write(
            SendRequest(Uuid::random(), 1714555800, Uuid::random(), {"/home/me/a"})));
    }
    for (const char* folder : {"data", "data/ambrevoli", "data/ambrevoli/Requests"})
        EXPECT_EQ(modeOf(temp / folder), 0700u) << folder;

    ScopedEnv fresh("XDG_DATA_HOME", temp / "fresh");
    {
        ScopedUmask umask(0277);
        ASSERT_TRUE(DestinationStore().save(*group.destinationsFile()));
    }
    for (const char* folder : {"fresh", "fresh/ambrevoli"})
        EXPECT_EQ(modeOf(temp / folder), 0700u) << folder;

    // A container that already exists keeps its mode.
    ScopedEnv other("XDG_DATA_HOME", temp / "shared");
    ASSERT_EQ(::mkdir((temp / "shared").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((temp / "shared/ambrevoli").c_str(), 0755), 0);
    ASSERT_TRUE(DestinationStore().save(*group.destinationsFile()));
    EXPECT_EQ(modeOf(temp / "shared/ambrevoli"), 0755u);
}

TEST(AppGroupTest, TextualForms)
{
    EXPECT_EQ(textualForm(AppGroupError::containerUnavailable("ambrevoli")),
              "containerUnavailable(ambrevoli)");
    EXPECT_EQ(textualForm(AppGroupError::missingIdentifier()), "missingIdentifier");
    EXPECT_EQ(textualForm(AppGroupError::missingTeamID()), "missingTeamID");
}

} // namespace
} // namespace ambrevoli
