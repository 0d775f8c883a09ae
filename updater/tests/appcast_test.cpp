#include "appcast.h"

#include <QTest>

using namespace ambrevoli;

namespace {

const QUrl feedURL("https://updates.example/ambrevoli/appcast.xml");

QByteArray feed(const QByteArray& items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" "
           "xmlns:sparkle=\"https://ambrevoli.example/xml-namespaces/updates\">"
           "<channel><title>Ambrevoli</title>" +
           items + "</channel></rss>";
}

} // namespace

class AppcastTest : public QObject {
    Q_OBJECT
private slots:
    void readsItems();
    void versionsOnTheEnclosureAndFallbacks();
    void leavesOutItemsWithoutVersionOrAddress();
    void refusesWhatIsNoFeed_data();
    void refusesWhatIsNoFeed();
    void secureURLs_data();
    void secureURLs();
};

void AppcastTest::readsItems()
{
    const auto items = parseAppcast(feed(R"xml(
    <item>
      <title>Version 1.2</title>
      <pubDate>Thu, 10 Dec 2026 08:00:00 +0000</pubDate>
      <sparkle:version>1.2.0</sparkle:version>
      <sparkle:shortVersionString>1.2</sparkle:shortVersionString>
      <sparkle:releaseNotesLink>notes/1.2.html</sparkle:releaseNotesLink>
      <description><![CDATA[<p>Faster copies</p>]]></description>
      <enclosure url="ambrevoli_1.2.0_amd64.deb" length="1234" type="application/vnd.debian.binary-package"
                 sparkle:edSignature="c2lnbmF0dXJl"/>
    </item>)xml"),
                                    feedURL);
    QVERIFY(items);
    QCOMPARE(items->size(), 1u);
    const AppcastItem& item = items->front();
    QCOMPARE(item.title, "Version 1.2");
    QCOMPARE(item.pubDate, "Thu, 10 Dec 2026 08:00:00 +0000");
    QCOMPARE(item.version, "1.2.0");
    QCOMPARE(item.displayVersion, "1.2");
    QCOMPARE(item.releaseNotesURL, QUrl("https://updates.example/ambrevoli/notes/1.2.html"));
    QCOMPARE(item.description, "<p>Faster copies</p>");
    QCOMPARE(item.url, QUrl("https://updates.example/ambrevoli/ambrevoli_1.2.0_amd64.deb"));
    QCOMPARE(item.length, 1234);
    QCOMPARE(item.type, "application/vnd.debian.binary-package");
    QCOMPARE(item.edSignature, "c2lnbmF0dXJl");
}

void AppcastTest::versionsOnTheEnclosureAndFallbacks()
{
    const auto items = parseAppcast(feed(R"xml(
    <item><enclosure url="https://cdn.example/a.deb" sparkle:version="2.0" sparkle:shortVersionString="2.0 (spring)"/></item>
    <item><sparkle:version>2.1</sparkle:version><enclosure url="https://cdn.example/b.deb"/>
          <sparkle:releaseNotesLink>http://insecure.example/notes.html</sparkle:releaseNotesLink></item>)xml"),
                                    feedURL);
    QVERIFY(items);
    QCOMPARE(items->size(), 2u);
    QCOMPARE(items->at(0).version, "2.0");
    QCOMPARE(items->at(0).displayVersion, "2.0 (spring)");
    QCOMPARE(items->at(0).length, -1);
    QVERIFY(items->at(0).edSignature.isEmpty());
    QCOMPARE(items->at(1).displayVersion, "2.1");
    QVERIFY(items->at(1).releaseNotesURL.isEmpty());
}

void AppcastTest::leavesOutItemsWithoutVersionOrAddress()
{
    const auto items = parseAppcast(feed(R"xml(
    <item><title>no version</title><enclosure url="https://cdn.example/a.deb"/></item>
    <item><sparkle:version>3</sparkle:version></item>
    <item><sparkle:version>4</sparkle:version><enclosure url="https://cdn.example/d.deb"/></item>)xml"),
                                    feedURL);
    QVERIFY(items);
    QCOMPARE(items->size(), 1u);
    QCOMPARE(items->front().version, "4");
}

void AppcastTest::refusesWhatIsNoFeed_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not XML") << QByteArray("{\"version\": \"2.0\"}");
    QTest::newRow("a web page") << QByteArray("<html><body>Not found</body></html>");
    QTest::newRow("cut off") << feed("<item><sparkle:version>2</sparkle:version>").left(150);
    QTest::newRow("rss without a channel") << QByteArray("<rss version=\"2.0\"></rss>");
}

void AppcastTest::refusesWhatIsNoFeed()
{
    QFETCH(QByteArray, document);
    QVERIFY(!parseAppcast(document, feedURL));
}

void AppcastTest::secureURLs_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("secure");
    QTest::newRow("https") << "https://updates.example/a.deb" << true;
    // Only the test programs that serve their own feeds are built to take it.
    QTest::newRow("http to loopback") << "http://127.0.0.1:8080/a.deb" << false;
    QTest::newRow("http to loopback by name") << "http://localhost/a.deb" << false;
    QTest::newRow("http elsewhere") << "http://updates.example/a.deb" << false;
    QTest::newRow("http to a name") << "http://localhost.example/a.deb" << false;
    QTest::newRow("ftp") << "ftp://updates.example/a.deb" << false;
    QTest::newRow("file") << "file:///tmp/a.deb" << false;
}

void AppcastTest::secureURLs()
{
    QFETCH(QString, url);
    QFETCH(bool, secure);
    QCOMPARE(isSecureUpdateURL(QUrl(url)), secure);
}

QTEST_GUILESS_MAIN(AppcastTest)
#include "appcast_test.moc"
