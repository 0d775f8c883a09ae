#include "app_group.h"
#include "bookmark.h"
#include "date_time.h"
#include "destination_store.h"
#include "exported_symbols.h"
#include "fake_host.h"
#include "menu_options.h"
#include "module_log.h"
#include "scoped_env.h"
#include "send_request.h"
#include "sent_requests.h"
#include "temp_dir.h"
#include "test_volumes.h"
#include "volumes.h"

#include <KAbstractFileItemActionPlugin>
#include <KFileItem>
#include <KFileItemActions>
#include <KFileItemListProperties>
#include <KIO/UDSEntry>
#include <KPluginFactory>
#include <KPluginMetaData>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QWidget>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::errorLine;
using testing::inbox;
using testing::ModuleLog;
using testing::saveDestinations;
using testing::ScopedTempDir;

// The subsystem of the plugin's log lines.
const std::string subsystem = "ambrevoli.dolphin";

// As KIO's KFileItemActions makes a plugin object from the plugin's file and metadata.
std::unique_ptr<KAbstractFileItemActionPlugin> loadPlugin()
{
    const KPluginMetaData metaData(QStringLiteral(AMBREVOLI_DOLPHIN_PLUGIN_FILE));
    auto result = KPluginFactory::instantiatePlugin<KAbstractFileItemActionPlugin>(metaData);
    EXPECT_TRUE(result) << result.errorText.toStdString();
    return std::unique_ptr<KAbstractFileItemActionPlugin>(result.plugin);
}

// An entry of a Qt menu: its text ("---" for a separator) and whether it is enabled.
struct Entry {
    std::string text;
    bool enabled = true;
    friend bool operator==(const Entry&, const Entry&) = default;
};
void PrintTo(const Entry& entry, std::ostream* out)
{
    *out << "{\"" << entry.text << "\", " << (entry.enabled ? "enabled" : "disabled") << "}";
}

const Entry separator{"---", true};
const Entry noDestinations{"No Destinations", false};
const Entry otherFolder{"Other Folder\u2026", true};
const Entry editDestinations{"Edit Destinations\u2026", true};

std::vector<Entry> entries(const QList<QAction*>& actions)
{
    std::vector<Entry> entries;
    for (const QAction* action : actions)
        entries.push_back(action->isSeparator()
                              ? separator
                              : Entry{action->text().toStdString(), action->isEnabled()});
    return entries;
}

// The entries of the submenu of the only action; fails the test when there is not exactly one
// action with a submenu.
std::vector<Entry> submenu(const QList<QAction*>& actions)
{
    if (actions.size() != 1 || !actions[0]->menu()) {
        ADD_FAILURE() << "expected one action with a submenu, got " << actions.size();
        return {};
    }
    return entries(actions[0]->menu()->actions());
}

// Triggers the submenu item with `text`, as a click does.
void click(const QList<QAction*>& actions, const std::string& text)
{
    ASSERT_EQ(actions.size(), 1);
    ASSERT_TRUE(actions[0]->menu());
    for (QAction* action : actions[0]->menu()->actions())
        if (action->text().toStdString() == text) {
            action->trigger();
            return;
        }
    ADD_FAILURE() << "no item " << text;
}

// The "Send To" entries of a context menu KIO built. The system's own plugins add entries of
// their own (KF6's KIO brings "Move to New Folder…").
QList<QAction*> sendToEntries(const QMenu& contextMenu)
{
    QList<QAction*> found;
    for (QAction* action : contextMenu.actions())
        if (action->text() == QStringLiteral("Send To"))
            found.push_back(action);
    return found;
}

KFileItemListProperties selectionOf(const std::vector<QUrl>& urls)
{
    KFileItemList items;
    for (const QUrl& url : urls)
        items.append(url.isLocalFile()
                         ? KFileItem(url)
                         : KFileItem(url, QStringLiteral("text/plain"), KFileItem::Unknown));
    return KFileItemListProperties(items);
}

