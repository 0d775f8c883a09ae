// The whole road with real processes: a running host, ambrevoli-send and later host starts
// handing their URLs over, a private session bus with a stand-in notification server, and a
// throwaway home. Nothing touches the developer's own files or desktop session.

#include "host_session.h"

#include "date_time.h"
#include "destination_store.h"
#include "handoff_url.h"
#include "request_inbox.h"
#include "send_request.h"
#include "slow_source.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTest>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <signal.h>

using namespace ambrevoli;
using namespace ambrevoli::testing;
namespace fs = std::filesystem;

class HostEndToEndTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<HostSession> m_session;

    std::string path(std::string_view relative) const { return m_session->path(relative); }
    QProcessEnvironment environment() const { return m_session->environment(); }
    QList<FakeNotificationServer::Notification>& notifications()
    {
        return m_session->server().notifications;
    }

    using Run = HostSession::Run;

    Run runCapturing(const QString& program, const QStringList& arguments,
                     const QString& folder = {})
    {
        return m_session->run(program, arguments, folder);
    }

    int run(const QString& program, const QStringList& arguments)
    {
        return runCapturing(program, arguments).exitCode;
    }

    int send(const QString& destination, const QStringList& files)
    {
        return run(AMBREVOLI_SEND_BINARY, QStringList{"--to", destination} + files);
    }

    std::string src(int i, std::string_view name) const
    {
        return path("src/" + std::string(name) + "-" + std::to_string(i));
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

    std::unique_ptr<QProcess> startHost(const QStringList& arguments, QString* log)
    {
        return m_session->startHost(arguments, log);
    }

    std::vector<std::string> listing(std::string_view relative) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path(relative)))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    // A copy from a slowed-down source, so that it lasts a few seconds; or the reason there can
    // be none here.
    std::expected<void, std::string> startSlowCopy(const std::vector<SlowSource::File>& files,
                                                   std::uint64_t bytesPerSecond)
    {
        if (addDestination("home/Drop") == Uuid())
            return std::unexpected("the destination could not be added");
        const auto sources = m_session->mountSlowSource("slow", files, bytesPerSecond);
        if (!sources)
            return std::unexpected(sources.error());
        if (send("Drop", *sources) != 0)
            return std::unexpected("the send failed");
        return {};
    }

    // The progress notification, once it showed.
    std::optional<FakeNotificationServer::Notification> waitForProgressNotification()
    {
        const auto progress = [&] {
            return std::find_if(notifications().begin(), notifications().end(),
                                [](const auto& n) { return n.summary.startsWith("Copying "); });
        };
        if (!QTest::qWaitFor([&] { return progress() != notifications().end(); }, 20000))
            return std::nullopt;
        return *progress();
    }

    // The request identifier `ambrevoli-send --wait` printed first.
    static QString requestOf(const Run& sent)
    {
        static const QRegularExpression line(QStringLiteral("^Request ([0-9A-F-]{36})\n"));
        return line.match(sent.out).captured(1);
    }

    QString trashInfo(std::string_view name) const
    {
        std::ifstream file(path("home/.local/share/Trash/info/" + std::string(name) +
                                ".trashinfo"));
        return QString::fromStdString(std::string(std::istreambuf_iterator<char>(file), {}));
    }

