#include "module_harness.h"

#include "app_group.h"
#include "bookmark.h"
#include "destination_store.h"
#include "exported_symbols.h"
#include "fake_host.h"
#include "scoped_env.h"
#include "send_request.h"
#include "sent_requests.h"

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
    // The submenu's items for `destinations`: they, then the separator where the file manager's
    // menus have one, then "Edit Destinations…".
    std::vector<MenuEntry> submenu(std::vector<MenuEntry> destinations) const
    {
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
        EXPECT_EQ(log->lines(), c.lines);
    }
}

TEST_P(FileManagerModuleTest, OnlyLocalSelectedItemsGetAMenu)
{
    const std::string local = fileURI(temp / "a.txt");
    const std::vector<std::vector<std::string>> selections = {
        {},
        {"trash:///a.txt"},
        {"sftp://host.invalid/home/a.txt"},
        {local, "recent:///0123"},
    };
    for (const auto& uris : selections) {
        SCOPED_TRACE(::testing::PrintToString(uris));
        EXPECT_TRUE(menuForURIs(uris).empty());
    }
    EXPECT_FALSE(menuForURIs({local}).empty());

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
                                        "default: Handed off to the host app, pid 0"}));
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
    EXPECT_EQ(log->lines(), std::vector<std::string>{"default: Handed off to the host app, pid 0"});
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
