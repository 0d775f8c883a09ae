#include "drive_ejector.h"

#include "desktop_fakes.h"
#include "in_memory_notification_service.h"
#include "result_notifier.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace ambrevoli;
using ambrevoli::testing::FakeUDisks;
using ambrevoli::testing::PrivateSessionBus;

namespace {

const QString busy = "org.freedesktop.UDisks2.Error.DeviceBusy";

QVariantMap usbStick() { return {{"ConnectionBus", "usb"}, {"CanPowerOff", true}}; }

QDBusObjectPath objectPath(const QString& path) { return QDBusObjectPath(path); }

CopyReport copiedInto(const QString& destination)
{
    CopyReport report;
    report.destination = QFile::encodeName(destination).toStdString();
    report.itemCount = 1;
    report.copied.push_back({"/src/a", report.destination + "/a", false});
    return report;
}

} // namespace

// The ejector against a stand-in UDisks2 on a private bus, whose mount points are folders of
// the test's own: UDisks2's word decides what is removable, and the folders' devices match.
class DriveEjectorTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<PrivateSessionBus> m_bus;
    QTemporaryDir m_temp;
    int m_serial = 0;

    struct World {
        FakeUDisks udisks;
        std::unique_ptr<DriveEjector> ejector;
    };

    // A stand-in on a connection of its own, and an ejector on another.
    std::unique_ptr<World> world()
    {
        auto made = std::make_unique<World>();
        const QString suffix = QString::number(++m_serial);
        if (!made->udisks.serve(m_bus->connect("udisks-" + suffix)))
            return nullptr;
        made->ejector = std::make_unique<DriveEjector>(m_bus->connect("host-" + suffix));
        return made;
    }

    QString mountPoint(const QString& name)
    {
        const QString path = m_temp.filePath(name);
        QDir().mkpath(path + "/Inbox");
        return path;
    }

    std::optional<RemovableVolume> volumeOf(DriveEjector& ejector, const QString& path)
    {
        std::optional<std::optional<RemovableVolume>> answer;
        ejector.removableVolumeOf(path, [&](std::optional<RemovableVolume> found) {
            answer = std::move(found);
        });
        if (!QTest::qWaitFor([&] { return answer.has_value(); }, 5000))
            return RemovableVolume{"no answer", {}};
        return *answer;
    }

    std::expected<void, EjectError> eject(DriveEjector& ejector, const QString& point)
    {
        std::optional<std::expected<void, EjectError>> answer;
        ejector.eject(point, [&](std::expected<void, EjectError> done) { answer = done; });
        if (!QTest::qWaitFor([&] { return answer.has_value(); }, 5000))
            return std::unexpected(EjectError{EjectError::Case::failed, "no answer"});
        return *answer;
    }

