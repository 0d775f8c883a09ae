#include "nautilus_harness.h"

#include "app_group.h"
#include "bookmark.h"
#include "date_time.h"
#include "destination_store.h"
#include "exported_symbols.h"
#include "fake_host.h"
#include "scoped_env.h"
#include "scoped_language.h"
#include "send_request.h"
#include "sent_requests.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

// GDK as the module finds it in Nautilus's process: a display whose app launch context hands out
// the activation token "token-1", and remembers launches reported as failed.
namespace {

struct FakeLaunchContext {
    GAppLaunchContext parent;
};
struct FakeLaunchContextClass {
    GAppLaunchContextClass parent;
};

std::vector<std::string> failedLaunches;

char* fakeStartupNotifyID(GAppLaunchContext*, GAppInfo* info, GList*)
{
    return info ? g_strdup("token-1") : nullptr;
}

void fakeLaunchFailed(GAppLaunchContext*, const char* id) { failedLaunches.emplace_back(id); }

void initFakeLaunchContextClass(gpointer klass, gpointer)
{
    G_APP_LAUNCH_CONTEXT_CLASS(klass)->get_startup_notify_id = fakeStartupNotifyID;
    G_APP_LAUNCH_CONTEXT_CLASS(klass)->launch_failed = fakeLaunchFailed;
}

GType fakeLaunchContextType()
{
    static const GType type = g_type_register_static_simple(
        G_TYPE_APP_LAUNCH_CONTEXT, "AmbrevoliTestLaunchContext", sizeof(FakeLaunchContextClass),
        initFakeLaunchContextClass, sizeof(FakeLaunchContext), nullptr, GTypeFlags(0));
    return type;
}

int fakeDisplay;

} // namespace

extern "C" gpointer gdk_display_get_default() { return &fakeDisplay; }

extern "C" GAppLaunchContext* gdk_display_get_app_launch_context(gpointer display)
{
    return display == &fakeDisplay
               ? G_APP_LAUNCH_CONTEXT(g_object_new(fakeLaunchContextType(), nullptr))
               : nullptr;
}

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::errorLine;
using testing::fileURI;
using testing::inbox;
using testing::Menu;
using testing::MenuEntry;
using testing::ModuleLog;
using testing::nautilus;
using testing::saveDestinations;

const MenuEntry sendTo{"AmbrevoliFinder::SendTo", "Send To", true};
const MenuEntry noDestinations{"AmbrevoliFinder::NoDestinations", "No Destinations", false};
const MenuEntry otherFolder{"AmbrevoliFinder::OtherFolder", "Other Folder\u2026", true};
const MenuEntry editDestinations{"AmbrevoliFinder::EditDestinations", "Edit Destinations\u2026",
                                 true};

MenuEntry destinationItem(int tag, std::string label, bool enabled)
{
    return {"AmbrevoliFinder::Destination" + std::to_string(tag), std::move(label), enabled};
}

class FinderSyncTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::loadModule(nautilus()); }

    void SetUp() override
    {
        provider = testing::newStartedProvider(nautilus());
        fs::create_directories(temp / "files");
        for (const char* name : {"a.txt", "b c.txt", "\xC3\xBC.txt", "d", "e.txt"})
            std::ofstream(temp / ("files/" + std::string(name))) << name;
        log.clear();
    }

    std::string folder(const std::string& name)
    {
        fs::create_directories(temp / name);
        return temp / name;
    }

    Menu menuFor(const std::vector<std::string>& uris)
    {
        return testing::fileItems(provider.get(), testing::Selection(nautilus(), uris));
    }
    Menu menuForOneFile() { return menuFor({fileURI(temp / "files/a.txt")}); }

    testing::ScopedTempDir temp;
    testing::ScopedEnv dataHome{"XDG_DATA_HOME", temp / "data"};
    testing::FakeHost host;
    ModuleLog log{nautilus().subsystem};
    testing::Ref<GObject> provider;
};

TEST_F(FinderSyncTest, LogsWhereItRunsFrom)
{
    log.clear();
    auto another = testing::newProvider(nautilus());
    // Loaded from the build folder, not from where Nautilus loads extensions.
    EXPECT_EQ(log.lines(), std::vector<std::string>{"default: Running from " +
                                                    nautilus().extensionFolder + ": false"});
}

TEST_F(FinderSyncTest, AFreshInstallOffersNoDestinationsThenEditDestinations)
{
    Menu menu = menuForOneFile();
    EXPECT_EQ(menu.entries(), std::vector<MenuEntry>{sendTo});
    EXPECT_EQ(menu.submenu(),
              (std::vector<MenuEntry>{noDestinations, otherFolder, editDestinations}));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"default: Built the menu: 0 destinations, 0 disabled"});
}

