#include "freedesktop_notification_service.h"

#include "desktop_fakes.h"
#include "folder_revealer.h"
#include "result_notifier.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

using namespace ambrevoli;
using namespace ambrevoli::testing;

namespace {

using AddResult = std::optional<std::expected<void, NotificationError>>;

class RecordingDelegate : public NotificationCenterDelegate {
public:
    PresentationOptions options = PresentationOption::banner | PresentationOption::list;
    QList<NotificationResponse> responses;
    int presentations = 0;

    PresentationOptions willPresent(const NotificationRequest&) override
    {
        ++presentations;
        return options;
    }
    void didReceive(const NotificationResponse& response) override { responses << response; }
};

NotificationRequest request(const QString& identifier, const QString& body = "body")
{
    return {identifier, "title", body, {{"destination", "/home/me/Inbox"}}, "transfer.complete"};
}

} // namespace

class FreedesktopNotificationServiceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<PrivateSessionBus> m_bus;
    std::unique_ptr<FakeNotificationServer> m_server;
    std::unique_ptr<FreedesktopNotificationService> m_service;
    bool m_frontmost = false;

    // Adds `r` and waits for the answer.
    std::expected<void, NotificationError> addAndWait(const NotificationRequest& r)
    {
        AddResult result;
        m_service->add(r, [&](auto answer) { result = answer; });
        if (!QTest::qWaitFor([&] { return result.has_value(); }))
            return std::unexpected(NotificationError::failed("no answer"));
        return *result;
    }

    void startServer()
    {
        m_server = std::make_unique<FakeNotificationServer>();
        QVERIFY(m_server->serve(m_bus->connect("server")));
    }

    // Lets what the server sent so far reach the service before whatever the test does next:
    // the bus passes a connection's messages on in order, so after a round trip through the
    // server's connection and then one through the client's, the server's signals are queued
    // to the service ahead of anything that follows. (A known server is not asked before a
    // Notify, so an add is no barrier itself.)
    void settle()
    {
        QDBusConnection("server").interface()->isServiceRegistered("org.freedesktop.DBus");
        QDBusConnection("client").interface()->isServiceRegistered("org.freedesktop.DBus");
    }

    // Hands the server's name to `next`, once the current server quit or by taking it over, and
    // waits until the service's connection knows the new owner.
    bool replaceServer(FakeNotificationServer& next, bool takesOver)
    {
        if (!takesOver)
            QDBusConnection::disconnectFromBus("server");
        QDBusConnection connection = m_bus->connect("next server");
        QDBusConnection client("client");
        return next.serve(connection) && QTest::qWaitFor([&] {
                   return client.interface()->serviceOwner("org.freedesktop.Notifications") ==
                          connection.baseService();
               });
    }