private slots:
    // The titles of the windows the host logged showing, in order.
    static QStringList windowsShown(const QString& log)
    {
        static const QRegularExpression shown(QStringLiteral("Showed the window \"([^\"]*)\""));
        QStringList titles;
        for (const auto& match : shown.globalMatch(log))
            titles << match.captured(1);
        return titles;
    }

    void init()
    {
        m_session = std::make_unique<HostSession>();
        if (const auto reason = m_session->unavailableReason())
            QSKIP(qPrintable(*reason));
        const QString failure = m_session->start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanup() { m_session.reset(); }

    void aSendCopiesAndNotifies()
    {
        addDestination("home/Drop");
        writeFile("src/photo.jpg", "jpeg");
        writeFile("src/Project/notes.txt", "notes");
        const QStringList files{QString::fromStdString(path("src/photo.jpg")),
                                QString::fromStdString(path("src/Project"))};
        QCOMPARE(send("Drop", files), 0);
        QVERIFY(m_session->waitForLog("Copied 2 of 2 items"));
        QCOMPARE(send("Drop", files), 0);
        QVERIFY(m_session->waitForLog("Copied 2 of 2 items", 2));

        QCOMPARE(listing("home/Drop"),
                 (std::vector<std::string>{"Project", "Project 2", "photo 2.jpg", "photo.jpg"}));
        QVERIFY(fs::exists(path("home/Drop/Project 2/notes.txt")));
        QTRY_COMPARE_WITH_TIMEOUT(notifications().size(), 2, 10000);
        QVERIFY(notifications()[0].summary.contains("Drop"));
        // The request files were taken; nothing is left in the inbox.
        QVERIFY(fs::is_empty(path("home/.local/share/ambrevoli/Requests")));
        // One host all along: every later start handed its work over and ended.
        QCOMPARE(m_session->host().state(), QProcess::Running);
    }

    void aSendGoesToTheRunningHostAndStartsOneOnlyWhenNoneRuns()
    {
        addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/a.txt"))}), 0);
        QVERIFY(m_session->waitForLog("Copied 1 of 1 items"));
        QCOMPARE(m_session->hostStarts().size(), 0u);

        QVERIFY(m_session->stopHost());
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/a.txt"))}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_session->hostStarts().size(), 1u, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(path("home/Drop/a 2.txt")), 20000);
        // The started host is the host now: the next send goes to it.
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/a.txt"))}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(path("home/Drop/a 3.txt")), 20000);
        QCOMPARE(m_session->hostStarts().size(), 1u);
    }

    void waitTellsTheOutcome_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("destinationGone");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines"); // after the first; {} stands for the test's folder
        QTest::newRow("all copied")
            << QStringList{"a.txt", "b.txt"} << false << 0
            << QStringList{"Copied 2 of 2 items", "Destination: Drop at {}/home/Drop"};
        QTest::newRow("one missing")
            << QStringList{"a.txt", "gone.txt"} << false << 1
            << QStringList{"Copied 1 of 2 items", "Destination: Drop at {}/home/Drop",
                           "Couldn't copy (missing): {}/src/gone.txt"};
        // A name that would command the terminal is printed escaped.
        QTest::newRow("control characters in a name")
            << QStringList{"a.txt", "gone\x1B]0;owned\x07.txt"} << false << 1
            << QStringList{"Copied 1 of 2 items", "Destination: Drop at {}/home/Drop",
                           "Couldn't copy (missing): {}/src/gone\\x1B]0;owned\\x07.txt"};
        QTest::newRow("destination gone")
            << QStringList{"a.txt"} << true << 1
            << QStringList{"Couldn't copy 1 items: missing", "Destination: Drop at {}/home/Drop"};
    }

    void waitTellsTheOutcome()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, destinationGone);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        writeFile("src/b.txt", "b");
        if (destinationGone)
            fs::remove_all(path("home/Drop"));
        QStringList arguments{"--wait", "--to", "Drop"};
        for (const QString& file : files)
            arguments << QString::fromStdString(path("src/")) + file;

        const Run sent = runCapturing(AMBREVOLI_SEND_BINARY, arguments);
        QCOMPARE(sent.exitCode, exitCode);
        QStringList printed = sent.out.split('\n', Qt::SkipEmptyParts);
        // The identifier comes first, alone, for a script to undo the send by.
        const QString request = "Request " + requestOf(sent);
        QVERIFY2(printed.size() >= 2 && printed.takeFirst() == request &&
                     printed.takeFirst().startsWith(request + " is valid: "),
                 qPrintable(sent.out));
        QVERIFY2(printed == lines.replaceInStrings("{}", m_session->folder()),
                 qPrintable(sent.out + sent.err));
        QCOMPARE(m_session->hostStarts().size(), 0u);
    }

    // Fifty senders waiting at once, to five destinations, each with a file of its own and a
    // missing one of its own: each hears its own request's outcome, and only its own.
    void fiftyWaitingSendsEachHearTheirOwnOutcome()
    {
        constexpr int senders = 50, destinations = 5;
        for (int d = 0; d < destinations; ++d)
            QVERIFY(addDestination("home/D" + std::to_string(d)) != Uuid());
        std::vector<std::unique_ptr<HelperProcess>> processes;
        for (int i = 0; i < senders; ++i) {
            writeFile("src/file-" + std::to_string(i), "f");
            auto process = std::make_unique<HelperProcess>();
            process->setProcessEnvironment(environment());
            process->start(AMBREVOLI_SEND_BINARY,
                           {"--wait", "--to", "D" + QString::number(i % destinations),
                            QString::fromStdString(src(i, "file")),
                            QString::fromStdString(src(i, "gone"))});
            processes.push_back(std::move(process));
        }
        QSet<QString> requests;
        for (int i = 0; i < senders; ++i) {
            HelperProcess& process = *processes[std::size_t(i)];
            QVERIFY(process.waitForFinished(60000));
            const QString out = QString::fromUtf8(process.readAllStandardOutput());
            QCOMPARE(process.exitCode(), 1);
            const QString folder =
                QString::fromStdString(path("home/D" + std::to_string(i % destinations)));
            QStringList printed = out.split('\n', Qt::SkipEmptyParts);
            QVERIFY2(printed.size() == 5,
                     qPrintable(out + QString::fromUtf8(process.readAllStandardError())));
            QVERIFY(printed.takeFirst().startsWith("Request "));
            const QString first = printed.takeFirst();
            QVERIFY2(first.startsWith("Request ") &&
                         first.endsWith(" is valid: 1 items found, 1 missing"),
                     qPrintable(first));
            requests.insert(first);
            QCOMPARE(printed,
                     (QStringList{
                         "Copied 1 of 2 items",
                         "Destination: D" + QString::number(i % destinations) + " at " + folder,
                         "Couldn't copy (missing): " + QString::fromStdString(src(i, "gone"))}));
            QVERIFY(fs::exists(folder.toStdString() + "/file-" + std::to_string(i)));
        }
        QCOMPARE(requests.size(), senders);
    }

    void waitStartsAHostWhenNoneRuns()
    {
        addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        QVERIFY(m_session->stopHost());
        const Run sent =
            runCapturing(AMBREVOLI_SEND_BINARY,
                         {"--wait", "--to", "Drop", QString::fromStdString(path("src/a.txt"))});
        QCOMPARE(sent.exitCode, 0);
        QVERIFY2(sent.out.contains("\nCopied 1 of 1 items\n"), qPrintable(sent.out));
        QVERIFY(fs::exists(path("home/Drop/a.txt")));
        QCOMPARE(m_session->hostStarts().size(), 1u);
    }

    void outcomesAreLoggedItemByItem()
    {
        addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        const QString gone = QString::fromStdString(path("src/gone.txt"));
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/a.txt")), gone}), 0);
        QVERIFY(m_session->waitForLog("default: Copied 1 of 2 items"));
        QVERIFY(m_session->waitForLog("default: Destination: Drop at " +
                                      QString::fromStdString(path("home/Drop"))));
        QVERIFY(m_session->waitForLog("default: Couldn't copy (missing): " + gone));

        // A destination that is gone altogether is the whole request's problem.
        fs::remove_all(path("home/Drop"));
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/a.txt"))}), 0);
        QVERIFY(m_session->waitForLog("error: Couldn't copy 1 items: missing"));
        QTRY_COMPARE_WITH_TIMEOUT(notifications().size(), 2, 10000);
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
        QVERIFY(m_session->waitForLog("Copied 1 of 1 items"));
        QCOMPARE(run(AMBREVOLI_HOST_BINARY, {"--background", url}), 0);
        QVERIFY(m_session->waitForLog("default: Couldn't read request " +
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
        QVERIFY(m_session->waitForLog("error: Rejected request " +
                                      QString::fromStdString(request.id().text()) + ": " + reason));
        QVERIFY(fs::is_empty(path("home/Drop")));
        QVERIFY(fs::is_empty(path("home/.local/share/ambrevoli/Requests")));
        QCOMPARE(notifications().size(), 0);
    }

    void aRenamedDestinationIsFollowed()
    {
        const Uuid id = addDestination("home/Drop");
        fs::rename(path("home/Drop"), path("home/Renamed"));
        writeFile("src/a.txt", "a");
        QCOMPARE(
            send(QString::fromStdString(id.text()), {QString::fromStdString(path("src/a.txt"))}),
            0);
        QVERIFY(m_session->waitForLog("Copied 1 of 1 items"));
        QVERIFY(fs::exists(path("home/Renamed/a.txt")));
        const auto store =
            DestinationStore::load(path("home/.local/share/ambrevoli/destinations.json"));
        QCOMPARE(store->destination(id)->path(), path("home/Renamed"));
        QVERIFY(m_session->countLog("Updated the location of moved destinations") >= 1);
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
        QVERIFY(m_session->waitForLog("Copied 1 of 1 items", 2));
        QCOMPARE(m_session->countLog("Ignored a URL that isn't an Ambrevoli request: "
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
        QVERIFY(m_session->waitForLog("Copied 1 of 1 items"));
        QVERIFY(fs::exists(path("home/Drop/a.txt")));

        // An empty argument names nothing; it is not the working folder.
        const Run empty = runCapturing(AMBREVOLI_SEND_BINARY,
                                       {"--to", QString::fromStdString(drop.text()), "", "a.txt"},
                                       QString::fromStdString(path("src")));
        QCOMPARE(empty.exitCode, 0);
        QVERIFY(m_session->waitForLog("Copied 1 of 2 items"));
        QCOMPARE(listing("home/Drop"), (std::vector<std::string>{"a 2.txt", "a.txt"}));
    }

    void aTerminatedHostFinishesItsCopiesFirst()
    {
        addDestination("home/Drop");
        writeFile("src/big.bin", std::string(256 << 20, 'x'));
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/big.bin"))}), 0);
        QVERIFY(m_session->waitForLog("is valid: 1 items found"));
        // Waited for with this thread's event loop running: it serves the notification server
        // the host reports to on its way out.
        QVERIFY(m_session->stopHost(60000));
        QCOMPARE(m_session->host().exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_session->host().exitCode(), 0);
        // The copy was finished, not abandoned under its hidden temporary name.
        QCOMPARE(listing("home/Drop"), std::vector<std::string>{"big.bin"});
        QCOMPARE(fs::file_size(path("home/Drop/big.bin")), std::uintmax_t(256) << 20);
        // ... and reported, although the event loop had ended when it finished.
        QCOMPARE(m_session->countLog("default: Copied 1 of 1 items"), 1);
        QCOMPARE(m_session->countLog("default: Destination: Drop at " +
                                     QString::fromStdString(path("home/Drop"))),
                 1);
        // Its progress may have shown meanwhile, since events are still served; the result
        // comes last.
        QVERIFY(!notifications().isEmpty());
        QCOMPARE(notifications().back().summary, "Copied 1 item to Drop");
    }

    void cancelInTheProgressNotificationStopsTheCopy()
    {
        const std::vector<SlowSource::File> files{
            {"a.bin", 1 << 20}, {"b.bin", 1 << 20}, {"c.bin", 1 << 20}, {"d.bin", 1 << 20}};
        const auto started = startSlowCopy(files, 1 << 20);
        if (!started)
            QSKIP(qPrintable(QString::fromStdString(started.error())));
        const auto progress = waitForProgressNotification();
        QVERIFY(progress);
        QCOMPARE(progress->summary, "Copying 4 items to Drop");
        QVERIFY2(progress->body.endsWith(" of 4.2 MB") || progress->body.endsWith(" of 4 items"),
                 qPrintable(progress->body));
        QCOMPARE(progress->actions, (QStringList{"default", "Show", "cancel", "Cancel"}));
        QVERIFY(progress->hints.contains("value"));
        QCOMPARE(progress->hints.value("category"), QVariant("transfer"));
        QCOMPARE(progress->expireTimeout, 0);

        emit m_session->server().ActionInvoked(progress->id, "cancel");
        QVERIFY(m_session->waitForLog("as asked in its notification"));
        QVERIFY(m_session->waitForLog(" was cancelled"));
        QVERIFY(m_session->waitForLog("Couldn't copy (cancelled): " +
                                      QString::fromStdString(path("slow/"))));
        QTRY_VERIFY_WITH_TIMEOUT(notifications().back().summary.startsWith("Cancelled "), 10000);
        // The result took the progress notification's place.
        QCOMPARE(notifications().back().replacesId, progress->id);
        QCOMPARE(notifications().back().id, progress->id);
        QCOMPARE(notifications().back().hints.value("category"), QVariant("transfer"));

        // What was placed is whole; nothing half-made is left.
        QVERIFY(listing("home/Drop").size() < files.size());
        QCOMPARE(m_session->faultyCopiesIn("home/Drop"), QString());
    }

    void aHostEndingMidCopyFinishesItAndReplacesItsProgress()
    {
        const std::vector<SlowSource::File> files{{"big.bin", 3 << 20}};
        const auto started = startSlowCopy(files, 1 << 20);
        if (!started)
            QSKIP(qPrintable(QString::fromStdString(started.error())));
        const auto progress = waitForProgressNotification();
        QVERIFY(progress);

        // A logout: the copy still finishes, and is not taken for cancelled.
        QVERIFY(m_session->stopHost(60000));
        QCOMPARE(m_session->host().exitCode(), 0);
        QCOMPARE(listing("home/Drop"), std::vector<std::string>{"big.bin"});
        QCOMPARE(SlowSource::mismatch(path("home/Drop/big.bin"), files[0]), std::nullopt);
        QCOMPARE(m_session->countLog(" was cancelled"), 0);
        QTRY_COMPARE_WITH_TIMEOUT(notifications().back().summary, "Copied 1 item to Drop", 10000);
        QCOMPARE(notifications().back().replacesId, progress->id);
    }

    // The Undo of a send's notification moves what the send placed to the Trash, except what
    // the user changed since; the undo's notification takes the send's place and says why.
    void undoInTheNotificationTakesBackWhatWasPlaced()
    {
        addDestination("home/Drop");
        writeFile("src/report.pdf", "pdf");
        writeFile("src/Project/notes.txt", "notes");
        writeFile("src/notes.txt", "n");
        const Run sent = runCapturing(AMBREVOLI_SEND_BINARY,
                                      {"--wait", "--to", "Drop",
                                       QString::fromStdString(path("src/report.pdf")),
                                       QString::fromStdString(path("src/Project")),
                                       QString::fromStdString(path("src/notes.txt"))});
        QCOMPARE(sent.exitCode, 0);
        const QString request = requestOf(sent);
        QVERIFY2(!request.isEmpty(), qPrintable(sent.out));
        QTRY_COMPARE_WITH_TIMEOUT(notifications().size(), 1, 10000);
        const auto copied = notifications().front();
        QCOMPARE(copied.actions, (QStringList{"default", "Show", "undo", "Undo"}));
        writeFile("home/Drop/notes.txt", "edited");

        emit m_session->server().ActionInvoked(copied.id, "undo");
        QTRY_COMPARE_WITH_TIMEOUT(notifications().size(), 2, 10000);
        const auto undone = notifications().back();
        QCOMPARE(undone.summary, "Undid copying 2 of 3 items to Drop");
        QCOMPARE(undone.body, "\u201Cnotes.txt\u201D changed after it was copied, so it was "
                              "left where it is.");
        QCOMPARE(undone.replacesId, copied.id);
        QCOMPARE(listing("home/Drop"), std::vector<std::string>{"notes.txt"});
        QCOMPARE(listing("home/.local/share/Trash/files"),
                 (std::vector<std::string>{"Project", "report.pdf"}));
        QVERIFY(fs::exists(path("home/.local/share/Trash/files/Project/notes.txt")));
        QVERIFY2(trashInfo("report.pdf")
                     .startsWith("[Trash Info]\nPath=" +
                                 QString::fromStdString(path("home/Drop/report.pdf")) +
                                 "\nDeletionDate="),
                 qPrintable(trashInfo("report.pdf")));
        QVERIFY(m_session->waitForLog("Undo of request " + request +
                                      ": moved 2 of 3 items to the Trash"));
        QVERIFY(m_session->log().contains("Left in place (changed)"));
        // A copy that placed nothing offers nothing to take back.
        QCOMPARE(send("Drop", {QString::fromStdString(path("src/gone"))}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(notifications().size(), 3, 10000);
        QCOMPARE(notifications().back().actions, (QStringList{"default", "Show"}));
    }

    // ambrevoli-send --undo reaches the records of a host that ended since: the next host
    // reads them. It prints what went where, and its status tells whether all went.
    void undoFromTheCommandLineAfterARestart()
    {
        addDestination("home/Drop");
        writeFile("src/a.txt", "a");
        writeFile("src/b.txt", "b");
        const Run first = runCapturing(
            AMBREVOLI_SEND_BINARY,
            {"--wait", "--to", "Drop", QString::fromStdString(path("src/a.txt"))});
        const Run second = runCapturing(
            AMBREVOLI_SEND_BINARY,
            {"--wait", "--to", "Drop", QString::fromStdString(path("src/b.txt"))});
        QCOMPARE(first.exitCode, 0);
        QCOMPARE(second.exitCode, 0);
        QVERIFY(m_session->stopHost());

        // The first send, by its identifier; the later one stays.
        const Run undone = runCapturing(AMBREVOLI_SEND_BINARY, {"--undo", requestOf(first)});
        QCOMPARE(undone.exitCode, 0);
        QCOMPARE(undone.out, "Undo of request " + requestOf(first) +
                                 ": moved 1 of 1 items to the Trash\nMoved to the Trash: " +
                                 QString::fromStdString(path("home/Drop/a.txt")) + "\n");
        QCOMPARE(listing("home/Drop"), std::vector<std::string>{"b.txt"});
        // "last" is the latest send, once: then it was undone, and an older one is not taken
        // instead.
        QCOMPARE(run(AMBREVOLI_SEND_BINARY, {"--undo", "last"}), 0);
        QVERIFY(!fs::exists(path("home/Drop/b.txt")));
        const Run again = runCapturing(AMBREVOLI_SEND_BINARY, {"--undo", "last"});
        QCOMPARE(again.exitCode, 1);
        QVERIFY2(again.out.contains("nothing to undo (alreadyUndone)"), qPrintable(again.out));

        // A record older than a day is gone.
        writeFile("src/c.txt", "c");
        const Run third = runCapturing(
            AMBREVOLI_SEND_BINARY,
            {"--wait", "--to", "Drop", QString::fromStdString(path("src/c.txt"))});
        const std::string record =
            path("home/.local/share/ambrevoli/Undo/" + requestOf(third).toStdString() + ".record");
        QVERIFY(fs::exists(record));
        fs::last_write_time(record, fs::file_time_type::clock::now() - std::chrono::hours(25));
        const Run expired = runCapturing(AMBREVOLI_SEND_BINARY, {"--undo", requestOf(third)});
        QCOMPARE(expired.exitCode, 1);
        QVERIFY2(expired.out.contains("nothing to undo (noRecord)"), qPrintable(expired.out));
        QVERIFY(fs::exists(path("home/Drop/c.txt")));
        QCOMPARE(run(AMBREVOLI_SEND_BINARY, {"--undo", "yesterday"}), 2);
    }

    // An undo while the send still copies cancels it, then takes back what it had placed.
    void undoWhileCopyingCancelsFirst()
    {
        const std::vector<SlowSource::File> files{
            {"a.bin", 1 << 20}, {"b.bin", 1 << 20}, {"c.bin", 1 << 20}, {"d.bin", 1 << 20}};
        const auto started = startSlowCopy(files, 1 << 20);
        if (!started)
            QSKIP(qPrintable(QString::fromStdString(started.error())));
        QVERIFY(waitForProgressNotification());
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(path("home/Drop/a.bin")), 20000);

        const Run undone = runCapturing(AMBREVOLI_SEND_BINARY, {"--undo", "last"});
        QCOMPARE(undone.exitCode, 0);
        QVERIFY2(undone.out.contains(" to undo it\n") &&
                     undone.out.contains("Moved to the Trash: " +
                                         QString::fromStdString(path("home/Drop/a.bin"))),
                 qPrintable(undone.out));
        QVERIFY(m_session->waitForLog(" was cancelled"));
        QCOMPARE(listing("home/Drop"), std::vector<std::string>{});
        QVERIFY(fs::exists(path("home/.local/share/Trash/files/a.bin")));
        QTRY_VERIFY_WITH_TIMEOUT(notifications().back().summary.startsWith("Undid copying "),
                                 10000);
    }

    void addDestinationReportsEachFolder()
    {
        makeFolder("home/Demo");
        makeFolder("home/Other");
        writeFile("home/notes.txt", "notes");
        const QString home = QString::fromStdString(path("home"));
        const QString demo = QString::fromStdString(path("home/Demo"));

        // Relative folders are the caller's, not the host's (which runs elsewhere).
        const Run added =
            runCapturing(AMBREVOLI_HOST_BINARY,
                         {"--add-destination", "Demo", "notes.txt", "Nope", "./Demo/"}, home);
        QCOMPARE(added.exitCode, 0);
        QCOMPARE(added.out, "Added: " + demo + "\nAlready a destination: " + home + "/./Demo/\n");
        QCOMPARE(added.err, "Not added, not a folder: " + home + "/notes.txt\n" +
                                "Not added, no such folder: " + home + "/Nope\n");
        auto store = DestinationStore::load(path("home/.local/share/ambrevoli/destinations.json"));
        QVERIFY(store);
        QCOMPARE(store->destinations().size(), 1u);
        QCOMPARE(store->destinations()[0].path(), path("home/Demo"));

        // Nothing added at all is a failure; an absolute folder is taken as it is.
        const Run refused =
            runCapturing(AMBREVOLI_HOST_BINARY, {"--add-destination", "Nope"}, home);
        QCOMPARE(refused.exitCode, 1);
        QCOMPARE(refused.out, QString());
        // "" names no folder; it is not the caller's working folder.
        const Run empty = runCapturing(AMBREVOLI_HOST_BINARY, {"--add-destination", ""}, home);
        QCOMPARE(empty.exitCode, 1);
        QCOMPARE(empty.out, QString());
        QCOMPARE(DestinationStore::load(path("home/.local/share/ambrevoli/destinations.json"))
                     ->destinations()
                     .size(),
                 1u);
        const Run absolute =
            runCapturing(AMBREVOLI_HOST_BINARY,
                         {"--add-destination", QString::fromStdString(path("home/Other"))});
        QCOMPARE(absolute.exitCode, 0);
        QCOMPARE(absolute.out, "Added: " + QString::fromStdString(path("home/Other")) + "\n");
        // One host all along.
        QCOMPARE(m_session->host().state(), QProcess::Running);
    }

    void addDestinationWorksWithoutAHost()
    {
        QVERIFY(m_session->stopHost());
        makeFolder("home/Demo");
        const QString home = QString::fromStdString(path("home"));
        const Run added = runCapturing(AMBREVOLI_HOST_BINARY, {"--add-destination", "Demo"}, home);
        QCOMPARE(added.exitCode, 0);
        QCOMPARE(added.out, "Added: " + QString::fromStdString(path("home/Demo")) + "\n");
        const auto store =
            DestinationStore::load(path("home/.local/share/ambrevoli/destinations.json"));
        QVERIFY(store);
        QCOMPARE(store->destinations().size(), 1u);
        QCOMPARE(store->destinations()[0].path(), path("home/Demo"));
        // The next start is a host again, and knows the folder.
        writeFile("src/a.txt", "a");
        QString log;
        const auto host = startHost({"--background"}, &log);
        QVERIFY(QTest::qWaitFor([&] { return log.contains("Ambrevoli started"); }, 20000));
        QCOMPARE(send("Demo", {QString::fromStdString(path("src/a.txt"))}), 0);
        QVERIFY(QTest::qWaitFor([&] { return log.contains("Copied 1 of 1 items"); }, 20000));
        QVERIFY(fs::exists(path("home/Demo/a.txt")));
    }

    // Twenty first starts at the same moment, each with a URL of its own: one of them becomes
    // the host, the others hand their URLs to it. A few rounds, since the race is by chance.
    void twentyFirstStartsMakeOneHost()
    {
        const Uuid destination = addDestination("home/Drop");
        QVERIFY(m_session->stopHost());
        const RequestInbox inbox(path("home/.local/share/ambrevoli/Requests"));
        constexpr int rounds = 3;
        constexpr int starts = 20;
        for (int round = 0; round < rounds; ++round) {
            QStringList urls;
            for (int i = 0; i < starts; ++i) {
                const std::string file =
                    "src/" + std::to_string(round) + "-" + std::to_string(i) + ".txt";
                writeFile(file, "f");
                const SendRequest request(Uuid::random(), now(), destination, {path(file)});
                QVERIFY(inbox.write(request));
                urls << QString::fromStdString(HandoffURL::send(request.id()).url());
            }

            std::vector<QString> logs(starts);
            std::vector<std::unique_ptr<QProcess>> hosts;
            for (int i = 0; i < starts; ++i)
                hosts.push_back(startHost({"--background", urls[i]}, &logs[i]));
            const auto countAll = [&](const QString& text) {
                int count = 0;
                for (const QString& log : logs)
                    count += log.count(text);
                return count;
            };
            const auto running = [&] {
                return std::count_if(hosts.begin(), hosts.end(), [](const auto& host) {
                    return host->state() != QProcess::NotRunning;
                });
            };
            QVERIFY(
                QTest::qWaitFor([&] { return countAll("Copied 1 of 1 items") >= starts; }, 60000));
            // The later starts end as soon as the host has their URLs.
            QVERIFY2(QTest::qWaitFor([&] { return running() <= 1; }, 20000),
                     qPrintable(QString::number(running()) + " hosts in round " +
                                QString::number(round)));
            QCOMPARE(running(), 1);
            for (const auto& host : hosts)
                if (host->state() == QProcess::NotRunning)
                    QCOMPARE(host->exitCode(), 0);
            // Every URL handled exactly once, by the one host.
            QCOMPARE(countAll("Ambrevoli started"), 1);
            QCOMPARE(countAll("Copied 1 of 1 items"), starts);
            QCOMPARE(countAll("Couldn't read request"), 0);
            for (int i = 0; i < starts; ++i)
                QVERIFY(fs::exists(
                    path("home/Drop/" + std::to_string(round) + "-" + std::to_string(i) + ".txt")));
            QCOMPARE(listing("home/Drop").size(), std::size_t((round + 1) * starts));

            for (const auto& host : hosts)
                host->terminate();
            QVERIFY(QTest::qWaitFor([&] { return running() == 0; }, 20000));
        }
    }

    void whatAKilledHostLeftIsRemovedAtTheNextStart()
    {
        addDestination("home/Drop");
        writeFile("home/Drop/.ambrevoli-copy-LEFT/half.bin", "half");
        m_session->host().kill();
        QVERIFY(m_session->host().waitForFinished(20000));
        m_session->host().start(AMBREVOLI_HOST_BINARY, {"--background"});
        QVERIFY(m_session->host().waitForStarted());
        QVERIFY(
            m_session->waitForLog("default: Removed a temporary item no copy was holding: " +
                                  QString::fromStdString(path("home/Drop/.ambrevoli-copy-LEFT"))));
        QVERIFY(fs::is_empty(path("home/Drop")));
    }

    // Which window a start opens, by how it was started and the user defaults; and which one a
    // plain later start (the desktop entry from the application grid) opens then.
    void theLaunchWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("defaults"); // set to true
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QStringList>("atLaunch");
        QTest::addColumn<QStringList>("onReopen");
        const QStringList none, guide{"Welcome to Ambrevoli"}, settings{"Ambrevoli Settings"};
        const QString finished = "FirstLaunchGuideFinished", skip = "AmbrevoliSkipLaunchWindow";
        // With the launch window still shown, a reopen changes nothing.
        QTest::newRow("first plain start") << none << none << true << guide << none;
        QTest::newRow("guide finished")
            << none << QStringList{finished} << true << settings << none;
        QTest::newRow("skip key") << none << QStringList{skip} << true << none << guide;
        QTest::newRow("skip key, guide finished")
            << none << QStringList{skip, finished} << true << none << settings;
        QTest::newRow("in the background")
            << QStringList{"--background"} << none << true << none << guide;
        // "send" stands for a send URL to a request waiting in the inbox.
        QTest::newRow("send URL on the first run")
            << QStringList{"send"} << none << true << none << guide;
        QTest::newRow("no container") << none << none << false << none << none;
    }

    void theLaunchWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, defaults);
        QFETCH(bool, reachable);
        QFETCH(QStringList, atLaunch);
        QFETCH(QStringList, onReopen);
        QVERIFY(m_session->stopHost());
        if (arguments == QStringList{"send"}) {
            const std::string drop = makeFolder("home/Drop");
            const std::string file = path("home/.local/share/ambrevoli/destinations.json");
            auto store = *DestinationStore::load(file);
            const Uuid destination = store.add(drop, "Drop");
            QVERIFY(store.save(file));
            writeFile("src/a.txt", "a");
            const SendRequest request(Uuid::random(), now(), destination, {path("src/a.txt")});
            QVERIFY(RequestInbox(path("home/.local/share/ambrevoli/Requests")).write(request));
            arguments = {QString::fromStdString(HandoffURL::send(request.id()).url())};
        }
        {
            QSettings stored(QString::fromStdString(path("home/.config/ambrevoli/Ambrevoli.conf")),
                             QSettings::IniFormat);
            for (const QString& key : defaults)
                stored.setValue(key, true);
        }
        if (!reachable)
            m_session->setVariable("XDG_DATA_HOME", "relative/share");

        QString log;
        const auto host = startHost(arguments, &log);
        QVERIFY(QTest::qWaitFor([&] { return log.contains("Ambrevoli started"); }, 20000));
        // A later start is answered only once the host handled it, so after one the launch is
        // over; what the host logged meanwhile is in the pipe, and read with a short wait.
        QCOMPARE(run(AMBREVOLI_HOST_BINARY, {"--background"}), 0);
        QTest::qWait(300);
        QCOMPARE(windowsShown(log), atLaunch);
        if (arguments.value(0).startsWith("ambrevoli://send")) {
            QVERIFY(QTest::qWaitFor([&] { return log.contains("Copied 1 of 1 items"); }, 20000));
            QVERIFY(fs::exists(path("home/Drop/a.txt")));
        }
        if (!reachable)
            QVERIFY(log.contains("Can't reach the App Group container"));

        QCOMPARE(run(AMBREVOLI_HOST_BINARY, {}), 0);
        QTest::qWait(300);
        QCOMPARE(windowsShown(log), atLaunch + onReopen);
        QCOMPARE(host->state(), QProcess::Running);
        host->terminate();
        QVERIFY(host->waitForFinished(20000));
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
        QVERIFY(m_session->waitForLog("Copied 1 of 1 items", 20));
        const auto names = listing("home/Drop");
        QCOMPARE(names.size(), 20u);
        QCOMPARE(names.front(), std::string("a 10.txt"));
        QCOMPARE(names.back(), std::string("a.txt"));
    }
};

QTEST_GUILESS_MAIN(HostEndToEndTest)
#include "host_end_to_end_test.moc"
