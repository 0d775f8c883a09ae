#include "appcast.h"
#include "test_package.h"
#include "update_verifier.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>
#include <sys/stat.h>

using namespace ambrevoli;

namespace {

struct Run {
    int status;
    QString out;
    QString err;
};

Run appcast(const QStringList& arguments)
{
    QProcess tool;
    tool.start(AMBREVOLI_APPCAST_BINARY, arguments);
    if (!tool.waitForFinished(60000))
        return {-1, {}, tool.errorString()};
    return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1,
            QString::fromUtf8(tool.readAllStandardOutput()).trimmed(),
            QString::fromUtf8(tool.readAllStandardError()).trimmed()};
}

QString thisArchitecture()
{
    QProcess dpkg;
    dpkg.start("dpkg", {"--print-architecture"});
    dpkg.waitForFinished();
    return QString::fromLatin1(dpkg.readAllStandardOutput()).trimmed();
}

} // namespace

class AmbrevoliAppcastTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void generatesKeysOnce();
    void publishesReleasesTheUpdaterAccepts();
    void refusesWhatCannotBePublished_data();
    void refusesWhatCannotBePublished();

private:
    QString package(const QString& version, const QByteArray& content = "first build");

    QTemporaryDir m_folder;
    QString m_key;
    QByteArray m_publicKey;
    QString m_architecture;
};

void AmbrevoliAppcastTest::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    m_architecture = thisArchitecture();
    m_key = m_folder.filePath("release.key");
    const Run made = appcast({"generate-keys", m_key});
    QCOMPARE(made.status, 0);
    m_publicKey = decodePublicKey(made.out);
    QCOMPARE(m_publicKey.size(), crypto_sign_PUBLICKEYBYTES);
}

QString AmbrevoliAppcastTest::package(const QString& version, const QByteArray& content)
{
    const QString deb =
        m_folder.filePath(QStringLiteral("ambrevoli_%1_%2.deb")
                              .arg(QString(version).replace(u':', u'%'), m_architecture));
    return testing::buildTestPackage(m_folder.filePath("root"), deb, version, m_architecture,
                                     content)
               ? deb
               : QString();
}

void AmbrevoliAppcastTest::generatesKeysOnce()
{
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(m_key).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);
    QFile key(m_key);
    QVERIFY(key.open(QIODevice::ReadOnly));
    const QByteArray before = key.readAll();

    const Run again = appcast({"generate-keys", m_key});
    QCOMPARE(again.status, 1);
    QVERIFY(again.out.isEmpty());
    key.seek(0);
    QCOMPARE(key.readAll(), before);

    const Run derived = appcast({"public-key", m_key});
    QCOMPARE(derived.status, 0);
    QCOMPARE(decodePublicKey(derived.out), m_publicKey);
}

void AmbrevoliAppcastTest::publishesReleasesTheUpdaterAccepts()
{
    const QString feed = m_folder.filePath("appcast.xml");
    const QString base = "https://downloads.ambrevoli.example/releases";
    const UpdateTrust trust{m_publicKey, "ambrevoli", m_architecture};
    const QString first = package("1.2.0-1");
    QVERIFY(!first.isEmpty());
    QCOMPARE(appcast({"publish", m_key, feed, base, first, "https://ambrevoli.example/notes/1.2"})
                 .status,
             0);
    QString second = package("1.3.0", "first build");
    QCOMPARE(appcast({"publish", m_key, feed, base, second}).status, 0);
    // Published again after a rebuild: the item is replaced, not doubled.
    second = package("1.3.0", "second build");
    QCOMPARE(appcast({"publish", m_key, feed, base, second}).status, 0);

    QFile file(feed);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const auto items = parseAppcast(file.readAll(), QUrl("https://ambrevoli.example/appcast.xml"));
    QVERIFY(items);
    QCOMPARE(items->size(), 2u);
    QCOMPARE(items->at(0).version, "1.3.0");
    QCOMPARE(items->at(1).version, "1.2.0-1");
    QCOMPARE(items->at(1).displayVersion, "1.2.0");
    QCOMPARE(items->at(1).releaseNotesURL, QUrl("https://ambrevoli.example/notes/1.2"));
    QCOMPARE(items->at(1).url, QUrl(base + "/ambrevoli_1.2.0-1_" + m_architecture + ".deb"));
    for (const auto& [item, path] : {std::pair{items->at(0), second}, {items->at(1), first}}) {
        QCOMPARE(item.length, QFileInfo(path).size());
        QFile package(path);
        QVERIFY(package.open(QIODevice::ReadOnly));
        const auto verified = verifyUpdate(package.handle(), item, trust);
        QVERIFY2(verified, verified ? "" : textualForm(verified.error()).c_str());
    }

    // What sign prints is the same signature over the same bytes.
    const Run signature = appcast({"sign", m_key, second});
    QCOMPARE(signature.status, 0);
    QCOMPARE(signature.out, items->at(0).edSignature);
}