private slots:
    void init()
    {
        m_bus = std::make_unique<PrivateSessionBus>();
        if (m_bus->address().isEmpty())
            QSKIP(qPrintable("no private session bus: " + m_bus->failure()));
        m_frontmost = false;
        m_service = std::make_unique<FreedesktopNotificationService>(
            m_bus->connect("client"), [this] { return m_frontmost; });
    }

    void cleanup()
    {
        m_service.reset();
        m_server.reset();
        m_bus.reset();
    }

    void notifyCarriesTheRequest_data()
    {
        QTest::addColumn<QStringList>("capabilities");
        QTest::addColumn<QString>("category");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QVariantMap>("hints");

        const QString plain = "“a&b <c>.txt” was moved or deleted before it could be copied.";
        QTest::newRow("server reads markup and offers actions")
            << QStringList{"actions", "body", "body-markup"} << "transfer.complete"
            << "“a&amp;b &lt;c&gt;.txt” was moved or deleted before it could be copied."
            << QStringList{"default", "Show"}
            << QVariantMap{{"desktop-entry", "ambrevoli"}, {"category", "transfer.complete"}};
        QTest::newRow("plain server")
            << QStringList{"body"} << "transfer.error" << plain << QStringList{}
            << QVariantMap{{"desktop-entry", "ambrevoli"}, {"category", "transfer.error"}};
        QTest::newRow("no category")
            << QStringList{"actions"} << "" << plain << QStringList{"default", "Show"}
            << QVariantMap{{"desktop-entry", "ambrevoli"}};
    }

    void notifyCarriesTheRequest()
    {
        QFETCH(QStringList, capabilities);
        QFETCH(QString, category);
        QFETCH(QString, body);
        QFETCH(QStringList, actions);
        QFETCH(QVariantMap, hints);
        startServer();
        m_server->capabilities = capabilities;
        NotificationRequest r =
            request("ID-1", "“a&b <c>.txt” was moved or deleted before it could be copied.");
        r.title = "Copied 1 of 2 items to A&B";
        r.category = category;

        QVERIFY(addAndWait(r).has_value());

        QCOMPARE(m_server->notifications.size(), 1);
        const auto& sent = m_server->notifications.front();
        QCOMPARE(sent.appName, "Ambrevoli");
        QCOMPARE(sent.replacesId, 0u);
        QCOMPARE(sent.appIcon, AMBREVOLI_HOST_IDENTIFIER);
        QCOMPARE(sent.summary, "Copied 1 of 2 items to A&B");
        QCOMPARE(sent.body, body);
        QCOMPARE(sent.actions, actions);
        QCOMPARE(sent.hints, hints);
        QCOMPARE(sent.expireTimeout, -1);
    }

    void actionsProgressAndClosingReachBothEnds()
    {
        RecordingDelegate delegate;
        m_service->setDelegate(&delegate);
        startServer();
        NotificationRequest r = request("COPY");
        r.actions = {{"cancel", "Cancel"}};
        r.percentDone = 42;
        r.expires = false;
        QVERIFY(addAndWait(r).has_value());
        // A copy: the list grows below.
        const FakeNotificationServer::Notification sent = m_server->notifications.front();
        QCOMPARE(sent.actions, (QStringList{"default", "Show", "cancel", "Cancel"}));
        QCOMPARE(sent.hints.value("value"), QVariant(42));
        QCOMPARE(sent.expireTimeout, 0);

        // Only what was offered is an action; anything else is taken for the click.
        emit m_server->ActionInvoked(sent.id, "cancel");
        emit m_server->ActionInvoked(sent.id, "delete-everything");
        emit m_server->ActionInvoked(sent.id, "default");
        QTRY_COMPARE(delegate.responses.size(), 3);
        QCOMPARE(delegate.responses[0].actionIdentifier, "cancel");
        QCOMPARE(delegate.responses[1].actionIdentifier, "default");
        QCOMPARE(delegate.responses[2].actionIdentifier, "default");
        QCOMPARE(delegate.responses[0].userInfo, r.userInfo);

        // Closed by the user, it is told as dismissed; expired or closed by us, it is not.
        QVERIFY(addAndWait(request("OTHER")).has_value());
        emit m_server->NotificationClosed(m_server->notifications[1].id, 1);
        emit m_server->NotificationClosed(sent.id, 2);
        QTRY_COMPARE(delegate.responses.size(), 4);
        QCOMPARE(delegate.responses[3].identifier, "COPY");
        QCOMPARE(delegate.responses[3].actionIdentifier, "dismiss");
        settle();
        QCOMPARE(delegate.responses.size(), 4);

        // A server without buttons gets neither the click's nor ours; the bar is a hint it may
        // ignore.
        m_server->capabilities = {"body"};
        FreedesktopNotificationService fresh(m_bus->connect("fresh client"), [] { return false; });
        AddResult added;
        fresh.add(r, [&](auto result) { added = result; });
        QTRY_VERIFY(added.has_value());
        QCOMPARE(m_server->notifications.back().actions, QStringList{});
        QCOMPARE(m_server->notifications.back().hints.value("value"), QVariant(42));
    }

    // A progress notification still on its way when the result follows under its identifier:
    // the result must replace it, not show beside it.
    void anAddOnItsWayIsNotOvertakenUnderItsIdentifier()
    {
        startServer();
        QVERIFY(addAndWait(request("KNOWN")).has_value()); // the server is known: no questions
        QList<std::expected<void, NotificationError>> answers;
        const auto answer = [&](auto result) { answers << result; };
        m_service->add(request("COPY", "1 of 3 items"), answer);
        m_service->add(request("COPY", "2 of 3 items"), answer);
        m_service->add(request("COPY", "Copied"), answer);
        QTRY_COMPARE(answers.size(), 3);
        for (const auto& a : answers)
            QVERIFY(a.has_value());

        // The second was overtaken while it waited: it never went out.
        QCOMPARE(m_server->notifications.size(), 3);
        const auto& progress = m_server->notifications[1];
        const auto& result = m_server->notifications[2];
        QCOMPARE(progress.body, "1 of 3 items");
        QCOMPARE(result.body, "Copied");
        QCOMPARE(result.replacesId, progress.id);
        QCOMPARE(result.id, progress.id);

        // Other identifiers do not wait for it.
        m_service->add(request("COPY", "again"), [](auto) {});
        QVERIFY(addAndWait(request("ELSEWHERE")).has_value());
    }

    void aRequestStillShownIsReplaced()
    {
        startServer();
        QVERIFY(addAndWait(request("UPDATE")).has_value());
        QVERIFY(addAndWait(request("UPDATE")).has_value());
        QVERIFY(addAndWait(request("OTHER")).has_value());
        QCOMPARE(m_server->notifications.size(), 3);
        const uint shown = m_server->notifications[0].id;
        QCOMPARE(m_server->notifications[1].replacesId, shown);
        QCOMPARE(m_server->notifications[1].id, shown);
        QCOMPARE(m_server->notifications[2].replacesId, 0u);

        // Once the server closed it, the identifier starts a new notification.
        emit m_server->NotificationClosed(shown, 2);
        settle();
        QVERIFY(addAndWait(request("UPDATE")).has_value());
        QCOMPARE(m_server->notifications[3].replacesId, 0u);
    }

    void withdrawingClosesTheNotification()
    {
        startServer();
        QVERIFY(addAndWait(request("UPDATE")).has_value());
        const uint shown = m_server->notifications[0].id;

        m_service->removeDeliveredNotifications({"UPDATE", "UNKNOWN"});
        QTRY_COMPARE(m_server->closed, QList<uint>{shown});
        QVERIFY(addAndWait(request("UPDATE")).has_value());
        QCOMPARE(m_server->notifications[1].replacesId, 0u);
    }

    void aRequestWithdrawnOnItsWayIsClosedOnArrival()
    {
        startServer();
        AddResult result;
        m_service->add(request("UPDATE"), [&](auto answer) { result = answer; });
        m_service->removePendingNotificationRequests({"UPDATE"});
        QTRY_VERIFY(result.has_value());
        QCOMPARE(m_server->notifications.size(), 1);
        QTRY_COMPARE(m_server->closed, QList<uint>{m_server->notifications[0].id});

        // A later request under the same identifier is not withdrawn, and replaces nothing.
        QVERIFY(addAndWait(request("UPDATE")).has_value());
        QCOMPARE(m_server->notifications[1].replacesId, 0u);
        // Calls reach the server in order: a close sent before this add would have arrived.
        QVERIFY(addAndWait(request("BARRIER")).has_value());
        QCOMPARE(m_server->closed.size(), 1);
    }

    void permissionFollowsTheServer_data()
    {
        QTest::addColumn<bool>("serverRuns");
        QTest::addColumn<bool>("switchedOff");
        QTest::addColumn<bool>("permitted");
        QTest::newRow("server runs") << true << false << true;
        QTest::newRow("no server") << false << false << false;
        QTest::newRow("server runs, the user switched us off in the desktop's settings")
            << true << true << false;
    }

    void permissionFollowsTheServer()
    {
        QFETCH(bool, serverRuns);
        QFETCH(bool, switchedOff);
        QFETCH(bool, permitted);
        if (serverRuns)
            startServer();
        m_service->setSwitchedOffProbe([switchedOff] { return switchedOff; });

        std::optional<AuthorizationStatus> status;
        m_service->notificationSettings([&](AuthorizationStatus s) { status = s; });
        QTRY_VERIFY(status.has_value());
        QCOMPARE(int(*status),
                 int(permitted ? AuthorizationStatus::authorized : AuthorizationStatus::denied));

        std::optional<std::expected<bool, NotificationError>> granted;
        m_service->requestAuthorization(AuthorizationOption::alert | AuthorizationOption::sound,
                                        [&](auto answer) { granted = answer; });
        QTRY_VERIFY(granted.has_value());
        QVERIFY(granted->has_value());
        QCOMPARE(**granted, permitted);

        // Switched off or not, the server decides what becomes of a notification.
        const auto added = addAndWait(request("A"));
        QCOMPARE(added.has_value(), serverRuns);
        if (!serverRuns)
            QVERIFY(added.error().kind == NotificationError::Case::noServer);
    }

    void withoutSessionBusEveryCallFailsAtOnce()
    {
        // The test's session bus address leads nowhere.
        FreedesktopNotificationService service(QDBusConnection::sessionBus());
        std::optional<AuthorizationStatus> status;
        std::optional<std::expected<bool, NotificationError>> granted;
        AddResult added;
        service.notificationSettings([&](AuthorizationStatus s) { status = s; });
        service.requestAuthorization(AuthorizationOption::alert, [&](auto a) { granted = a; });
        service.add(request("A"), [&](auto a) { added = a; });
        service.removeDeliveredNotifications({"A"});
        service.removePendingNotificationRequests({"A"});
        QVERIFY2(!status && !granted && !added, "handlers must not run inside the calls");

        QTRY_VERIFY(status && granted && added);
        QCOMPARE(int(*status), int(AuthorizationStatus::denied));
        QCOMPARE(granted->error(), NotificationError::noSessionBus());
        QCOMPARE(added->error(), NotificationError::noSessionBus());
    }

    void aClickReachesTheDelegate()
    {
        // The server starts after the service, as one started on demand by the first Notify.
        RecordingDelegate delegate;
        m_service->setDelegate(&delegate);
        startServer();
        NotificationRequest r = request("ID-1");
        QVERIFY(addAndWait(r).has_value());
        const uint id = m_server->notifications[0].id;

        emit m_server->ActionInvoked(id + 100, "default"); // someone else's notification
        // GNOME Shell signals one click once for each time the notification was replaced in
        // place: a burst of the same click acts once.
        for (int shownAnew = 0; shownAnew < 10; ++shownAnew)
            emit m_server->ActionInvoked(id, "default");
        QTRY_COMPARE(delegate.responses.size(), 1);
        QCOMPARE(delegate.responses[0].identifier, "ID-1");
        QCOMPARE(delegate.responses[0].userInfo, r.userInfo);
        settle();
        QCOMPARE(delegate.responses.size(), 1);
    }

    void inFrontTheDelegateDecidesWhetherToShow_data()
    {
        QTest::addColumn<int>("options");
        QTest::addColumn<int>("shown");
        QTest::newRow("banner and list")
            << int(PresentationOption::banner | PresentationOption::list) << 1;
        QTest::newRow("list only") << int(PresentationOption::list) << 1;
        QTest::newRow("nothing") << 0 << 0;
    }

    void inFrontTheDelegateDecidesWhetherToShow()
    {
        QFETCH(int, options);
        QFETCH(int, shown);
        startServer();
        RecordingDelegate delegate;
        delegate.options = PresentationOptions::fromInt(options);
        m_service->setDelegate(&delegate);
        m_frontmost = true;

        QVERIFY(addAndWait(request("A")).has_value());
        QCOMPARE(delegate.presentations, 1);
        QCOMPARE(m_server->notifications.size(), shown);
    }

    void whatTheServerSaidHoldsUntilAnotherServerHasItsName_data()
    {
        QTest::addColumn<bool>("takesOver");
        QTest::newRow("the server quits, another starts") << false;
        QTest::newRow("another server takes the name over") << true;
    }

    void whatTheServerSaidHoldsUntilAnotherServerHasItsName()
    {
        QFETCH(bool, takesOver);
        startServer();
        ResultNotifier notifier(*m_service, [] {}, {});
        CopyReport report;
        report.destination = "/home/me/Drop";
        report.itemCount = 1;
        report.copied.push_back({"/src/a", "/home/me/Drop/a", false});
        const auto post = [&](const FakeNotificationServer& server) {
            const qsizetype before = server.notifications.size();
            notifier.postCopyNotification(report, "Drop");
            return QTest::qWaitFor([&] { return server.notifications.size() > before; });
        };

        // Only the first of several copy notifications asks about the server.
        for (int i = 0; i < 3; ++i)
            QVERIFY(post(*m_server));
        QCOMPARE(m_server->calls, (QStringList{"GetServerInformation", "GetCapabilities", "Notify",
                                               "Notify", "Notify"}));
        QCOMPARE(m_server->notifications[2].actions, (QStringList{"default", "Show"}));

        // A server without actions follows: it is asked afresh, and offered no action.
        FakeNotificationServer next;
        next.capabilities = {"body"};
        QVERIFY(replaceServer(next, takesOver));
        QVERIFY(post(next));
        QVERIFY(post(next));
        QCOMPARE(next.calls,
                 (QStringList{"GetServerInformation", "GetCapabilities", "Notify", "Notify"}));
        QCOMPARE(next.notifications[0].actions, QStringList{});
        QCOMPARE(next.notifications[1].actions, QStringList{});
        QCOMPARE(m_server->calls.size(), 5);
    }

    void theNotificationsOfAReplacedServerAreForgotten()
    {
        RecordingDelegate delegate;
        m_service->setDelegate(&delegate);
        startServer();
        QVERIFY(addAndWait(request("UPDATE")).has_value());
        const uint id = m_server->notifications[0].id;

        // The old server's ids mean nothing to the new one: a click on the new server's
        // notification of the same number is not ours, and nothing is replaced.
        FakeNotificationServer next;
        QVERIFY(replaceServer(next, true));
        emit next.ActionInvoked(id, "default");
        QVERIFY(addAndWait(request("UPDATE")).has_value());
        QCOMPARE(delegate.responses.size(), 0);
        QCOMPARE(next.notifications[0].replacesId, 0u);
    }

    void aClickOnACopyNotificationShowsItsFolder()
    {
        startServer();
        FakeFileManager fileManager;
        QVERIFY(fileManager.serve(m_bus->connect("files")));
        QTemporaryDir temp;
        const QString folder = temp.filePath("My Folder");
        QVERIFY(QDir().mkpath(folder));
        int settingsShown = 0;
        QList<QUrl> opened;
        FolderRevealer revealer(m_bus->connect("revealer"), [&](const QUrl& url) {
            opened << url;
            return true;
        });
        QList<bool> answers;
        ResultNotifier notifier(
            *m_service, [&] { ++settingsShown; }, {},
            [&](const QString& path, std::function<void(bool)> done) {
                revealer.reveal(path, [&, done](bool revealed) {
                    answers << revealed;
                    done(revealed);
                });
            });
        m_service->setDelegate(&notifier);

        CopyReport report;
        report.destination = QFile::encodeName(folder).toStdString();
        report.itemCount = 1;
        report.copied.push_back({"/src/a", report.destination + "/a", false});
        notifier.postCopyNotification(report, "My Folder");
        QTRY_COMPARE(m_server->notifications.size(), 1);
        QCOMPARE(m_server->notifications[0].summary, "Copied 1 item to My Folder");

        emit m_server->ActionInvoked(m_server->notifications[0].id, "default");
        QTRY_COMPARE(fileManager.shown.size(), 1);
        QCOMPARE(fileManager.shown[0],
                 QStringList{QUrl::fromLocalFile(folder).toString(QUrl::FullyEncoded)});
        QVERIFY(fileManager.shown[0][0].endsWith("/My%20Folder"));
        QTRY_COMPARE(answers, QList<bool>{true});
        QCOMPARE(settingsShown, 0);
        QVERIFY(opened.isEmpty());
    }
};

QTEST_MAIN(FreedesktopNotificationServiceTest)
#include "freedesktop_notification_service_test.moc"
