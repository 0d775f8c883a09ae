#include "updater.h"

#include "host_settings.h"
#include "in_memory_notification_service.h"
#include "log.h"
#include "private_host_settings.h"
#include "result_notifier.h"
#include "test_web_server.h"
#include "update_window.h"

#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace ambrevoli;
using ambrevoli::testing::TestWebServer;

namespace {

// A feed that offers 1.2 to the running 1.1. Nothing is downloaded unless the user installs.
QByteArray feed()
{
    return "<rss version=\"2.0\" "
           "xmlns:sparkle=\"https://ambrevoli.example/xml-namespaces/updates\">"
           "<channel><item><sparkle:version>1.2.0</sparkle:version>"
           "<sparkle:shortVersionString>1.2</sparkle:shortVersionString>"
           "<description>Faster copies</description>"
           "<enclosure url=\"ambrevoli.deb\" length=\"10\" sparkle:edSignature=\"AAAA\"/>"
           "</item></channel></rss>";
}

const QString updateID = QString::fromLatin1(updateNotificationID);

QStringList texts(QWidget& window)
{
    QStringList found;
    for (QLabel* label : window.findChildren<QLabel*>())
        found << label->text();
    return found;
}

QPushButton* button(QWidget& window, const QString& name)
{
    for (QPushButton* candidate : window.findChildren<QPushButton*>())
        if (candidate->accessibleName() == name)
            return candidate;
    return nullptr;
}

} // namespace

class UpdaterTest : public QObject {
    Q_OBJECT

    PrivateHostSettings m_hostSettings;
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scheduledUpdateInTheBackgroundIsAnnounced();
    void aClickShowsTheUpdateAndWithdrawsTheNotification();
    void theEndOfTheSessionWithdrawsIt();
    void shownDirectly_data();
    void shownDirectly();
    void theMenuItemFollowsWhetherTheUpdaterCanCheck();

private:
    std::unique_ptr<Updater> makeUpdater();
    bool windowShowsUpdate() const;

    QTemporaryDir m_downloads;
    std::unique_ptr<TestWebServer> m_web;
    std::unique_ptr<InMemoryNotificationService> m_center;
    std::unique_ptr<ResultNotifier> m_notifier;
    Updater* m_updater = nullptr;
    bool m_active = false;
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName("ambrevoli-updater-test");
}

void UpdaterTest::init()
{
    hostSettings().clear();
    m_web = std::make_unique<TestWebServer>();
    m_web->routes["/appcast.xml"] = {200, feed(), {}, -1};
    m_center = std::make_unique<InMemoryNotificationService>();
    m_center->setAuthorizationStatus(AuthorizationStatus::authorized);
    m_active = false;
}

void UpdaterTest::cleanup()
{
    m_notifier.reset();
    m_center.reset();
}

std::unique_ptr<Updater> UpdaterTest::makeUpdater()
{
    UpdaterConfiguration configuration;
    configuration.feedURL = m_web->url("/appcast.xml");
    configuration.publicKey = QByteArray(32, 'k').toBase64();
    configuration.runningVersion = "1.1";
    configuration.packageName = "ambrevoli";
    configuration.architecture = "amd64";
    configuration.downloadFolder = m_downloads.path();
    auto updater = std::make_unique<Updater>(configuration, *m_center, [this] { return m_active; });
    m_updater = updater.get();
    // As the application delegate wires it: a click on the update notification shows the update.
    m_notifier = std::make_unique<ResultNotifier>(
        *m_center, [] {}, [this] { m_updater->showUpdateDirectly(); },
        [](const QString&, std::function<void(bool)> done) { done(false); });
    m_center->setDelegate(m_notifier.get());
    return updater;
}

bool UpdaterTest::windowShowsUpdate() const
{
    UpdateWindow* window = m_updater->userDriver().window();
    return window && window->isVisible() && texts(*window).contains("Ambrevoli 1.2 is available");
}

void UpdaterTest::scheduledUpdateInTheBackgroundIsAnnounced()
{
    const auto updater = makeUpdater();
    updater->updater().checkForUpdatesInBackground();
    QTRY_COMPARE(m_center->delivered().size(), 1);
    const NotificationRequest& shown = m_center->delivered().front();
    QCOMPARE(shown.identifier, updateID);
    QCOMPARE(shown.title, "Ambrevoli 1.2 is available");
    QCOMPARE(shown.body, "Click to see what's new and install it.");
    QVERIFY(shown.userInfo.isEmpty());
    QVERIFY(!windowShowsUpdate());

    // Announced again (a later find): still one notification.
    AppcastItem later;
    later.displayVersion = "1.3";
    updater->standardUserDriverWillHandleShowingUpdate(false, later, {});
    QTRY_COMPARE(m_center->calls().count("add"), 2);
    QCOMPARE(m_center->delivered().size(), 1);
    QCOMPARE(m_center->delivered().front().title, "Ambrevoli 1.3 is available");
}

