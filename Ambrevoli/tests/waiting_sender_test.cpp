// ambrevoli-send --wait against a real host copying from a slowed-down source: the progress bar
// it draws on a terminal (and nowhere else), and Ctrl-C, which cancels the copy.

#include "host_session.h"
#include "slow_source.h"

#include "cancel_record.h"
#include "destination_store.h"
#include "host_receipt.h"
#include "instance_channel.h"
#include "unique_fd.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

using namespace ambrevoli;
using namespace ambrevoli::testing;
namespace fs = std::filesystem;

class WaitingSenderTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<HostSession> m_session;

    std::string path(std::string_view relative) const { return m_session->path(relative); }
    QProcessEnvironment environment() const { return m_session->environment(); }

    // Mounts the slowed-down source with `files` of `size` bytes each, read together at
    // `bytesPerSecond`; yields their paths, or why there can be no such source here.
    std::expected<QStringList, std::string>
    mountSource(const QStringList& names, std::uint64_t size, std::uint64_t bytesPerSecond)
    {
        std::vector<SlowSource::File> files;
        for (const QString& name : names)
            files.push_back({name.toStdString(), size});
        return m_session->mountSlowSource("src", files, bytesPerSecond);
    }

    static QString readAll(QProcess& process, QProcess::ProcessChannel channel)
    {
        process.setReadChannel(channel);
        return QString::fromUtf8(process.readAll());
    }

    // Ctrl-C to the sender, as a terminal sends it. Once the sender has ended its process id is
    // 0, and kill(0) would interrupt this test's whole process group: ctest and make with it.
    static void interrupt(const QProcess& sender)
    {
        if (const qint64 pid = sender.processId(); pid > 0)
            ::kill(pid_t(pid), SIGINT);
    }

