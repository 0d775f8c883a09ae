#include "portal_folder_chooser.h"

#include "desktop_fakes.h"

#include <QtTest>

#include <memory>

using namespace ambrevoli;
using ambrevoli::testing::FakeFileChooserPortal;
using ambrevoli::testing::PrivateSessionBus;

class PortalFolderChooserTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<PrivateSessionBus> m_bus;
    int m_serial = 0;

    QDBusConnection connection() { return m_bus->connect("c" + QString::number(++m_serial)); }

    // What the chooser answered; "(no answer)" when it didn't within 5 seconds.
    static std::optional<QString> answer(PortalFolderChooser& chooser, const QString& token = {})
    {
        std::optional<std::optional<QString>> answered;
        chooser.choose("Send to Folder", token,
                       [&](std::optional<QString> folder) { answered = folder; });
        if (!QTest::qWaitFor([&] { return answered.has_value(); }, 5000))
            return "(no answer)";
        return *answered;
    }

private slots:
    void initTestCase()
    {
        m_bus = std::make_unique<PrivateSessionBus>();
        if (m_bus->address().isEmpty())
            QSKIP(qPrintable("no private bus: " + m_bus->failure()));
    }

    void thePortalAsksForOneFolder()
    {
        FakeFileChooserPortal portal;
        QVERIFY(portal.serve(connection()));
        int fallbacks = 0;
        PortalFolderChooser chooser(connection(), [&](auto...) { ++fallbacks; });

        portal.answer = "/media/me/STICK/Photos";
        QCOMPARE(answer(chooser), portal.answer);
        portal.answer.reset();
        QVERIFY(!answer(chooser));

        QCOMPARE(portal.titles, (QStringList{"Send to Folder", "Send to Folder"}));
        QCOMPARE(portal.options[0].value("directory"), QVariant(true));
        QCOMPARE(portal.options[0].value("multiple"), QVariant(false));
        // Each request listens on a path of its own.
        QVERIFY(portal.options[0].value("handle_token") != portal.options[1].value("handle_token"));
        QCOMPARE(fallbacks, 0);
    }

    void withoutAPortalTheFallbackChooses()
    {
        QString title, token;
        PortalFolderChooser chooser(
            connection(), [&](const QString& asked, const QString& leave, auto done) {
                title = asked;
                token = leave;
                done(QString("/home/me/Elsewhere"));
            });

        QCOMPARE(answer(chooser, "token-1"), QString("/home/me/Elsewhere"));
        QCOMPARE(title, "Send to Folder");
        QCOMPARE(token, "token-1");

        PortalFolderChooser none(connection());
        QVERIFY(!answer(none));
    }
};

QTEST_GUILESS_MAIN(PortalFolderChooserTest)
#include "portal_folder_chooser_test.moc"
