#include "freedesktop_notification_service.h"

#include "desktop_fakes.h"

#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <optional>

using namespace ambrevoli;
using namespace ambrevoli::testing;

// Posts to a real notification server (dunst on a virtual X display and a private bus) and
// reads the notification back from the server's history.
class NotificationServerSmokeTest : public QObject {
    Q_OBJECT

private slots:
    void aRealServerShowsWhatWasPosted()
    {
        for (const char* tool : {"dbus-daemon", "Xvfb", "dunst", "dunstctl", "busctl"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
        PrivateSessionBus bus;
        if (bus.address().isEmpty())
            QSKIP(qPrintable("no private session bus: " + bus.failure()));
        VirtualDisplay display;
        if (display.name().isEmpty())
            QSKIP(qPrintable(display.failure()));
        NotificationDaemon server(bus, display);
        if (!server.serving())
            QSKIP(qPrintable(server.failure()));
        QDBusConnection client = bus.connect("client");

        FreedesktopNotificationService service(client, [] { return false; });
        std::optional<AuthorizationStatus> status;
        service.notificationSettings([&](AuthorizationStatus s) { status = s; });
        QTRY_VERIFY(status.has_value());
        QCOMPARE(int(*status), int(AuthorizationStatus::authorized));

        const NotificationRequest request{
            "SMOKE",
            "Copied 2 of 3 items to A&B",
            "“a<b>.txt” was moved or deleted before it could be copied.",
            {},
            "transfer.error"};
        std::optional<std::expected<void, NotificationError>> added;
        service.add(request, [&](auto result) { added = result; });
        QTRY_VERIFY(added.has_value());
        QVERIFY2(added->has_value(), textualForm(added->error()).c_str());

        // Closed notifications go to the server's history, where dunstctl reads them.
        service.removeDeliveredNotifications({"SMOKE"});
        QJsonObject shown;
        const bool found = QTest::qWaitFor(
            [&] {
                QProcess history;
                history.setProcessEnvironment(server.environment());
                history.start("dunstctl", {"history"});
                history.waitForFinished(10000);
                const QJsonArray entries = QJsonDocument::fromJson(history.readAllStandardOutput())
                                               .object()
                                               .value("data")
                                               .toArray()
                                               .at(0)
                                               .toArray();
                if (entries.isEmpty())
                    return false;
                shown = entries.at(0).toObject();
                return true;
            },
            10000);
        QVERIFY2(found, "the notification never reached dunst's history");
        // By value: operator[] on the temporary object would hand back a reference into it.
        const auto field = [&](const char* name) -> QJsonValue {
            return shown.value(name).toObject().value("data");
        };
        QCOMPARE(field("appname").toString(), "Ambrevoli");
        QCOMPARE(field("summary").toString(), "Copied 2 of 3 items to A&B");
        // dunst reads the body as markup: the name arrives escaped and shows as it is.
        QCOMPARE(field("body").toString(),
                 "“a&lt;b&gt;.txt” was moved or deleted before it could be copied.");
        QCOMPARE(field("category").toString(), "transfer.error");
        QCOMPARE(field("default_action_name").toString(), "default");
    }
};

QTEST_MAIN(NotificationServerSmokeTest)
#include "notification_server_smoke_test.moc"
