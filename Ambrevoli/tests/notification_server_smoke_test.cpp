#include "freedesktop_notification_service.h"
#include "result_notifier.h"

#include "copy_summary.h"
#include "desktop_fakes.h"
#include "qt_translation.h"
#include "scoped_language.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>

using namespace ambrevoli;
using namespace ambrevoli::testing;

namespace {

// What `display` shows, or a null image when it can't be read.
QImage pictureOf(const QString& display)
{
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        xcb_connect(display.toLocal8Bit().constData(), nullptr), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        return {};
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data;
    const std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> reply(
        xcb_get_image_reply(connection.get(),
                            xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root,
                                          0, 0, screen->width_in_pixels, screen->height_in_pixels,
                                          ~0u),
                            nullptr),
        &std::free);
    // A 24-bit display sends 32 bits a pixel, in the order QImage's RGB32 reads them.
    if (!reply || reply->depth != 24 ||
        xcb_get_image_data_length(reply.get()) <
            int(screen->width_in_pixels) * screen->height_in_pixels * 4)
        return {};
    return QImage(xcb_get_image_data(reply.get()), screen->width_in_pixels,
                  screen->height_in_pixels, QImage::Format_RGB32)
        .copy();
}

// What `display` shows once something is drawn on it (within 10 seconds), or a null image.
QImage drawnPicture(const QString& display)
{
    const auto drawn = [](const QImage& picture) {
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                if (picture.pixel(x, y) != picture.pixel(0, 0))
                    return true;
        return false;
    };
    QImage shown;
    if (!QTest::qWaitFor(
            [&] {
                shown = pictureOf(display);
                return !shown.isNull() && drawn(shown);
            },
            10000))
        return {};
    return shown;
}

// A private session bus and a virtual display for a real notification server, or why there
// can be none here.
struct RealDesktop {
    PrivateSessionBus bus;
    VirtualDisplay display;

    std::optional<QString> unavailableReason(std::initializer_list<const char*> tools) const
    {
        for (const char* tool : tools)
            if (QStandardPaths::findExecutable(tool).isEmpty())
                return QStringLiteral("%1 is not installed").arg(tool);
        if (bus.address().isEmpty())
            return "no private session bus: " + bus.failure();
        if (display.name().isEmpty())
            return display.failure();
        return std::nullopt;
    }
};

} // namespace

// Posts to a real notification server (dunst on a virtual X display and a private bus) and
// reads the notification back from the server's history.
class NotificationServerSmokeTest : public QObject {
    Q_OBJECT

    // The server's history, newest first.
    static QJsonArray history(const NotificationDaemon& server)
    {
        QProcess dunstctl;
        dunstctl.setProcessEnvironment(server.environment());
        dunstctl.start("dunstctl", {"history"});
        dunstctl.waitForFinished(10000);
        return QJsonDocument::fromJson(dunstctl.readAllStandardOutput())
            .object()
            .value("data")
            .toArray()
            .at(0)
            .toArray();
    }

    // Posts `request` and saves what the server draws as `screenshot` in the screenshots'
    // folder. dunst draws the notification a moment later, on the empty display.
    static void postAndKeepItsPicture(FreedesktopNotificationService& service,
                                      const NotificationRequest& request,
                                      const VirtualDisplay& display, const QString& screenshot)
    {
        std::optional<std::expected<void, NotificationError>> added;
        service.add(request, [&](auto result) { added = result; });
        QTRY_VERIFY(added.has_value());
        QVERIFY2(added->has_value(), textualForm(added->error()).c_str());

        const QImage shown = drawnPicture(display.name());
        QVERIFY(!shown.isNull());
        QVERIFY(QDir().mkpath(AMBREVOLI_SCREENSHOT_DIR));
        QVERIFY(shown.save(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR "/") + screenshot));
    }

    // Withdraws the notification `id` and sets `entry` to what the server's history keeps of it.
    static void withdrawIntoHistory(FreedesktopNotificationService& service,
                                    const NotificationDaemon& server, const QString& id,
                                    QJsonObject& entry)
    {
        service.removeDeliveredNotifications({id});
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         const QJsonArray entries = history(server);
                         entry = entries.at(0).toObject();
                         return !entries.isEmpty();
                     },
                     10000),
                 "the notification never reached dunst's history");
    }

