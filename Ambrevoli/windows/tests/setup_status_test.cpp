#include "setup_status.h"

#include "in_memory_notification_service.h"
#include "log.h"
#include "files_with_its_menu.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace ambrevoli;

Q_DECLARE_METATYPE(ambrevoli::AuthorizationStatus)
Q_DECLARE_METATYPE(ambrevoli::ExtensionState)

namespace {

void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class SetupStatusTest : public QObject {
    Q_OBJECT

private:
    // A status over an in-memory service, with an extension state the test sets: Files, with its
    // module loaded or installed but not loaded yet.
    struct World {
        InMemoryNotificationService service;
        bool extensionEnabled = false;
        SetupStatus setup{service, [this] {
                              return ExtensionStatus{FileManager::files,
                                                     extensionEnabled ? ExtensionState::enabled
                                                                      : ExtensionState::notLoaded};
                          }};
        QSignalSpy extensionChanges{&setup, &SetupStatus::isExtensionEnabledChanged};
        QSignalSpy notificationChanges{&setup, &SetupStatus::notificationsChanged};
    };

private slots:
    void startsUnknownAndReadsNothingUntilRefreshed()
    {
        World world;
        world.extensionEnabled = true;
        QVERIFY(!world.setup.isExtensionEnabled());
        QCOMPARE(world.setup.notifications(), AuthorizationStatus::notDetermined);
        settle();
        QVERIFY(world.service.calls().isEmpty());
    }

    // The extension is read at once, the permission once the service answered.
    void refreshReadsTheExtensionAtOnceAndThePermissionLater_data()
    {
        QTest::addColumn<AuthorizationStatus>("status");
        QTest::newRow("a server answers") << AuthorizationStatus::authorized;
        QTest::newRow("no server, or switched off") << AuthorizationStatus::denied;
        QTest::newRow("provisional") << AuthorizationStatus::provisional;
    }
    void refreshReadsTheExtensionAtOnceAndThePermissionLater()
    {
        QFETCH(AuthorizationStatus, status);
        World world;
        world.service.setAuthorizationStatus(status);
        world.extensionEnabled = true;
        world.setup.refresh();
        QVERIFY(world.setup.isExtensionEnabled());
        QCOMPARE(world.extensionChanges.size(), 1);
        QCOMPARE(world.setup.notifications(), AuthorizationStatus::notDetermined);
        settle();
        QCOMPARE(world.setup.notifications(), status);
        QCOMPARE(world.notificationChanges.size(), 1);
    }

    // Views redraw on the signals: a refresh that reads what was there already says nothing, one
    // that reads something new says it once.
    void signalsOnlyWhatChanged()
    {
        World world;
        world.service.setAuthorizationStatus(AuthorizationStatus::authorized);
        world.setup.refresh();
        settle();
        world.extensionChanges.clear();
        world.notificationChanges.clear();

        world.setup.refresh();
        settle();
        QCOMPARE(world.extensionChanges.size(), 0);
        QCOMPARE(world.notificationChanges.size(), 0);

        // Files restarted with the module, notifications switched off meanwhile.
        world.extensionEnabled = true;
        world.service.setAuthorizationStatus(AuthorizationStatus::denied);
        world.setup.refresh();
        settle();
        QCOMPARE(world.extensionChanges.size(), 1);
        QCOMPARE(world.notificationChanges.size(), 1);
        QCOMPARE(world.setup.notifications(), AuthorizationStatus::denied);
    }

    // The finer extension state, and the file manager it is about, have a signal of their own;
    // the enabled one fires only when being enabled changes.
    void theExtensionStateAndBeingEnabledSignalApart()
    {
        InMemoryNotificationService service;
        ExtensionStatus status;
        SetupStatus setup(service, [&] { return status; });
        QSignalSpy stateChanges(&setup, &SetupStatus::extensionStateChanged);
        QSignalSpy enabledChanges(&setup, &SetupStatus::isExtensionEnabledChanged);
        struct Step {
            ExtensionStatus read;
            int stateSignals;
            int enabledSignals;
        };
        const Step steps[] = {
            {{FileManager::files, ExtensionState::notInstalled}, 0, 0}, // the start value
            {{FileManager::files, ExtensionState::notLoaded}, 1, 0},
            {{FileManager::files, ExtensionState::enabled}, 2, 1},
            {{FileManager::files, ExtensionState::enabled}, 2, 1},
            {{FileManager::nemo, ExtensionState::enabled}, 3, 1}, // the user runs another one
            {{FileManager::nemo, ExtensionState::notInstalled}, 4, 2},
        };
        for (const Step& step : steps) {
            status = step.read;
            setup.refresh();
            QCOMPARE(setup.extensionState(), step.read.state);
            QCOMPARE(setup.fileManager(), step.read.fileManager);
            QCOMPARE(setup.isExtensionEnabled(), step.read.state == ExtensionState::enabled);
            QCOMPARE(stateChanges.size(), step.stateSignals);
            QCOMPARE(enabledChanges.size(), step.enabledSignals);
        }
    }

    // Sending the user on needs a program of the desktop's; one that is missing is logged, and
    // nothing else happens.
    void aMissingDesktopProgramIsLogged_data()
    {
        QTest::addColumn<ExtensionState>("state");
        QTest::addColumn<QString>("line");
        QTest::newRow("Files, for a restart")
            << ExtensionState::notLoaded << "Restarting Files failed: ProgramError 1 ";
        QTest::newRow("xdg-open, for the install instructions")
            << ExtensionState::notInstalled << "Starting a program failed: ProgramError 1 ";
    }
    void aMissingDesktopProgramIsLogged()
    {
        QFETCH(ExtensionState, state);
        QFETCH(QString, line);
        QTemporaryDir empty;
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(empty.path()));
        const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
        InMemoryNotificationService service;
        SetupStatus setup(service, [state] { return ExtensionStatus{FileManager::files, state}; });
        setup.refresh();
        settle();
        QSignalSpy stateChanges(&setup, &SetupStatus::extensionStateChanged);
        LogCapture capture;

        setup.showExtensionManagementInterface();
        QTRY_COMPARE(capture.records().size(), 1u);
        const LogRecord record = capture.records()[0];
        QCOMPARE(record.category, "settings");
        QCOMPARE(record.level, LogLevel::error);
        QVERIFY2(record.text.starts_with(line.toStdString()), record.text.c_str());
        QTest::qWait(700); // past the first look at a restarted Files, had one been started
        QCOMPARE(service.calls(), QStringList{"notificationSettings"});
        QCOMPARE(stateChanges.size(), 0);
    }

