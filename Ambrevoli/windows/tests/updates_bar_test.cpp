#include "updates_bar.h"

#include "accessible_actions.h"
#include "destinations_model.h"
#include "host_settings.h"
#include "in_memory_notification_service.h"
#include "private_host_settings.h"
#include "settings_view.h"
#include "setup_status.h"
#include "software_updater.h"
#include "files_with_its_menu.h"

#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace ambrevoli;

namespace {

template <class Control> Control* control(QWidget& parent, const char* name)
{
    for (Control* candidate : parent.findChildren<Control*>())
        if (candidate->accessibleName() == QString::fromUtf8(name))
            return candidate;
    return nullptr;
}

enum class Way { mouse, keyboard, accessibility };

// Turns a switch or presses a button as a person does with the mouse or the keyboard, or as a
// screen reader does.
void operate(QAbstractButton& control, Way way)
{
    switch (way) {
    case Way::mouse:
        QTest::mouseClick(&control, Qt::LeftButton, {}, QPoint(4, control.height() / 2));
        break;
    case Way::keyboard:
        control.setFocus();
        QTest::keyClick(&control, Qt::Key_Space);
        break;
    case Way::accessibility: QVERIFY(testing::operateAccessibly(control)); break;
    }
}

void screenshot(QWidget& widget, const QString& name)
{
    QDir().mkpath(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR));
    QVERIFY(widget.grab().save(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR "/%1.png").arg(name)));
}

} // namespace

Q_DECLARE_METATYPE(Way)

class UpdatesBarTest : public QObject {
    Q_OBJECT

    PrivateHostSettings m_hostSettings;
private slots:
    void initTestCase();
    void init();
    void theSecondSwitchFollowsTheFirst_data();
    void theSecondSwitchFollowsTheFirst();
    void followsChangesMadeElsewhere();
    void checkNowWaitsForTheRunningCheck();
    void aBuildWithoutFeedCannotCheck();
    void atTheFootOfTheSettings();

private:
    std::unique_ptr<SoftwareUpdater> makeUpdater(bool configured = true);

    QTemporaryDir m_temp;
    // Takes connections and never answers: a check against it runs until it is cancelled.
    QTcpServer m_silentServer;
};

void UpdatesBarTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName("ambrevoli-updates-bar-test");
    QVERIFY(m_silentServer.listen(QHostAddress::LocalHost));
}

void UpdatesBarTest::init() { hostSettings().clear(); }

std::unique_ptr<SoftwareUpdater> UpdatesBarTest::makeUpdater(bool configured)
{
    UpdaterConfiguration configuration;
    if (configured) {
        configuration.feedURL = QUrl(
            QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(m_silentServer.serverPort()));
        configuration.publicKey = QByteArray(32, 'k').toBase64();
    }
    configuration.runningVersion = "1.1";
    configuration.downloadFolder = m_temp.path();
    return std::make_unique<SoftwareUpdater>(configuration, nullptr);
}

void UpdatesBarTest::theSecondSwitchFollowsTheFirst_data()
{
    QTest::addColumn<Way>("way");
    QTest::newRow("mouse") << Way::mouse;
    QTest::newRow("keyboard") << Way::keyboard;
    QTest::newRow("accessibility actions") << Way::accessibility;
}