// The menu speaks the file manager's language, looked up at each right-click rather than kept
// from when Files loaded the module. The destination's own label is never translated.
TEST_F(FinderSyncTest, TheMenuIsInTheUsersLanguage)
{
    saveDestinations({Destination(Uuid::random(), "Inbox", folder("inbox"))});
    struct Case {
        const char* language;
        std::vector<std::string> labels; // Send To, Other Folder…, Edit Destinations…
    };
    const Case cases[] = {
        {"de", {"Senden an", "Anderer Ordner \u2026", "Ziele bearbeiten \u2026"}},
        {"pl", {"Wy\u015Blij do", "Inny katalog\u2026", "Edytuj miejsca docelowe\u2026"}},
        {"en", {"Send To", "Other Folder\u2026", "Edit Destinations\u2026"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        testing::ScopedLanguage language(c.language);
        Menu menu = menuForOneFile();
        EXPECT_EQ(menu.entries(),
                  (std::vector<MenuEntry>{{"AmbrevoliFinder::SendTo", c.labels[0], true}}));
        EXPECT_EQ(menu.submenu(), (std::vector<MenuEntry>{
                                      destinationItem(1, "Inbox", true),
                                      {"AmbrevoliFinder::OtherFolder", c.labels[1], true},
                                      {"AmbrevoliFinder::EditDestinations", c.labels[2], true}}));
    }
    saveDestinations({});
    testing::ScopedLanguage polish("pl");
    EXPECT_EQ(menuForOneFile().submenu().front(),
              (MenuEntry{"AmbrevoliFinder::NoDestinations", "Brak miejsc docelowych", false}));
}

TEST_F(FinderSyncTest, AnUnreadableDestinationsFileIsLoggedAndOffersNoDestinations)
{
    auto file = AppGroup::fromMainBundle()->destinationsFile();
    fs::create_directories(fs::path(*file).parent_path());
    std::ofstream(*file) << "{ not json";

    Menu menu = menuForOneFile();
    EXPECT_EQ(menu.submenu(),
              (std::vector<MenuEntry>{noDestinations, otherFolder, editDestinations}));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  errorLine("Couldn't load destinations", DestinationStoreError::unreadable()),
                  "default: Built the menu: 0 destinations, 0 disabled"}));
}

TEST_F(FinderSyncTest, OneItemPerDestinationInListOrderADeletedOneDisabled)
{
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha")),
                      Destination(Uuid::random(), "Beta", temp / "deleted"),
                      Destination(Uuid::random(), "Photos_2024", folder("photos"))});

    Menu menu = menuForOneFile();
    EXPECT_EQ(menu.entries(), std::vector<MenuEntry>{sendTo});
    // An underscore is doubled so that GTK shows it instead of taking it for a shortcut mark.
    EXPECT_EQ(menu.submenu(), (std::vector<MenuEntry>{destinationItem(1, "Alpha", true),
                                                      destinationItem(2, "Beta", false),
                                                      destinationItem(3, "Photos__2024", true),
                                                      otherFolder, editDestinations}));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"default: Built the menu: 3 destinations, 1 disabled"});
}

struct ProbeCase {
    const char* name;
    // Makes the destination's folder (and bookmark) under `root` and the data home `data`.
    std::function<Destination(const std::string& root, const std::string& data)> make;
    bool enabled;
    std::vector<std::string> probeLines;
};

// Moves the folder at `from`, made beforehand, to `to`; yields a destination still naming `from`
// with the bookmark made before the move.
Destination moved(const std::string& from, const std::string& to)
{
    fs::create_directories(from);
    auto bookmark = makeBookmark(from);
    EXPECT_TRUE(bookmark);
    fs::create_directories(fs::path(to).parent_path());
    fs::rename(from, to);
    return Destination(Uuid::random(), "Moved", from, bookmark.value_or(""));
}

