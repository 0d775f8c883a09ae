#include "launch_router.h"

#include "handoff_url.h"
#include "log.h"

#include <QTest>

#include <string>
#include <vector>

using namespace ambrevoli;

namespace {

// Writes down what the router asks for, one line per call, in order.
struct RecordingTargets : LaunchTargets {
    bool services = true;
    bool windows = true;
    QStringList calls;
    std::vector<FolderOutcome> outcomes;

    bool hasServices() const override { return services; }
    std::vector<FolderOutcome> addFolders(const QStringList& folders) override
    {
        calls << "add " + folders.join(' ');
        outcomes.assign(std::size_t(folders.size()), FolderOutcome::added);
        // Outcomes differ per folder, so that their order shows in the receipt.
        outcomes.back() = FolderOutcome::missing;
        return outcomes;
    }
    void handleRequest(const Uuid& requestID, const std::shared_ptr<OutcomeWaiter>&) override
    {
        calls << "send " + QString::fromStdString(requestID.text());
    }
    void undoRequest(std::optional<Uuid> requestID, const std::shared_ptr<OutcomeWaiter>&) override
    {
        calls << "undo " + QString::fromStdString(requestID ? requestID->text() : "last");
    }
    bool showSettingsWindow() override
    {
        calls << "settings";
        return windows;
    }
    void didFinishLaunching(bool inBackground) override
    {
        calls << (inBackground ? "launch in background" : "launch");
    }
    void reopen() override { calls << "reopen"; }
    void lendActivationToken(const QString& token) override { calls << "lend " + token; }
    void endActivation(const QString& token) override { calls << "end " + token; }
};

struct HeardWaiter : OutcomeWaiter {
    QStringList lines;
    int notAllCopiedCalls = 0;
    void tell(std::string_view line) override { lines << QString::fromUtf8(line); }
    void notAllCopied() override { ++notAllCopiedCalls; }
};

const QString sendA = QString::fromStdString(
    HandoffURL::send(*Uuid::parse("11111111-1111-1111-1111-111111111111")).url());
const QString sendB = QString::fromStdString(
    HandoffURL::send(*Uuid::parse("22222222-2222-2222-2222-222222222222")).url());
const QString settings = QString::fromStdString(HandoffURL::settings().url());
const QString undoA = QString::fromStdString(
    HandoffURL::undo(*Uuid::parse("11111111-1111-1111-1111-111111111111")).url());
const QString undoLast = QString::fromStdString(HandoffURL::undo(std::nullopt).url());
// Lower-case identifier: parsing takes only what building makes.
const QString notHandoff = "ambrevoli://send?request=33333333-3333-3333-3333-33333333333a";

InstanceMessage message(bool activates, QStringList urls = {}, QStringList folders = {},
                        QString token = {}, bool reopens = false)
{
    InstanceMessage made;
    made.activates = activates;
    made.urls = std::move(urls);
    made.addFolders = std::move(folders);
    made.activationToken = std::move(token);
    made.reopens = reopens;
    return made;
}

} // namespace

Q_DECLARE_METATYPE(ambrevoli::InstanceMessage)

class LaunchRouterTest : public QObject {
    Q_OBJECT

private slots:
    void routesEachStart_data()
    {
        QTest::addColumn<InstanceMessage>("message");
        QTest::addColumn<bool>("launching");
        QTest::addColumn<bool>("services");
        QTest::addColumn<bool>("windows");
        QTest::addColumn<QStringList>("calls");

        // This launch's own message.
        QTest::newRow("launch from the application grid")
            << message(true, {}, {}, "T", true) << true << true << true
            << QStringList{"lend T", "launch", "end T"};
        QTest::newRow("launch --background")
            << message(false) << true << true << true
            << QStringList{"lend ", "launch in background", "end "};
        // A start for a send must not open the launch window, even on the first run.
        QTest::newRow("launch for a send")
            << message(true, {sendA}) << true << true << true
            << QStringList{"lend ", "send 11111111-1111-1111-1111-111111111111",
                           "launch in background", "end "};
        QTest::newRow("launch --settings")
            << message(true, {settings}, {}, "T") << true << true << true
            << QStringList{"lend T", "settings", "launch in background", "end T"};
        QTest::newRow("launch with a URL that isn't a handoff URL")
            << message(true, {notHandoff}) << true << true << true
            << QStringList{"lend ", "launch in background", "end "};
        QTest::newRow("launch adding folders")
            << message(true, {}, {"/a", "/b"}) << true << true << true
            << QStringList{"lend ", "add /a /b", "launch", "end "};

        // A later start's message to the running host.
        QTest::newRow("reopen") << message(true, {}, {}, "T", true) << false << true << true
                                << QStringList{"lend T", "reopen", "end T"};
        QTest::newRow("reopen without services")
            << message(true, {}, {}, "T", true) << false << false << false
            << QStringList{"lend T", "reopen", "end T"};
        QTest::newRow("a later start that is not plain")
            << message(false) << false << true << true << QStringList{"lend ", "end "};
        QTest::newRow("settings URL") << message(true, {settings}, {}, "T") << false << true << true
                                      << QStringList{"lend T", "settings", "end T"};
        QTest::newRow("settings URL without windows")
            << message(true, {settings}, {}, "T") << false << true << false
            << QStringList{"lend T", "settings", "end T"};
        // Each URL in the order given; the one that isn't a handoff URL is skipped alone.
        QTest::newRow("three URLs, the second unparseable")
            << message(false, {sendA, notHandoff, sendB}) << false << true << true
            << QStringList{"lend ", "send 11111111-1111-1111-1111-111111111111",
                           "send 22222222-2222-2222-2222-222222222222", "end "};
        QTest::newRow("undo a send, then the latest")
            << message(false, {undoA, undoLast}) << false << true << true
            << QStringList{"lend ", "undo 11111111-1111-1111-1111-111111111111", "undo last",
                           "end "};
        QTest::newRow("URLs without services") << message(true, {sendA, settings}, {}, "T") << false
                                               << false << false << QStringList{"lend T", "end T"};
        // The folders are added before a URL that may open the settings shows them.
        QTest::newRow("folders and a settings URL")
            << message(true, {settings}, {"/a"}) << false << true << true
            << QStringList{"lend ", "add /a", "settings", "end "};
        QTest::newRow("folders without services")
            << message(false, {}, {"/a", "/b"}) << false << false << false
            << QStringList{"lend ", "add /a /b", "end "};
    }

