#include "module_harness.h"

#include "app_group.h"
#include "bookmark.h"
#include "destination_store.h"
#include "exported_symbols.h"
#include "fake_host.h"
#include "menu_options.h"
#include "scoped_env.h"
#include "scoped_language.h"
#include "send_request.h"
#include "sent_requests.h"
#include "test_volumes.h"
#include "volumes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::FileManager;
using testing::fileURI;
using testing::inbox;
using testing::Menu;
using testing::MenuEntry;
using testing::ModuleLog;
using testing::saveDestinations;
using testing::Selection;

// Before main(): a mount namespace can only be entered while the process has no other thread,
// and GLib starts its own as soon as the first module is loaded.
const bool privateMountsAtStart = testing::privateMounts();

// A stick plugged in before the file manager started, for the whole run, as the desktop mounts
// one. Mounted before GIO's volume monitor first looks: here the monitor does not hear of mounts
// made later in the mount namespace the process entered on its own.
struct PluggedStick {
    testing::ScopedTempDir images;
    testing::MediaFolder media;
    std::string root = media / "STICK";
    std::optional<testing::LoopVolume> volume;

    bool mounted() const { return volume && volume->mounted(); }
};
PluggedStick& pluggedStick()
{
    static PluggedStick stick;
    static const bool plugged = [] {
        if (privateMountsAtStart && stick.media.made())
            stick.volume.emplace(stick.images / "stick.img", stick.root, "STICK");
        return true;
    }();
    (void)plugged;
    return stick;
}
const bool stickPluggedAtStart = (pluggedStick(), true);

class FileManagerModuleTest : public ::testing::TestWithParam<FileManager> {
public:
    const FileManager& fileManager() const { return GetParam(); }

    MenuEntry item(const std::string& name, std::string label, bool sensitive) const
    {
        return {fileManager().itemPrefix + name, std::move(label), sensitive};
    }
    MenuEntry destination(int tag, std::string label, bool enabled) const
    {
        return item("Destination" + std::to_string(tag), std::move(label), enabled);
    }
    // The plugged stick's item, when there is one.
    std::vector<MenuEntry> drives() const
    {
        if (!pluggedStick().mounted())
            return {};
        return {item("Drive1", "STICK", true)};
    }
    // The lines a menu's build logs before "Built the menu: …".
    std::vector<std::string> drivesLines() const
    {
        if (!pluggedStick().mounted())
            return {};
        return {"default: Offered 1 drives"};
    }
    // The submenu's items for `destinations`: they, "Other Folder…", the drives after a separator
    // where the file manager's menus have one, then a separator again and "Edit Destinations…".
    std::vector<MenuEntry> submenu(std::vector<MenuEntry> destinations) const
    {
        return submenu(std::move(destinations), drives());
    }
    std::vector<MenuEntry> submenu(std::vector<MenuEntry> destinations,
                                   const std::vector<MenuEntry>& drives) const
    {
        destinations.push_back(item("OtherFolder", "Other Folder\u2026", true));
        if (fileManager().hasSeparator && !drives.empty())
            destinations.push_back(item("DrivesSeparator", "", true));
        destinations.insert(destinations.end(), drives.begin(), drives.end());
        if (fileManager().hasSeparator)
            destinations.push_back(item("Separator", "", true));
        destinations.push_back(item("EditDestinations", "Edit Destinations\u2026", true));
        return destinations;
    }

    std::string folder(const std::string& name)
    {
        fs::create_directories(temp / name);
        return temp / name;
    }

    Menu menuFor(const std::vector<std::string>& paths)
    {
        std::vector<std::string> uris;
        for (const std::string& path : paths)
            uris.push_back(fileURI(path));
        return menuForURIs(uris);
    }
    Menu menuForURIs(const std::vector<std::string>& uris)
    {
        return testing::fileItems(provider.get(), Selection(fileManager(), uris));
    }

    void SetUp() override
    {
        testing::setUpProcess();
        log.emplace(fileManager().subsystem);
        provider = testing::newStartedProvider(fileManager());
        std::ofstream(temp / "a.txt") << "a";
        std::ofstream(temp / "b c.txt") << "b";
    }

    testing::ScopedTempDir temp;
    testing::ScopedEnv dataHome{"XDG_DATA_HOME", temp / "data"};
    testing::FakeHost host;
    std::optional<ModuleLog> log;
    testing::Ref<GObject> provider;
};

TEST_P(FileManagerModuleTest, LogsWhereItRunsFromAndWhatItWatches)
{
    // Loaded from the build, not from the file manager's own folder.
    const std::vector<std::string> lines = log->lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "default: Running from " + fileManager().extensionFolder + ": false");
    EXPECT_TRUE(lines.back().starts_with("default: Watching ")) << lines.back();
}