    // Two refreshes under way: each answer is stored as it comes, so the later one stays.
    void theLaterOfTwoRefreshesWins()
    {
        World world;
        world.service.setAuthorizationStatus(AuthorizationStatus::authorized);
        world.setup.refresh();
        world.service.setAuthorizationStatus(AuthorizationStatus::denied);
        world.setup.refresh();
        settle();
        QCOMPARE(world.setup.notifications(), AuthorizationStatus::denied);
    }

    void requestingPermissionAsksForAlertsAndSoundsThenRefreshes()
    {
        World world;
        world.service.setUserGrantsAuthorization(true);
        LogCapture capture;
        world.setup.requestNotifications();
        settle();
        QCOMPARE(world.service.calls(),
                 QStringList({"requestAuthorization", "notificationSettings"}));
        QCOMPARE(world.service.requestedOptions(),
                 AuthorizationOption::alert | AuthorizationOption::sound);
        QCOMPARE(world.setup.notifications(), AuthorizationStatus::authorized);
        QVERIFY(capture.lines().empty());
    }

    void aFailedRequestIsLoggedAndStillRefreshes()
    {
        World world;
        world.service.setAuthorizationStatus(AuthorizationStatus::denied);
        world.service.setAuthorizationError(NotificationError::noSessionBus());
        world.extensionEnabled = true;
        LogCapture capture;
        world.setup.requestNotifications();
        settle();
        const auto records = capture.records();
        QCOMPARE(records.size(), 1u);
        QCOMPARE(records[0].category, "settings");
        QCOMPARE(records[0].level, LogLevel::error);
        QVERIFY2(records[0].text.starts_with("Notification permission failed: "),
                 records[0].text.c_str());
        QCOMPARE(world.setup.notifications(), AuthorizationStatus::denied);
        QVERIFY(world.setup.isExtensionEnabled());
    }

    // The service answers after the status is gone (the host shutting down): nothing is touched.
    void anAnswerAfterTheStatusIsGoneIsDropped()
    {
        InMemoryNotificationService service;
        service.setAuthorizationError(NotificationError::noSessionBus());
        auto setup = std::make_unique<SetupStatus>(service, filesWithItsMenu);
        setup->refresh();
        setup->requestNotifications();
        setup.reset();
        LogCapture capture;
        settle();
        QCOMPARE(service.calls(), QStringList({"notificationSettings", "requestAuthorization"}));
        QCOMPARE(capture.lines().size(), 1u); // the failure is still worth a line
    }
};

QTEST_GUILESS_MAIN(SetupStatusTest)
#include "setup_status_test.moc"
