#include "folder_revealer.h"

#include "desktop_fakes.h"

#include <QtTest>

#include <optional>

using namespace ambrevoli;
using namespace ambrevoli::testing;

class FolderRevealerTest : public QObject {
    Q_OBJECT

private slots:
    void fileManagerFirstThenTheDefaultHandler_data()
    {
        QTest::addColumn<bool>("sessionBus");
        QTest::addColumn<int>("fileManager"); // 0 absent, 1 shows, 2 fails
        QTest::addColumn<bool>("handlerOpens");
        QTest::addColumn<int>("shown");
        QTest::addColumn<int>("opened");
        QTest::addColumn<bool>("revealed");

        QTest::newRow("file manager shows it") << true << 1 << true << 1 << 0 << true;
        QTest::newRow("file manager fails, handler opens") << true << 2 << true << 0 << 1 << true;
        QTest::newRow("no file manager, handler opens") << true << 0 << true << 0 << 1 << true;
        QTest::newRow("nothing works") << true << 0 << false << 0 << 1 << false;
        QTest::newRow("no session bus, handler opens") << false << 0 << true << 0 << 1 << true;
    }

    void fileManagerFirstThenTheDefaultHandler()
    {
        QFETCH(bool, sessionBus);
        QFETCH(int, fileManager);
        QFETCH(bool, handlerOpens);
        QFETCH(int, shown);
        QFETCH(int, opened);
        QFETCH(bool, revealed);

        PrivateSessionBus bus;
        if (bus.address().isEmpty())
            QSKIP(qPrintable("no private session bus: " + bus.failure()));
        FakeFileManager files;
        files.fails = fileManager == 2;
        if (fileManager != 0)
            QVERIFY(files.serve(bus.connect("files")));
        QList<QUrl> urls;
        // Without a private bus the revealer gets the test's session bus, which leads nowhere.
        FolderRevealer revealer(sessionBus ? bus.connect("client") : QDBusConnection::sessionBus(),
                                [&](const QUrl& url) {
                                    urls << url;
                                    return handlerOpens;
                                });

        const QString folder = "/srv/shared/Photos 2024";
        std::optional<bool> answer;
        revealer.reveal(folder, [&](bool done) { answer = done; });
        QVERIFY2(!answer, "the answer must come later");
        QTRY_VERIFY(answer.has_value());

        QCOMPARE(*answer, revealed);
        QCOMPARE(files.shown.size(), shown);
        if (shown) {
            QCOMPARE(files.shown[0], QStringList{"file:///srv/shared/Photos%202024"});
            QCOMPARE(files.startupIds[0], "");
        }
        QCOMPARE(urls.size(), opened);
        if (opened)
            QCOMPARE(urls[0], QUrl::fromLocalFile(folder));
    }
};

QTEST_MAIN(FolderRevealerTest)
#include "folder_revealer_test.moc"
