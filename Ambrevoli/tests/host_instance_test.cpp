// The host as the one instance of the user, against what the user's other processes may do to
// it: a burst of connections that never say anything, a runtime folder that is not the user's,
// a script that reads a send's output to its end. Real hosts and senders in a throwaway world.

#include "host_session.h"

#include "unique_fd.h"

#include <QProcess>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace ambrevoli;
using namespace ambrevoli::testing;
namespace fs = std::filesystem;

class HostInstanceTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<HostSession> m_session;

    std::string path(std::string_view relative) const { return m_session->path(relative); }

    using Run = HostSession::Run;

    Run run(const QString& program, const QStringList& arguments, int timeoutMs = 20000)
    {
        return m_session->run(program, arguments, {}, timeoutMs);
    }

    void writeFile(std::string_view relative, std::string_view text) const
    {
        fs::create_directories(fs::path(path(relative)).parent_path());
        std::ofstream(path(relative)) << text;
    }

    // Adds home/<name> as a destination through the running host.
    bool addDestination(std::string_view name)
    {
        const std::string folder = path("home/" + std::string(name));
        fs::create_directories(folder);
        return run(AMBREVOLI_HOST_BINARY, {"--add-destination", QString::fromStdString(folder)})
                   .exitCode == 0;
    }

    // Whether the process `pid` still runs (a zombie nobody reaped has ended).
    static bool runs(pid_t pid)
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            return false;
        const auto state = line.rfind(')');
        return state != std::string::npos && state + 2 < line.size() && line[state + 2] != 'Z' &&
               line[state + 2] != 'X';
    }

    // The soft limit of open files of the process `pid`; -1 when it can't be read.
    static int openFilesLimit(pid_t pid)
    {
        std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
        for (std::string line; std::getline(limits, line);)
            if (line.starts_with("Max open files"))
                return std::stoi(line.substr(std::string_view("Max open files").size()));
        return -1;
    }

    // A connection to the instance socket that never writes; invalid when none could be made.
    // A full backlog is waited out a little, for a host slow to take connections.
    UniqueFd idleConnection() const
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (UniqueFd fd = connectOnce())
                return fd;
            if (errno != EAGAIN)
                break;
            ::usleep(1000);
        }
        return {};
    }

    UniqueFd connectOnce() const
    {
        const std::string socket = path("run/ambrevoli/instance");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socket.copy(address.sun_path, sizeof address.sun_path - 1);
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd ||
            ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return {};
        return fd;
    }