TEST_P(FileManagerModuleTest, ShowsTheDestinationsAsTheyAreOnDisk)
{
    struct Case {
        const char* name;
        std::function<std::vector<Destination>(FileManagerModuleTest&)> destinations;
        std::vector<bool> enabled;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"a fresh install: no destinations file",
         [](FileManagerModuleTest&) { return std::vector<Destination>{}; },
         {},
         {"default: Built the menu: 0 destinations, 0 disabled"}},
        {"three, the second deleted and without a bookmark",
         [](FileManagerModuleTest& t) {
             return std::vector<Destination>{
                 Destination(Uuid::random(), "One", t.folder("one")),
                 Destination(Uuid::random(), "Two_2", t.temp / "gone"),
                 Destination(Uuid::random(), "Three", t.folder("three"))};
         },
         {true, false, true},
         {"default: Built the menu: 3 destinations, 1 disabled"}},
        {"a folder moved away, followed through its bookmark",
         [](FileManagerModuleTest& t) {
             const std::string old = t.folder("Projects");
             Destination moved(Uuid::random(), "Projects", old, *makeBookmark(old));
             fs::rename(old, t.temp / "Projects 2023");
             return std::vector<Destination>{moved};
         },
         {true},
         {"default: Bookmark probe: resolved, folder exists: true, stale: true",
          "default: Built the menu: 1 destinations, 0 disabled"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Destination> destinations = c.destinations(*this);
        if (!destinations.empty())
            saveDestinations(destinations);
        log->clear();

        Menu menu = menuFor({temp / "a.txt"});
        EXPECT_EQ(menu.entries(), (std::vector<MenuEntry>{item("SendTo", "Send To", true)}));
        std::vector<MenuEntry> items;
        for (std::size_t i = 0; i < destinations.size(); ++i) {
            // GTK takes a single underscore for a shortcut mark: the label's own are doubled.
            std::string label = destinations[i].label();
            if (label == "Two_2")
                label = "Two__2";
            items.push_back(destination(static_cast<int>(i) + 1, label, c.enabled[i]));
        }
        if (destinations.empty())
            items.push_back(item("NoDestinations", "No Destinations", false));
        EXPECT_EQ(menu.submenu(), submenu(items));
        std::vector<std::string> lines = drivesLines();
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(log->lines(), lines);
    }
}

// Each module speaks the file manager's language, as GNOME Files' does.
TEST_P(FileManagerModuleTest, TheMenuIsInTheUsersLanguage)
{
    saveDestinations({Destination(Uuid::random(), "Inbox", folder("inbox"))});
    struct Case {
        const char* language;
        std::string sendTo, otherFolder, editDestinations;
    };
    const Case cases[] = {
        {"de", "Senden an", "Anderer Ordner \u2026", "Ziele bearbeiten \u2026"},
        {"pl", "Wy\u015Blij do", "Inny katalog\u2026", "Edytuj miejsca docelowe\u2026"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        testing::ScopedLanguage language(c.language);
        Menu menu = menuFor({temp / "a.txt"});
        EXPECT_EQ(menu.entries(), (std::vector<MenuEntry>{item("SendTo", c.sendTo, true)}));
        std::vector<MenuEntry> expected = submenu({destination(1, "Inbox", true)});
        for (MenuEntry& entry : expected) {
            if (entry.name == fileManager().itemPrefix + "OtherFolder")
                entry.label = c.otherFolder;
            if (entry.name == fileManager().itemPrefix + "EditDestinations")
                entry.label = c.editDestinations;
        }
        EXPECT_EQ(menu.submenu(), expected);
    }
}

TEST_P(FileManagerModuleTest, LocalItemsAndItemsOnMountedSharesGetAMenu)
{
    // The desktop's FUSE bridge serves the SFTP share; the SMB one is mounted without it.
    const fs::path fuseRoot = temp / "gvfs/sftp:host=server";
    fs::create_directories(fuseRoot / "home");
    std::ofstream(fuseRoot / "home" / "on share.txt") << "s";
    testing::mountShare("sftp://server/", fuseRoot);
    testing::mountShare("smb://nas/", "");

    const std::string local = fileURI(temp / "a.txt");
    const std::string onShare = "sftp://server/home/on%20share.txt";
    struct Case {
        std::vector<std::string> uris;
        bool menu;
    };
    const std::vector<Case> cases = {
        {{}, false},
        {{"trash:///a.txt"}, false},
        {{local, "recent:///0123"}, false},
        {{"smb://nas/photos/a.jpg"}, false},
        {{local}, true},
        {{onShare, local}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.uris));
        EXPECT_EQ(menuForURIs(c.uris).empty(), !c.menu);
    }
    EXPECT_THAT(log->lines(), ::testing::Contains("default: No Send To for an item on a smb "
                                                  "share: it has no local path (the desktop's "
                                                  "FUSE bridge, gvfsd-fuse, is not running)"));

    // The request names the item by its FUSE path, which the host copies from like any other.
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha"))});
    menuForURIs({onShare}).activate(fileManager().itemPrefix + "Destination1");
    const std::vector<SendRequest> requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].sources(),
              (std::vector<std::string>{fuseRoot / "home" / "on share.txt"}));

    // A right-click on a folder's background has nothing to send.
    EXPECT_TRUE(testing::folderItems(fileManager(), provider.get(), fileURI(temp.path())).empty());
}