private slots:
    void aRealServerShowsTheProgressOfACopy()
    {
        RealDesktop desktop;
        if (const auto reason =
                desktop.unavailableReason({"dbus-daemon", "Xvfb", "dunst", "dunstctl"}))
            QSKIP(qPrintable(*reason));
        PrivateSessionBus& bus = desktop.bus;
        const VirtualDisplay& display = desktop.display;
        NotificationDaemon server(bus, display);
        if (!server.serving())
            QSKIP(qPrintable(server.failure()));
        FreedesktopNotificationService service(bus.connect("client"), [] { return false; });

        NotificationRequest request{
            "COPY", "Copying 3 items to Backups", "1.6 GB of 4.7 GB", {}, "transfer"};
        request.actions = {{"cancel", "Cancel"}};
        request.percentDone = 34;
        request.expires = false;
        postAndKeepItsPicture(service, request, display, "notification-progress.png");
        if (QTest::currentTestFailed())
            return;

        QJsonObject entry;
        withdrawIntoHistory(service, server, "COPY", entry);
        if (QTest::currentTestFailed())
            return;
        const auto field = [&](const char* name) -> QJsonValue {
            return entry.value(name).toObject().value("data");
        };
        QCOMPARE(field("summary").toString(), "Copying 3 items to Backups");
        QCOMPARE(field("body").toString(), "1.6 GB of 4.7 GB");
        QCOMPARE(field("progress").toInt(), 34);
        QCOMPARE(field("category").toString(), "transfer");
    }

    // A copy's progress as the notifier words it, in German and in the pseudo-locale, drawn by a
    // real server: the picture shows whether the longer words still fit.
    void theProgressReadsInTheUsersLanguage_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("title");
        QTest::newRow("de") << "de"
                            << "22 Elemente werden nach Sicherungen kopiert";
        QTest::newRow("pseudo") << "pseudo"
                                << "[Copying 22 items to Sicherungen ~~~~~~~~~]";
    }
    void theProgressReadsInTheUsersLanguage()
    {
        QFETCH(QString, language);
        QFETCH(QString, title);
        RealDesktop desktop;
        if (const auto reason =
                desktop.unavailableReason({"dbus-daemon", "Xvfb", "dunst", "dunstctl"}))
            QSKIP(qPrintable(*reason));
        testing::ScopedLanguage chosen(language.toStdString());
        PrivateSessionBus& bus = desktop.bus;
        const VirtualDisplay& display = desktop.display;
        NotificationDaemon server(bus, display);
        if (!server.serving())
            QSKIP(qPrintable(server.failure()));
        FreedesktopNotificationService service(bus.connect("client"), [] { return false; });

        CopyProgress progress;
        progress.itemsTotal = 22;
        progress.itemsDone = 7;
        progress.bytesDone = 1'600'000'000;
        progress.bytesTotal = 4'700'000'000;
        const CopyProgressSummary summary(progress, "Sicherungen");
        NotificationRequest request{"COPY",
                                    QString::fromStdString(summary.title),
                                    QString::fromStdString(summary.body),
                                    {},
                                    "transfer"};
        request.actions = {{"cancel", uiText("Cancel")}};
        request.percentDone = 34;
        request.expires = false;
        postAndKeepItsPicture(service, request, display,
                              QStringLiteral("notification-progress-%1.png").arg(language));
        if (QTest::currentTestFailed())
            return;

        QJsonObject entry;
        withdrawIntoHistory(service, server, "COPY", entry);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(entry.value("summary").toObject().value("data").toString(), title);
    }

    // The Undo of a copy's notification as a person picks it in the server's menu of actions:
    // dunst hands that menu to a dmenu-like program, here one that picks "Undo" and shows what it
    // was offered, or the real dmenu, where the test types as a person would.
    void theUndoActionWorksThroughARealServer_data()
    {
        QTest::addColumn<bool>("realMenu");
        QTest::newRow("a program that picks") << false;
        QTest::newRow("dmenu") << true;
    }

    void theUndoActionWorksThroughARealServer()
    {
        QFETCH(bool, realMenu);
        RealDesktop desktop;
        if (const auto reason =
                desktop.unavailableReason({"dbus-daemon", "Xvfb", "dunst", "dunstctl"}))
            QSKIP(qPrintable(*reason));
        if (realMenu)
            if (const auto reason = desktop.unavailableReason({"dmenu", "xdotool"}))
                QSKIP(qPrintable(*reason));
        PrivateSessionBus& bus = desktop.bus;
        const VirtualDisplay& display = desktop.display;
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString menu = folder.filePath("pick-undo");
        QFile script(menu);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\ncat > \"$0.offered\"\ngrep -m1 Undo \"$0.offered\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QByteArray dmenu = realMenu ? QByteArray("dmenu -l 8 -p Actions") : menu.toUtf8();
        NotificationDaemon server(bus, display, "[global]\n    dmenu = " + dmenu + "\n");
        if (!server.serving())
            QSKIP(qPrintable(server.failure()));
        FreedesktopNotificationService service(bus.connect("client"), [] { return false; });
        ResultNotifier notifier(service, {}, {}, [](const QString&, auto done) { done(true); });
        service.setDelegate(&notifier);
        QString undone;
        notifier.setUndo([&](const QString& copy) { undone = copy; });

        CopyReport report;
        report.destination = "/home/ann/Backups";
        report.itemCount = 2;
        report.copied = {{"/home/ann/a.pdf", "/home/ann/Backups/a.pdf", false},
                         {"/home/ann/Photos", "/home/ann/Backups/Photos", true}};
        notifier.postCopyNotification(report, "Backups", "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
        QTRY_VERIFY(!notifier.isDelivering());

        const QImage shown = drawnPicture(display.name());
        QVERIFY(!shown.isNull());
        QVERIFY(QDir().mkpath(AMBREVOLI_SCREENSHOT_DIR));
        QVERIFY(shown.save(AMBREVOLI_SCREENSHOT_DIR "/notification-undo.png"));

        QProcess context;
        context.setProcessEnvironment(server.environment());
        context.start("dunstctl", {"context"});
        if (realMenu) {
            // The menu is up once its window is; then what it offers is seen, and picked.
            const auto xdotool = [&](const QStringList& arguments) {
                QProcess tool;
                tool.setProcessEnvironment(server.environment());
                tool.start("xdotool", arguments);
                return tool.waitForFinished(10000) && tool.exitCode() == 0;
            };
            QVERIFY(QTest::qWaitFor([&] { return xdotool({"search", "--class", "dmenu"}); },
                                    10000));
            QImage offeredMenu;
            QVERIFY(QTest::qWaitFor(
                [&] {
                    offeredMenu = pictureOf(display.name());
                    return !offeredMenu.isNull() && offeredMenu != shown;
                },
                10000));
            QVERIFY(offeredMenu.save(AMBREVOLI_SCREENSHOT_DIR "/notification-undo-menu.png"));
            QVERIFY(xdotool({"type", "--delay", "20", "Undo"}));
            QVERIFY(xdotool({"key", "Return"}));
            QTRY_COMPARE_WITH_TIMEOUT(undone, "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F", 10000);
            return;
        }
        QVERIFY(context.waitForFinished(10000));
        QTRY_COMPARE_WITH_TIMEOUT(undone, "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F", 10000);
        QFile offered(menu + ".offered");
        QVERIFY(offered.open(QIODevice::ReadOnly));
        QVERIFY2(offered.readAll().contains("Undo"), "the server's menu didn't offer Undo");
    }

    void aRealServerShowsWhatWasPosted()
    {
        RealDesktop desktop;
        if (const auto reason =
                desktop.unavailableReason({"dbus-daemon", "Xvfb", "dunst", "dunstctl", "busctl"}))
            QSKIP(qPrintable(*reason));
        PrivateSessionBus& bus = desktop.bus;
        const VirtualDisplay& display = desktop.display;
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
