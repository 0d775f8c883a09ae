#include "window_coordinator.h"

#include "app_delegate.h"
#include "destinations_model.h"
#include "host_settings.h"
#include "in_memory_notification_service.h"
#include "private_host_settings.h"
#include "files_with_its_menu.h"

#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <filesystem>
#include <memory>

using namespace ambrevoli;
namespace fs = std::filesystem;

class WindowCoordinatorTest : public QObject {
    Q_OBJECT

    PrivateHostSettings m_hostSettings;

private:
    std::unique_ptr<QTemporaryDir> m_temp;

    // The host's windows over a destinations file in the test's folder.
    struct World {
        explicit World(const QString& folder)
            : destinations((folder + "/destinations.json").toStdString())
        {}
        DestinationsModel destinations;
        InMemoryNotificationService notifications;
        bool extensionEnabled = true;
        WindowCoordinator windows{destinations, notifications, [this] {
                                      return ExtensionStatus{FileManager::files,
                                                             extensionEnabled
                                                                 ? ExtensionState::enabled
                                                                 : ExtensionState::notLoaded};
                                  }};
    };

    std::string folder(const char* name) const
    {
        const std::string path = m_temp->filePath(name).toStdString();
        fs::create_directories(path);
        return path;
    }

    std::string fileText() const
    {
        QFile file(m_temp->filePath("destinations.json"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

    static int windowsTitled(const QString& title)
    {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            count += widget->windowTitle() == title;
        return count;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_temp->isValid());
        hostSettings().clear();
    }

    void cleanup() { m_temp.reset(); }

    // A second request refreshes again and brings the same window back; the application is a
    // regular one from the first.
    void twoRequestsShowOneWindow()
    {
        World world(m_temp->path());
        QSignalSpy policy(&world.windows, &WindowCoordinator::activationPolicyChanged);
        QVERIFY(!world.windows.settingsWindow());
        QCOMPARE(world.windows.activationPolicy(), WindowCoordinator::ActivationPolicy::accessory);

        world.windows.showSettings();
        QMainWindow* window = world.windows.settingsWindow();
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->windowTitle(), "Ambrevoli Settings");
        QVERIFY(window->minimumSizeHint().width() >= 460);
        // The setup status was read for the window: the extension at once, the permission
        // later.
        QVERIFY(world.windows.setup().isExtensionEnabled());
        QTRY_VERIFY(world.notifications.calls().contains("notificationSettings"));
        const qsizetype readings = world.notifications.calls().size();

        world.windows.showSettings();
        QCOMPARE(world.windows.settingsWindow(), window);
        QVERIFY(window->isVisible());
        QCOMPARE(windowsTitled("Ambrevoli Settings"), 1);
        QCOMPARE(world.notifications.calls().size(), readings + 1);
        QCOMPARE(world.windows.activationPolicy(), WindowCoordinator::ActivationPolicy::regular);
        QCOMPARE(policy.size(), 1);
    }

    // Closing hides the window and the application becomes an accessory one; the same window
    // comes back.
    void closingKeepsTheWindowAndEndsTheRegularApplication()
    {
        World world(m_temp->path());
        world.windows.showSettings();
        QMainWindow* window = world.windows.settingsWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(window->close());
        QVERIFY(!window->isVisible());
        QCOMPARE(world.windows.activationPolicy(), WindowCoordinator::ActivationPolicy::accessory);
        world.windows.showSettings();
        QCOMPARE(world.windows.settingsWindow(), window);
        QVERIFY(window->isVisible());
        QCOMPARE(world.windows.activationPolicy(), WindowCoordinator::ActivationPolicy::regular);
    }

    // The user blanked a name and closed the window before leaving the field: the edit ends
    // then, so the field shows the saved name when the window comes back, and the file keeps it.
    void closingMidEditEndsTheEdit()
    {
        World world(m_temp->path());
        world.destinations.addFolders({folder("Photos")});
        const std::string before = fileText();
        world.windows.showSettings();
        QMainWindow* window = world.windows.settingsWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        auto* name = window->findChild<QLineEdit*>();
        QVERIFY(name);
        QCOMPARE(name->text(), "Photos");

        QTest::mouseClick(name, Qt::LeftButton);
        QTRY_VERIFY(name->hasFocus());
        QTest::keyClick(name, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(name, Qt::Key_Backspace);
        QCOMPARE(name->text(), "");

        QVERIFY(window->close());
        QCOMPARE(name->text(), "Photos");
        world.windows.showSettings();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QCOMPARE(window->findChild<QLineEdit*>()->text(), "Photos");
        QCOMPARE(fileText(), before);
    }

    // Either window keeps the application a regular one; it turns accessory only when the last
    // one shown closes.
    void bothWindowsMakeTheApplicationRegular()
    {
        using Policy = WindowCoordinator::ActivationPolicy;
        World world(m_temp->path());
        world.windows.showSettings();
        world.windows.showGuide();
        QMainWindow* settings = world.windows.settingsWindow();
        QMainWindow* guide = world.windows.guideWindow();
        QVERIFY(QTest::qWaitForWindowExposed(guide));
        QCOMPARE(guide->windowTitle(), "Welcome to Ambrevoli");
        QVERIFY(world.windows.hasVisibleWindows());

        QVERIFY(guide->close());
        QCOMPARE(world.windows.activationPolicy(), Policy::regular);
        QVERIFY(world.windows.hasVisibleWindows());
        QVERIFY(settings->close());
        QCOMPARE(world.windows.activationPolicy(), Policy::accessory);
        QVERIFY(!world.windows.hasVisibleWindows());

        // The other way round, with the guide the last to go.
        world.windows.showGuide();
        world.windows.showSettings();
        QCOMPARE(world.windows.guideWindow(), guide);
        QVERIFY(settings->close());
        QCOMPARE(world.windows.activationPolicy(), Policy::regular);
        QVERIFY(guide->close());
        QCOMPARE(world.windows.activationPolicy(), Policy::accessory);
    }

    // A minimized window is not on screen for the user: starting the host again (a reopen) or
    // the settings URL brings it back, restored (still maximized, if it was) and in front.
    void aMinimizedWindowComesBack_data()
    {
        QTest::addColumn<bool>("guideFinished");
        QTest::addColumn<bool>("bySettingsURL");
        QTest::addColumn<bool>("maximized");
        QTest::newRow("reopen: the settings window") << true << false << false;
        QTest::newRow("reopen: the guide") << false << false << false;
        QTest::newRow("reopen: a maximized settings window") << true << false << true;
        QTest::newRow("settings URL") << true << true << false;
    }

    void aMinimizedWindowComesBack()
    {
        QFETCH(bool, guideFinished);
        QFETCH(bool, bySettingsURL);
        QFETCH(bool, maximized);
        hostSettings().setValue("FirstLaunchGuideFinished", guideFinished);
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_temp->filePath("data")));
        InMemoryNotificationService notifications;
        QThreadPool copies;
        AppDelegate delegate(notifications, copies);
        qputenv("XDG_DATA_HOME", dataHome);
        QVERIFY(delegate.hasServices());
        WindowCoordinator windows(*delegate.destinations(), notifications, filesWithItsMenu);
        delegate.setWindows(&windows);
        const auto unset = qScopeGuard([&delegate] { delegate.setWindows(nullptr); });
        const auto bringBack = [&] {
            if (bySettingsURL)
                delegate.openURLs({QStringLiteral("ambrevoli://settings")});
            else
                delegate.reopen();
        };

        bringBack();
        QMainWindow* window = guideFinished ? windows.settingsWindow() : windows.guideWindow();
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        if (maximized)
            window->showMaximized();
        window->showMinimized();
        QTRY_VERIFY(window->isMinimized());
        QVERIFY(!windows.hasVisibleWindows());
        // Minimized, it is still in the task switcher.
        QCOMPARE(windows.activationPolicy(), WindowCoordinator::ActivationPolicy::regular);

        bringBack();
        QVERIFY(!window->isMinimized());
        QCOMPARE(window->isMaximized(), maximized);
        QVERIFY(QTest::qWaitForWindowActive(window));
        QVERIFY(windows.hasVisibleWindows());
        QCOMPARE(windowsTitled(window->windowTitle()), 1);
    }