TEST_F(FinderSyncTest, AFolderThatIsNotAtItsPathIsJudgedByItsBookmark)
{
    const std::vector<ProbeCase> cases = {
        {"moved nearby: found, enabled",
         [](auto& root, auto&) { return moved(root + "/Projects", root + "/Projects 2023"); },
         true,
         {"default: Bookmark probe: resolved, folder exists: true, stale: true"}},
        {"moved into the trash: found there, disabled",
         [](auto& root, auto& data) { return moved(root + "/Work", data + "/Trash/files/Work"); },
         false,
         {"default: Bookmark probe: resolved, folder exists: false, stale: true"}},
        {"deleted: not found, disabled",
         [](auto& root, auto&) {
             Destination destination = moved(root + "/Gone", root + "/Gone.tmp");
             fs::remove(root + "/Gone.tmp");
             return destination;
         },
         false,
         {errorLine("Bookmark probe: couldn't resolve", BookmarkError::notFound())}},
        {"bytes that are no bookmark: disabled",
         [](auto& root, auto&) {
             return Destination(Uuid::random(), "Moved", root + "/nowhere", "not a bookmark");
         },
         false,
         {errorLine("Bookmark probe: couldn't resolve",
                    resolveBookmark("not a bookmark").error())}},
        {"in the trash by its own path: the path test does not look at the trash, enabled",
         [](auto&, auto& data) {
             fs::create_directories(data + "/Trash/files/Kept");
             return Destination(Uuid::random(), "Moved", data + "/Trash/files/Kept");
         },
         true,
         {}},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScopedTempDir root;
        saveDestinations({c.make(root.path(), temp / "data")});
        log.clear();

        Menu menu = menuForOneFile();
        EXPECT_EQ(menu.submenu(), (std::vector<MenuEntry>{destinationItem(1, "Moved", c.enabled),
                                                          otherFolder, editDestinations}));
        std::vector<std::string> expected = c.probeLines;
        expected.push_back("default: Built the menu: 1 destinations, " +
                           std::string(c.enabled ? "0" : "1") + " disabled");
        EXPECT_EQ(log.lines(), expected);
    }
}

std::string escaped(const std::string& text)
{
    gchar* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
    std::string result = escaped;
    g_free(escaped);
    return result;
}

TEST_F(FinderSyncTest, OnlyLocalSelectedItemsGetAMenu)
{
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha"))});
    const std::string local = fileURI(temp / "files/a.txt");
    const std::vector<std::vector<std::string>> selections = {
        {},
        {"trash:///a.txt"},
        {"recent:///" + escaped(local)},
        {"sftp://example.org/home/me/a.txt"},
        {"smb://server/share/a.txt"},
        {local, "trash:///a.txt"},
    };
    for (const auto& uris : selections) {
        SCOPED_TRACE(::testing::PrintToString(uris));
        EXPECT_TRUE(menuFor(uris).empty());
    }
    EXPECT_TRUE(testing::folderItems(nautilus(), provider.get(), fileURI(temp.path())).empty());
    // No menu was built; the items on shares without a local path say why.
    const auto withoutPath = [](const std::string& scheme) {
        return "default: No Send To for an item on a " + scheme +
               " share: it has no local path (the desktop's FUSE bridge, gvfsd-fuse, is not "
               "running)";
    };
    EXPECT_EQ(log.lines(), (std::vector<std::string>{withoutPath("sftp"), withoutPath("smb")}));
}

TEST_F(FinderSyncTest, AClickWritesOneRequestWithTheSelectionAndWakesTheHostInTheBackground)
{
    const Uuid first = Uuid::random(), second = Uuid::random();
    saveDestinations({Destination(first, "Alpha", folder("alpha")),
                      Destination(second, "Beta", folder("beta"))});
    // Nautilus's order, not sorted; paths as plain text, never percent-encoded.
    const std::vector<std::string> paths = {temp / "files/e.txt", temp / "files/b c.txt",
                                            temp / "files/a.txt", temp / "files/\xC3\xBC.txt",
                                            temp / "files/d"};
    std::vector<std::string> uris;
    for (const auto& path : paths)
        uris.push_back(fileURI(path));

    Menu menu = menuFor(uris);
    log.clear();
    const double before = std::floor(now());
    menu.activate("AmbrevoliFinder::Destination2");
    const double after = now();

    const std::vector<SendRequest> requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    const SendRequest& request = requests[0];
    EXPECT_EQ(request.version(), 1);
    EXPECT_EQ(request.destinationID(), second);
    EXPECT_EQ(request.sources(), paths);
    EXPECT_GE(request.createdAt(), before);
    EXPECT_LE(request.createdAt(), after);

    EXPECT_EQ(host.waitForStarts(1),
              (std::vector<std::vector<std::string>>{
                  {"--background", "ambrevoli://send?request=" + request.id().text(),
                   "XDG_ACTIVATION_TOKEN=(unset)", "DESKTOP_STARTUP_ID=(unset)"}}));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"default: Clicked tag 2, 5 items",
                                        "default: Handed off to the host app"}));
}

TEST_F(FinderSyncTest, EditDestinationsBringsTheHostToTheFrontWithTheDisplaysToken)
{
    Menu menu = menuForOneFile();
    log.clear();
    menu.activate("AmbrevoliFinder::EditDestinations");

    EXPECT_EQ(host.waitForStarts(1), (std::vector<std::vector<std::string>>{
                                         {"ambrevoli://settings", "XDG_ACTIVATION_TOKEN=token-1",
                                          "DESKTOP_STARTUP_ID=token-1"}}));
    EXPECT_EQ(inbox().size(), 0u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"default: Handed off to the host app"});
}

