#include "result_notifier.h"

#include "in_memory_notification_service.h"
#include "log.h"
#include "uuid.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace ambrevoli;

namespace {

// Runs everything the event loop has queued, including what the queued calls queue in turn.
void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

CopyReport copiedInto(const QString& destination, int copied, int failed = 0)
{
    CopyReport report;
    report.destination = QFile::encodeName(destination).toStdString();
    report.itemCount = copied + failed;
    for (int i = 0; i < copied; ++i)
        report.copied.push_back({"/src/a", report.destination + "/a", false});
    for (int i = 0; i < failed; ++i)
        report.failed.push_back({"/src/b", CopyFailure::missing()});
    return report;
}

} // namespace

class ResultNotifierTest : public QObject {
    Q_OBJECT

private:
    // A notifier on an in-memory center whose folder revealing is recorded and answered later,
    // as the real one answers.
    struct World {
        InMemoryNotificationService center;
        int settingsShown = 0;
        int updatesShown = 0;
        QStringList revealed;
        bool revealSucceeds = true;
        ResultNotifier notifier{center, [this] { ++settingsShown; }, [this] { ++updatesShown; },
                                [this](const QString& folder, std::function<void(bool)> done) {
                                    revealed << folder;
                                    QTimer::singleShot(0, [this, done] { done(revealSucceeds); });
                                }};
        World() { center.setDelegate(&notifier); }
    };

    QTemporaryDir m_temp;

private slots:
    void initTestCase()
    {
        // A relative "destination" would name a real folder here; it must still not be shown.
        QVERIFY(QDir(m_temp.path()).mkpath("Inbox"));
        QVERIFY(QDir::setCurrent(m_temp.path()));
    }