private slots:
    void init()
    {
        if (const auto reason = SlowSource::unavailableReason())
            QSKIP(reason->c_str());
        m_session = std::make_unique<HostSession>();
        if (const auto reason = m_session->unavailableReason())
            QSKIP(qPrintable(*reason));
        m_session->setVariable("TERM", "xterm");
        fs::create_directories(path("home/Drop"));
        const std::string destinations = path("home/.local/share/ambrevoli/destinations.json");
        auto store = DestinationStore::load(destinations);
        QVERIFY(store);
        store->add(path("home/Drop"), "Drop");
        QVERIFY(store->save(destinations));
        const QString failure = m_session->start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanup() { m_session.reset(); }

    // The first Ctrl-C cancels the copy and the sender still prints the report; a second one
    // ends the wait. Either way the host cleans up: nothing half-made stays behind.
    void ctrlCCancelsTheCopy_data()
    {
        QTest::addColumn<int>("interrupts");
        QTest::newRow("once") << 1;
        QTest::newRow("twice") << 2;
    }

    void ctrlCCancelsTheCopy()
    {
        QFETCH(int, interrupts);
        // Four seconds of copying at the least, and the last item's only at the end.
        QStringList names;
        for (int i = 1; i <= 8; ++i)
            names << QString("%1.bin").arg(i);
        const auto mounted = mountSource(names, 1 << 20, 2 << 20);
        if (!mounted)
            QSKIP(mounted.error().c_str());
        const QStringList& files = *mounted;
        HelperProcess sender;
        sender.setProcessEnvironment(environment());
        sender.start(AMBREVOLI_SEND_BINARY, QStringList{"--wait", "--to", "Drop"} + files);
        QString out, err;
        QVERIFY(QTest::qWaitFor(
            [&] {
                out += readAll(sender, QProcess::StandardOutput);
                return out.contains(" is valid: 8 items found");
            },
            20000));
        interrupt(sender);
        if (interrupts == 2) {
            // Once the cancel is out: two signals sent at once may arrive as one.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    err += readAll(sender, QProcess::StandardError);
                    return err.contains("cancelling the copy");
                },
                20000));
            interrupt(sender);
        }
        QVERIFY(sender.state() == QProcess::NotRunning || sender.waitForFinished(20000));
        out += readAll(sender, QProcess::StandardOutput);
        err += readAll(sender, QProcess::StandardError);
        QCOMPARE(sender.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sender.exitCode(), 130);
        QVERIFY2(err.contains("cancelling the copy"), qPrintable(err));
        const QString cancelled = "Couldn't copy (cancelled): " + files.last();
        if (interrupts == 1)
            QVERIFY2(out.contains(cancelled) && out.contains(" was cancelled"), qPrintable(out));

        // The host goes on without a sender that stopped waiting.
        QVERIFY(m_session->waitForLog(" was cancelled"));
        QVERIFY(m_session->log().contains(cancelled));
        QCOMPARE(m_session->faultyCopiesIn("home/Drop"), QString());
        QVERIFY(!fs::exists(path("home/Drop/8.bin")));
        QCOMPARE(m_session->host().state(), QProcess::Running);
    }

    // A host told to end (a logout) finishes its copies first, but a long one can still be
    // stopped meanwhile: by the waiting sender's Ctrl-C or by the Cancel of its notification.
    // The signal is heard once, however long the copies take.
    void aCopyCanBeCancelledWhileTheHostEnds_data()
    {
        QTest::addColumn<bool>("fromTheNotification");
        QTest::newRow("Ctrl-C") << false;
        QTest::newRow("notification") << true;
    }

    void aCopyCanBeCancelledWhileTheHostEnds()
    {
        QFETCH(bool, fromTheNotification);
        QStringList names;
        for (int i = 1; i <= 8; ++i)
            names << QString("%1.bin").arg(i);
        const auto mounted = mountSource(names, 1 << 20, 1 << 20);
        if (!mounted)
            QSKIP(mounted.error().c_str());
        HelperProcess sender;
        sender.setProcessEnvironment(environment());
        sender.start(AMBREVOLI_SEND_BINARY, QStringList{"--wait", "--to", "Drop"} + *mounted);
        QString out;
        QVERIFY(QTest::qWaitFor(
            [&] {
                out += readAll(sender, QProcess::StandardOutput);
                return out.contains(" is valid: 8 items found");
            },
            20000));
        auto& notifications = m_session->server().notifications;
        const auto progress = [&] {
            return std::find_if(notifications.begin(), notifications.end(),
                                [](const auto& n) { return n.summary.startsWith("Copying "); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(progress() != notifications.end(), 20000);
        const uint progressId = progress()->id;

        m_session->host().terminate();
        QVERIFY(m_session->waitForLog("Quitting on a termination signal"));
        if (fromTheNotification)
            emit m_session->server().ActionInvoked(progressId, "cancel");
        else
            interrupt(sender);

        QVERIFY(sender.waitForFinished(20000));
        out += readAll(sender, QProcess::StandardOutput);
        QCOMPARE(sender.exitCode(), fromTheNotification ? 1 : 130);
        QVERIFY2(out.contains("Couldn't copy (cancelled): " + mounted->last()), qPrintable(out));
        QVERIFY(m_session->host().state() == QProcess::NotRunning ||
                m_session->host().waitForFinished(20000));
        QCOMPARE(m_session->host().exitCode(), 0);
        QVERIFY(m_session->log().contains(" was cancelled"));
        QCOMPARE(m_session->countLog("Quitting on a termination signal"), 1);
        QCOMPARE(m_session->faultyCopiesIn("home/Drop"), QString());
        QVERIFY(!fs::exists(path("home/Drop/8.bin")));
    }

    // Against a host that never tells the outcome: the first Ctrl-C sends the cancel and the
    // sender goes on waiting; the second ends it at once.
    void aSecondCtrlCStopsWaitingAtOnce()
    {
        QVERIFY(m_session->stopHost());
        const QString socketPath = QString::fromStdString(path("run/ambrevoli/instance"));
        QLocalServer host;
        QLocalServer::removeServer(socketPath);
        QVERIFY(host.listen(socketPath));

        HelperProcess sender;
        sender.setProcessEnvironment(environment());
        sender.start(AMBREVOLI_SEND_BINARY,
                     {"--wait", "--to", "Drop", QString::fromStdString(path("a.txt"))});
        QTRY_VERIFY_WITH_TIMEOUT(host.hasPendingConnections(), 20000);
        QLocalSocket* connection = host.nextPendingConnection();
        QByteArray bytes;
        QTRY_VERIFY_WITH_TIMEOUT((bytes += connection->readAll()).size() > 4 &&
                                     InstanceMessage::decode(bytes.mid(4)),
                                 20000);
        const auto message = InstanceMessage::decode(bytes.mid(4));
        // Its stderr is no terminal: it shows no bar, so it asks for no progress.
        QVERIFY(message->waitsForOutcome && !message->wantsProgress);
        connection->write(QByteArray(1, receiptMark));
        connection->flush();

        interrupt(sender);
        QByteArray after;
        QTRY_COMPARE_WITH_TIMEOUT(after += connection->readAll(), QByteArray(1, cancelMark), 20000);
        QTest::qWait(200);
        QCOMPARE(sender.state(), QProcess::Running);
        interrupt(sender);
        QVERIFY(sender.waitForFinished(20000));
        QCOMPARE(sender.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sender.exitCode(), 130);
        QVERIFY(readAll(sender, QProcess::StandardError).contains("cancelling the copy"));
    }

    // The bar goes to stderr only when that is a terminal; the report on stdout is the same
    // either way.
    void theBarIsDrawnOnlyOnATerminal_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::newRow("terminal") << true;
        QTest::newRow("pipe") << false;
    }

    void theBarIsDrawnOnlyOnATerminal()
    {
        QFETCH(bool, terminal);
        const auto mounted = mountSource({"a.bin"}, 2 << 20, 2 << 20);
        if (!mounted)
            QSKIP(mounted.error().c_str());
        const QStringList& files = *mounted;
        constexpr int columns = 60;
        int master = -1, slave = -1;
        winsize size{24, columns, 0, 0};
        if (terminal)
            QVERIFY(::openpty(&master, &slave, nullptr, nullptr, &size) == 0);
        const UniqueFd masterEnd(master), slaveEnd(slave);

        HelperProcess sender;
        sender.setProcessEnvironment(environment());
        if (terminal) {
            const pid_t test = ::getpid();
            sender.setChildProcessModifier([test, master, slave] {
                ::prctl(PR_SET_PDEATHSIG, SIGTERM);
                if (::getppid() != test)
                    ::_exit(127);
                ::dup2(slave, STDERR_FILENO);
                ::close(master);
            });
        }
        sender.start(AMBREVOLI_SEND_BINARY, QStringList{"--wait", "--to", "Drop"} + files);
        QVERIFY(sender.waitForFinished(20000));
        QCOMPARE(sender.exitCode(), 0);
        const QString out = readAll(sender, QProcess::StandardOutput);
        QVERIFY2(out.contains("Copied 1 of 1 items\n"), qPrintable(out));

        if (!terminal) {
            QCOMPARE(readAll(sender, QProcess::StandardError), QString());
            return;
        }
        std::string drawn;
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        char chunk[4096];
        for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;)
            drawn.append(chunk, std::size_t(n));
        QVERIFY2(drawn.starts_with("\r[") && drawn.find("% ") != std::string::npos &&
                     drawn.find(" of ") != std::string::npos,
                 drawn.c_str());
        // Redrawn in place, one column short of the width, and cleared at the end.
        for (std::size_t start = 1; start < drawn.size();) {
            const std::size_t end = std::min(drawn.find('\r', start), drawn.size());
            const std::string line = drawn.substr(start, end - start);
            const std::string text = line.substr(0, line.find("\033[K"));
            QVERIFY2(text.size() < columns && text.find('\n') == std::string::npos, line.c_str());
            start = end + 1;
        }
        QVERIFY2(drawn.ends_with("\r\033[K"), drawn.c_str());
    }
};

QTEST_GUILESS_MAIN(WaitingSenderTest)
#include "waiting_sender_test.moc"
