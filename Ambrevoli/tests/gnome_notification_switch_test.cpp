#include "gnome_notification_switch.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <string_view>

using namespace ambrevoli;

namespace {

// GNOME's schema, as far as the switch goes; compiled into each test's own schema folder so the
// test does not depend on the desktop schemas installed here.
constexpr char schema[] = R"(<schemalist>
  <schema id="org.gnome.desktop.notifications.application">
    <key name="application-id" type="s"><default>''</default></key>
    <key name="enable" type="b"><default>true</default></key>
  </schema>
</schemalist>
)";

bool write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

// GSettings picks its backend and reads its settings once per process, so each reading runs in
// a process of its own: this test program, started with --read-switch.
class GnomeNotificationSwitchTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_temp;
    QString m_schemas; // a data folder holding only the compiled schema above

    // What a fresh process with `desktop`, the keyfile `settings` and the data folders `dataDirs`
    // reads for `desktopID`: "on" or "off".
    QString readSwitch(const QString& desktop, const QByteArray& settings, const QString& desktopID,
                       const QString& dataDirs)
    {
        QTemporaryDir config;
        if (!write(config.filePath("glib-2.0/settings/keyfile"), settings))
            return "could not write the settings";
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CURRENT_DESKTOP", desktop);
        environment.insert("XDG_CONFIG_HOME", config.path());
        environment.insert("XDG_DATA_DIRS", dataDirs);
        environment.insert("GSETTINGS_BACKEND", "keyfile");
        environment.remove("GSETTINGS_SCHEMA_DIR");
        QProcess reader;
        reader.setProcessEnvironment(environment);
        reader.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        reader.start(QCoreApplication::applicationFilePath(), {"--read-switch", desktopID});
        if (!reader.waitForFinished(20000) || reader.exitStatus() != QProcess::NormalExit ||
            reader.exitCode() != 0)
            return "the reader failed: " + QString::number(reader.exitCode());
        return QString::fromUtf8(reader.readAllStandardOutput()).trimmed();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_temp.isValid());
        m_schemas = m_temp.filePath("data");
        const QString folder = m_schemas + "/glib-2.0/schemas";
        QVERIFY(write(folder + "/org.gnome.desktop.notifications.gschema.xml", schema));
        QProcess compile;
        compile.start("glib-compile-schemas", {folder});
        if (!compile.waitForStarted())
            QSKIP("glib-compile-schemas is not installed (scripts/install-deps installs it)");
        QVERIFY(compile.waitForFinished() && compile.exitCode() == 0);
    }

    void readsTheSwitchForOurDesktopID_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("desktopID");
        QTest::addColumn<QString>("reading");
        const QByteArray ambrevoliOff =
            "[org/gnome/desktop/notifications/application/ambrevoli]\nenable=false\n";
        QTest::newRow("switched off") << "GNOME" << ambrevoliOff << "ambrevoli"
                                      << "off";
        QTest::newRow("switched on")
            << "GNOME"
            << QByteArray("[org/gnome/desktop/notifications/application/ambrevoli]\nenable=true\n")
            << "ambrevoli"
            << "on";
        QTest::newRow("never touched: on") << "GNOME" << QByteArray() << "ambrevoli"
                                           << "on";
        QTest::newRow("another application switched off")
            << "GNOME"
            << QByteArray("[org/gnome/desktop/notifications/application/other]\nenable=false\n")
            << "ambrevoli"
            << "on";
        QTest::newRow("GNOME among the desktops") << "ubuntu:GNOME" << ambrevoliOff << "ambrevoli"
                                                  << "off";
        QTest::newRow("not GNOME: GNOME's switch does not apply")
            << "KDE" << ambrevoliOff << "ambrevoli"
            << "on";
        QTest::newRow("a desktop id GNOME rewrites")
            << "GNOME"
            << QByteArray(
                   "[org/gnome/desktop/notifications/application/org-example-app]\nenable=false\n")
            << "org.Example.App"
            << "off";
    }
    void readsTheSwitchForOurDesktopID()
    {
        QFETCH(QString, desktop);
        QFETCH(QByteArray, settings);
        QFETCH(QString, desktopID);
        QFETCH(QString, reading);
        QCOMPARE(readSwitch(desktop, settings, desktopID, m_schemas), reading);
    }

    // GSettings ends the process when asked for a schema that is not installed: a GNOME without
    // GNOME's notification settings must read "on" and go on.
    void withoutTheSchemaTheSwitchIsOn()
    {
        const QByteArray off =
            "[org/gnome/desktop/notifications/application/ambrevoli]\nenable=false\n";
        QCOMPARE(readSwitch("GNOME", off, "ambrevoli", m_temp.filePath("empty")), "on");
    }

    void settingsPathFollowsGnome()
    {
        QCOMPARE(GnomeNotificationSwitch::settingsPath("ambrevoli"),
                 "/org/gnome/desktop/notifications/application/ambrevoli/");
        QCOMPARE(GnomeNotificationSwitch::settingsPath("org.Example.My_App-2"),
                 "/org/gnome/desktop/notifications/application/org-example-my-app-2/");
    }
};

int main(int argc, char** argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--read-switch") {
        GnomeNotificationSwitch notifications(argv[2]);
        std::puts(notifications.isSwitchedOff() ? "off" : "on");
        return 0;
    }
    QCoreApplication app(argc, argv);
    GnomeNotificationSwitchTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "gnome_notification_switch_test.moc"
