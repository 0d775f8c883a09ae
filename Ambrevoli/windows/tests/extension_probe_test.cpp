#include "extension_probe.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <unistd.h>

#include <vector>

using namespace ambrevoli;

Q_DECLARE_METATYPE(ambrevoli::ExtensionState)

namespace {

struct Process {
    const char* comm;
    bool ours;        // owned by the user asked about
    const char* maps; // the maps' text; nullptr: no maps file (the process is going away)
};

// One line of /proc/<pid>/maps naming `path`.
QByteArray mapsLine(const QString& path)
{
    return "7f2a1c400000-7f2a1c41c000 r-xp 00002000 fe:01 1835123                    " +
           QFile::encodeName(path) + "\n";
}

// The path of the first file mapped by `pid` whose name contains `name`, once it is mapped.
QString libraryMappedBy(qint64 pid, const QString& name)
{
    // A loaded machine may take seconds to start a process.
    for (int attempt = 0; attempt < 2000; ++attempt) {
        QFile maps("/proc/" + QString::number(pid) + "/maps");
        if (maps.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : maps.readAll().split('\n')) {
                const qsizetype slash = line.indexOf('/');
                if (slash > 0 && line.contains(name.toUtf8()))
                    return QFile::decodeName(line.mid(slash));
            }
        }
        QThread::msleep(10);
    }
    return {};
}

} // namespace

class ExtensionProbeTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_temp;
    QString m_extensions; // where Files loads extensions from
    QString m_module;

    // A process table under a fresh folder; the processes' folders are owned by the test's user.
    QString processTable(const std::vector<Process>& processes)
    {
        static int tables = 0;
        const QString root = m_temp.filePath(QStringLiteral("proc%1").arg(++tables));
        QDir().mkpath(root + "/self");
        int pid = 100;
        for (const Process& process : processes) {
            const QString folder = root + "/" + QString::number(++pid);
            QDir().mkpath(folder);
            QFile comm(folder + "/comm");
            comm.open(QIODevice::WriteOnly);
            comm.write(QByteArray(process.comm) + "\n");
            if (process.maps) {
                QFile maps(folder + "/maps");
                maps.open(QIODevice::WriteOnly);
                maps.write(QByteArray(process.maps)
                               .replace("ELSEWHERE", mapsLine("/backup" + m_module).trimmed())
                               .replace("MODULE", mapsLine(m_module).trimmed()));
            }
        }
        return root;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_temp.isValid());
        m_extensions = m_temp.filePath("extensions-4");
        QVERIFY(QDir().mkpath(m_extensions));
        m_module = m_extensions + "/libambrevoli-finder.so";
        QFile module(m_module);
        QVERIFY(module.open(QIODevice::WriteOnly));
    }

    // The installed module against the user's running Files processes.
    void runningFilesMustHaveLoadedTheModule_data()
    {
        QTest::addColumn<int>("table");
        QTest::addColumn<ExtensionState>("state");
        constexpr auto enabled = ExtensionState::enabled;
        constexpr auto notLoaded = ExtensionState::notLoaded;
        QTest::newRow("Files not running: it loads the module when it starts") << 0 << enabled;
        QTest::newRow("Files loaded it") << 1 << enabled;
        QTest::newRow("Files started before the installation") << 2 << notLoaded;
        QTest::newRow("two windows' processes, one started before") << 3 << notLoaded;
        QTest::newRow("other programs are not Files") << 4 << enabled;
        QTest::newRow("another user's old Files is not ours") << 5 << enabled;
        QTest::newRow("module replaced by a newer installation since Files loaded it")
            << 6 << enabled;
        QTest::newRow("a process whose maps can't be read is not held against it") << 7 << enabled;
        QTest::newRow("a copy of the module elsewhere is not the installed one") << 8 << notLoaded;
        QTest::newRow("an ended Files not reaped yet maps nothing and is not held against it")
            << 9 << enabled;
    }
    void runningFilesMustHaveLoadedTheModule()
    {
        QFETCH(int, table);
        QFETCH(ExtensionState, state);
        const char* other =
            "7f2a1c400000-7f2a1c41c000 r-xp 00002000 fe:01 99 /usr/lib/libgtk-4.so.1\n";
        const std::vector<std::vector<Process>> tables = {
            {{"bash", true, other}},
            {{"nautilus", true, "MODULE\n"}},
            {{"nautilus", true, other}},
            {{"nautilus", true, "MODULE\n"}, {"nautilus", true, other}},
            {{"bash", true, other},
             {"nautilus-sendto", true, other},
             {"nautilus", true, "MODULE\n"}},
            {{"nautilus", false, other}},
            {{"nautilus", true, "MODULE (deleted)\n"}},
            {{"nautilus", true, nullptr}},
            {{"nautilus", true, "ELSEWHERE\n"}},
            {{"nautilus", true, ""}},
        };
        const QString root = processTable(tables.at(table));
        // The user asked about owns the folders, except in the other user's row.
        uid_t user = ::getuid();
        if (table == 5)
            user += 1;
        QCOMPARE(finderExtensionState(m_module.toStdString(), root.toStdString(), user), state);
        QCOMPARE(isFinderExtensionEnabled(m_module.toStdString(), root.toStdString(), user),
                 state == ExtensionState::enabled);
    }

    void notInstalledIsNeverEnabled()
    {
        const QString root = processTable({});
        QCOMPARE(finderExtensionState(m_extensions.toStdString() + "/missing.so",
                                      root.toStdString(), ::getuid()),
                 ExtensionState::notInstalled);
        QVERIFY(!isFinderExtensionEnabled(m_extensions.toStdString() + "/missing.so",
                                          root.toStdString(), ::getuid()));
        // A folder in the module's place is no module.
        QVERIFY(QDir().mkpath(m_extensions + "/folder.so"));
        QVERIFY(!isFinderExtensionEnabled(m_extensions.toStdString() + "/folder.so",
                                          root.toStdString(), ::getuid()));
        QCOMPARE(finderExtensionState(m_extensions.toStdString() + "/folder.so", root.toStdString(),
                                      ::getuid()),
                 ExtensionState::notInstalled);
    }

    // An installation that links the module into Files' folder: the maps name the link's target.
    void aLinkedModuleIsFoundUnderItsTarget()
    {
        const QString link = m_temp.filePath("linked-extensions");
        QVERIFY(QDir().mkpath(link));
        QVERIFY(QFile::link(m_module, link + "/libambrevoli-finder.so"));
        const QString root = processTable({{"nautilus", true, "MODULE\n"}});
        QVERIFY(isFinderExtensionEnabled((link + "/libambrevoli-finder.so").toStdString(),
                                         root.toStdString(), ::getuid()));
    }

    void theBuildKnowsWhereFilesLoadsExtensions()
    {
        const std::string path = finderModuleInstallPath();
        QVERIFY2(path.starts_with('/') && path.ends_with("/libambrevoli-finder.so"), path.c_str());
    }

    // The real process table: a process named like Files that has the C library mapped but not
    // the module.
    void readsTheRealProcessTable()
    {
        const QString files = m_temp.filePath("nautilus");
        QVERIFY(QFile::copy(QStandardPaths::findExecutable("sleep"), files));
        QProcess process;
        process.start(files, {"30"});
        QVERIFY(process.waitForStarted());
        const QString libc = libraryMappedBy(process.processId(), "libc.so");
        QVERIFY2(!libc.isEmpty(), "the started process maps no C library");
        QVERIFY(isFinderExtensionEnabled(libc.toStdString(), "/proc", ::getuid()));
        QVERIFY(!isFinderExtensionEnabled(m_module.toStdString(), "/proc", ::getuid()));
        process.kill();
        process.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(ExtensionProbeTest)
#include "extension_probe_test.moc"