QUrl local(const std::string& path) { return QUrl::fromLocalFile(QString::fromStdString(path)); }

// The lines the very first plugin object of the process logged.
std::vector<std::string> firstLoadLines;

class SendToPluginTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!firstLoadLines.empty())
            return;
        ModuleLog log(subsystem);
        loadPlugin();
        firstLoadLines = log.lines();
    }

    void SetUp() override
    {
        fs::create_directories(temp / "files");
        for (const char* name : {"a.txt", "b c.txt", "\xC3\xBC.txt", "d", "e&f.txt"})
            std::ofstream(temp / ("files/" + std::string(name))) << name;
        plugin = loadPlugin();
        ASSERT_TRUE(plugin);
        log.clear();
    }

    std::string folder(const std::string& name)
    {
        fs::create_directories(temp / name);
        return temp / name;
    }

    QList<QAction*> actionsFor(const std::vector<QUrl>& urls)
    {
        return plugin->actions(selectionOf(urls), &window);
    }
    QList<QAction*> actionsForOneFile() { return actionsFor({local(temp / "files/a.txt")}); }

    ScopedTempDir temp;
    testing::ScopedEnv dataHome{"XDG_DATA_HOME", temp / "data"};
    testing::FakeHost host;
    QWidget window;
    ModuleLog log{subsystem};
    std::unique_ptr<KAbstractFileItemActionPlugin> plugin;
};

TEST_F(SendToPluginTest, LogsWhereItRunsFromOncePerProcess)
{
    // Loaded from the build folder, not from where Dolphin loads plugins.
    EXPECT_EQ(firstLoadLines, std::vector<std::string>{
                                  "default: Running from " AMBREVOLI_DOLPHIN_PLUGIN_DIR ": false"});
    loadPlugin();
    EXPECT_EQ(log.lines(), std::vector<std::string>{});
}

TEST_F(SendToPluginTest, AFreshInstallOffersNoDestinationsThenEditDestinations)
{
    // Without a parent widget the menu belongs to the plugin object: a leak shows under ASan.
    const QList<QAction*> actions =
        plugin->actions(selectionOf({local(temp / "files/a.txt")}), nullptr);
    EXPECT_EQ(entries(actions), (std::vector<Entry>{Entry{"Send To", true}}));
    EXPECT_EQ(submenu(actions),
              (std::vector<Entry>{noDestinations, otherFolder, separator, editDestinations}));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"default: Built the menu: 0 destinations, 0 disabled"});

    QPointer<QMenu> menu = actions[0]->menu();
    plugin.reset();
    EXPECT_TRUE(menu.isNull());
}

TEST_F(SendToPluginTest, OneItemPerDestinationInListOrderAMissingOneDisabled)
{
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha")),
                      Destination(Uuid::random(), "Beta", temp / "deleted"),
                      Destination(Uuid::random(), "R&D", folder("rd"))});

    const QList<QAction*> actions = actionsForOneFile();
    // An ampersand is doubled so that Qt shows it instead of taking it for a shortcut mark.
    const std::vector<Entry> expected = {{"Alpha", true}, {"Beta", false}, {"R&&D", true},
                                         otherFolder,     separator,       editDestinations};
    EXPECT_EQ(submenu(actions), expected);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"default: Built the menu: 3 destinations, 1 disabled"});
}

TEST_F(SendToPluginTest, AMovedFolderIsEnabledThroughItsBookmark)
{
    const std::string before = temp / "Projects", after = temp / "Projects 2023";
    fs::create_directories(before);
    auto bookmark = makeBookmark(before);
    ASSERT_TRUE(bookmark);
    fs::rename(before, after);
    saveDestinations({Destination(Uuid::random(), "Projects", before, *bookmark)});

    const std::vector<Entry> expected = {
        {"Projects", true}, otherFolder, separator, editDestinations};
    EXPECT_EQ(submenu(actionsForOneFile()), expected);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "default: Bookmark probe: resolved, folder exists: true, stale: true",
                  "default: Built the menu: 1 destinations, 0 disabled"}));
}

