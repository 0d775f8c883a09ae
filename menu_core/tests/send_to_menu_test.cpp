#include "send_to_menu.h"

#include "app_group.h"
#include "bookmark.h"
#include "destination_store.h"
#include "fake_host.h"
#include "log.h"
#include "menu_options.h"
#include "scoped_env.h"
#include "send_request.h"
#include "sent_requests.h"
#include "temp_dir.h"
#include "test_volumes.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::inbox;
using testing::saveDestinations;
using testing::ScopedEnv;
using testing::ScopedTempDir;

class SendToMenuTest : public ::testing::Test {
public:
    std::string folder(const std::string& name)
    {
        fs::create_directories(temp / name);
        return temp / name;
    }

    ScopedTempDir temp;
    ScopedEnv dataHome{"XDG_DATA_HOME", temp / "data"};
    ScopedEnv noToken{"XDG_ACTIVATION_TOKEN", std::nullopt};
    testing::FakeHost host;
    LogCapture log;
};

TEST_F(SendToMenuTest, DescribesTheDestinationsFileAsItIsNow)
{
    struct Case {
        const char* name;
        std::function<std::vector<Destination>(SendToMenuTest&)> destinations;
        std::vector<bool> enabled;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"a fresh install: no file at all",
         [](SendToMenuTest&) { return std::vector<Destination>{}; },
         {},
         {"Built the menu: 0 destinations, 0 disabled"}},
        {"three, the second deleted and without a bookmark",
         [](SendToMenuTest& t) {
             return std::vector<Destination>{
                 Destination(Uuid::random(), "One", t.folder("one")),
                 Destination(Uuid::random(), "Two", (t.temp / "gone")),
                 Destination(Uuid::random(), "Three", t.folder("three"))};
         },
         {true, false, true},
         {"Built the menu: 3 destinations, 1 disabled"}},
        {"a folder moved away, found through its bookmark",
         [](SendToMenuTest& t) {
             const std::string old = t.folder("Projects");
             Destination moved(Uuid::random(), "Projects", old, *makeBookmark(old));
             fs::rename(old, t.temp / "Projects 2023");
             return std::vector<Destination>{moved};
         },
         {true},
         {"Bookmark probe: resolved, folder exists: true, stale: true",
          "Built the menu: 1 destinations, 0 disabled"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Destination> destinations = c.destinations(*this);
        if (!destinations.empty())
            saveDestinations(destinations);
        log.clear();

        const SendToMenu menu = buildSendToMenu();

        std::vector<DestinationItem> expected;
        for (std::size_t i = 0; i < destinations.size(); ++i)
            expected.push_back({destinations[i].label(), c.enabled[i], destinations[i].id(),
                                static_cast<long>(i) + 1});
        EXPECT_EQ(menu.destinations, expected);
        EXPECT_EQ(menu.showsNoDestinations(), destinations.empty());
        EXPECT_EQ(log.lines(), c.lines);
        for (const LogRecord& record : log.records())
            EXPECT_EQ(record.category, "extension");
    }
}

TEST_F(SendToMenuTest, ADestinationOnAShareThatIsNotMountedSaysSo)
{
    ScopedEnv runtime("XDG_RUNTIME_DIR", folder("runtime"));
    const std::string mounted = folder("runtime/gvfs/sftp:host=server,user=me");
    fs::create_directories(mounted + "/Backups");
    const std::string away = temp / "runtime/gvfs/smb-share:server=nas,share=photos";
    saveDestinations({Destination(Uuid::random(), "Backups", mounted + "/Backups"),
                      Destination(Uuid::random(), "Gone", mounted + "/Gone"),
                      Destination(Uuid::random(), "Photos", away + "/2024")});

    const SendToMenu menu = buildSendToMenu();

    ASSERT_EQ(menu.destinations.size(), 3u);
    // A folder deleted from a mounted share is missing like any other.
    EXPECT_EQ(menu.destinations[0].label, "Backups");
    EXPECT_TRUE(menu.destinations[0].enabled);
    EXPECT_EQ(menu.destinations[1].label, "Gone");
    EXPECT_FALSE(menu.destinations[1].enabled);
    EXPECT_EQ(menu.destinations[2].label, "Photos \u2014 photos on nas isn't connected");
    EXPECT_FALSE(menu.destinations[2].enabled);
}

TEST_F(SendToMenuTest, AnUnreadableFileIsLoggedAndGivesNoDestinations)
{
    const std::string file = *AppGroup::fromMainBundle()->destinationsFile();
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file) << "{ not json";
    log.clear();

    EXPECT_TRUE(buildSendToMenu().showsNoDestinations());
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(log.lines()[0].starts_with("Couldn't load destinations: ")) << log.lines()[0];
    EXPECT_EQ(log.lines()[1], "Built the menu: 0 destinations, 0 disabled");
}