TEST_F(FinderSyncTest, AHostThatCannotBeStartedIsLoggedAndItsLaunchWithdrawn)
{
    const Uuid id = Uuid::random();
    saveDestinations({Destination(id, "Alpha", folder("alpha"))});
    testing::ScopedEnv missingHost("AMBREVOLI_HOST", temp / "no-such-host");
    failedLaunches.clear();

    Menu menu = menuForOneFile();
    log.clear();
    menu.activate("AmbrevoliFinder::EditDestinations");
    menu.activate("AmbrevoliFinder::Destination1");

    const std::string cannotOpen = errorLine("Couldn't open the host app", SystemError{ENOENT});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{cannotOpen, "default: Clicked tag 1, 1 items",
                                                     cannotOpen}));
    EXPECT_EQ(failedLaunches, std::vector<std::string>{"token-1"});
    // The request stays for the host's next launch to sweep.
    ASSERT_EQ(inbox().size(), 1u);
    EXPECT_EQ(inbox()[0].destinationID(), id);
}

TEST_F(FinderSyncTest, ARequestThatCannotBeWrittenLeavesTheHostAsleep)
{
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha"))});
    // Something that is not a folder where the inbox folder belongs.
    std::ofstream(AppGroup::fromMainBundle()->requestInbox()->folder()) << "";

    Menu menu = menuForOneFile();
    log.clear();
    menu.activate("AmbrevoliFinder::Destination1");

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "default: Clicked tag 1, 1 items");
    EXPECT_TRUE(lines[1].starts_with("error: Couldn't write the request: POSIX ")) << lines[1];
    EXPECT_EQ(host.startCount(), 0u);
}

TEST_F(FinderSyncTest, ADestinationsFileUnreadableAtTheClickSendsNothing)
{
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha"))});
    Menu menu = menuForOneFile();
    std::ofstream(*AppGroup::fromMainBundle()->destinationsFile()) << "{ not json";
    log.clear();
    menu.activate("AmbrevoliFinder::Destination1");

    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "default: Clicked tag 1, 1 items",
                  errorLine("Couldn't load destinations", DestinationStoreError::unreadable())}));
    EXPECT_EQ(inbox().size(), 0u);
    EXPECT_EQ(host.startCount(), 0u);
}

TEST_F(FinderSyncTest, AClickSendsToTheDestinationItsMenuShowedOrNowhereOnceItIsGone)
{
    const Uuid a = Uuid::random(), b = Uuid::random(), c = Uuid::random(), d = Uuid::random();
    saveDestinations({Destination(a, "A", folder("a")), Destination(b, "B", folder("b")),
                      Destination(c, "C", folder("c"))});
    Menu older = menuForOneFile();

    // Another window's menu, built after the list changed: C moved to the front, B was removed,
    // D was added. The older menu is still open.
    saveDestinations({Destination(c, "C", folder("c")), Destination(a, "A", folder("a")),
                      Destination(d, "D", folder("d"))});
    Menu newer = menuForOneFile();
    EXPECT_EQ(newer.submenu(), (std::vector<MenuEntry>{
                                   destinationItem(1, "C", true), destinationItem(2, "A", true),
                                   destinationItem(3, "D", true), otherFolder, editDestinations}));
    log.clear();

    // The older menu's third item is C, whatever is third now.
    older.activate("AmbrevoliFinder::Destination3");
    host.waitForStarts(1);
    ASSERT_EQ(inbox().size(), 1u);
    EXPECT_EQ(inbox()[0].destinationID(), c);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"default: Clicked tag 3, 1 items",
                                        "default: Handed off to the host app"}));

    // Its second item is B, which is gone: the click goes nowhere.
    log.clear();
    older.activate("AmbrevoliFinder::Destination2");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"default: Clicked tag 2, 1 items",
                                                     "error: No destination for tag 2"}));

    // Removed after the newest menu was built: the file is what counts, not the last menu.
    saveDestinations({Destination(c, "C", folder("c"))});
    log.clear();
    newer.activate("AmbrevoliFinder::Destination2");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"default: Clicked tag 2, 1 items",
                                                     "error: No destination for tag 2"}));

    EXPECT_EQ(inbox().size(), 1u);
    EXPECT_EQ(host.startCount(), 1u);
}

TEST_F(FinderSyncTest, MenuItemsKeepTheirProviderAlive)
{
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha"))});
    Menu menu = menuForOneFile();
    provider.reset();
    log.clear();

    menu.activate("AmbrevoliFinder::Destination1");
    EXPECT_EQ(inbox().size(), 1u);
    host.waitForStarts(1);
}

TEST(FinderModuleTest, ExportsNothingButNautilusModuleFunctions)
{
    const auto exported = testing::exportedSymbols(nautilus().moduleFile);
    if (!exported)
        GTEST_SKIP() << "nm is not available";
    EXPECT_EQ(*exported, nautilus().entryPoints);
}

} // namespace
} // namespace ambrevoli