void AmbrevoliAppcastTest::refusesWhatCannotBePublished_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    const QString feed = m_folder.filePath("refused.xml");
    const QString deb = package("2.0");
    QFile notAPackage(m_folder.filePath("notes.txt"));
    QVERIFY(notAPackage.open(QIODevice::WriteOnly));
    notAPackage.write("release notes");
    notAPackage.close();
    QFile notAFeed(m_folder.filePath("page.html"));
    QVERIFY(notAFeed.open(QIODevice::WriteOnly));
    notAFeed.write("<html><body/></html>");
    notAFeed.close();

    QTest::newRow("no command") << QStringList() << 2;
    QTest::newRow("unknown command") << QStringList{"release", m_key} << 2;
    QTest::newRow("publish without a package")
        << QStringList{"publish", m_key, feed, "https://a.example"} << 2;
    QTest::newRow("plain http downloads")
        << QStringList{"publish", m_key, feed, "http://a.example", deb} << 1;
    QTest::newRow("not a package")
        << QStringList{"publish", m_key, feed, "https://a.example", notAPackage.fileName()} << 1;
    QTest::newRow("not a key") << QStringList{"publish", deb, feed, "https://a.example", deb} << 1;
    QTest::newRow("not a feed") << QStringList{"publish", m_key, notAFeed.fileName(),
                                               "https://a.example", deb}
                                << 1;

    // The key as generate-keys wrote it, copied with other permissions or damaged.
    QFile key(m_key);
    QVERIFY(key.open(QIODevice::ReadOnly));
    const QByteArray secret = QByteArray::fromBase64(key.readAll().trimmed());
    QCOMPARE(secret.size(), crypto_sign_SECRETKEYBYTES);
    auto keyFile = [&](const QString& name, const QByteArray& bytes, mode_t mode) {
        const QString path = m_folder.filePath(name);
        QFile file(path);
        file.remove();
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(bytes.toBase64() + "\n");
        file.close();
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path;
    };
    QByteArray damaged = secret;
    damaged[crypto_sign_SEEDBYTES + 3] = char(damaged[crypto_sign_SEEDBYTES + 3] ^ 0x10);
    const QString readable = keyFile("readable.key", secret, 0640);
    const QString shared = keyFile("shared.key", secret, 0604);
    const QString broken = keyFile("damaged.key", damaged, 0600);
    QTest::newRow("a key its group may read")
        << QStringList{"publish", readable, feed, "https://a.example", deb} << 1;
    QTest::newRow("a key anyone may read") << QStringList{"sign", shared, deb} << 1;
    QTest::newRow("publish with a damaged key")
        << QStringList{"publish", broken, feed, "https://a.example", deb} << 1;
    QTest::newRow("sign with a damaged key") << QStringList{"sign", broken, deb} << 1;
    QTest::newRow("the public half of a damaged key") << QStringList{"public-key", broken} << 1;
}

void AmbrevoliAppcastTest::refusesWhatCannotBePublished()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    const Run run = appcast(arguments);
    QCOMPARE(run.status, status);
    QVERIFY(!run.err.isEmpty());
    QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
    QVERIFY(!QFile::exists(m_folder.filePath("refused.xml")));
}

QTEST_GUILESS_MAIN(AmbrevoliAppcastTest)
#include "ambrevoli_appcast_test.moc"