    // Asking for the guide again brings the one window back, read afresh; it refreshes the
    // setup status but leaves the destinations alone.
    void theGuideIsOneWindow()
    {
        World world(m_temp->path());
        const auto ids = world.destinations.addFolders({folder("Photos")});
        world.windows.showGuide();
        QMainWindow* guide = world.windows.guideWindow();
        QVERIFY(QTest::qWaitForWindowExposed(guide));
        QTRY_COMPARE(world.notifications.calls().size(), 1);
        QCOMPARE(world.windows.activationPolicy(), WindowCoordinator::ActivationPolicy::regular);
        fs::remove_all(m_temp->filePath("Photos").toStdString());

        world.windows.showGuide();
        QCOMPARE(world.windows.guideWindow(), guide);
        QCOMPARE(windowsTitled("Welcome to Ambrevoli"), 1);
        QTRY_COMPARE(world.notifications.calls().size(), 2);
        QVERIFY(world.destinations.missingIDs().empty());
        QVERIFY(!world.windows.settingsWindow());
        QVERIFY(!hostSettings().contains("Welcome to Ambrevoli"));
    }

    // Done records the finish and closes the guide; no other window opens in its place.
    void finishingTheGuideLeavesNoWindow()
    {
        World world(m_temp->path());
        world.windows.showGuide();
        QMainWindow* guide = world.windows.guideWindow();
        QVERIFY(QTest::qWaitForWindowExposed(guide));
        QVERIFY(!hostSettings().value("FirstLaunchGuideFinished").toBool());
        QPushButton* done = nullptr;
        for (QPushButton* button : guide->findChildren<QPushButton*>())
            if (button->text() == "Done")
                done = button;
        QVERIFY(done);
        QTest::mouseClick(done, Qt::LeftButton);

        QVERIFY(hostSettings().value("FirstLaunchGuideFinished").toBool());
        QVERIFY(!guide->isVisible());
        QVERIFY(!world.windows.settingsWindow());
        QVERIFY(!world.windows.hasVisibleWindows());
        QCOMPARE(world.windows.activationPolicy(), WindowCoordinator::ActivationPolicy::accessory);
    }