TEST_F(SendToMenuTest, AClickWritesTheRequestAndWakesTheHostOrLogsWhyNot)
{
    const Destination kept(Uuid::random(), "Kept", folder("kept"));
    saveDestinations({kept});
    const std::vector<std::string> sources = {(temp / "a.txt"), (temp / "b.txt")};
    log.clear();

    sendToDestination(1, kept.id(), sources);
    const auto requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].destinationID(), kept.id());
    EXPECT_EQ(requests[0].sources(), sources);
    EXPECT_EQ(host.waitForStarts(1),
              (std::vector<std::vector<std::string>>{
                  {"--background", "ambrevoli://send?request=" + requests[0].id().text(),
                   "XDG_ACTIVATION_TOKEN=(unset)", "DESKTOP_STARTUP_ID=(unset)"}}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Clicked tag 1, 2 items",
                                                     "Handed off to the host app"}));

    // A destination removed since the menu was built: nothing written, nobody woken.
    log.clear();
    sendToDestination(2, Uuid::random(), sources);
    EXPECT_EQ(inbox().size(), 1u);
    EXPECT_EQ(host.startCount(), 1u);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Clicked tag 2, 2 items", "No destination for tag 2"}));
}

TEST_F(SendToMenuTest, DrivesAreOfferedBelowTheDestinationsWhileTheOptionIsOn)
{
    if (!testing::privateMounts())
        GTEST_SKIP() << "needs root and a mount namespace of its own";
    testing::MediaFolder media;
    ASSERT_TRUE(media.made());
    const std::string stick = media / "STICK";
    fs::create_directories(stick);
    ASSERT_EQ(::mount("stick", stick.c_str(), "tmpfs", 0, nullptr), 0);
    saveDestinations({Destination(Uuid::random(), "Kept", folder("kept"))});
    int asked = 0;
    const MountSource mounts = [&] {
        ++asked;
        // As a file manager lists them: the stick, and the system's own disk.
        return std::vector<MountCandidate>{{stick, "", "/dev/sdz1", "vfat", true},
                                           {"/", "", "/dev/sda2", "ext4", false}};
    };
    log.clear();

    SendToMenu menu = buildSendToMenu(mounts);
    ASSERT_EQ(menu.drives.size(), 1u);
    EXPECT_EQ(menu.drives[0], (DriveItem{"STICK", {stick, *volumeIdentity(stick)}, 1}));
    EXPECT_EQ(menu.destinations.size(), 1u);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Offered 1 drives", "Built the menu: 1 destinations, 0 disabled"}));

    MenuOptions off;
    off.showsDrives = false;
    ASSERT_TRUE(off.save(*menuOptionsFile(*AppGroup::fromMainBundle())));
    menu = buildSendToMenu(mounts);
    EXPECT_TRUE(menu.drives.empty());
    EXPECT_EQ(asked, 1) << "the mounts are not even looked at";

    ::umount2(stick.c_str(), MNT_DETACH);
}

TEST_F(SendToMenuTest, ADriveOrOtherFolderClickWritesItsRequest)
{
    const VolumeTarget stick{"/media/me/STICK", "uuid:1234-ABCD"};
    const std::vector<std::string> sources = {(temp / "a.txt")};
    sendToDrive(2, stick, sources);
    sendToOtherFolder(sources);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Clicked drive 2, 1 items",
                                                     "Handed off to the host app",
                                                     "Clicked Other Folder, 1 items",
                                                     "Handed off to the host app"}));
    const auto requests = inbox();
    ASSERT_EQ(requests.size(), 2u);
    const bool volumeFirst = requests[0].volume().has_value();
    const SendRequest& toStick = requests[volumeFirst ? 0 : 1];
    const SendRequest& choosing = requests[volumeFirst ? 1 : 0];
    EXPECT_EQ(toStick.volume(), stick);
    EXPECT_EQ(toStick.sources(), sources);
    EXPECT_TRUE(choosing.choosesFolder());
    EXPECT_EQ(choosing.sources(), sources);
    EXPECT_EQ(host.waitForStarts(2).size(), 2u);
}

TEST_F(SendToMenuTest, EditDestinationsStartsTheHostWithItsSettingsAndToken)
{
    EXPECT_TRUE(editDestinations("token-7"));
    EXPECT_EQ(host.waitForStarts(1), (std::vector<std::vector<std::string>>{
                                         {"ambrevoli://settings", "XDG_ACTIVATION_TOKEN=token-7",
                                          "DESKTOP_STARTUP_ID=token-7"}}));
    EXPECT_TRUE(inbox().empty());

    ScopedEnv noHost{"AMBREVOLI_HOST", (temp / "no-such-host")};
    log.clear();
    EXPECT_FALSE(editDestinations());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("Couldn't open the host app: ")) << log.lines()[0];
}

} // namespace
} // namespace ambrevoli
