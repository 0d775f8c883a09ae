#pragma once

// The host running as it does for a user, in a world of its own: a throwaway home with its data,
// config and runtime folders, a private session bus with a stand-in notification server on it,
// and everything the host logs. For tests that run the real host and talk to it with real
// processes. The test target defines AMBREVOLI_HOST_BINARY and uses ambrevoli_use_slow_source().

#include "desktop_fakes.h"
#include "slow_source.h"

#include "copy_engine.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sys/prctl.h>
#include <sys/types.h>

#include <algorithm>
#include <csignal>
#include <expected>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ambrevoli::testing {

class HostSession {
public:
    // Builds the world; the host is not started yet (start()). Main thread only.
    HostSession()
    {
        std::filesystem::create_directories(path("run"));
        std::filesystem::permissions(path("run"), std::filesystem::perms::owner_all);
        // The host senders start: the real one, each start noted (hostStarts()).
        std::ofstream(path("host"))
            << "#!/bin/sh\n"
               "echo $$ >> '"
            << path("host-starts") << "'\nexec '" << AMBREVOLI_HOST_BINARY << "' \"$@\"\n";
        std::filesystem::permissions(path("host"), std::filesystem::perms::owner_all);
        QObject::connect(&m_host, &QProcess::readyReadStandardError, &m_host,
                         [this] { m_log += QString::fromUtf8(m_host.readAllStandardError()); });
    }

    // Ends the hosts senders started and the host, then unmounts the slow source: only after
    // nothing reads it any more, and before the home it is mounted in goes.
    ~HostSession()
    {
        for (const pid_t pid : hostStarts())
            ::kill(pid, SIGTERM);
        for (const pid_t pid : hostStarts())
            if (!QTest::qWaitFor([pid] { return ::kill(pid, 0) != 0; }, 10000))
                ::kill(pid, SIGKILL);
        if (m_host.state() != QProcess::NotRunning)
            (void)stopHost();
    }

    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Why there can be no such world here (no private session bus), or nothing.
    std::optional<QString> unavailableReason() const
    {
        if (m_bus.address().isEmpty())
            return "no private session bus: " + m_bus.failure();
        return std::nullopt;
    }

    // Puts the stand-in notification server on the bus and starts the host in the background,
    // as a login does; returns once it logged that it started. Empty on success, else what failed.
    QString start()
    {
        if (!m_server.serve(m_bus.connect("notifications")))
            return "the stand-in notification server could not take its name";
        m_host.setProcessEnvironment(environment());
        m_host.start(AMBREVOLI_HOST_BINARY, {"--background"});
        if (!m_host.waitForStarted())
            return "the host did not start: " + m_host.errorString();
        if (!waitForLog("Ambrevoli started"))
            return "the host never said it started; it logged:\n" + m_log;
        return {};
    }

    // Ends the host as a logout does, serving the notification server the host reports to on
    // its way out (this thread's event loop) meanwhile; what it logged last is in log() then.
    bool stopHost(int timeoutMs = 20000)
    {
        m_host.terminate();
        const bool ended =
            QTest::qWaitFor([&] { return m_host.state() == QProcess::NotRunning; }, timeoutMs);
        m_log += QString::fromUtf8(m_host.readAllStandardError());
        return ended;
    }

    // What a short-lived program did.
    struct Run {
        int exitCode = -1;
        QString out, err;
    };