    void aNewWindowIsCentred_data()
    {
        QTest::addColumn<bool>("guide");
        QTest::newRow("settings") << false;
        QTest::newRow("guide") << true;
    }

    void aNewWindowIsCentred()
    {
        QFETCH(bool, guide);
        World world(m_temp->path());
        QMainWindow* window = nullptr;
        if (guide) {
            world.windows.showGuide();
            window = world.windows.guideWindow();
        } else {
            world.windows.showSettings();
            window = world.windows.settingsWindow();
        }
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QPoint offset =
            window->frameGeometry().center() - window->screen()->availableGeometry().center();
        QVERIFY2(
            offset.manhattanLength() <= 8,
            qPrintable(QStringLiteral("off centre by %1, %2").arg(offset.x()).arg(offset.y())));
    }

    // Where the user left the window is where it opens in the next run of the host.
    void theSavedGeometryIsRestored()
    {
        const QRect left(40, 30, 620, 410);
        {
            World world(m_temp->path());
            world.windows.showSettings();
            QMainWindow* window = world.windows.settingsWindow();
            QVERIFY(QTest::qWaitForWindowExposed(window));
            window->setGeometry(left);
            QTRY_COMPARE(window->geometry(), left);
            QVERIFY(window->close());
        }
        QVERIFY(hostSettings().contains("Settings"));
        World world(m_temp->path());
        world.windows.showSettings();
        QMainWindow* window = world.windows.settingsWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->geometry(), left);
    }

    // Back from another application: a destination folder deleted meanwhile shows as missing,
    // and the setup status is read again.
    void becomingActiveRefreshesTheSetupAndTheDestinations()
    {
        World world(m_temp->path());
        const auto ids = world.destinations.addFolders({folder("Photos")});
        QCOMPARE(ids.size(), 1u);
        world.windows.showSettings();
        QTRY_COMPARE(world.notifications.calls().size(), 1);
        world.extensionEnabled = false;
        fs::remove_all(m_temp->filePath("Photos").toStdString());

        emit qApp->applicationStateChanged(Qt::ApplicationInactive);
        QVERIFY(world.destinations.missingIDs().empty());
        emit qApp->applicationStateChanged(Qt::ApplicationActive);
        QVERIFY(world.destinations.missingIDs().contains(ids[0]));
        QVERIFY(!world.windows.setup().isExtensionEnabled());
        QTRY_COMPARE(world.notifications.calls().size(), 2);
    }
};

QTEST_MAIN(WindowCoordinatorTest)
#include "window_coordinator_test.moc"
