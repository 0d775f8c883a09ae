// The settings road with real processes on a virtual X display: the host opened with
// `ambrevoli --settings`, later starts handing the settings URL to it, and the desktop's startup
// tokens each start carried. A listener on the display's root window plays the window manager's
// part: it hears the startup notification messages and the activation requests, and reads the
// windows' properties.

#include "desktop_fakes.h"
#include "handoff_url.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace {

// A process that dies with the test, however the test ends.
using Child = ambrevoli::testing::HelperProcess;

// What a window manager hears on the root window, and what it can read of the windows.
class RootListener {
public:
    ~RootListener()
    {
        if (m_connection)
            xcb_disconnect(m_connection);
    }

    bool connect(const QByteArray& display)
    {
        m_connection = xcb_connect(display.constData(), nullptr);
        if (xcb_connection_has_error(m_connection))
            return false;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        // Activation requests are for a window manager that says it takes them.
        const xcb_atom_t supported = atom("_NET_ACTIVE_WINDOW");
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, atom("_NET_SUPPORTED"),
                            XCB_ATOM_ATOM, 32, 1, &supported);
        xcb_flush(m_connection);
        return true;
    }

    struct Activation {
        xcb_window_t window;
        uint32_t time;
    };

    // The complete startup notification messages heard so far, in order.
    const QList<QByteArray>& startupMessages()
    {
        poll();
        return m_startupMessages;
    }
    const QList<Activation>& activations()
    {
        poll();
        return m_activations;
    }

    // The mapped top-level windows titled `title`.
    QList<xcb_window_t> shownWindows(const QByteArray& title)
    {
        QList<xcb_window_t> found;
        auto tree = reply(
            xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
        if (!tree)
            return found;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            auto attributes = reply(xcb_get_window_attributes_reply(
                m_connection, xcb_get_window_attributes(m_connection, children[i]), nullptr));
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                property(children[i], "_NET_WM_NAME") == title)
                found << children[i];
        }
        return found;
    }

    QByteArray property(xcb_window_t window, const char* name)
    {
        auto value =
            reply(xcb_get_property_reply(m_connection,
                                         xcb_get_property(m_connection, 0, window, atom(name),
                                                          XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
                                         nullptr));
        if (!value)
            return {};
        return QByteArray(static_cast<const char*>(xcb_get_property_value(value.get())),
                          xcb_get_property_value_length(value.get()));
    }

    // Asks `window` to close, as a window manager's close button does.
    void close(xcb_window_t window)
    {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(m_connection, 0, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(m_connection);
    }

private:
    template <class T> static std::unique_ptr<T, decltype(&std::free)> reply(T* value)
    {
        return {value, &std::free};
    }

    xcb_atom_t atom(const char* name)
    {
        auto value = reply(xcb_intern_atom_reply(
            m_connection,
            xcb_intern_atom(m_connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
            nullptr));
        return value ? value->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    void poll()
    {
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE)
                heard(*reinterpret_cast<xcb_client_message_event_t*>(event));
            std::free(event);
        }
    }

    void heard(const xcb_client_message_event_t& event)
    {
        if (event.type == atom("_NET_ACTIVE_WINDOW") && event.format == 32) {
            m_activations << Activation{event.window, event.data.data32[1]};
            return;
        }
        const bool begins = event.type == atom("_NET_STARTUP_INFO_BEGIN");
        if ((!begins && event.type != atom("_NET_STARTUP_INFO")) || event.format != 8)
            return;
        QByteArray& partial = m_partial[event.window];
        if (begins)
            partial.clear();
        const char* bytes = reinterpret_cast<const char*>(event.data.data8);
        const qsizetype length = qstrnlen(bytes, 20);
        partial.append(bytes, length);
        if (length < 20)
            m_startupMessages << std::exchange(partial, QByteArray());
    }

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    std::map<xcb_window_t, QByteArray> m_partial;
    QList<QByteArray> m_startupMessages;
    QList<Activation> m_activations;
};

} // namespace

class SettingsEndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<Child> m_display;
    QByteArray m_displayName;
    std::unique_ptr<RootListener> m_root;
    std::unique_ptr<Child> m_host;
    QString m_log;
    // For the notifications: a session bus and a stand-in notification server on it.
    std::unique_ptr<ambrevoli::testing::PrivateSessionBus> m_bus;
    std::unique_ptr<ambrevoli::testing::FakeNotificationServer> m_server;

    QProcessEnvironment environment(const QString& startupID) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_temp->filePath("home"));
        env.insert("XDG_DATA_HOME", m_temp->filePath("home/.local/share"));
        env.insert("XDG_CONFIG_HOME", m_temp->filePath("home/.config"));
        env.insert("XDG_RUNTIME_DIR", m_temp->filePath("run"));
        env.insert("AMBREVOLI_LOG", "stderr");
        env.insert("AMBREVOLI_HOST", AMBREVOLI_HOST_BINARY); // whom ambrevoli-send wakes
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", QString::fromUtf8(m_displayName));
        env.remove("WAYLAND_DISPLAY");
        env.remove("XDG_ACTIVATION_TOKEN");
        env.remove("DESKTOP_STARTUP_ID");
        // Never the developer's own session: without a private bus the host has none.
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        env.remove("XDG_CURRENT_DESKTOP");
        if (m_bus)
            env.insert("DBUS_SESSION_BUS_ADDRESS", m_bus->address());
        if (!startupID.isEmpty())
            env.insert("DESKTOP_STARTUP_ID", startupID);
        return env;
    }

    // A later start of the host with `arguments`, as a launcher with `startupID` makes it.
    int laterStart(const QStringList& arguments, const QString& startupID)
    {
        Child start;
        start.setProcessEnvironment(environment(startupID));
        start.start(AMBREVOLI_HOST_BINARY, arguments);
        if (!start.waitForFinished(20000))
            return -1;
        return start.exitStatus() == QProcess::NormalExit ? start.exitCode() : -1;
    }

    bool heardStartupEnd(const QByteArray& startupID)
    {
        return QTest::qWaitFor(
            [&] { return m_root->startupMessages().contains("remove: ID=" + startupID); }, 20000);
    }

    bool heardActivation(xcb_window_t window, uint32_t time)
    {
        return QTest::qWaitFor(
            [&] {
                for (const auto& activation : m_root->activations())
                    if (activation.window == window && activation.time == time)
                        return true;
                return false;
            },
            20000);
    }

    QList<xcb_window_t> settingsWindows() { return m_root->shownWindows("Ambrevoli Settings"); }

    void startHost(const QStringList& arguments, const QString& startupID)
    {
        m_host = std::make_unique<Child>();
        m_host->setProcessEnvironment(environment(startupID));
        connect(m_host.get(), &QProcess::readyReadStandardError, this, [this, host = m_host.get()] {
            m_log += QString::fromUtf8(host->readAllStandardError());
        });
        m_host->start(AMBREVOLI_HOST_BINARY, arguments);
        QVERIFY(m_host->waitForStarted());
    }

