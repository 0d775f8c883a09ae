// crash_with_helpers HOST [--detached-host]
//
// A test that crashes, for helper_processes_test: starts the helpers of the host's tests the way
// those tests do (a private bus, a virtual display, dunst, the host at HOST; with
// --detached-host also a host started detached, as a send starts one), prints one line
// "<what> <pid>" for each and then "ready", and waits for one line on stdin: "segv" crashes with
// SIGSEGV, "abort" aborts. Anything else, or the end of the input, exits normally.

#include "desktop_fakes.h"

#include "handoff_url.h"
#include "host_launcher.h"
#include "uuid.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

using namespace ambrevoli;
using namespace ambrevoli::testing;

namespace {

int fail(const QString& why)
{
    std::cerr << "crash_with_helpers: " << why.toStdString() << std::endl;
    return 1;
}

void tell(const char* what, qint64 pid) { std::cout << what << ' ' << pid << std::endl; }

// The home, data and runtime folders of a host of its own under `root`.
QStringList hostEnvironment(const QString& root, const QString& busAddress)
{
    QDir().mkpath(root + "/home/.local/share");
    QDir().mkpath(root + "/run");
    QFile::setPermissions(root + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return {"HOME=" + root + "/home",           "XDG_DATA_HOME=" + root + "/home/.local/share",
            "XDG_RUNTIME_DIR=" + root + "/run", "DBUS_SESSION_BUS_ADDRESS=" + busAddress,
            "QT_QPA_PLATFORM=offscreen",        "AMBREVOLI_LOG=stderr"};
}

// The process whose environment holds `entry`, once one does.
qint64 findProcessWith(const QByteArray& entry)
{
    qint64 found = 0;
    (void)QTest::qWaitFor(
        [&] {
            QDirIterator processes("/proc", QDir::Dirs | QDir::NoDotAndDotDot);
            while (processes.hasNext()) {
                QFile environment(processes.next() + "/environ");
                if (environment.open(QIODevice::ReadOnly) &&
                    environment.readAll().split('\0').contains(entry)) {
                    found = processes.fileName().toLongLong();
                    return true;
                }
            }
            return false;
        },
        10000);
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 2)
        return fail("usage: crash_with_helpers HOST [--detached-host]");
    const QString host = arguments[1];
    QTemporaryDir temp;
    if (!temp.isValid())
        return fail("no temporary folder");

    PrivateSessionBus bus;
    if (bus.address().isEmpty())
        return fail(bus.failure());
    tell("dbus-daemon", bus.processId());
    VirtualDisplay display;
    if (display.name().isEmpty())
        return fail(display.failure());
    tell("Xvfb", display.processId());
    NotificationDaemon server(bus, display);
    if (!server.serving())
        return fail(server.failure());
    tell("dunst", server.processId());

    HelperProcess hostProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : hostEnvironment(temp.filePath("host"), bus.address()))
        environment.insert(entry.section('=', 0, 0), entry.section('=', 1));
    hostProcess.setProcessEnvironment(environment);
    hostProcess.start(host, {"--background"});
    QString log;
    if (!QTest::qWaitFor(
            [&] {
                log += QString::fromUtf8(hostProcess.readAllStandardError());
                return log.contains("Ambrevoli started");
            },
            20000))
        return fail("the host didn't start: " + log);
    tell("host", hostProcess.processId());

    if (arguments.contains("--detached-host")) {
        // Nothing to hand its URL to, it stays as the host of a home of its own.
        const QByteArray mark =
            "AMBREVOLI_CRASH_CHECK=" + QByteArray::fromStdString(Uuid::random().text());
        std::vector<std::string> extra{mark.toStdString()};
        for (const QString& entry : hostEnvironment(temp.filePath("detached"), bus.address()))
            extra.push_back(entry.toStdString());
        const auto started = openWithHost(HandoffURL::send(Uuid::random()),
                                          {host.toStdString(), false, std::move(extra)});
        if (!started)
            return fail("can't start a detached host");
        const qint64 detached = findProcessWith(mark);
        if (detached == 0)
            return fail("the detached host never appeared");
        tell("detached-host", detached);
    }

    std::cout << "ready" << std::endl;
    std::string how;
    std::getline(std::cin, how);
    if (how == "segv") {
        // A sanitizer's handler would report the crash and exit; a crash is the kernel's default.
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
    } else if (how == "abort")
        std::abort();
    return 0;
}
