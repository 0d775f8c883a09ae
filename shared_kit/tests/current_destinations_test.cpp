#include "current_destinations.h"

#include "bundle_info.h"
#include "scoped_env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::ScopedTempDir;

using Loaded = std::expected<std::vector<Destination>, LoadDestinationsFailure>;

TEST(CurrentDestinationsTest, ReadsTheGroupsFileAfreshOnEveryCall)
{
    const std::vector<Destination> saved = {Destination(Uuid::random(), "Zeta", "/srv/zeta"),
                                            Destination(Uuid::random(), "Alpha", "/srv/alpha")};
    struct Case {
        const char* name;
        const char* dataHome; // relative to the test's folder; null for a relative data home
        std::function<void(const std::string& file)> arrange;
        Loaded expected;
    } cases[] = {
        {"no file yet: nothing added", "data", [](auto&) {}, std::vector<Destination>{}},
        {"the list in menu order", "data",
         [&](auto& file) { ASSERT_TRUE(DestinationStore(saved).save(file)); }, saved},
        {"not JSON", "data",
         [](auto& file) {
             fs::create_directories(fs::path(file).parent_path());
             std::ofstream(file) << "{ not json";
         },
         std::unexpected(DestinationStoreError::unreadable())},
        {"a later version", "data",
         [](auto& file) {
             fs::create_directories(fs::path(file).parent_path());
             std::ofstream(file) << R"({"version": 2, "destinations": []})";
         },
         std::unexpected(DestinationStoreError::unsupportedVersion(2))},
        {"no usable data home", nullptr, [](auto&) {},
         std::unexpected(AppGroupError::containerUnavailable("some.group"))},
    };
    const AppGroup group = *AppGroup::make("some.group");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempDir temp;
        ScopedEnv dataHome("XDG_DATA_HOME", c.dataHome ? temp / c.dataHome : "relative/data");
        c.arrange(temp / "data/some.group/destinations.json");
        EXPECT_EQ(loadDestinations(group), c.expected);
    }
}

TEST(CurrentDestinationsTest, WithoutAGroupTheRunningDeliverablesIsUsed)
{
    ScopedTempDir temp;
    ScopedEnv dataHome("XDG_DATA_HOME", temp / "data");
    const std::string file =
        temp / "data/" + std::string(mainBundle().appGroup) + "/destinations.json";
    EXPECT_EQ(destinationsFile(), file);
    const std::vector<Destination> saved = {Destination(Uuid::random(), "Alpha", "/srv/alpha")};
    ASSERT_TRUE(DestinationStore(saved).save(file));
    EXPECT_EQ(loadDestinations(), Loaded(saved));
}

} // namespace
} // namespace ambrevoli