// An item as a KIO worker lists it, with the local path it gives, if any.
KFileItem workerItem(const QUrl& url, const std::string& localPath)
{
    KIO::UDSEntry entry;
    entry.fastInsert(KIO::UDSEntry::UDS_NAME, url.fileName());
    entry.fastInsert(KIO::UDSEntry::UDS_FILE_TYPE, S_IFREG);
    if (!localPath.empty())
        entry.fastInsert(KIO::UDSEntry::UDS_LOCAL_PATH, QString::fromStdString(localPath));
    return KFileItem(entry, url);
}

TEST_F(SendToPluginTest, OnlyLocalSelectedItemsGetAMenu)
{
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha"))});
    const QUrl localFile = local(temp / "files/a.txt");
    const std::vector<std::vector<QUrl>> selections = {
        {},
        {QUrl(QStringLiteral("trash:/0-a.txt"))},
        {QUrl(QStringLiteral("desktop:/a.txt"))},
        {QUrl(QStringLiteral("sftp://example.org/home/me/a.txt"))},
        {QUrl(QStringLiteral("smb://server/share/a.txt"))},
        {QUrl(QStringLiteral("file:a.txt"))},
        {localFile, QUrl(QStringLiteral("trash:/0-a.txt"))},
    };
    for (const auto& urls : selections) {
        std::string shown;
        for (const QUrl& url : urls)
            shown += url.toString().toStdString() + " ";
        SCOPED_TRACE(shown);
        EXPECT_TRUE(actionsFor(urls).isEmpty());
    }
    // No menu was built; the items on shares without a local path say why.
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"default: No Send To for an item on a sftp share: it has "
                                        "no local path (KIO gives none for it)",
                                        "default: No Send To for an item on a smb share: it has no "
                                        "local path (KIO gives none for it)"}));
    log.clear();

    // Where the worker gives a local path, an item on a share is sent from there; one in the
    // trash is not, whatever path it has.
    const std::string onShare = temp / "files/b c.txt";
    const auto menuFor = [&](const KFileItem& item) {
        return plugin->actions(KFileItemListProperties(KFileItemList{item}), &window);
    };
    EXPECT_TRUE(menuFor(workerItem(QUrl(QStringLiteral("trash:/0-a.txt")), temp / "files/a.txt"))
                    .isEmpty());
    EXPECT_TRUE(menuFor(workerItem(QUrl(QStringLiteral("sftp://server/b.txt")), "")).isEmpty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"default: No Send To for an item on a sftp "
                                                    "share: it has no local path (KIO gives none "
                                                    "for it)"});
    log.clear();
    click(menuFor(workerItem(QUrl(QStringLiteral("smb://nas/files/b c.txt")), onShare)), "Alpha");
    const std::vector<SendRequest> requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].sources(), std::vector<std::string>{onShare});
}

TEST_F(SendToPluginTest, AClickWritesOneRequestWithTheSelectionAndWakesTheHostInTheBackground)
{
    const Uuid first = Uuid::random(), second = Uuid::random();
    saveDestinations({Destination(first, "Alpha", folder("alpha")),
                      Destination(second, "Beta", folder("beta"))});
    // Dolphin's order, not sorted; paths as plain text, never percent-encoded.
    const std::vector<std::string> paths = {temp / "files/e&f.txt", temp / "files/b c.txt",
                                            temp / "files/a.txt", temp / "files/\xC3\xBC.txt",
                                            temp / "files/d"};
    std::vector<QUrl> urls;
    for (const auto& path : paths)
        urls.push_back(local(path));

    const QList<QAction*> actions = actionsFor(urls);
    // The menu needs nothing of the plugin object, which KIO may drop before a click.
    plugin.reset();
    log.clear();
    const double before = std::floor(now());
    click(actions, "Beta");
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

TEST_F(SendToPluginTest, EditDestinationsBringsTheHostToTheFrontAndWritesNothing)
{
    const QList<QAction*> actions = actionsForOneFile();
    log.clear();
    click(actions, "Edit Destinations\u2026");

    EXPECT_EQ(host.waitForStarts(1), (std::vector<std::vector<std::string>>{
                                         {"ambrevoli://settings", "XDG_ACTIVATION_TOKEN=(unset)",
                                          "DESKTOP_STARTUP_ID=(unset)"}}));
    EXPECT_EQ(inbox().size(), 0u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"default: Handed off to the host app"});
}

