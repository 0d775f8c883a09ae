#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// What a test needs to talk D-Bus without reaching the desktop it runs in: a session bus of its
// own, and the helper programs it runs beside itself that end with it.

namespace ambrevoli::testing {

// A program a test runs beside itself. It ends with the test however the test ends: asked to
// terminate (and killed if it won't) when this object goes, and sent SIGTERM by the kernel when
// the test process dies without running destructors — a crash, an abort, SIGKILL. Start it from
// the main thread: the kernel sends that signal when the thread that started the program ends,
// not only the process. (A program that detaches from its parent escapes this; ctest's
// helper_reaper ends those.)
class HelperProcess : public QProcess {
public:
    explicit HelperProcess(QObject* parent = nullptr);
    ~HelperProcess() override;
};

// A session bus that belongs to one test: a dbus-daemon listening in a temporary folder, with
// no activatable services, ended when this object goes.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Empty when the daemon could not start; then failure() says why.
    const QString& address() const { return m_address; }
    const QString& failure() const { return m_failure; }

    // A new connection of its own to the bus, closed when the bus object goes.
    QDBusConnection connect(const QString& name);
    qint64 processId() const { return m_daemon.processId(); }

private:
    QTemporaryDir m_folder;
    HelperProcess m_daemon;
    QString m_address;
    QString m_failure;
    QStringList m_connections;
};

} // namespace ambrevoli::testing
