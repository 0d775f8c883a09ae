// The whole road with real processes: a running host, ambrevoli-send and later host starts
// handing their URLs over, a private session bus with a stand-in notification server, and a
// throwaway home. Nothing touches the developer's own files or desktop session.

#include "desktop_fakes.h"

#include "date_time.h"
#include "destination_store.h"
#include "handoff_url.h"
#include "request_inbox.h"
#include "send_request.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>

using namespace ambrevoli;
using namespace ambrevoli::testing;
namespace fs = std::filesystem;

class HostEndToEndTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<PrivateSessionBus> m_bus;
    std::unique_ptr<FakeNotificationServer> m_server;
    std::unique_ptr<HelperProcess> m_host;
    QString m_log;

    std::string path(std::string_view relative) const
    {
        return m_temp->path().toStdString() + "/" + std::string(relative);
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(path("home")));
        env.insert("XDG_DATA_HOME", QString::fromStdString(path("home/.local/share")));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(path("run")));
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_bus->address());
        env.insert("AMBREVOLI_HOST", AMBREVOLI_HOST_BINARY);
        env.insert("AMBREVOLI_LOG", "stderr");
        env.insert("AMBREVOLI_LOG_PRIVATE", "1");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        return env;
    }

    struct Run {
        int exitCode = -1;
        QString out, err;
    };

    // Runs a short-lived program in the test's environment, in `folder` when given.
    Run runCapturing(const QString& program, const QStringList& arguments,
                     const QString& folder = {})
    {
        HelperProcess process;
        process.setProcessEnvironment(environment());
        if (!folder.isEmpty())
            process.setWorkingDirectory(folder);
        process.start(program, arguments);
        if (!process.waitForFinished(20000))
            return {};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    int run(const QString& program, const QStringList& arguments)
    {
        return runCapturing(program, arguments).exitCode;
    }

    int send(const QString& destination, const QStringList& files)
    {
        return run(AMBREVOLI_SEND_BINARY, QStringList{"--to", destination} + files);
    }

    int countLog(const QString& text) const { return m_log.count(text); }

    // Waits (running this thread's event loop, which serves the notification server) until
    // the host has logged `text` `count` times.
    bool waitForLog(const QString& text, int count = 1)
    {
        return QTest::qWaitFor([&] { return countLog(text) >= count; }, 20000);
    }

    std::string makeFolder(std::string_view relative) const
    {
        fs::create_directories(path(relative));
        return path(relative);
    }

    void writeFile(std::string_view relative, std::string_view text) const
    {
        fs::create_directories(fs::path(path(relative)).parent_path());
        std::ofstream(path(relative)) << text;
    }

    // Adds a destination through the running host; yields its identifier.
    Uuid addDestination(std::string_view relative)
    {
        const std::string folder = makeFolder(relative);
        if (run(AMBREVOLI_HOST_BINARY, {"--add-destination", QString::fromStdString(folder)}) != 0)
            return Uuid();
        // The later start ends once the host has the folders; the host adds them right after.
        const std::string file = path("home/.local/share/ambrevoli/destinations.json");
        Uuid id;
        const bool added = QTest::qWaitFor(
            [&] {
                const auto store = DestinationStore::load(file);
                for (const Destination& destination :
                     store ? store->destinations() : std::vector<Destination>())
                    if (destination.path() == folder)
                        id = destination.id();
                return id != Uuid();
            },
            10000);
        return added ? id : Uuid();
    }

    std::vector<std::string> listing(std::string_view relative) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path(relative)))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

