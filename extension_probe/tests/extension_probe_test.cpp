#include "extension_probe.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace ambrevoli;

Q_DECLARE_METATYPE(ambrevoli::ExtensionState)
Q_DECLARE_METATYPE(ambrevoli::FileManager)

namespace {

// One of the user's file manager processes in a staged process table.
struct Running {
    const char* comm;
    bool hasItsModule; // its maps name its file manager's installed module
};

// A world of staged modules and file manager processes, and the status it must read as.
struct World {
    std::vector<FileManager> installed;     // modules in place; the others' files are missing
    std::vector<FileManager> withoutModule; // this build has no module for these at all
    std::vector<Running> running;
    FileManager preferred;
    ExtensionStatus status;
};

QString nameOf(FileManager fileManager) { return QString::fromUtf8(fileManagerName(fileManager)); }

FileManager fileManagerOf(std::string_view comm)
{
    if (comm == "nautilus")
        return FileManager::files;
    if (comm == "nemo")
        return FileManager::nemo;
    if (comm == "caja")
        return FileManager::caja;
    if (comm == "dolphin")
        return FileManager::dolphin;
    return FileManager::thunar;
}

} // namespace

Q_DECLARE_METATYPE(World)

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

// GNOME Files' state over its module at `modulePath` alone, for `user`'s processes under
// `procRoot`.
ExtensionState filesState(const QString& modulePath, const QString& procRoot, uid_t user)
{
    const ExtensionStatus status =
        extensionStatus({{FileManager::files, modulePath.toStdString()}}, procRoot.toStdString(),
                        user, FileManager::files);
    return status.fileManager == FileManager::files ? status.state : ExtensionState::notInstalled;
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
        QCOMPARE(filesState(m_module, root, user), state);
    }

    // Every file manager's module staged in a folder of its own, against the user's running file
    // managers: the status names the one the user runs and how far its menu is.
    void statusNamesTheFileManagerTheUserRuns_data()
    {
        using enum FileManager;
        constexpr auto enabled = ExtensionState::enabled;
        constexpr auto notLoaded = ExtensionState::notLoaded;
        constexpr auto notInstalled = ExtensionState::notInstalled;
        const std::vector<FileManager> all{files, nemo, caja, thunar, dolphin};
        QTest::addColumn<World>("world");
        QTest::newRow("Files with its module")
            << World{all, {}, {{"nautilus", true}}, files, {files, enabled}};
        QTest::newRow("Files without")
            << World{all, {}, {{"nautilus", false}}, files, {files, notLoaded}};
        QTest::newRow("Nemo with its module")
            << World{all, {}, {{"nemo", true}}, files, {nemo, enabled}};
        QTest::newRow("Nemo without")
            << World{all, {}, {{"nemo", false}}, files, {nemo, notLoaded}};
        QTest::newRow("Caja with its module")
            << World{all, {}, {{"caja", true}}, files, {caja, enabled}};
        QTest::newRow("Caja without")
            << World{all, {}, {{"caja", false}}, files, {caja, notLoaded}};
        QTest::newRow("Thunar with its module")
            << World{all, {}, {{"thunar", true}}, files, {thunar, enabled}};
        QTest::newRow("Thunar without")
            << World{all, {}, {{"thunar", false}}, files, {thunar, notLoaded}};
        QTest::newRow("Thunar started under its old name")
            << World{all, {}, {{"Thunar", false}}, files, {thunar, notLoaded}};
        QTest::newRow("Dolphin with its plugin")
            << World{all, {}, {{"dolphin", true}}, files, {dolphin, enabled}};
        // Dolphin loads the plugin when it first opens a context menu.
        QTest::newRow("Dolphin that has not needed it yet")
            << World{all, {}, {{"dolphin", false}}, files, {dolphin, enabled}};
        QTest::newRow("Nemo running, its module not installed")
            << World{{files}, {}, {{"nemo", false}}, files, {nemo, notInstalled}};
        QTest::newRow("Caja running, this build has no module for it")
            << World{{files}, {caja}, {{"caja", false}}, files, {caja, notInstalled}};
        QTest::newRow("none running: the desktop's, installed")
            << World{all, {}, {}, thunar, {thunar, enabled}};
        QTest::newRow("none running: the desktop's, not installed")
            << World{{files}, {}, {}, nemo, {nemo, notInstalled}};
        QTest::newRow("two running, one lacking it: that one, whatever the desktop")
            << World{all, {}, {{"nautilus", true}, {"nemo", false}}, files, {nemo, notLoaded}};
        QTest::newRow("two running, the other has no module: the one that has it")
            << World{{files}, {}, {{"nautilus", true}, {"caja", false}}, caja, {files, enabled}};
        QTest::newRow("two running with it: the desktop's")
            << World{all, {}, {{"nautilus", true}, {"caja", true}}, caja, {caja, enabled}};
        QTest::newRow("two running with it, neither the desktop's: the first known")
            << World{all, {}, {{"caja", true}, {"nemo", true}}, dolphin, {nemo, enabled}};
        QTest::newRow("two windows of Nemo, one started before the installation")
            << World{all, {}, {{"nemo", true}, {"nemo", false}}, files, {nemo, notLoaded}};
        QTest::newRow("a running module of another file manager is not this one's")
            << World{all, {}, {{"nautilus", true}, {"thunar", false}}, files, {thunar, notLoaded}};
    }
    void statusNamesTheFileManagerTheUserRuns()
    {
        QFETCH(World, world);
        static int worlds = 0;
        const QString folder = m_temp.filePath(QStringLiteral("world%1").arg(++worlds));
        std::vector<FileManagerModule> modules;
        for (FileManager fileManager : {FileManager::files, FileManager::nemo, FileManager::caja,
                                        FileManager::thunar, FileManager::dolphin}) {
            if (std::ranges::count(world.withoutModule, fileManager))
                continue;
            const QString extensions =
                folder + "/" + QString::fromUtf8(fileManagerName(fileManager)) + "/extensions";
            QVERIFY(QDir().mkpath(extensions));
            modules.push_back({fileManager, (extensions + "/ambrevoli.so").toStdString()});
            if (std::ranges::count(world.installed, fileManager)) {
                QFile module(QString::fromStdString(modules.back().modulePath));
                QVERIFY(module.open(QIODevice::WriteOnly));
            }
        }
        // A process's maps name its own file manager's module, or another program's library.
        const auto mapped = [&](const Running& running) {
            std::string path = "/usr/lib/libgtk-3.so.0";
            for (const FileManagerModule& module : modules)
                if (running.hasItsModule && module.fileManager == fileManagerOf(running.comm))
                    path = module.modulePath;
            return mapsLine(QString::fromStdString(path));
        };
        std::vector<QByteArray> maps;
        for (const Running& running : world.running)
            maps.push_back(mapped(running));
        std::vector<Process> processes;
        for (std::size_t i = 0; i < world.running.size(); ++i)
            processes.push_back({world.running[i].comm, true, maps[i].constData()});
        const QString root = processTable(processes);

        const ExtensionStatus status =
            extensionStatus(modules, root.toStdString(), ::getuid(), world.preferred);
        QCOMPARE(nameOf(status.fileManager), nameOf(world.status.fileManager));
        QCOMPARE(status.state, world.status.state);
    }

    // The desktop the user is logged in to names the file manager that comes with it.
    void theDesktopNamesItsFileManager_data()
    {
        QTest::addColumn<QString>("currentDesktop");
        QTest::addColumn<FileManager>("fileManager");
        QTest::newRow("GNOME") << "GNOME" << FileManager::files;
        QTest::newRow("Ubuntu's GNOME") << "ubuntu:GNOME" << FileManager::files;
        QTest::newRow("Cinnamon") << "X-Cinnamon" << FileManager::nemo;
        QTest::newRow("MATE") << "MATE" << FileManager::caja;
        QTest::newRow("Xfce") << "XFCE" << FileManager::thunar;
        QTest::newRow("Plasma") << "KDE" << FileManager::dolphin;
        QTest::newRow("the first known one of a list") << "Budgie:MATE:GNOME" << FileManager::caja;
        QTest::newRow("unknown desktop") << "sway" << FileManager::files;
        QTest::newRow("no desktop") << "" << FileManager::files;
        QTest::newRow("a name only in part") << "MATE-like" << FileManager::files;
        QTest::newRow("case matters, as in the desktop entries") << "kde" << FileManager::files;
    }
    void theDesktopNamesItsFileManager()
    {
        QFETCH(QString, currentDesktop);
        QFETCH(FileManager, fileManager);
        QCOMPARE(nameOf(desktopFileManager(currentDesktop.toStdString())), nameOf(fileManager));
    }

    void notInstalledIsNeverEnabled()
    {
        const QString root = processTable({});
        QCOMPARE(filesState(m_extensions + "/missing.so", root, ::getuid()),
                 ExtensionState::notInstalled);
        // A folder in the module's place is no module.
        QVERIFY(QDir().mkpath(m_extensions + "/folder.so"));
        QCOMPARE(filesState(m_extensions + "/folder.so", root, ::getuid()),
                 ExtensionState::notInstalled);
    }

    // An installation that links the module into Files' folder: the maps name the link's target.
    void aLinkedModuleIsFoundUnderItsTarget()
    {
        const QString link = m_temp.filePath("linked-extensions");
        QVERIFY(QDir().mkpath(link));
        QVERIFY(QFile::link(m_module, link + "/libambrevoli-finder.so"));
        const QString root = processTable({{"nautilus", true, "MODULE\n"}});
        QCOMPARE(filesState(link + "/libambrevoli-finder.so", root, ::getuid()),
                 ExtensionState::enabled);
    }

    void theBuildKnowsWhereFilesLoadsExtensions()
    {
        // Every module built is looked for where its file manager loads it, Files' among them.
        const std::vector<FileManagerModule> modules = builtModules();
        QVERIFY(std::ranges::count_if(modules, [&](const FileManagerModule& module) {
                    return module.fileManager == FileManager::files &&
                           module.modulePath.ends_with("/libambrevoli-finder.so");
                }) == 1);
        for (const FileManagerModule& module : modules)
            QVERIFY2(module.modulePath.starts_with('/') && module.modulePath.ends_with(".so") &&
                         std::ranges::count(modules, module.fileManager,
                                            &FileManagerModule::fileManager) == 1,
                     module.modulePath.c_str());
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
        QCOMPARE(filesState(libc, "/proc", ::getuid()), ExtensionState::enabled);
        QCOMPARE(filesState(m_module, "/proc", ::getuid()), ExtensionState::notLoaded);
        process.kill();
        process.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(ExtensionProbeTest)
#include "extension_probe_test.moc"