TEST_P(FileManagerModuleTest, AClickWritesTheRequestAndWakesTheHostInTheBackground)
{
    const Uuid first = Uuid::random(), second = Uuid::random();
    saveDestinations({Destination(first, "Alpha", folder("alpha")),
                      Destination(second, "Beta", folder("beta"))});
    // The file manager's order, not sorted; paths as plain text, never percent-encoded.
    const std::vector<std::string> paths = {temp / "b c.txt", temp / "a.txt"};
    Menu menu = menuFor(paths);
    log->clear();

    menu.activate(fileManager().itemPrefix + "Destination2");

    const std::vector<SendRequest> requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].destinationID(), second);
    EXPECT_EQ(requests[0].sources(), paths);
    EXPECT_EQ(host.waitForStarts(1),
              (std::vector<std::vector<std::string>>{
                  {"--background", "ambrevoli://send?request=" + requests[0].id().text(),
                   "XDG_ACTIVATION_TOKEN=(unset)", "DESKTOP_STARTUP_ID=(unset)"}}));
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{"default: Clicked tag 2, 2 items",
                                        "default: Handed off to the host app"}));
}

TEST_P(FileManagerModuleTest, EditDestinationsBringsUpTheSettingsAndWritesNothing)
{
    Menu menu = menuFor({temp / "a.txt"});
    log->clear();

    menu.activate(fileManager().itemPrefix + "EditDestinations");

    EXPECT_EQ(host.waitForStarts(1), (std::vector<std::vector<std::string>>{
                                         {"ambrevoli://settings", "XDG_ACTIVATION_TOKEN=(unset)",
                                          "DESKTOP_STARTUP_ID=(unset)"}}));
    EXPECT_TRUE(inbox().empty());
    EXPECT_EQ(log->lines(), std::vector<std::string>{"default: Handed off to the host app"});
}

TEST_P(FileManagerModuleTest, OtherFolderAsksTheHostToChooseTheFolder)
{
    const std::vector<std::string> paths = {temp / "a.txt"};
    Menu menu = menuFor(paths);
    log->clear();

    menu.activate(fileManager().itemPrefix + "OtherFolder");

    const std::vector<SendRequest> requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].choosesFolder());
    EXPECT_EQ(requests[0].sources(), paths);
    EXPECT_EQ(host.waitForStarts(1).size(), 1u);
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{"default: Clicked Other Folder, 1 items",
                                        "default: Handed off to the host app"}));
}

TEST_P(FileManagerModuleTest, APluggedInStickIsOfferedAndAClickNamesExactlyThatStick)
{
    if (!privateMountsAtStart)
        GTEST_SKIP() << "needs root and a mount namespace of its own";
    PluggedStick& stick = pluggedStick();
    if (!stick.mounted())
        GTEST_SKIP() << (stick.volume ? stick.volume->whyNot() : "cannot make a folder in /media");
    const std::string& root = stick.root;
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha"))});
    const std::vector<MenuEntry> items = {destination(1, "Alpha", true)};

    Menu menu = menuFor({temp / "a.txt"});
    ASSERT_EQ(menu.submenu(), submenu(items, {item("Drive1", "STICK", true)}));
    const std::string identity = volumeIdentity(root).value_or("");

    // Once the menu is up, another stick with the same label is mounted in the plugged one's
    // place: the click still names the plugged one, which the host will then not find there.
    {
        testing::LoopVolume other(temp / "other.img", root, "STICK");
        ASSERT_TRUE(other.mounted()) << other.whyNot();
        log->clear();
        menu.activate(fileManager().itemPrefix + "Drive1");
        const std::vector<SendRequest> requests = inbox();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].volume(), (VolumeTarget{root, identity}));
        EXPECT_NE(volumeIdentity(root), identity);
        EXPECT_EQ(log->lines(),
                  (std::vector<std::string>{"default: Clicked drive 1, 1 items",
                                            "default: Handed off to the host app"}));
    }
    EXPECT_EQ(volumeIdentity(root), identity) << "the plugged stick is back on top";

    // With "Show drives in Send To" off, the same stick is not offered.
    MenuOptions off;
    off.showsDrives = false;
    ASSERT_TRUE(off.save(*menuOptionsFile(*AppGroup::fromMainBundle())));
    EXPECT_EQ(menuFor({temp / "a.txt"}).submenu(), submenu(items, {}));
}

TEST_P(FileManagerModuleTest, ExportsNothingButItsFileManagersEntryPoints)
{
    const auto exported = testing::exportedSymbols(fileManager().moduleFile);
    if (!exported)
        GTEST_SKIP() << "nm is not available";
    EXPECT_EQ(*exported, fileManager().entryPoints);
}

INSTANTIATE_TEST_SUITE_P(Modules, FileManagerModuleTest,
                         ::testing::ValuesIn(testing::registeredFileManagers()),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace ambrevoli