private slots:
    void initTestCase()
    {
        m_bus = std::make_unique<PrivateSessionBus>();
        if (m_bus->address().isEmpty())
            QSKIP(qPrintable("no private bus: " + m_bus->failure()));
        QVERIFY(m_temp.isValid());
    }

    void onlyDrivesMeantToBePulledAreRemovable_data()
    {
        QTest::addColumn<QVariantMap>("drive");
        QTest::addColumn<QVariantMap>("block");
        QTest::addColumn<bool>("systemOnSameDrive");
        QTest::addColumn<bool>("removable");
        QTest::newRow("USB stick") << usbStick() << QVariantMap{} << false << true;
        QTest::newRow("SD card") << QVariantMap{{"ConnectionBus", "sdio"}} << QVariantMap{}
                                 << false << true;
        QTest::newRow("optical disc") << QVariantMap{{"MediaRemovable", true}, {"Ejectable", true}}
                                      << QVariantMap{} << false << true;
        QTest::newRow("internal disk") << QVariantMap{{"ConnectionBus", ""}} << QVariantMap{}
                                       << false << false;
        QTest::newRow("USB disk hinted as the system's")
            << usbStick() << QVariantMap{{"HintSystem", true}} << false << false;
        QTest::newRow("USB disk the system runs from") << usbStick() << QVariantMap{} << true
                                                       << false;
    }

    void onlyDrivesMeantToBePulledAreRemovable()
    {
        QFETCH(QVariantMap, drive);
        QFETCH(QVariantMap, block);
        QFETCH(bool, systemOnSameDrive);
        QFETCH(bool, removable);
        auto w = world();
        QVERIFY(w);
        const QString point = mountPoint(QTest::currentDataTag());
        const QString path = w->udisks.addDrive("d", drive);
        block["IdLabel"] = "STICK";
        w->udisks.addFilesystem("sdb1", path, point, block);
        if (systemOnSameDrive)
            w->udisks.addFilesystem("sdb2", path, "/");

        const auto found = volumeOf(*w->ejector, point + "/Inbox");

        if (removable)
            QCOMPARE(found, (RemovableVolume{point, "STICK"}));
        else
            QVERIFY(!found);
    }

    void findsTheVolumeBeneathEncryptionAndNamesUnlabelledOnesByTheirMount()
    {
        auto w = world();
        QVERIFY(w);
        const QString point = mountPoint("Encrypted 4F2A");
        const QString drive = w->udisks.addDrive("d", usbStick());
        const QString backing = w->udisks.addFilesystem("sdc1", drive, {});
        w->udisks.addFilesystem("dm_2d0", "/", point,
                                {{"CryptoBackingDevice", QVariant::fromValue(objectPath(backing))}});

        QCOMPARE(volumeOf(*w->ejector, point + "/Inbox"),
                 (RemovableVolume{point, "Encrypted 4F2A"}));
        // A path beside the mount point that merely starts with its name is not on it.
        QDir().mkpath(point + " copy");
        QVERIFY(!volumeOf(*w->ejector, point + " copy"));
    }

    void ejectingUnmountsTheDriveThenPowersItOffOrEjectsIt_data()
    {
        QTest::addColumn<QVariantMap>("drive");
        QTest::addColumn<QString>("last");
        QTest::newRow("can power off") << usbStick() << "PowerOff";
        QTest::newRow("only ejectable") << QVariantMap{{"Ejectable", true}} << "Eject";
        QTest::newRow("neither") << QVariantMap{{"Removable", true}} << "";
    }

    void ejectingUnmountsTheDriveThenPowersItOffOrEjectsIt()
    {
        QFETCH(QVariantMap, drive);
        QFETCH(QString, last);
        auto w = world();
        QVERIFY(w);
        const QString point = mountPoint("Two partitions");
        const QString path = w->udisks.addDrive("d", drive);
        // Listed after the volume sent to, and unmounted after it; an unmounted partition and
        // another drive are left alone.
        const QString ours = w->udisks.addFilesystem("sdb2", path, point);
        const QString sibling = w->udisks.addFilesystem("sdb1", path, "/media/me/OTHER");
        w->udisks.addFilesystem("sdb3", path, {});
        w->udisks.addFilesystem("sda1", w->udisks.addDrive("internal", {}), "/media/me/DATA");

        QVERIFY(eject(*w->ejector, point));

        QStringList expected{ours + " org.freedesktop.UDisks2.Filesystem.Unmount",
                             sibling + " org.freedesktop.UDisks2.Filesystem.Unmount"};
        if (!last.isEmpty())
            expected << path + " org.freedesktop.UDisks2.Drive." + last;
        QCOMPARE(w->udisks.calls, expected);
    }

    void ejectingLocksAnEncryptedVolumeBeforePoweringOff()
    {
        auto w = world();
        QVERIFY(w);
        const QString point = mountPoint("Vault");
        const QString drive = w->udisks.addDrive("d", usbStick());
        const QString backing = w->udisks.addFilesystem("sdc1", drive, {});
        w->udisks.objects[objectPath(backing)]["org.freedesktop.UDisks2.Encrypted"] = {};
        const QString clear = w->udisks.addFilesystem(
            "dm_2d0", "/", point, {{"CryptoBackingDevice", QVariant::fromValue(objectPath(backing))}});

        QVERIFY(eject(*w->ejector, point));
        QCOMPARE(w->udisks.calls,
                 (QStringList{clear + " org.freedesktop.UDisks2.Filesystem.Unmount",
                              backing + " org.freedesktop.UDisks2.Encrypted.Lock",
                              drive + " org.freedesktop.UDisks2.Drive.PowerOff"}));
    }

    void refusalsStopTheEjection()
    {
        auto w = world();
        QVERIFY(w);
        const QString point = mountPoint("Busy");
        const QString drive = w->udisks.addDrive("d", usbStick());
        const QString block = w->udisks.addFilesystem("sdb1", drive, point);
        const QString unmount = block + " org.freedesktop.UDisks2.Filesystem.Unmount";
        const QString powerOff = drive + " org.freedesktop.UDisks2.Drive.PowerOff";

        w->udisks.failures[unmount] = busy;
        auto ejected = eject(*w->ejector, point);
        QVERIFY(!ejected);
        QCOMPARE(ejected.error().kind, EjectError::Case::busy);
        QCOMPARE(w->udisks.calls, QStringList{unmount});

        w->udisks.calls.clear();
        w->udisks.failures[unmount] = "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed";
        ejected = eject(*w->ejector, point);
        QVERIFY(!ejected);
        QCOMPARE(ejected.error().kind, EjectError::Case::notAuthorized);

        // Unmounted is safe to pull, even when the drive stays powered.
        w->udisks.calls.clear();
        w->udisks.failures.clear();
        w->udisks.failures[powerOff] = "org.freedesktop.UDisks2.Error.Failed";
        QVERIFY(eject(*w->ejector, point));
        QCOMPARE(w->udisks.calls, (QStringList{unmount, powerOff}));

        QVERIFY(eject(*w->ejector, m_temp.filePath("nowhere")) ==
                std::unexpected(EjectError{EjectError::Case::notMounted, {}}));
    }

    void withoutUDisksNothingIsRemovableAndNothingEjects()
    {
        DriveEjector ejector(m_bus->connect("host-alone"));
        QVERIFY(!volumeOf(ejector, m_temp.path()));
        const auto ejected = eject(ejector, m_temp.path());
        QVERIFY(!ejected);
        QCOMPARE(ejected.error().kind, EjectError::Case::noUDisks);
    }

    // The copy notification offers Eject only for a removable destination, and its action
    // ends in a notification saying whether the drive may be pulled.
    void copyNotificationEjectsItsVolume_data()
    {
        QTest::addColumn<QVariantMap>("drive");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("body");
        QTest::newRow("ejected") << usbStick() << "" << "Ejected “STICK”"
                                 << "You can now unplug “STICK”.";
        QTest::newRow("busy") << usbStick() << busy << "Couldn't eject “STICK”"
                              << "“STICK” is still in use. Close the files and windows that use "
                                 "it, then eject it again.";
        QTest::newRow("other failure")
            << usbStick() << "org.freedesktop.UDisks2.Error.Failed" << "Couldn't eject “STICK”"
            << "Something went wrong while ejecting it. Keep it plugged in, and eject it in the "
               "file manager.";
        QTest::newRow("internal disk: no Eject") << QVariantMap{} << "" << "" << "";
    }

    void copyNotificationEjectsItsVolume()
    {
        QFETCH(QVariantMap, drive);
        QFETCH(QString, refusal);
        QFETCH(QString, title);
        QFETCH(QString, body);
        auto w = world();
        QVERIFY(w);
        const QString point = mountPoint("Notified " + QString(QTest::currentDataTag()));
        const QString block =
            w->udisks.addFilesystem("sdb1", w->udisks.addDrive("d", drive), point,
                                    {{"IdLabel", "STICK"}});
        if (!refusal.isEmpty())
            w->udisks.failures[block + " org.freedesktop.UDisks2.Filesystem.Unmount"] = refusal;
        InMemoryNotificationService center;
        center.setAuthorizationStatus(AuthorizationStatus::authorized);
        int opened = 0;
        ResultNotifier notifier(center, [&] { ++opened; }, {},
                                [&](const QString&, auto) { ++opened; });
        center.setDelegate(&notifier);
        notifier.setDriveEjector(w->ejector.get());

        notifier.postCopyNotification(copiedInto(point + "/Inbox"), "Inbox", "copy-1");
        QTRY_COMPARE(center.delivered().size(), 1);
        const NotificationRequest posted = center.delivered().first();
        QCOMPARE(posted.title, "Copied 1 item to Inbox");
        const bool offered =
            posted.actions.contains(NotificationAction{ejectActionIdentifier, "Eject"});
        QCOMPARE(offered, !title.isEmpty());
        if (!offered)
            return;

        QVERIFY(center.click("copy-1", ejectActionIdentifier));
        QTRY_COMPARE(center.delivered().first().title, title);
        QCOMPARE(center.delivered().first().body, body);
        QCOMPARE(center.delivered().size(), 1);
        // A click on what the ejection said opens nothing.
        QVERIFY(center.click("copy-1"));
        QCOMPARE(opened, 0);
        // The service shows a notification before it answers that it did.
        QTRY_VERIFY(!notifier.isDelivering());
    }
};

QTEST_GUILESS_MAIN(DriveEjectorTest)
#include "drive_ejector_test.moc"
