#include "version_comparator.h"

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
    QTest::newRow("release after beta") << "1.0"
                                        << "1.0b2" << false;
    QTest::newRow("beta after alpha") << "1.0b2"
                                      << "1.0a1" << false;
    QTest::newRow("beta numbers") << "1.0b10"
                                  << "1.0b9" << false;
    QTest::newRow("release candidate after beta") << "1.0rc1"
                                                  << "1.0b5" << false;
    QTest::newRow("longer release") << "1.0.1"
                                    << "1.0" << false;
    QTest::newRow("major wins") << "2"
                                << "1.9.9" << false;
    QTest::newRow("number over letters") << "1.1.1"
                                         << "1.1b" << false;
    QTest::newRow("wider than any integer") << "1.99999999999999999999999"
                                            << "1.9" << false;
    QTest::newRow("Debian revision") << "0.2.0-2"
                                     << "0.2.0-1" << false;
    QTest::newRow("same") << "1.0"
                          << "1.0" << true;
    QTest::newRow("leading zeros") << "01.002"
                                   << "1.2" << true;
}

void VersionComparatorTest::orders()
{
    QFETCH(QString, newer);
    QFETCH(QString, older);
    QFETCH(bool, equal);
    if (equal) {
        QVERIFY(compareVersions(newer, older) == 0);
        QVERIFY(compareVersions(older, newer) == 0);
    } else {
        QVERIFY2(compareVersions(newer, older) > 0, qPrintable(newer + " > " + older));
        QVERIFY2(compareVersions(older, newer) < 0, qPrintable(older + " < " + newer));
    }
}

QTEST_GUILESS_MAIN(VersionComparatorTest)
#include "version_comparator_test.moc"
