#include "version_comparator.h"

#include <QProcess>
#include <QTest>

using namespace ambrevoli;

class VersionComparatorTest : public QObject {
    Q_OBJECT
private slots:
    void orders_data();
    void orders();
};

void VersionComparatorTest::orders_data()
{
    QTest::addColumn<QString>("newer");
    QTest::addColumn<QString>("older");
    QTest::addColumn<bool>("equal");

    QTest::newRow("numbers, not text") << "1.10"
                                       << "1.9" << false;
    QTest::newRow("longer release") << "1.0.1"
                                    << "1.0" << false;
    QTest::newRow("major wins") << "2"
                                << "1.9.9" << false;
    QTest::newRow("wider than any integer") << "1.99999999999999999999999"
                                            << "1.9" << false;
    QTest::newRow("letters after the number are newer") << "1.0b2"
                                                        << "1.0" << false;
    QTest::newRow("tilde before the release") << "1.0"
                                              << "1.0~rc1" << false;
    QTest::newRow("tilde before the end") << "1.0~rc1"
                                          << "1.0~rc1~1" << false;
    QTest::newRow("tilde rc after tilde beta") << "1.0~rc1"
                                               << "1.0~beta5" << false;
    QTest::newRow("letters before other characters") << "1.0+a"
                                                     << "1.0a" << false;
    QTest::newRow("a dot after a letter") << "1.0.a"
                                          << "1.0a" << false;
    QTest::newRow("revision over none") << "1.2.0-2"
                                        << "1.2.0" << false;
    QTest::newRow("revision by value") << "0.2.0-10"
                                       << "0.2.0-9" << false;
    QTest::newRow("revision after upstream") << "1.2.1-1"
                                             << "1.2.0-9" << false;
    QTest::newRow("the last dash starts the revision") << "1.0-beta-2"
                                                       << "1.0-beta-1" << false;
    QTest::newRow("epoch over everything") << "1:0.1"
                                           << "9.9" << false;
    QTest::newRow("epoch by value") << "10:1"
                                    << "9:2" << false;
    QTest::newRow("tilde revision") << "1.0-1"
                                    << "1.0-1~bpo1" << false;
    QTest::newRow("same") << "1.0"
                          << "1.0" << true;
    QTest::newRow("leading zeros") << "01.002"
                                   << "1.2" << true;
    QTest::newRow("epoch 0 is no epoch") << "0:1.2"
                                         << "1.2" << true;
    QTest::newRow("revision 0 is no revision") << "1.2-0"
                                               << "1.2" << true;
}

void VersionComparatorTest::orders()
{
    QFETCH(QString, newer);
    QFETCH(QString, older);
    QFETCH(bool, equal);
    if (equal) {
        QVERIFY2(compareVersions(newer, older) == 0, qPrintable(newer + " = " + older));
        QVERIFY2(compareVersions(older, newer) == 0, qPrintable(older + " = " + newer));
    } else {
        QVERIFY2(compareVersions(newer, older) > 0, qPrintable(newer + " > " + older));
        QVERIFY2(compareVersions(older, newer) < 0, qPrintable(older + " < " + newer));
    }
    // The table itself is held to dpkg, the order the installed packages follow.
    QProcess dpkg;
    dpkg.start("dpkg", {"--compare-versions", newer, equal ? "eq" : "gt", older});
    QVERIFY(dpkg.waitForFinished());
    QVERIFY2(dpkg.exitCode() == 0, qPrintable("dpkg disagrees: " + newer + " vs " + older));
}

QTEST_GUILESS_MAIN(VersionComparatorTest)
#include "version_comparator_test.moc"