// Whichever way a switch is turned, the updater is told and keeps it, and the second switch
// follows the first; whichever way the button is pressed, a check starts.
void UpdatesBarTest::theSecondSwitchFollowsTheFirst()
{
    QFETCH(Way, way);
    const auto updater = makeUpdater();
    updater->setAutomaticallyChecksForUpdates(false);
    updater->setAutomaticallyDownloadsUpdates(true);
    UpdatesBar bar(*updater);
    bar.show();
    QVERIFY(QTest::qWaitForWindowActive(&bar));
    auto* checks = control<QCheckBox>(bar, UpdatesBar::checksTitle);
    auto* downloads = control<QCheckBox>(bar, UpdatesBar::downloadsTitle);
    auto* checkNow = control<QPushButton>(bar, UpdatesBar::checkNowTitle);
    QVERIFY(checks && downloads && checkNow);
    QVERIFY(!checks->isChecked());
    QVERIFY(downloads->isChecked());
    QVERIFY(!downloads->isEnabled());
    if (way == Way::mouse)
        screenshot(bar, "updates-bar-checks-off");

    operate(*checks, way);
    QVERIFY(updater->automaticallyChecksForUpdates());
    QCOMPARE(hostSettings().value("automaticallyChecksForUpdates"), QVariant(true));
    QVERIFY(checks->isChecked());
    QVERIFY(downloads->isEnabled());

    operate(*downloads, way);
    QVERIFY(!updater->automaticallyDownloadsUpdates());
    QCOMPARE(hostSettings().value("automaticallyDownloadsUpdates"), QVariant(false));
    QVERIFY(!downloads->isChecked());

    operate(*checks, way);
    QVERIFY(!updater->automaticallyChecksForUpdates());
    QCOMPARE(hostSettings().value("automaticallyChecksForUpdates"), QVariant(false));
    QVERIFY(!downloads->isEnabled());

    operate(*checkNow, way);
    QTRY_VERIFY(!updater->canCheckForUpdates());
    QVERIFY(!checkNow->isEnabled());
    // The check is answered, so that no connection is left waiting for the next test.
    QTRY_VERIFY(m_silentServer.hasPendingConnections());
    std::unique_ptr<QTcpSocket> connection(m_silentServer.nextPendingConnection());
    connection->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    QTRY_VERIFY(updater->canCheckForUpdates());
}

void UpdatesBarTest::followsChangesMadeElsewhere()
{
    const auto updater = makeUpdater();
    UpdatesBar bar(*updater);
    bar.show();
    auto* checks = control<QCheckBox>(bar, UpdatesBar::checksTitle);
    auto* downloads = control<QCheckBox>(bar, UpdatesBar::downloadsTitle);
    QVERIFY(checks->isChecked());
    QVERIFY(!downloads->isChecked());
    updater->setAutomaticallyDownloadsUpdates(true);
    QVERIFY(downloads->isChecked());
    updater->setAutomaticallyChecksForUpdates(false);
    QVERIFY(!checks->isChecked());
    QVERIFY(!downloads->isEnabled());
}

void UpdatesBarTest::checkNowWaitsForTheRunningCheck()
{
    const auto updater = makeUpdater();
    UpdatesBar bar(*updater);
    bar.show();
    auto* checkNow = control<QPushButton>(bar, UpdatesBar::checkNowTitle);
    QVERIFY(checkNow);
    QCOMPARE(checkNow->text(), QString::fromUtf8("Check for Updates\u2026"));
    QVERIFY(checkNow->isEnabled());
    QTest::mouseClick(checkNow, Qt::LeftButton);
    QVERIFY(!updater->canCheckForUpdates());
    QVERIFY(!checkNow->isEnabled());
    screenshot(bar, "updates-bar-checking");
    // The server answers at last: the check ends, and the button is back.
    QTRY_VERIFY(m_silentServer.hasPendingConnections());
    std::unique_ptr<QTcpSocket> connection(m_silentServer.nextPendingConnection());
    connection->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    QTRY_VERIFY(checkNow->isEnabled());
    QVERIFY(updater->canCheckForUpdates());
}

void UpdatesBarTest::aBuildWithoutFeedCannotCheck()
{
    const auto updater = makeUpdater(false);
    UpdatesBar bar(*updater);
    auto* checkNow = control<QPushButton>(bar, UpdatesBar::checkNowTitle);
    QVERIFY(!checkNow->isEnabled());
    QCOMPARE(checkNow->toolTip(), updater->whyCannotCheck());
    QVERIFY(!checkNow->toolTip().isEmpty());
}

void UpdatesBarTest::atTheFootOfTheSettings()
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_temp.filePath("data")));
    const std::string file = m_temp.filePath("destinations.json").toStdString();
    QDir().mkpath(m_temp.filePath("places/Backups"));
    DestinationsModel(file).addFolders({m_temp.filePath("places/Backups").toStdString()});
    DestinationsModel model(file);
    InMemoryNotificationService service;
    service.setAuthorizationStatus(AuthorizationStatus::authorized);
    SetupStatus setup(service, filesWithItsMenu);
    const auto updater = makeUpdater();
    SettingsView view(model, setup, updater.get());
    view.resize(520, 360);
    view.show();
    QVERIFY(control<QPushButton>(view, UpdatesBar::checkNowTitle));
    QVERIFY(control<QCheckBox>(view, UpdatesBar::checksTitle)->isVisible());
    screenshot(view, "settings-with-updates-bar");
}

QTEST_MAIN(UpdatesBarTest)
#include "updates_bar_test.moc"