private slots:
    void init()
    {
        m_session = std::make_unique<HostSession>();
        if (const auto reason = m_session->unavailableReason())
            QSKIP(qPrintable(*reason));
        const QString failure = m_session->start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanup() { m_session.reset(); }

    // Idle connections by the hundred, held open while a real send comes: the host keeps
    // listening and the send is copied. With a low soft limit the host takes the hard one; with
    // a low hard limit the descriptors run out before the cap on unfinished connections is
    // reached, and the oldest make room.
    void aBurstOfIdleConnectionsLeavesTheHostListening_data()
    {
        QTest::addColumn<QString>("limits");
        QTest::addColumn<int>("hardLimit");
        QTest::addColumn<bool>("runsOut"); // of descriptors, before the cap is reached
        // The soft limit first: a hard limit below the soft one is refused.
        QTest::newRow("low soft limit") << "ulimit -S -n 40 && ulimit -H -n 512" << 512 << false;
        QTest::newRow("low hard limit") << "ulimit -S -n 40 && ulimit -H -n 40" << 40 << true;
    }

    void aBurstOfIdleConnectionsLeavesTheHostListening()
    {
        QFETCH(QString, limits);
        QFETCH(int, hardLimit);
        QFETCH(bool, runsOut);
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizers' runtime probes memory through a pipe before it reports on a type
        // check, and finds no descriptor for it in a host that has run out of them.
        if (runsOut)
            QSKIP("a host built with the sanitizers can't run out of descriptors and check types");
#endif
        QVERIFY(addDestination("Drop"));
        writeFile("src/a.txt", "a");
        QVERIFY(m_session->stopHost());
        QString log;
        const auto host = m_session->startHost({"--background"}, &log, limits);
        QVERIFY2(QTest::qWaitFor([&] { return log.contains("Ambrevoli started"); }, 20000),
                 qPrintable(log));
        QCOMPARE(openFilesLimit(pid_t(host->processId())), hardLimit);

        std::vector<UniqueFd> idle;
        for (int i = 0; i < 600; ++i)
            if (UniqueFd fd = idleConnection())
                idle.push_back(std::move(fd));
        QVERIFY2(idle.size() > 500, qPrintable(QString::number(idle.size())));
        // Long enough for the host to have taken the whole burst, short of the connections'
        // deadline.
        QTest::qWait(1000);

        const Run sent =
            run(AMBREVOLI_SEND_BINARY,
                {"--wait", "--to", "Drop", QString::fromStdString(path("src/a.txt"))}, 30000);
        QVERIFY2(sent.exitCode == 0, qPrintable(sent.out + sent.err + log));
        QVERIFY(fs::exists(path("home/Drop/a.txt")));
        QVERIFY2(host->state() == QProcess::Running, qPrintable(log));
        QCOMPARE(m_session->hostStarts().size(), 0u);
        QVERIFY2(log.contains("Out of descriptors for later starts") == runsOut, qPrintable(log));
        host->terminate();
        QVERIFY(host->waitForFinished(20000));
    }

    // The runtime folder left behind by another user (a start as root, say): no host listens in
    // it, each send is copied by a host of its own that ends afterwards, and the sender says
    // why; a waiting send, which no host could report to, refuses at once.
    void aRuntimeFolderOfAnotherUserIsNotUsed()
    {
        if (::geteuid() != 0)
            QSKIP("only root can give the runtime folder to another user");
        QVERIFY(addDestination("Drop"));
        writeFile("src/a.txt", "a");
        QVERIFY(m_session->stopHost());
        const std::string folder = path("run/ambrevoli");
        QCOMPARE(::chown(folder.c_str(), 65534, 65534), 0);
        const QString why = QString::fromStdString(folder) + " is owned by user 65534";

        const QString file = QString::fromStdString(path("src/a.txt"));
        for (int i = 0; i < 3; ++i) {
            const Run sent = run(AMBREVOLI_SEND_BINARY, {"--to", "Drop", file});
            QCOMPARE(sent.exitCode, 0);
            QVERIFY2(sent.err.contains(why), qPrintable(sent.err));
        }
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(path("home/Drop/a 3.txt")), 20000);
        QVERIFY(fs::exists(path("home/Drop/a.txt")));
        QVERIFY(fs::exists(path("home/Drop/a 2.txt")));
        const std::vector<pid_t> hosts = m_session->hostStarts();
        QCOMPARE(hosts.size(), 3u);
        QTRY_VERIFY_WITH_TIMEOUT(std::none_of(hosts.begin(), hosts.end(), runs), 20000);

        const Run waited = run(AMBREVOLI_SEND_BINARY, {"--wait", "--to", "Drop", file});
        QCOMPARE(waited.exitCode, 1);
        QVERIFY2(waited.err.contains(why), qPrintable(waited.err));
        QCOMPARE(m_session->hostStarts().size(), 3u);
        QVERIFY(fs::is_empty(path("home/.local/share/ambrevoli/Requests")));
    }

    // `out=$(ambrevoli-send … 2>&1)` with no host running: the host the send starts keeps none
    // of the script's descriptors, so the script goes on as soon as the sender ends.
    void aScriptCapturingASendIsNotHeldByTheHost()
    {
        QVERIFY(addDestination("Drop"));
        writeFile("src/a.txt", "a");
        QVERIFY(m_session->stopHost());
        const Run captured = run("/bin/sh",
                                 {"-c", "out=$(\"$0\" --to Drop \"$1\" 2>&1); echo \"[$out]\"",
                                  AMBREVOLI_SEND_BINARY, QString::fromStdString(path("src/a.txt"))},
                                 20000);
        QCOMPARE(captured.exitCode, 0);
        QCOMPARE(captured.out, "[]\n");
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(path("home/Drop/a.txt")), 20000);
        QCOMPARE(m_session->hostStarts().size(), 1u);
    }

    // The host started without a display (by a send from a script, cron or ssh) is asked for the
    // settings by a start from the desktop: it hands the instance over, and the start from the
    // desktop becomes the host and shows the window. A start without a display is shown the
    // window where the host draws it, as before.
    void aHostWithoutADisplayHandsItsWindowsOver()
    {
        QVERIFY(addDestination("Drop"));
        QCOMPARE(run(AMBREVOLI_HOST_BINARY, {"--settings"}).exitCode, 0);
        QVERIFY(m_session->waitForLog("Showed the window \""));
        QCOMPARE(m_session->host().state(), QProcess::Running);

        // A display of the desktop's, as far as the start can tell; Qt still draws offscreen.
        QProcessEnvironment desktop;
        desktop.insert("WAYLAND_DISPLAY", "wayland-ambrevoli-test");
        QString log;
        const auto successor = m_session->startHost({"--settings"}, &log, {}, desktop);
        QVERIFY(m_session->waitForLog("Handing over to a start that can show windows"));
        QVERIFY(m_session->host().state() == QProcess::NotRunning ||
                m_session->host().waitForFinished(20000));
        QCOMPARE(m_session->host().exitCode(), 0);
        QVERIFY2(QTest::qWaitFor([&] { return log.contains("Showed the window \""); }, 20000),
                 qPrintable(log));
        QCOMPARE(successor->state(), QProcess::Running);

        // It is the host now: sends go to it.
        writeFile("src/a.txt", "a");
        const Run sent = run(AMBREVOLI_SEND_BINARY,
                             {"--wait", "--to", "Drop", QString::fromStdString(path("src/a.txt"))});
        QCOMPARE(sent.exitCode, 0);
        QVERIFY(QTest::qWaitFor([&] { return log.contains("Copied 1 of 1 items"); }, 20000));
        QCOMPARE(m_session->hostStarts().size(), 0u);
        successor->terminate();
        QVERIFY(successor->waitForFinished(20000));
    }
};

QTEST_GUILESS_MAIN(HostInstanceTest)
#include "host_instance_test.moc"
