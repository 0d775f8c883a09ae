// The helper programs a test starts end with it, even when it crashes: a test that crashes
// (crash_with_helpers) or a throwaway session killed outright leaves nothing running. The
// helpers are followed by pid and start time, never by name: other people's Xvfb and dunst run
// on the same machine.

#include "desktop_fakes.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include <optional>

using namespace ambrevoli::testing;

namespace {

struct Helper {
    QString what;
    qint64 pid = 0;
    QByteArray startTime; // since boot, in clock ticks: tells a reused pid apart
};

// The fields of /proc/<pid>/stat after the command: state, ppid, … (field 3 onwards).
QList<QByteArray> statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

QByteArray startTimeOf(qint64 pid)
{
    return statFields(pid).value(19); // field 22
}

// Running, not merely an unreaped zombie, and still the process first seen under its pid.
bool isRunning(const Helper& helper)
{
    const QList<QByteArray> fields = statFields(helper.pid);
    return fields.size() > 19 && fields[19] == helper.startTime && fields[0] != "Z" &&
           fields[0] != "X";
}

// Kills whatever helpers are still running when it goes, so that a failing check leaves
// nothing behind either.
struct Survivors {
    QList<Helper> helpers;

    ~Survivors()
    {
        for (const Helper& helper : helpers)
            if (isRunning(helper))
                ::kill(pid_t(helper.pid), SIGKILL);
    }

    QStringList running() const
    {
        QStringList names;
        for (const Helper& helper : helpers)
            if (isRunning(helper))
                names << QStringLiteral("%1 (%2)").arg(helper.what).arg(helper.pid);
        return names;
    }
};

// The lines `process` prints before "ready"; nothing when it ends first.
std::optional<QList<QByteArray>> linesUntilReady(QProcess& process)
{
    QList<QByteArray> lines;
    bool ready = false;
    (void)QTest::qWaitFor(
        [&] {
            while (!ready && process.canReadLine()) {
                const QByteArray line = process.readLine().trimmed();
                ready = line == "ready";
                if (!ready)
                    lines << line;
            }
            return ready || process.state() == QProcess::NotRunning;
        },
        60000);
    if (!ready)
        return std::nullopt;
    return lines;
}

// Follows the helpers named by "<what> <pid>" lines.
void follow(Survivors& survivors, const QList<QByteArray>& lines)
{
    for (const QByteArray& line : lines) {
        const QList<QByteArray> words = line.split(' ');
        const qint64 pid = words.value(1).toLongLong();
        survivors.helpers.append({QString::fromUtf8(words[0]), pid, startTimeOf(pid)});
    }
}

bool allEnded(const Survivors& survivors)
{
    return QTest::qWaitFor([&] { return survivors.running().isEmpty(); }, 15000);
}

// Gives `process` `scratch` as its temporary folder: what it leaves there when killed outright
// goes with `scratch`.
void useScratch(QProcess& process, const QTemporaryDir& scratch)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TMPDIR", scratch.path());
    process.setProcessEnvironment(environment);
}

// The first of `tools` that is not installed; empty when all are.
QString missing(std::initializer_list<const char*> tools)
{
    for (const char* tool : tools)
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return tool;
    return {};
}

} // namespace

class HelperProcessesTest : public QObject {
    Q_OBJECT

private slots:
    void helpersEndWhenTheTestCrashes_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("detachedHost");
        QTest::newRow("segmentation fault") << "segv" << false;
        QTest::newRow("abort") << "abort" << false;
        QTest::newRow("killed") << "kill" << false;
        // Only the reaper ctest runs every test under can end a program that left its parent.
        QTest::newRow("host started detached, under the reaper") << "segv" << true;
    }

    void helpersEndWhenTheTestCrashes()
    {
        QFETCH(QString, how);
        QFETCH(bool, detachedHost);
        if (const QString tool = missing({"dbus-daemon", "Xvfb", "dunst"}); !tool.isEmpty())
            QSKIP(qPrintable(tool + " is not installed"));
        QTemporaryDir scratch;
        HelperProcess test;
        useScratch(test, scratch);
        test.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (detachedHost)
            test.start(HELPER_REAPER_BINARY,
                       {CRASH_WITH_HELPERS_BINARY, AMBREVOLI_HOST_BINARY, "--detached-host"});
        else
            test.start(CRASH_WITH_HELPERS_BINARY, {AMBREVOLI_HOST_BINARY});
        const auto lines = linesUntilReady(test);
        QVERIFY2(lines, "the crashing test never got ready");
        Survivors survivors;
        follow(survivors, *lines);
        QCOMPARE(survivors.helpers.size(), detachedHost ? 5 : 4);
        QCOMPARE(survivors.running().size(), survivors.helpers.size());

        if (how == "kill")
            test.kill();
        else
            test.write(how.toUtf8() + "\n");
        QVERIFY(test.waitForFinished(30000));
        QCOMPARE(test.exitStatus(), QProcess::CrashExit);

        QVERIFY2(allEnded(survivors),
                 qPrintable("still running: " + survivors.running().join(", ")));
    }

    // ctest sees the test's outcome through the reaper: a failure must not turn into a pass.
    void theReaperEndsAsTheTestDid_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("passed") << "exit 0" << int(QProcess::NormalExit) << 0;
        QTest::newRow("failed") << "exit 3" << int(QProcess::NormalExit) << 3;
        QTest::newRow("crashed") << "kill -SEGV $$" << int(QProcess::CrashExit) << -1;
    }

    void theReaperEndsAsTheTestDid()
    {
        QFETCH(QString, script);
        QFETCH(int, exitStatus);
        QFETCH(int, exitCode);
        HelperProcess reaper;
        reaper.start(HELPER_REAPER_BINARY, {"/bin/sh", "-c", script});
        QVERIFY(reaper.waitForFinished(30000));
        QCOMPARE(int(reaper.exitStatus()), exitStatus);
        if (exitStatus == QProcess::NormalExit)
            QCOMPARE(reaper.exitCode(), exitCode);
    }

    void aThrowawaySessionKilledOutrightLeavesNothing()
    {
        if (const QString tool =
                missing({"dbus-daemon", "Xvfb", "dunst", "dunstctl", "busctl", "jq", "setpriv"});
            !tool.isEmpty())
            QSKIP(qPrintable(tool + " is not installed"));
        // The demo's and the benchmarks' session, whose EXIT trap never runs on SIGKILL.
        QTemporaryDir scratch;
        HelperProcess script;
        useScratch(script, scratch);
        script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        script.start("bash", {"-c", R"(
            set -e
            source "$1"
            session_begin ambrevoli-helper-check
            session_start_bus
            session_start_notification_server
            session_start_host "$2" "$session_dir/host.log"
            for pid in "${session_pids[@]}"; do echo "$(cat /proc/$pid/comm) $pid"; done
            echo ready
            read -r
        )",
                              "bash", THROWAWAY_SESSION_SCRIPT, AMBREVOLI_HOST_BINARY});
        const auto lines = linesUntilReady(script);
        QVERIFY2(lines, "the session never got ready");
        Survivors survivors;
        follow(survivors, *lines);
        QCOMPARE(survivors.helpers.size(), 4); // bus, display, dunst, host
        QCOMPARE(survivors.running().size(), 4);

        script.kill();
        QVERIFY(script.waitForFinished(30000));
        QVERIFY2(allEnded(survivors),
                 qPrintable("still running: " + survivors.running().join(", ")));
    }
};

QTEST_GUILESS_MAIN(HelperProcessesTest)
#include "helper_processes_test.moc"