    void postAsksForPermissionOnlyWhenNotDetermined_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("userGrants");
        QTest::addColumn<QStringList>("calls");
        const QStringList asked{"notificationSettings", "requestAuthorization", "add"};
        const QStringList notAsked{"notificationSettings", "add"};
        QTest::newRow("first post, user allows")
            << int(AuthorizationStatus::notDetermined) << true << asked;
        QTest::newRow("first post, user refuses: still added")
            << int(AuthorizationStatus::notDetermined) << false << asked;
        QTest::newRow("denied: still added")
            << int(AuthorizationStatus::denied) << true << notAsked;
        QTest::newRow("authorized") << int(AuthorizationStatus::authorized) << true << notAsked;
        QTest::newRow("provisional") << int(AuthorizationStatus::provisional) << true << notAsked;
    }

    void postAsksForPermissionOnlyWhenNotDetermined()
    {
        QFETCH(int, status);
        QFETCH(bool, userGrants);
        QFETCH(QStringList, calls);
        World world;
        world.center.setAuthorizationStatus(AuthorizationStatus(status));
        world.center.setUserGrantsAuthorization(userGrants);
        LogCapture log;

        world.notifier.postCopyNotification(copiedInto(m_temp.path(), 2), "Inbox");
        QVERIFY2(world.center.calls().isEmpty(), "posting must not wait for the center");

        QTRY_COMPARE(world.center.calls(), calls);
        QCOMPARE(world.center.delivered().size(), 1);
        if (calls.contains("requestAuthorization"))
            QCOMPARE(int(world.center.requestedOptions()), 6);
        QVERIFY(log.lines().empty());
    }

    void notificationCarriesTheSummaryAndTheDestination_data()
    {
        QTest::addColumn<CopyReport>("report");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("category");
        const QString folder = "/home/me/My Inbox";
        QTest::newRow("all copied") << copiedInto(folder, 3) << "Copied 3 items to Inbox"
                                    << ""
                                    << "transfer.complete";
        CopyReport failed = copiedInto(folder, 1, 1);
        failed.failed[0].source = "/src/report.pdf";
        QTest::newRow("one failed")
            << failed << "Copied 1 of 2 items to Inbox"
            << "“report.pdf” was moved or deleted before it could be copied."
            << "transfer.error";
        CopyReport refused = copiedInto(folder, 0);
        refused.problem = DestinationProblem::readOnly();
        refused.itemCount = 4;
        QTest::newRow("destination unusable") << refused << "Couldn't copy 4 items to Inbox"
                                              << "Inbox is on a read-only volume."
                                              << "transfer.error";
        // A cancel is no error; a failure before it still is.
        CopyReport stopped = copiedInto(folder, 1, 1);
        stopped.cancelled = true;
        stopped.failed[0].reason = CopyFailure::cancelled();
        QTest::newRow("cancelled") << stopped << "Cancelled after copying 1 of 2 items to Inbox"
                                   << "1 item wasn't copied."
                                   << "transfer";
        CopyReport stoppedAfterAFailure = copiedInto(folder, 0, 2);
        stoppedAfterAFailure.cancelled = true;
        stoppedAfterAFailure.failed[0].source = "/src/report.pdf";
        stoppedAfterAFailure.failed[1].reason = CopyFailure::cancelled();
        QTest::newRow("cancelled after a failure")
            << stoppedAfterAFailure << "Cancelled copying 2 items to Inbox"
            << "“report.pdf” was moved or deleted before it could be copied. 1 more item wasn't "
               "copied."
            << "transfer.error";
        CopyReport tooLate = copiedInto(folder, 2);
        tooLate.cancelled = true;
        QTest::newRow("cancelled too late") << tooLate << "Copied 2 items to Inbox"
                                            << "Everything was already copied when you cancelled."
                                            << "transfer.complete";
    }

    void notificationCarriesTheSummaryAndTheDestination()
    {
        QFETCH(CopyReport, report);
        QFETCH(QString, title);
        QFETCH(QString, body);
        QFETCH(QString, category);
        World world;
        world.center.setAuthorizationStatus(AuthorizationStatus::authorized);

        world.notifier.postCopyNotification(report, "Inbox");
        QTRY_COMPARE(world.center.delivered().size(), 1);

        const NotificationRequest& posted = world.center.delivered().front();
        QCOMPARE(posted.title, title);
        QCOMPARE(posted.body, body);
        QCOMPARE(posted.userInfo, (QVariantMap{{"destination", "/home/me/My Inbox"}}));
        QCOMPARE(posted.category, category);
        const auto id = Uuid::parse(posted.identifier.toStdString());
        QVERIFY2(id && QString::fromStdString(id->text()) == posted.identifier,
                 qPrintable(posted.identifier));
    }

    void everyCopyNotificationStandsOnItsOwn()
    {
        World world;
        world.center.setAuthorizationStatus(AuthorizationStatus::authorized);
        world.notifier.postCopyNotification(copiedInto(m_temp.path(), 1), "Inbox");
        world.notifier.postCopyNotification(copiedInto(m_temp.path(), 1), "Inbox");
        QTRY_COMPARE(world.center.delivered().size(), 2);
        QVERIFY(world.center.delivered()[0].identifier != world.center.delivered()[1].identifier);
    }

    void aLongCopyShowsItsProgressUntilItsResultReplacesIt()
    {
        World world;
        world.center.setAuthorizationStatus(AuthorizationStatus::authorized);
        const QString folder = m_temp.path() + "/Inbox";
        world.notifier.followCopy("COPY", std::make_shared<CopyControl>(), "Inbox",
                                  QFile::encodeName(folder).toStdString());
        world.notifier.showProgress("COPY", CopyProgress{0, 3, 1'200'000, 4'700'000});
        settle();
        QVERIFY2(world.center.calls().isEmpty(), "no progress before the copy ran a while");

        QTRY_COMPARE_WITH_TIMEOUT(world.center.delivered().size(), 1, 5000);
        const NotificationRequest shown = world.center.delivered().front();
        QCOMPARE(shown.identifier, "COPY");
        QCOMPARE(shown.title, "Copying 3 items to Inbox");
        QCOMPARE(shown.body, "1.2 MB of 4.7 MB");
        QCOMPARE(shown.category, "transfer");
        QCOMPARE(shown.actions, (QList<NotificationAction>{{"cancel", "Cancel"}}));
        QCOMPARE(shown.percentDone, std::optional<int>(26));
        QVERIFY(!shown.expires);
        QCOMPARE(shown.userInfo, (QVariantMap{{"destination", folder}}));

        // Many reports in a row change it once, after a while, to the latest figures.
        for (int done = 1; done <= 20; ++done)
            world.notifier.showProgress("COPY", CopyProgress{1, 3, done * 200'000, 4'700'000});
        settle();
        QCOMPARE(world.center.calls().count("add"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(world.center.calls().count("add"), 2, 5000);
        QCOMPARE(world.center.delivered().front().body, "4.0 MB of 4.7 MB");
        QCOMPARE(world.center.delivered().front().percentDone, std::optional<int>(85));

        // The result takes its place, and later reports change nothing any more.
        world.notifier.postCopyNotification(copiedInto(folder, 3), "Inbox", "COPY");
        world.notifier.showProgress("COPY", CopyProgress{3, 3, 4'700'000, 4'700'000});
        QTest::qWait(int(ResultNotifier::progressInterval.count()) + 300);
        QCOMPARE(world.center.calls().count("add"), 3);
        QCOMPARE(world.center.delivered().size(), 1);
        QCOMPARE(world.center.delivered().front().identifier, "COPY");
        QCOMPARE(world.center.delivered().front().title, "Copied 3 items to Inbox");
        QVERIFY(world.center.delivered().front().actions.isEmpty());
        QVERIFY(world.center.delivered().front().expires);
    }

    void aShortCopyGetsOnlyItsResult()
    {
        World world;
        world.center.setAuthorizationStatus(AuthorizationStatus::authorized);
        world.notifier.followCopy("COPY", std::make_shared<CopyControl>(), "Inbox", "/dst");
        world.notifier.showProgress("COPY", CopyProgress{0, 1, 0, std::nullopt});
        world.notifier.showProgress("COPY", CopyProgress{1, 1, 0, std::nullopt});
        world.notifier.postCopyNotification(copiedInto(m_temp.path(), 1), "Inbox", "COPY");
        QTest::qWait(int(ResultNotifier::progressDelay.count()) + 300);
        QCOMPARE(world.center.calls().count("add"), 1);
        QCOMPARE(world.center.delivered().front().title, "Copied 1 item to Inbox");
    }

    void cancelStopsTheCopyAndAClickStillShowsTheFolder()
    {
        World world;
        world.center.setAuthorizationStatus(AuthorizationStatus::authorized);
        const QString folder = m_temp.path() + "/Inbox";
        const auto control = std::make_shared<CopyControl>();
        world.notifier.followCopy("COPY", control, "Inbox",
                                  QFile::encodeName(folder).toStdString());
        world.notifier.showProgress("COPY", CopyProgress{1, 10, 0, std::nullopt});
        QTRY_COMPARE_WITH_TIMEOUT(world.center.delivered().size(), 1, 5000);
        QCOMPARE(world.center.delivered().front().body, "1 of 10 items");

        QVERIFY(world.center.click("COPY"));
        settle();
        QCOMPARE(world.revealed, QStringList{folder});
        QVERIFY(!control->isCancelled());

        LogCapture log;
        QVERIFY(world.center.click("COPY", "cancel"));
        QVERIFY(control->isCancelled());
        QCOMPARE(log.lines(),
                 std::vector<std::string>{"Cancelling request COPY as asked in its notification"});
        QCOMPARE(world.revealed.size(), 1);

        // Once the copy ended, a Cancel still on screen somewhere stops nothing else.
        world.notifier.postCopyNotification(copiedInto(folder, 1, 9), "Inbox", "COPY");
        world.notifier.didReceive({"COPY", {}, "cancel"});
        QCOMPARE(log.lines().size(), 1u);
    }

    // Undo is offered where there is something to take back, and its outcome replaces the
    // copy's notification; a click on that still shows the folder.
    void undoIsOfferedForWhatWasPlaced()
    {
        World world;
        world.center.setAuthorizationStatus(AuthorizationStatus::authorized);
        QStringList undone;
        world.notifier.setUndo([&](const QString& copy) { undone << copy; });
        const QString folder = m_temp.path() + "/Inbox";
        world.notifier.postCopyNotification(copiedInto(folder, 0, 2), "Inbox", "NOTHING");
        world.notifier.postCopyNotification(copiedInto(folder, 1, 1), "Inbox", "COPY");
        QTRY_COMPARE_WITH_TIMEOUT(world.center.delivered().size(), 2, 5000);
        QVERIFY(world.center.delivered()[0].actions.isEmpty());
        QCOMPARE(world.center.delivered()[1].actions,
                 (QList<NotificationAction>{{"undo", "Undo"}}));

        QVERIFY(world.center.click("COPY", "undo"));
        QCOMPARE(undone, QStringList{"COPY"});
        QVERIFY(world.revealed.isEmpty());

        UndoReport report;
        report.requestID = *Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
        report.label = "Inbox";
        report.destination = QFile::encodeName(folder).toStdString();
        report.left.push_back({report.destination + "/a", {LeftReason::Case::changed}});
        world.notifier.postUndoNotification(report);
        QTRY_COMPARE_WITH_TIMEOUT(world.center.delivered().size(), 3, 5000);
        const NotificationRequest& shown = world.center.delivered().back();
        QCOMPARE(shown.identifier, "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
        QCOMPARE(shown.title, "Couldn't undo copying 1 item to Inbox");
        QCOMPARE(shown.body, "“a” changed after it was copied, so it was left where it is.");
        QVERIFY(shown.actions.isEmpty());
        QVERIFY(world.center.click(shown.identifier));
        settle();
        QCOMPARE(world.revealed, QStringList{folder});
    }

    void aProgressNotificationTheUserClosedStaysClosed()
    {
        World world;
        world.center.setAuthorizationStatus(AuthorizationStatus::authorized);
        world.notifier.followCopy("COPY", std::make_shared<CopyControl>(), "Inbox", "/dst");
        world.notifier.showProgress("COPY", CopyProgress{1, 10, 0, std::nullopt});
        QTRY_COMPARE_WITH_TIMEOUT(world.center.delivered().size(), 1, 5000);

        QVERIFY(world.center.dismiss("COPY"));
        world.notifier.showProgress("COPY", CopyProgress{5, 10, 0, std::nullopt});
        QTest::qWait(int(ResultNotifier::progressInterval.count()) + 300);
        QCOMPARE(world.center.calls().count("add"), 1);
        QCOMPARE(world.revealed, QStringList{});
        QCOMPARE(world.settingsShown, 0);

        // The result still comes.
        world.notifier.postCopyNotification(copiedInto(m_temp.path(), 10), "Inbox", "COPY");
        QTRY_COMPARE(world.center.delivered().size(), 1);
        QCOMPARE(world.center.delivered().front().title, "Copied 10 items to Inbox");
    }

    void failuresAreLoggedAndNotRetried_data()
    {
        QTest::addColumn<bool>("permissionFails");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("permission request fails")
            << true << QStringList{"notificationSettings", "requestAuthorization"};
        QTest::newRow("adding fails")
            << false << QStringList{"notificationSettings", "requestAuthorization", "add"};
    }

    void failuresAreLoggedAndNotRetried()
    {
        QFETCH(bool, permissionFails);
        QFETCH(QStringList, calls);
        World world;
        const auto error = NotificationError::failed("org.example.Error: no");
        if (permissionFails)
            world.center.setAuthorizationError(error);
        else
            world.center.setAddError(error);
        LogCapture log;

        world.notifier.postCopyNotification(copiedInto(m_temp.path(), 1), "Inbox");
        QTRY_VERIFY(!log.records().empty());
        settle();

        QCOMPARE(world.center.calls(), calls);
        QVERIFY(world.center.delivered().empty());
        const auto records = log.records();
        QCOMPARE(records.size(), 1u);
        QCOMPARE(records[0].category, "requests");
        QVERIFY(records[0].level == LogLevel::error);
        QCOMPARE(records[0].revealed, "Couldn't post the copy notification: NotificationService 2 "
                                      "failed(org.example.Error: no)");
    }

    // A host that is ending waits for this: every way a delivery can go ends it.
    void deliveriesAreFollowedToTheirEnd_data()
    {
        QTest::addColumn<bool>("permissionFails");
        QTest::addColumn<bool>("addingFails");
        QTest::newRow("delivered") << false << false;
        QTest::newRow("permission request fails") << true << false;
        QTest::newRow("adding fails") << false << true;
    }

    void deliveriesAreFollowedToTheirEnd()
    {
        QFETCH(bool, permissionFails);
        QFETCH(bool, addingFails);
        World world;
        const auto error = NotificationError::failed("org.example.Error: no");
        if (permissionFails)
            world.center.setAuthorizationError(error);
        if (addingFails)
            world.center.setAddError(error);
        QSignalSpy finished(&world.notifier, &ResultNotifier::deliveriesFinished);
        QVERIFY(!world.notifier.isDelivering());

        world.notifier.postCopyNotification(copiedInto(m_temp.path(), 1), "Inbox");
        world.notifier.postCopyNotification(copiedInto(m_temp.path(), 2), "Inbox");
        QVERIFY(world.notifier.isDelivering());
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(!world.notifier.isDelivering());
        settle();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(world.center.delivered().size(), permissionFails || addingFails ? 0 : 2);
    }

    void clickRevealsTheDestinationOrOpensTheSettings_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QVariant>("destination");
        QTest::addColumn<bool>("revealSucceeds");
        QTest::addColumn<QStringList>("revealed");
        QTest::addColumn<int>("settingsShown");
        QTest::addColumn<int>("updatesShown");

        const QString copy = QString::fromStdString(Uuid::random().text());
        const QString folder = m_temp.path() + "/Inbox";
        const QString file = m_temp.path() + "/file.txt";
        QTest::newRow("folder exists")
            << copy << QVariant(folder) << true << QStringList{folder} << 0 << 0;
        QTest::newRow("file manager can't show it")
            << copy << QVariant(folder) << false << QStringList{folder} << 1 << 0;
        QTest::newRow("folder deleted")
            << copy << QVariant(m_temp.path() + "/gone") << true << QStringList{} << 1 << 0;
        QTest::newRow("not a folder") << copy << QVariant(file) << true << QStringList{} << 1 << 0;
        QTest::newRow("relative path")
            << copy << QVariant("Inbox") << true << QStringList{} << 1 << 0;
        QTest::newRow("no destination") << copy << QVariant() << true << QStringList{} << 1 << 0;
        QTest::newRow("destination not text")
            << copy << QVariant(42) << true << QStringList{} << 1 << 0;
        QTest::newRow("update notification")
            << QString(updateNotificationID) << QVariant(folder) << true << QStringList{} << 0 << 1;
    }

    void clickRevealsTheDestinationOrOpensTheSettings()
    {
        QFETCH(QString, identifier);
        QFETCH(QVariant, destination);
        QFETCH(bool, revealSucceeds);
        QFETCH(QStringList, revealed);
        QFETCH(int, settingsShown);
        QFETCH(int, updatesShown);
        QFile file(m_temp.path() + "/file.txt");
        QVERIFY(file.open(QIODevice::WriteOnly));
        World world;
        world.revealSucceeds = revealSucceeds;
        NotificationRequest request{identifier, "title", "", {}, {}};
        if (destination.isValid())
            request.userInfo.insert("destination", destination);
        world.center.add(request, [](auto) {});

        QVERIFY(world.center.click(identifier));
        settle();

        QCOMPARE(world.revealed, revealed);
        QCOMPARE(world.settingsShown, settingsShown);
        QCOMPARE(world.updatesShown, updatesShown);
    }

    void updateNotificationIdentifierIsFixed()
    {
        QCOMPARE(QLatin1StringView(updateNotificationID), "ambrevoli.update");
    }

    void replacedSettingsActionIsTheOneUsed()
    {
        World world;
        int replacement = 0;
        world.notifier.setShowSettings([&] { ++replacement; });
        world.notifier.didReceive({"A", {}});
        QCOMPARE(replacement, 1);
        QCOMPARE(world.settingsShown, 0);
    }

    void presentsAsBannerAndListWithoutSound()
    {
        World world;
        QCOMPARE(int(world.notifier.willPresent({})), 24);
    }

    void aDestroyedNotifierIsNoLongerTheDelegate()
    {
        InMemoryNotificationService center;
        {
            ResultNotifier notifier(center, {}, {}, [](const QString&, auto) {});
            center.setDelegate(&notifier);
        }
        QCOMPARE(center.delegate(), nullptr);
    }
};

QTEST_MAIN(ResultNotifierTest)
#include "result_notifier_test.moc"