TEST_F(SendToPluginTest, AClickWhoseHostCannotStartIsLoggedAndTheRequestKept)
{
    const Uuid id = Uuid::random();
    saveDestinations({Destination(id, "Alpha", folder("alpha"))});
    testing::ScopedEnv missingHost("AMBREVOLI_HOST", temp / "no-such-host");

    const QList<QAction*> actions = actionsForOneFile();
    log.clear();
    click(actions, "Alpha");

    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "default: Clicked tag 1, 1 items",
                               errorLine("Couldn't open the host app", SystemError{ENOENT})}));
    ASSERT_EQ(inbox().size(), 1u);
    EXPECT_EQ(inbox()[0].destinationID(), id);
}

// Dolphin does not call the plugin itself: KIO's KFileItemActions finds it in Qt's plugin path
// by its metadata, for the selection's MIME types, and adds its actions to the context menu.
TEST_F(SendToPluginTest, KioOffersItForFilesAndFoldersAlike)
{
    fs::create_directories(temp / "files/folder");
    std::ofstream(temp / "files/image.png") << "\x89PNG\r\n\x1a\n";
    std::ofstream(temp / "files/empty");
    const std::vector<std::vector<std::string>> selections = {
        {"files/a.txt"},
        {"files/folder"},
        {"files/image.png"},
        {"files/empty"},
        {"files/a.txt", "files/folder", "files/image.png"},
    };
    for (const auto& names : selections) {
        std::vector<QUrl> urls;
        for (const auto& name : names)
            urls.push_back(local(temp / name));
        SCOPED_TRACE(::testing::PrintToString(names));
        KFileItemActions fileItemActions;
        fileItemActions.setItemListProperties(selectionOf(urls));
        QMenu contextMenu;
        fileItemActions.addActionsTo(&contextMenu, KFileItemActions::MenuActionSource::Plugins);
        EXPECT_EQ(sendToEntries(contextMenu).size(), 1);
    }
}

TEST_F(SendToPluginTest, AClickInTheMenuKioBuiltSendsTheWholeSelection)
{
    const Uuid id = Uuid::random();
    saveDestinations({Destination(id, "Alpha", folder("alpha"))});
    const std::vector<std::string> paths = {temp / "files/d", temp / "files/a.txt"};

    KFileItemActions fileItemActions;
    fileItemActions.setItemListProperties(selectionOf({local(paths[0]), local(paths[1])}));
    QMenu contextMenu;
    fileItemActions.addActionsTo(&contextMenu, KFileItemActions::MenuActionSource::Plugins);
    click(sendToEntries(contextMenu), "Alpha");

    host.waitForStarts(1);
    ASSERT_EQ(inbox().size(), 1u);
    EXPECT_EQ(inbox()[0].sources(), paths);
}

TEST_F(SendToPluginTest, OtherFolderAsksTheHostToChooseTheFolder)
{
    const QList<QAction*> actions = actionsForOneFile();
    log.clear();
    click(actions, "Other Folder\u2026");

    host.waitForStarts(1);
    const std::vector<SendRequest> requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].choosesFolder());
    EXPECT_EQ(requests[0].sources(), std::vector<std::string>{temp / "files/a.txt"});
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"default: Clicked Other Folder, 1 items",
                                        "default: Handed off to the host app"}));
}

bool privateMountsAtStart = false;