private slots:
    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        m_log.clear();
        m_bus = std::make_unique<PrivateSessionBus>();
        if (m_bus->address().isEmpty())
            QSKIP(qPrintable("no private session bus: " + m_bus->failure()));
        m_server = std::make_unique<FakeNotificationServer>();
        QVERIFY(m_server->serve(m_bus->connect("notifications")));
        fs::create_directories(path("run"));
        fs::permissions(path("run"), fs::perms::owner_all);

        m_host = std::make_unique<HelperProcess>();
        m_host->setProcessEnvironment(environment());
        connect(m_host.get(), &QProcess::readyReadStandardError, this,
                [this] { m_log += QString::fromUtf8(m_host->readAllStandardError()); });
        m_host->start(AMBREVOLI_HOST_BINARY, {"--background"});
        QVERIFY(m_host->waitForStarted());
        QVERIFY(waitForLog("Ambrevoli started"));
    }

    void cleanup()
    {
        if (m_host) {
            m_host->terminate();
            m_host->waitForFinished(5000);
        }
        m_host.reset();
        m_server.reset();
        m_bus.reset();
        m_temp.reset();
    }

    void aSendCopiesAndNotifies()
    {
        addDestination("home/Drop");
        writeFile("src/photo.jpg", "jpeg");
        writeFile("src/Project/notes.txt", "notes");
        const QStringList files{QString::fromStdString(path("src/photo.jpg")),
                                QString::fromStdString(path("src/Project"))};
        QCOMPARE(send("Drop", files), 0);
        QVERIFY(waitForLog("Copied 2 of 2 items"));
        QCOMPARE(send("Drop", files), 0);
        QVERIFY(waitForLog("Copied 2 of 2 items", 2));

        QCOMPARE(listing("home/Drop"),
                 (std::vector<std::string>{"Project", "Project 2", "photo 2.jpg", "photo.jpg"}));
        QVERIFY(fs::exists(path("home/Drop/Project 2/notes.txt")));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->notifications.size(), 2, 10000);
        QVERIFY(m_server->notifications[0].summary.contains("Drop"));
        // The request files were taken; nothing is left in the inbox.
        QVERIFY(fs::is_empty(path("home/.local/share/ambrevoli/Requests")));
        // One host all along: every later start handed its work over and ended.
        QCOMPARE(m_host->state(), QProcess::Running);
    }

    void outcomesAreLoggedItemByItem()
    {
        addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        const QString gone = QString::fromStdString(path("src/gone.txt"));
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/a.txt")), gone}), 0);
        QVERIFY(waitForLog("default: Copied 1 of 2 items"));
        QVERIFY(waitForLog("default: Destination: Drop at " +
                           QString::fromStdString(path("home/Drop"))));
        QVERIFY(waitForLog("default: Couldn't copy (missing): " + gone));

        // A destination that is gone altogether is the whole request's problem.
        fs::remove_all(path("home/Drop"));
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/a.txt"))}), 0);
        QVERIFY(waitForLog("error: Couldn't copy 1 items: missing"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->notifications.size(), 2, 10000);
        QVERIFY(!fs::exists(path("home/Drop")));
    }

    void theSameRequestRunsOnce()
    {
        const Uuid destination = addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        const SendRequest request(Uuid::random(), now(), destination, {path("src/a.txt")});
        QVERIFY(RequestInbox(path("home/.local/share/ambrevoli/Requests")).write(request));
        const QString url =
            "ambrevoli://send?request=" + QString::fromStdString(request.id().text());
        QCOMPARE(run(AMBREVOLI_HOST_BINARY, {"--background", url}), 0);
        QVERIFY(waitForLog("Copied 1 of 1 items"));
        QCOMPARE(run(AMBREVOLI_HOST_BINARY, {"--background", url}), 0);
        QVERIFY(waitForLog("default: Couldn't read request " +
                           QString::fromStdString(request.id().text()) + ": notFound("));
        QCOMPARE(listing("home/Drop"), std::vector<std::string>{"a.txt"});
    }

    void rejectedRequestsCopyNothing_data()
    {
        QTest::addColumn<double>("age");
        QTest::addColumn<bool>("knownDestination");
        QTest::addColumn<QString>("reason");
        QTest::newRow("expired") << 601.0 << true << "expired";
        // Far ahead: a request dated just past the allowed skew is within it again once the
        // host, slow to start on a busy machine, gets to look at it.
        QTest::newRow("dated in the future") << -3600.0 << true << "datedInTheFuture";
        QTest::newRow("unknown destination") << 0.0 << false << "unknownDestination(";
    }

    void rejectedRequestsCopyNothing()
    {
        QFETCH(double, age);
        QFETCH(bool, knownDestination);
        QFETCH(QString, reason);
        const Uuid destination = addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        const SendRequest request(Uuid::random(), now() - age,
                                  knownDestination ? destination : Uuid::random(),
                                  {path("src/a.txt")});
        QVERIFY(RequestInbox(path("home/.local/share/ambrevoli/Requests")).write(request));
        QCOMPARE(
            run(AMBREVOLI_HOST_BINARY,
                {"--background", QString::fromStdString(HandoffURL::send(request.id()).url())}),
            0);
        QVERIFY(waitForLog("error: Rejected request " +
                           QString::fromStdString(request.id().text()) + ": " + reason));
        QVERIFY(fs::is_empty(path("home/Drop")));
        QVERIFY(fs::is_empty(path("home/.local/share/ambrevoli/Requests")));
        QCOMPARE(m_server->notifications.size(), 0);
    }

    void aRenamedDestinationIsFollowed()
    {
        const Uuid id = addDestination("home/Drop");
        fs::rename(path("home/Drop"), path("home/Renamed"));
        writeFile("src/a.txt", "a");
        QCOMPARE(
            send(QString::fromStdString(id.text()), {QString::fromStdString(path("src/a.txt"))}),
            0);
        QVERIFY(waitForLog("Copied 1 of 1 items"));
        QVERIFY(fs::exists(path("home/Renamed/a.txt")));
        const auto store =
            DestinationStore::load(path("home/.local/share/ambrevoli/destinations.json"));
        QCOMPARE(store->destination(id)->path(), path("home/Renamed"));
        QVERIFY(countLog("Updated the location of moved destinations") >= 1);
    }

    void aBadUrlAmongGoodOnesIsSkipped()
    {
        const Uuid destination = addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        writeFile("src/b.txt", "b");
        const RequestInbox inbox(path("home/.local/share/ambrevoli/Requests"));
        const SendRequest first(Uuid::random(), now(), destination, {path("src/a.txt")});
        const SendRequest third(Uuid::random(), now(), destination, {path("src/b.txt")});
        QVERIFY(inbox.write(first) && inbox.write(third));
        QCOMPARE(run(AMBREVOLI_HOST_BINARY,
                     {"--background", QString::fromStdString(HandoffURL::send(first.id()).url()),
                      "ambrevoli://send?request=nonsense",
                      QString::fromStdString(HandoffURL::send(third.id()).url())}),
                 0);
        QVERIFY(waitForLog("Copied 1 of 1 items", 2));
        QCOMPARE(countLog("Ignored a URL that isn't an Ambrevoli request: "
                          "ambrevoli://send?request=nonsense"),
                 1);
        QCOMPARE(listing("home/Drop"), (std::vector<std::string>{"a.txt", "b.txt"}));
    }

    void theSenderNamesDestinationsClearly()
    {
        const Uuid drop = addDestination("home/Drop");
        const std::string other = makeFolder("home/Other");
        const std::string file = path("home/.local/share/ambrevoli/destinations.json");
        auto store = *DestinationStore::load(file);
        const Uuid second = store.add(other, "Drop");
        QVERIFY(store.save(file));
        writeFile("src/a.txt", "a");

        const Run ambiguous = runCapturing(AMBREVOLI_SEND_BINARY, {"--to", "Drop", "a.txt"});
        QCOMPARE(ambiguous.exitCode, 2);
        QVERIFY(ambiguous.err.contains(QString::fromStdString(drop.text())));
        QVERIFY(ambiguous.err.contains(QString::fromStdString(second.text())));
        QCOMPARE(runCapturing(AMBREVOLI_SEND_BINARY, {"--to", "Nowhere", "a.txt"}).exitCode, 2);
        QCOMPARE(runCapturing(AMBREVOLI_SEND_BINARY, {"--to", "Drop"}).exitCode, 2);

        const Run listed = runCapturing(AMBREVOLI_SEND_BINARY, {"--list"});
        QCOMPARE(listed.exitCode, 0);
        QCOMPARE(listed.out,
                 QString::fromStdString("Drop\t" + path("home/Drop") + "\tpresent\t" + drop.text() +
                                        "\nDrop\t" + other + "\tpresent\t" + second.text() + "\n"));

        // A relative file is the one in the sender's working folder. (The running host knows
        // only the destination it added itself: the file was changed behind its back.)
        const Run sent = runCapturing(AMBREVOLI_SEND_BINARY,
                                      {"--to", QString::fromStdString(drop.text()), "a.txt"},
                                      QString::fromStdString(path("src")));
        QCOMPARE(sent.exitCode, 0);
        QVERIFY(waitForLog("Copied 1 of 1 items"));
        QVERIFY(fs::exists(path("home/Drop/a.txt")));
    }

    void aTerminatedHostFinishesItsCopiesFirst()
    {
        addDestination("home/Drop");
        writeFile("src/big.bin", std::string(256 << 20, 'x'));
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/big.bin"))}), 0);
        QVERIFY(waitForLog("is valid: 1 items found"));
        m_host->terminate();
        QVERIFY(m_host->waitForFinished(60000));
        QCOMPARE(m_host->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_host->exitCode(), 0);
        // The copy was finished, not abandoned under its hidden temporary name.
        QCOMPARE(listing("home/Drop"), std::vector<std::string>{"big.bin"});
        QCOMPARE(fs::file_size(path("home/Drop/big.bin")), std::uintmax_t(256) << 20);
    }

    void twentyParallelSendsAllLand()
    {
        addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        std::vector<std::unique_ptr<HelperProcess>> senders;
        for (int i = 0; i < 20; ++i) {
            auto sender = std::make_unique<HelperProcess>();
            sender->setProcessEnvironment(environment());
            sender->start(AMBREVOLI_SEND_BINARY,
                          {"--to", "Drop", QString::fromStdString(path("src/a.txt"))});
            senders.push_back(std::move(sender));
        }
        for (auto& sender : senders) {
            QVERIFY(sender->waitForFinished(20000));
            QCOMPARE(sender->exitCode(), 0);
        }
        QVERIFY(waitForLog("Copied 1 of 1 items", 20));
        const auto names = listing("home/Drop");
        QCOMPARE(names.size(), 20u);
        QCOMPARE(names.front(), std::string("a 10.txt"));
        QCOMPARE(names.back(), std::string("a.txt"));
    }
};

QTEST_GUILESS_MAIN(HostEndToEndTest)
#include "host_end_to_end_test.moc"
