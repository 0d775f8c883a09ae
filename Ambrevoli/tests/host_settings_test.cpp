#include "host_settings.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace ambrevoli;

// Runs with its own configuration folder (XDG_CONFIG_HOME, set before anything reads settings),
// which stands for the user's ~/.config.
class HostSettingsTest : public QObject {
    Q_OBJECT

public:
    explicit HostSettingsTest(QString config) : m_config(std::move(config)) {}

private:
    QString m_config;

private slots:
    // Earlier versions wrote the settings through the names main() gives the application; they
    // must still be found whatever the running program calls itself, and new ones land in the
    // same file.
    void theSettingsStayInTheUsersFile()
    {
        QCoreApplication::setOrganizationName("ambrevoli");
        QCoreApplication::setApplicationName("Ambrevoli");
        {
            QSettings earlier;
            earlier.setValue("skippedVersion", "1.2.0");
        }
        QCoreApplication::setOrganizationName("elsewhere");
        QCoreApplication::setApplicationName("host_settings_test");

        const QString file = m_config + "/ambrevoli/Ambrevoli.conf";
        QCOMPARE(hostSettings().fileName(), file);
        QCOMPARE(hostSettings().value("skippedVersion"), QVariant("1.2.0"));
        hostSettings().setValue("FirstLaunchGuideFinished", true);
        const QSettings stored(file, QSettings::IniFormat);
        QCOMPARE(stored.value("FirstLaunchGuideFinished").toBool(), true);
        QCOMPARE(stored.value("skippedVersion"), QVariant("1.2.0"));
        QCOMPARE(QSettings().value("FirstLaunchGuideFinished"), QVariant());
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir config;
    if (!config.isValid())
        return 1;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QCoreApplication app(argc, argv);
    HostSettingsTest test(config.path());
    return QTest::qExec(&test, argc, argv);
}

#include "host_settings_test.moc"