    // Runs a short-lived program in the world's environment, in `folder` when given; exitCode
    // -1 when it did not end within `timeoutMs`.
    Run run(const QString& program, const QStringList& arguments, const QString& folder = {},
            int timeoutMs = 20000) const
    {
        HelperProcess process;
        process.setProcessEnvironment(environment());
        if (!folder.isEmpty())
            process.setWorkingDirectory(folder);
        process.start(program, arguments);
        if (!process.waitForFinished(timeoutMs))
            return {};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    // A host start of the test's own besides host(), in the world's environment changed by
    // `extra`, what it logs added to `log`; it dies with the test process even if that crashes.
    // With `limits` (ulimit arguments) it is started through the shell under them.
    std::unique_ptr<QProcess> startHost(const QStringList& arguments, QString* log,
                                        const QString& limits = {},
                                        const QProcessEnvironment& extra = {}) const
    {
        auto host = std::make_unique<QProcess>();
        QProcessEnvironment env = environment();
        env.insert(extra);
        host->setProcessEnvironment(env);
        host->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QProcess* process = host.get();
        QObject::connect(process, &QProcess::readyReadStandardError, process, [process, log] {
            *log += QString::fromUtf8(process->readAllStandardError());
        });
        if (limits.isEmpty())
            host->start(AMBREVOLI_HOST_BINARY, arguments);
        else
            host->start("/bin/sh", QStringList{"-c", limits + " && exec \"$0\" \"$@\"",
                                               AMBREVOLI_HOST_BINARY} +
                                       arguments);
        return host;
    }

    // The path of `relative` in the world's folder.
    std::string path(std::string_view relative) const
    {
        return m_folder.path().toStdString() + "/" + std::string(relative);
    }

    QString folder() const { return m_folder.path(); }

    // The environment of the host and of every program a test runs against it: the throwaway
    // home, the private bus, the host senders start (noted), the host's log on stderr with its
    // private arguments, no display. setVariable() changes it for what starts afterwards.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(path("home")));
        env.insert("XDG_DATA_HOME", QString::fromStdString(path("home/.local/share")));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(path("home/.config")));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(path("run")));
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_bus.address());
        env.insert("AMBREVOLI_HOST", QString::fromStdString(path("host")));
        env.insert("AMBREVOLI_LOG", "stderr");
        env.insert("AMBREVOLI_LOG_PRIVATE", "1");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert(m_variables);
        return env;
    }

    void setVariable(const QString& name, const QString& value) { m_variables.insert(name, value); }

    // The host started by start(); a test may end and start it again.
    HelperProcess& host() { return m_host; }
    // The stand-in notification server the host reports to.
    FakeNotificationServer& server() { return m_server; }

    // What the host logged so far.
    const QString& log() const { return m_log; }
    int countLog(const QString& text) const { return m_log.count(text); }

    // Waits (running this thread's event loop, which serves the notification server) until
    // the host has logged `text` `count` times.
    bool waitForLog(const QString& text, int count = 1)
    {
        return QTest::qWaitFor([&] { return countLog(text) >= count; }, 20000);
    }

    // The processes senders started as the host.
    std::vector<pid_t> hostStarts() const
    {
        std::vector<pid_t> pids;
        std::ifstream in(path("host-starts"));
        for (pid_t pid; in >> pid;)
            pids.push_back(pid);
        return pids;
    }

    // Mounts a slowed-down source at `relative` holding `files`, read together at
    // `bytesPerSecond`, for as long as the session lasts. Yields the files' paths in order, or
    // why no such source can be mounted here.
    std::expected<QStringList, std::string>
    mountSlowSource(std::string_view relative, const std::vector<SlowSource::File>& files,
                    std::uint64_t bytesPerSecond)
    {
        auto mounted = SlowSource::mount(path(relative), files, bytesPerSecond);
        if (!mounted)
            return std::unexpected(mounted.error());
        m_source.emplace(std::move(*mounted));
        QStringList paths;
        for (const SlowSource::File& file : files)
            paths << QString::fromStdString(m_source->path(file.name));
        return paths;
    }

    // What in the folder `relative` a copy from the slow source must never leave there, however
    // it ended: an item still under its temporary name, an item the source does not hold, an
    // item that is not a whole copy of its source. One line for each; empty when there is none.
    QString faultyCopiesIn(std::string_view relative) const
    {
        QStringList faults;
        for (const auto& entry : std::filesystem::directory_iterator(path(relative))) {
            const std::string name = entry.path().filename();
            if (name.starts_with(temporaryPrefix)) {
                faults << QString::fromStdString("temporary: " + name);
                continue;
            }
            const std::vector<SlowSource::File> none;
            const auto& files = m_source ? m_source->files() : none;
            const auto served = std::find_if(files.begin(), files.end(),
                                             [&](const auto& file) { return file.name == name; });
            if (served == files.end())
                faults << QString::fromStdString("not from the source: " + name);
            else if (const auto mismatch = SlowSource::mismatch(entry.path(), *served))
                faults << QString::fromStdString(*mismatch);
        }
        return faults.join('\n');
    }

private:
    // Declared in the order they are needed; they go in reverse.
    QTemporaryDir m_folder;
    PrivateSessionBus m_bus;
    FakeNotificationServer m_server;
    std::optional<SlowSource> m_source;
    QProcessEnvironment m_variables;
    QString m_log;
    HelperProcess m_host;
};

} // namespace ambrevoli::testing