    void routesEachStart()
    {
        QFETCH(InstanceMessage, message);
        QFETCH(bool, launching);
        QFETCH(bool, services);
        QFETCH(bool, windows);
        QFETCH(QStringList, calls);
        RecordingTargets targets;
        targets.services = services;
        targets.windows = windows;
        LaunchRouter router(targets);

        const InstanceReceipt receipt = router.route(message, launching);

        QCOMPARE(targets.calls, calls);
        // What became of each folder, as the destinations said, in the message's order.
        QCOMPARE(receipt.folders, targets.outcomes);
        QCOMPARE(receipt.folders.size(), std::size_t(message.addFolders.size()));
    }

    // A URL that does nothing is logged, and a waiting sender learns that nothing was copied
    // for it; the URLs beside it still run.
    void skippedURLsAreLoggedAndTold_data()
    {
        QTest::addColumn<bool>("services");
        QTest::addColumn<QStringList>("urls");
        QTest::addColumn<QStringList>("heard");
        QTest::addColumn<int>("notAllCopied");
        QTest::addColumn<QStringList>("logged");

        QTest::newRow("not a handoff URL")
            << true << QStringList{sendA, notHandoff, "https://example.com/"}
            << QStringList{"Ignored a URL that isn't an Ambrevoli request: " + notHandoff,
                           "Ignored a URL that isn't an Ambrevoli request: https://example.com/"}
            << 2
            << QStringList{"Ignored a URL that isn't an Ambrevoli request: <private>",
                           "Ignored a URL that isn't an Ambrevoli request: <private>"};
        QTest::newRow("no services")
            << false << QStringList{sendA, sendB, settings}
            << QStringList{"Ignored 3 URLs because the App Group container is unavailable"} << 1
            << QStringList{"Ignored 3 URLs because the App Group container is unavailable"};
        QTest::newRow("settings without windows")
            << true << QStringList{settings} << QStringList{} << 0
            << QStringList{"Ignored a settings URL: there is no settings window"};
    }

    void skippedURLsAreLoggedAndTold()
    {
        QFETCH(bool, services);
        QFETCH(QStringList, urls);
        QFETCH(QStringList, heard);
        QFETCH(int, notAllCopied);
        QFETCH(QStringList, logged);
        RecordingTargets targets;
        targets.services = services;
        targets.windows = false;
        LaunchRouter router(targets);
        const auto waiter = std::make_shared<HeardWaiter>();
        LogCapture log;

        router.openURLs(urls, waiter);

        QCOMPARE(waiter->lines, heard);
        QCOMPARE(waiter->notAllCopiedCalls, notAllCopied);
        QStringList lines;
        for (const std::string& line : log.lines())
            lines << QString::fromStdString(line);
        QCOMPARE(lines, logged);
    }

    // Only a start that may raise a window and asks for one makes a host without a display
    // hand over to it.
    void asksForWindow_data()
    {
        QTest::addColumn<InstanceMessage>("message");
        QTest::addColumn<bool>("asks");
        QTest::newRow("plain start") << message(true, {}, {}, {}, true) << true;
        QTest::newRow("plain start in the background") << message(false, {}, {}, {}, true) << false;
        QTest::newRow("settings URL") << message(true, {sendA, settings}) << true;
        QTest::newRow("settings URL in the background") << message(false, {settings}) << false;
        QTest::newRow("sends only") << message(true, {sendA, sendB}) << false;
        QTest::newRow("not a handoff URL") << message(true, {notHandoff}) << false;
        QTest::newRow("folders to add") << message(true, {}, {"/a"}) << false;
    }

    void asksForWindow()
    {
        QFETCH(InstanceMessage, message);
        QFETCH(bool, asks);
        QCOMPARE(LaunchRouter::asksForWindow(message), asks);
    }
};

QTEST_GUILESS_MAIN(LaunchRouterTest)
#include "launch_router_test.moc"
