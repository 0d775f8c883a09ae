// ambrevoli-send run as a user runs it: the built program, in a data home of the test's own; its
// drives with a stick mounted where the desktop mounts one, and its words in the user's language.

#include "app_group.h"
#include "destination_store.h"
#include "exported_symbols.h"
#include "fake_host.h"
#include "menu_options.h"
#include "scoped_env.h"
#include "send_request.h"
#include "sent_requests.h"
#include "temp_dir.h"
#include "test_volumes.h"
#include "volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;

// Before main(): a mount namespace can only be entered while the process has no other thread.
const bool privateMountsAtStart = testing::privateMounts();

// Runs the built program; its output on stdout and stderr together.
testing::CommandOutput send(const std::string& arguments)
{
    return testing::commandOutput(AMBREVOLI_SEND_BINARY " " + arguments + " 2>&1");
}

// --help and the messages in the language the environment chooses (the build's catalogs come
// through AMBREVOLI_LOCALE_DIR); without one, English.
TEST(AmbrevoliSendLanguageTest, HelpAndMessagesAreInTheUsersLanguage)
{
    testing::ScopedTempDir temp;
    testing::ScopedEnv dataHome{"XDG_DATA_HOME", temp / "data"};
    struct Case {
        const char* language;
        const char* usage;
        const char* unknown;
    };
    const Case cases[] = {
        {"de", "Aufruf: ambrevoli-send [--wait] --to LABEL|ID FILE...",
         "ambrevoli-send: kein Ziel hei\u00DFt \u201ENowhere\u201C (siehe ambrevoli-send --list)"},
        {"pl", "U\u017Cycie: ambrevoli-send [--wait] --to LABEL|ID FILE...",
         "ambrevoli-send: \u017Cadne miejsce docelowe nie nazywa si\u0119 \u201ENowhere\u201D "
         "(zob. ambrevoli-send --list)"},
        {"", "Usage: ambrevoli-send [--wait] --to LABEL|ID FILE...",
         "ambrevoli-send: no destination is called \"Nowhere\" (see ambrevoli-send --list)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        // LANGUAGE chooses only under a real locale; scripts/install-deps makes this one.
        const std::string environment =
            std::string("LC_ALL= LANG=en_US.UTF-8 LANGUAGE=") + c.language + " ";
        const auto help =
            testing::commandOutput(environment + AMBREVOLI_SEND_BINARY " --help 2>&1");
        ASSERT_TRUE(help.succeeded);
        ASSERT_FALSE(help.lines.empty());
        EXPECT_EQ(help.lines.front(), c.usage);

        std::ofstream(temp / "a.txt") << "a";
        const auto unknown = testing::commandOutput(
            environment + AMBREVOLI_SEND_BINARY " --to Nowhere '" + (temp / "a.txt") + "' 2>&1");
        EXPECT_EQ(unknown.exitStatus, 2);
        EXPECT_EQ(unknown.lines, std::vector<std::string>{c.unknown});
    }
}

class AmbrevoliSendDrivesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!privateMountsAtStart)
            GTEST_SKIP() << "needs root and a mount namespace of its own";
        ASSERT_TRUE(media.made());
        stick.emplace(temp / "stick.img", root, "STICK");
        if (!stick->mounted())
            GTEST_SKIP() << stick->whyNot();
        std::ofstream(temp / "a.txt") << "a";
        identity = volumeIdentity(root).value_or("");
        ASSERT_FALSE(identity.empty());
    }

    testing::ScopedTempDir temp;
    testing::ScopedEnv dataHome{"XDG_DATA_HOME", temp / "data"};
    testing::FakeHost host;
    testing::MediaFolder media;
    const std::string root = media / "STICK";
    std::optional<testing::LoopVolume> stick;
    std::string identity;
};

TEST_F(AmbrevoliSendDrivesTest, ListsTheDrivesAfterTheDestinations)
{
    fs::create_directories(temp / "shelf");
    const Destination shelf(Uuid::random(), "Shelf", temp / "shelf");
    testing::saveDestinations({shelf});

    const auto run = send("--list");
    EXPECT_EQ(run.exitStatus, 0);
    ASSERT_GE(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[0], "Shelf\t" + shelf.path() + "\tpresent\t" + shelf.id().text());
    // The machine's own sticks, if any, are listed too; this one is among them.
    EXPECT_NE(std::ranges::find(run.lines, "STICK\t" + root + "\tdrive\t" + identity),
              run.lines.end())
        << ::testing::PrintToString(run.lines);
}

TEST_F(AmbrevoliSendDrivesTest, SendsToADriveByItsLabelOrFolder)
{
    for (const std::string& to : {std::string("STICK"), root + "/"}) {
        SCOPED_TRACE(to);
        const auto run = send("--to '" + to + "' '" + (temp / "a.txt") + "'");
        EXPECT_EQ(run.exitStatus, 0) << ::testing::PrintToString(run.lines);
    }
    const std::vector<SendRequest> requests = testing::inbox();
    ASSERT_EQ(requests.size(), 2u);
    for (const SendRequest& request : requests) {
        EXPECT_EQ(request.volume(), (VolumeTarget{root, identity}));
        EXPECT_EQ(request.sources(), std::vector<std::string>{temp / "a.txt"});
    }
}

TEST_F(AmbrevoliSendDrivesTest, ALabelOfADestinationAndADriveIsAmbiguous)
{
    fs::create_directories(temp / "stick-folder");
    const Destination named(Uuid::random(), "STICK", temp / "stick-folder");
    testing::saveDestinations({named});

    const auto run = send("--to STICK '" + (temp / "a.txt") + "'");
    EXPECT_EQ(run.exitStatus, 2);
    ASSERT_EQ(run.lines.size(), 3u) << ::testing::PrintToString(run.lines);
    EXPECT_EQ(run.lines[1], "  " + named.id().text() + "  " + named.path());
    EXPECT_EQ(run.lines[2], "  " + root + "  (drive)");
    EXPECT_TRUE(testing::inbox().empty());
}

TEST_F(AmbrevoliSendDrivesTest, WithDrivesSwitchedOffNoneIsListedOrSentTo)
{
    MenuOptions off;
    off.showsDrives = false;
    ASSERT_TRUE(off.save(*menuOptionsFile(*AppGroup::fromMainBundle())));

    EXPECT_EQ(send("--list").lines, std::vector<std::string>{});
    const auto run = send("--to STICK '" + (temp / "a.txt") + "'");
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_TRUE(testing::inbox().empty());
}

} // namespace
} // namespace ambrevoli