TEST_F(SendToPluginTest, APluggedInStickIsOfferedAndAClickNamesExactlyThatStick)
{
    if (!privateMountsAtStart)
        GTEST_SKIP() << "needs root and a mount namespace of its own";
    testing::MediaFolder media;
    ASSERT_TRUE(media.made());
    const std::string root = media / "STICK";
    auto stick = std::make_unique<testing::LoopVolume>(temp / "a.img", root, "STICK");
    if (!stick->mounted())
        GTEST_SKIP() << stick->whyNot();
    saveDestinations({Destination(Uuid::random(), "Alpha", folder("alpha"))});

    const QList<QAction*> actions = actionsForOneFile();
    EXPECT_EQ(submenu(actions), (std::vector<Entry>{{"Alpha", true},
                                                    otherFolder,
                                                    separator,
                                                    {"STICK", true},
                                                    separator,
                                                    editDestinations}));
    const std::string identity = volumeIdentity(root).value_or("");

    // Pulled after the menu came up, and another stick with the same label mounted in its
    // place: the click still names the first one, which the host will not find.
    stick.reset();
    testing::LoopVolume other(temp / "b.img", root, "STICK");
    ASSERT_TRUE(other.mounted()) << other.whyNot();
    log.clear();
    click(actions, "STICK");
    host.waitForStarts(1);
    const std::vector<SendRequest> requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].volume(), (VolumeTarget{root, identity}));
    EXPECT_NE(volumeIdentity(root), identity);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"default: Clicked drive 1, 1 items",
                                        "default: Handed off to the host app"}));

    // With "Show drives in Send To" off, it is not offered.
    MenuOptions off;
    off.showsDrives = false;
    ASSERT_TRUE(off.save(*menuOptionsFile(*AppGroup::fromMainBundle())));
    EXPECT_EQ(submenu(actionsForOneFile()),
              (std::vector<Entry>{{"Alpha", true}, otherFolder, separator, editDestinations}));
}

TEST(DolphinModuleTest, ExportsNothingButQtsPluginEntryPointsAndNeedsNoOtherQt)
{
    const auto exported = testing::exportedSymbols(AMBREVOLI_DOLPHIN_PLUGIN_FILE);
    if (!exported)
        GTEST_SKIP() << "nm is not available";
#if QT_VERSION_MAJOR == 5
    const std::string metadataEntry = "qt_plugin_query_metadata";
    const std::string otherQt = "libQt6";
#else
    const std::string metadataEntry = "qt_plugin_query_metadata_v2";
    const std::string otherQt = "libQt5";
#endif
    EXPECT_EQ(*exported, (std::vector<std::string>{"qt_plugin_instance", metadataEntry}));

    // Qt 5 and Qt 6 in one process end it: the plugin needs Dolphin's Qt and no other.
    const auto needed =
        testing::commandOutput("readelf -d '" AMBREVOLI_DOLPHIN_PLUGIN_FILE "' 2>/dev/null").lines;
    ASSERT_FALSE(needed.empty());
    for (const std::string& line : needed)
        EXPECT_EQ(line.find(otherQt), std::string::npos) << line;
}

} // namespace
} // namespace ambrevoli

int main(int argc, char** argv)
{
    // Before Qt starts any thread: a mount namespace can only be entered without them.
    ambrevoli::privateMountsAtStart = ambrevoli::testing::privateMounts();
    // Set before Qt or the plugin look at them: the plugin logs to stderr, where the test reads
    // it, and nothing here reads or writes the developer's own files and settings.
    ambrevoli::testing::ScopedTempDir home;
    ::setenv("AMBREVOLI_LOG", "stderr", 1);
    ::unsetenv("AMBREVOLI_LOG_PRIVATE");
    ::unsetenv("AMBREVOLI_LOG_LEVEL");
    ::unsetenv("XDG_ACTIVATION_TOKEN");
    ::unsetenv("DESKTOP_STARTUP_ID");
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    const std::string runtime = home / "run";
    ::mkdir(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