private slots:
    void init()
    {
        if (QStandardPaths::findExecutable("Xvfb").isEmpty())
            QSKIP("Xvfb is not installed (scripts/install-deps installs it)");
        m_temp = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(m_temp->filePath("run")));
        QVERIFY(QFile::setPermissions(m_temp->filePath("run"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_log.clear();
        // Xvfb picks a free display and writes its number to the descriptor given.
        m_display = std::make_unique<Child>();
        m_display->start("Xvfb",
                         {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        if (!QTest::qWaitFor([&] { return m_display->canReadLine(); }, 10000))
            QSKIP(qPrintable("Xvfb didn't start: " + m_display->readAllStandardError()));
        m_displayName = ":" + m_display->readLine().trimmed();
        m_root = std::make_unique<RootListener>();
        QVERIFY(m_root->connect(m_displayName));
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "The host logged:\n" << m_log;
        m_host.reset();
        m_server.reset();
        m_bus.reset();
        m_root.reset();
        m_display.reset();
        m_temp.reset();
    }

    // The first start opens the window with its startup token; later starts hand the settings
    // URL and their own tokens over, and the one window comes to the front with each.
    void everyStartBringsTheOneWindowToTheFront()
    {
        startHost({"--settings"}, "first_TIME1000");

        QVERIFY2(heardStartupEnd("first_TIME1000"), "the first start's startup never ended");
        const QList<xcb_window_t> windows = settingsWindows();
        QCOMPARE(windows.size(), 1);
        const xcb_window_t window = windows.first();
        QCOMPARE(m_root->property(window, "_NET_STARTUP_ID"), "first_TIME1000");
        QVERIFY(heardActivation(window, 1000));

        // Send To › Edit Destinations… while the window is open.
        const QString settingsURL = QString::fromStdString(ambrevoli::HandoffURL::settings().url());
        QCOMPARE(laterStart({settingsURL}, "second_TIME2000"), 0);
        QVERIFY2(heardStartupEnd("second_TIME2000"), "the second start's startup never ended");
        QVERIFY(heardActivation(window, 2000));
        QCOMPARE(settingsWindows(), windows);

        // Closed, then asked for again: it shows again, alone. (Qt gives a window closed by
        // the window manager a new X window when it shows again.)
        m_root->close(window);
        QVERIFY(QTest::qWaitFor([&] { return settingsWindows().isEmpty(); }, 20000));
        QCOMPARE(laterStart({"--settings"}, "third_TIME3000"), 0);
        QVERIFY2(heardStartupEnd("third_TIME3000"), "the third start's startup never ended");
        const QList<xcb_window_t> again = settingsWindows();
        QCOMPARE(again.size(), 1);
        QCOMPARE(m_root->property(again.first(), "_NET_STARTUP_ID"), "third_TIME3000");
        QVERIFY(heardActivation(again.first(), 3000));
        QCOMPARE(m_host->state(), QProcess::Running);
    }

    // A start that opens no window still ends the desktop's wait for one, at once.
    void aStartWithoutAWindowEndsItsStartup()
    {
        startHost({"--background"}, "first_TIME1000");
        QVERIFY2(heardStartupEnd("first_TIME1000"), "the first start's startup never ended");

        const QString folder = m_temp->filePath("home/Photos");
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(laterStart({"--add-destination", folder}, "later_TIME2000"), 0);
        QVERIFY2(heardStartupEnd("later_TIME2000"), "the later start's startup never ended");
        QVERIFY(settingsWindows().isEmpty());
        QVERIFY(m_root->activations().isEmpty());
    }

    // A click on a copy notification whose destination folder is gone since.
    void aClickOnANotificationWhoseFolderIsGoneOpensTheWindow()
    {
        m_bus = std::make_unique<ambrevoli::testing::PrivateSessionBus>();
        if (m_bus->address().isEmpty())
            QSKIP(qPrintable("no private session bus: " + m_bus->failure()));
        m_server = std::make_unique<ambrevoli::testing::FakeNotificationServer>();
        QVERIFY(m_server->serve(m_bus->connect("notifications")));
        startHost({"--background"}, {});
        QVERIFY(QTest::qWaitFor([&] { return m_log.contains("Ambrevoli started"); }, 20000));

        const QString drop = m_temp->filePath("home/Drop");
        QVERIFY(QDir().mkpath(drop));
        QCOMPARE(laterStart({"--add-destination", drop}, {}), 0);
        QFile file(m_temp->filePath("photo.jpg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        // The host adds the folder right after the later start ended.
        const auto sent = QTest::qWaitFor(
            [&] {
                Child send;
                send.setProcessEnvironment(environment({}));
                send.start(AMBREVOLI_SEND_BINARY, {"--to", "Drop", file.fileName()});
                return send.waitForFinished(20000) && send.exitCode() == 0;
            },
            20000);
        QVERIFY2(sent, "ambrevoli-send never found the destination");
        QVERIFY(QTest::qWaitFor([&] { return m_server->notifications.size() == 1; }, 20000));
        QVERIFY(settingsWindows().isEmpty());

        QVERIFY(QDir(drop).removeRecursively());
        emit m_server->ActionInvoked(m_server->notifications[0].id, "default");
        QVERIFY(QTest::qWaitFor([&] { return settingsWindows().size() == 1; }, 20000));
    }
};

QTEST_GUILESS_MAIN(SettingsEndToEndTest)
#include "settings_end_to_end_test.moc"