void UpdaterTest::aClickShowsTheUpdateAndWithdrawsTheNotification()
{
    const auto updater = makeUpdater();
    updater->updater().checkForUpdatesInBackground();
    QTRY_COMPARE(m_center->delivered().size(), 1);
    QVERIFY(m_center->click(updateID));
    QVERIFY(windowShowsUpdate());
    QVERIFY(m_center->delivered().isEmpty());
    QVERIFY(m_center->calls().contains("removePendingNotificationRequests"));
    QCOMPARE(m_web->requests.value("/appcast.xml"), 1);
}

void UpdaterTest::theEndOfTheSessionWithdrawsIt()
{
    const auto updater = makeUpdater();
    updater->updater().checkForUpdatesInBackground();
    QTRY_COMPARE(m_center->delivered().size(), 1);
    QVERIFY(m_center->click(updateID));
    QTest::mouseClick(button(*updater->userDriver().window(), "Remind Me Later"), Qt::LeftButton);
    QVERIFY(!updater->userDriver().window()->isVisible());
    QVERIFY(m_center->delivered().isEmpty());
    QVERIFY(updater->updater().canCheckForUpdates());
}

void UpdaterTest::shownDirectly_data()
{
    QTest::addColumn<bool>("active");
    QTest::addColumn<AuthorizationStatus>("status");
    QTest::addColumn<bool>("userGrants");
    QTest::addColumn<bool>("authorizationFails");
    QTest::addColumn<bool>("addFails");
    QTest::addColumn<bool>("logged");
    using enum AuthorizationStatus;
    QTest::newRow("host in front") << true << authorized << true << false << false << false;
    QTest::newRow("notifications denied") << false << denied << true << false << false << false;
    QTest::newRow("user denies when asked")
        << false << notDetermined << false << false << false << false;
    QTest::newRow("asking fails") << false << notDetermined << true << true << false << true;
    QTest::newRow("adding fails") << false << authorized << true << false << true << true;
}

void UpdaterTest::shownDirectly()
{
    QFETCH(bool, active);
    QFETCH(AuthorizationStatus, status);
    QFETCH(bool, userGrants);
    QFETCH(bool, authorizationFails);
    QFETCH(bool, addFails);
    QFETCH(bool, logged);
    m_active = active;
    m_center->setAuthorizationStatus(status);
    m_center->setUserGrantsAuthorization(userGrants);
    if (authorizationFails)
        m_center->setAuthorizationError(NotificationError::noServer("no server"));
    if (addFails)
        m_center->setAddError(NotificationError::failed("refused"));
    LogCapture capture;
    const auto updater = makeUpdater();
    updater->updater().checkForUpdatesInBackground();
    QTRY_VERIFY(windowShowsUpdate());
    QVERIFY(m_center->delivered().isEmpty());
    bool found = false;
    for (const std::string& line : capture.lines())
        found = found || line.starts_with("Couldn't post the update notification");
    QCOMPARE(found, logged);
}

void UpdaterTest::theMenuItemFollowsWhetherTheUpdaterCanCheck()
{
    const auto updater = makeUpdater();
    QAction& item = updater->checkForUpdatesAction();
    QCOMPARE(item.text(), QString::fromUtf8("Check for Updates\u2026"));
    QVERIFY(item.isEnabled());
    item.trigger();
    QVERIFY(!item.isEnabled());
    QTRY_VERIFY(windowShowsUpdate());
    QVERIFY(item.isEnabled());
    QCOMPARE(m_web->requests.value("/appcast.xml"), 1);

    UpdaterConfiguration unconfigured;
    unconfigured.runningVersion = "1.1";
    Updater withoutFeed(unconfigured, *m_center, [] { return true; });
    QVERIFY(!withoutFeed.checkForUpdatesAction().isEnabled());
    QCOMPARE(withoutFeed.checkForUpdatesAction().toolTip(), withoutFeed.updater().whyCannotCheck());
    withoutFeed.checkForUpdatesAction().trigger();
    QVERIFY(!withoutFeed.userDriver().window());
}

QTEST_MAIN(UpdaterTest)
#include "updater_test.moc"
