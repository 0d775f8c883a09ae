#include "private_session_bus.h"

#include <QFile>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace ambrevoli::testing {

HelperProcess::HelperProcess(QObject* parent) : QProcess(parent)
{
    const pid_t test = ::getpid();
    setChildProcessModifier([test] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Armed too late when the test died before it: then nobody would send the signal.
        if (::getppid() != test)
            ::_exit(127);
    });
}

HelperProcess::~HelperProcess()
{
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(5000)) {
        kill();
        waitForFinished(5000);
    }
}

PrivateSessionBus::PrivateSessionBus()
{
    if (!m_folder.isValid()) {
        m_failure = "no temporary folder";
        return;
    }
    // No <servicedir>: nothing on this bus is ever started on demand, whatever is installed.
    const QString config = m_folder.filePath("bus.conf");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        m_failure = "can't write " + config;
        return;
    }
    file.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=)" +
               QFile::encodeName(m_folder.path()) +
               R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    file.close();

    m_daemon.start("dbus-daemon", {"--config-file=" + config, "--nofork", "--print-address"});
    if (!m_daemon.waitForStarted(10000)) {
        m_failure = "dbus-daemon didn't start: " + m_daemon.errorString();
        return;
    }
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(10000)) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty())
        m_failure = "dbus-daemon printed no address: " + m_daemon.readAllStandardError();
}

PrivateSessionBus::~PrivateSessionBus()
{
    for (const QString& name : m_connections)
        QDBusConnection::disconnectFromBus(name);
}

QDBusConnection PrivateSessionBus::connect(const QString& name)
{
    m_connections << name;
    return QDBusConnection::connectToBus(m_address, name);
}

} // namespace ambrevoli::testing
