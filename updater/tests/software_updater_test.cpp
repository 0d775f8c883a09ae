#include "software_updater.h"

#include "fake_packagekit.h"
#include "host_settings.h"
#include "private_host_settings.h"
#include "private_session_bus.h"
#include "test_package.h"
#include "test_web_server.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sodium.h>

#include <functional>
#include <optional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ambrevoli;
using ambrevoli::testing::FakePackageKit;
using ambrevoli::testing::FakeTransaction;
using ambrevoli::testing::PrivateSessionBus;
using ambrevoli::testing::TestWebServer;

namespace {

// Plays the user: answers every window at once (on the next turn of the event loop) and notes
// what it was shown.
class RecordingDriver : public UserDriver {
public:
    Choice choice = Choice::install;
    bool answersFound = true;

    QStringList events;
    std::optional<AppcastItem> found;
    UpdateState foundState;
    std::optional<UpdateError> error;
    QString notFoundVersion;
    std::function<void(Choice)> reply;
    std::function<void()> cancel;
    QList<int> installProgress;
    bool ended = false;

    void showUserInitiatedUpdateCheck(std::function<void()> givenCancel) override
    {
        events << "checking";
        cancel = std::move(givenCancel);
    }
    void showUpdateFound(const AppcastItem& update, UpdateState state,
                         std::function<void(Choice)> givenReply) override
    {
        events << "found " + update.version;
        found = update;
        foundState = state;
        reply = std::move(givenReply);
        if (answersFound)
            later([this] { reply(choice); });
    }
    void showUpdateNotFound(const QString& running, std::function<void()> acknowledge) override
    {
        events << "up to date";
        notFoundVersion = running;
        later(std::move(acknowledge));
    }
    void showUpdaterError(const UpdateError& given, std::function<void()> acknowledge) override
    {
        events << "error";
        error = given;
        later(std::move(acknowledge));
    }
    void showDownloadInitiated(std::function<void()> givenCancel) override
    {
        events << "downloading";
        cancel = std::move(givenCancel);
    }
    void showDownloadProgress(qint64, qint64) override {}
    void showInstallingUpdate(int percent) override { installProgress << percent; }
    void showUpdateInstalled(std::function<void()> acknowledge) override
    {
        events << "installed";
        later(std::move(acknowledge));
    }
    void showUpdateInFocus() override { events << "in focus"; }
    void dismissUpdateInstallation() override
    {
        events << "ended";
        ended = true;
    }

private:
    static void later(std::function<void()> action)
    {
        QTimer::singleShot(0, [action = std::move(action)] { action(); });
    }
};

QByteArray sign(const QByteArray& bytes, const QByteArray& secretKey)
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(bytes.constData()),
                         static_cast<unsigned long long>(bytes.size()),
                         reinterpret_cast<const unsigned char*>(secretKey.constData()));
    return signature.toBase64();
}

QString thisArchitecture()
{
    QProcess dpkg;
    dpkg.start("dpkg", {"--print-architecture"});
    dpkg.waitForFinished();
    return QString::fromLatin1(dpkg.readAllStandardOutput()).trimmed();
}

struct FeedItem {
    QString version;
    QString url;
    QString signature; // empty: unsigned
    qint64 length = -1;
};

QByteArray feedWith(const QList<FeedItem>& items)
{
    QByteArray xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="https://ambrevoli.example/xml-namespaces/updates"><channel>
<title>Ambrevoli</title>)";
    for (const FeedItem& item : items) {
        xml += "<item><title>Ambrevoli " + item.version.toUtf8() + "</title><sparkle:version>" +
               item.version.toUtf8() + "</sparkle:version><enclosure url=\"" + item.url.toUtf8() +
               "\" type=\"application/vnd.debian.binary-package\"";
        if (item.length >= 0)
            xml += " length=\"" + QByteArray::number(item.length) + "\"";
        if (!item.signature.isEmpty())
            xml += " sparkle:edSignature=\"" + item.signature.toUtf8() + "\"";
        xml += "/></item>\n";
    }
    return xml + "</channel></rss>";
}

} // namespace

class SoftwareUpdaterTest : public QObject {
    Q_OBJECT

    PrivateHostSettings m_hostSettings;
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void installsANewerVersion();
    void upToDate_data();
    void upToDate();
    void takesTheNewestAcceptableItem();
    void refuses_data();
    void refuses();
    void downloadsOnlyIntoAFolderOfTheUsersOwn_data();
    void downloadsOnlyIntoAFolderOfTheUsersOwn();
    void saysWhyADownloadCouldNotBeSaved();
    void aDownloadGoesWhenItIsNotInstalled_data();
    void aDownloadGoesWhenItIsNotInstalled();
    void verifiesWithoutHoldingUpTheEventLoop();
    void withoutPackageKitKeepsTheVerifiedFile();
    void reportsAFailedInstallation();
    void skipsExactlyTheSkippedVersionInScheduledChecksOnly();
    void downloadsInTheBackgroundWhenAllowed();
    void refusesADownloadChangedWhileWaitingForTheUser();
    void cannotCheckWhileChecking();
    void cannotCheckWithoutFeedOrKey();
    void settingsAreKeptAndSignalled();

private:
    QByteArray buildPackage(const QString& version, const QString& architecture);
    UpdaterConfiguration configuration() const;
    // Serves `feed` and the package under the usual paths.
    void serve(const QByteArray& feed);
    FeedItem signedItem(const QString& version = "1.2.0") const;
    // An updater whose scheduled check downloads the update and then waits for the user.
    std::unique_ptr<SoftwareUpdater> downloadingInTheBackground();

    QTemporaryDir m_work;
    QString m_architecture;
    QByteArray m_publicKey, m_secretKey;
    QByteArray m_package; // ambrevoli 1.2.0 for this architecture
    std::unique_ptr<PrivateSessionBus> m_bus;
    QDBusConnection m_installBus{QString()};
    QDBusConnection m_serviceBus{QString()};
    std::unique_ptr<TestWebServer> m_web;
    std::unique_ptr<FakePackageKit> m_packageKit;
    std::unique_ptr<QTemporaryDir> m_downloads;
    RecordingDriver m_driver;
};

void SoftwareUpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    // Settings of their own: other test programs run under the same name at the same time.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_work.filePath("config")));
    QCoreApplication::setApplicationName("ambrevoli-updater-test");
    QVERIFY(sodium_init() >= 0);
    m_publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    m_secretKey.resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(reinterpret_cast<unsigned char*>(m_publicKey.data()),
                        reinterpret_cast<unsigned char*>(m_secretKey.data()));
    m_architecture = thisArchitecture();
    QVERIFY(!m_architecture.isEmpty());
    m_package = buildPackage("1.2.0", m_architecture);
    QVERIFY(!m_package.isEmpty());

    m_bus = std::make_unique<PrivateSessionBus>();
    QVERIFY2(m_bus->failure().isEmpty(), qPrintable(m_bus->failure()));
    m_installBus = m_bus->connect("updater");
    m_serviceBus = m_bus->connect("packagekit");
    QVERIFY(m_installBus.isConnected() && m_serviceBus.isConnected());
}

QByteArray SoftwareUpdaterTest::buildPackage(const QString& version, const QString& architecture)
{
    const QString root = m_work.filePath("root-" + version + "-" + architecture);
    const QString deb = root + ".deb";
    if (!testing::buildTestPackage(root, deb, version, architecture,
                                   "a package for the updater's tests\n"))
        return {};
    QFile file(deb);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void SoftwareUpdaterTest::init()
{
    hostSettings().clear();
    m_web = std::make_unique<TestWebServer>();
    m_packageKit = std::make_unique<FakePackageKit>(m_serviceBus);
    m_downloads = std::make_unique<QTemporaryDir>();
    m_driver = RecordingDriver();
}

void SoftwareUpdaterTest::cleanup()
{
    m_packageKit.reset();
    m_web.reset();
}

UpdaterConfiguration SoftwareUpdaterTest::configuration() const
{
    UpdaterConfiguration configuration;
    configuration.feedURL = m_web->url("/appcast.xml");
    configuration.publicKey = QString::fromLatin1(m_publicKey.toBase64());
    configuration.runningVersion = "1.1.0";
    configuration.packageName = "ambrevoli";
    configuration.architecture = m_architecture;
    configuration.downloadFolder = m_downloads->path() + "/updates";
    configuration.installBus = m_installBus;
    return configuration;
}

FeedItem SoftwareUpdaterTest::signedItem(const QString& version) const
{
    return {version, m_web->url("/ambrevoli.deb").toString(),
            QString::fromLatin1(sign(m_package, m_secretKey)), m_package.size()};
}

void SoftwareUpdaterTest::serve(const QByteArray& feed)
{
    m_web->routes["/appcast.xml"] = {200, feed, {}, -1};
    m_web->routes["/ambrevoli.deb"] = {200, m_package, {}, -1};
}

void SoftwareUpdaterTest::installsANewerVersion()
{
    serve(feedWith({signedItem()}));
    SoftwareUpdater updater(configuration(), &m_driver);
    QSignalSpy installed(&updater, &SoftwareUpdater::updateInstalled);
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);

    QCOMPARE(m_driver.events,
             QStringList({"checking", "found 1.2.0", "downloading", "installed", "ended"}));
    QVERIFY(!m_driver.foundState.downloaded);
    QCOMPARE(installed.size(), 1);
    QCOMPARE(m_packageKit->transactions.size(), 1);
    const FakeTransaction& transaction = *m_packageKit->transactions.front();
    QCOMPARE(transaction.files.size(), 1);
    QVERIFY(transaction.files.front().endsWith(".deb"));
    QVERIFY(!transaction.files.front().startsWith(configuration().downloadFolder + "/"));
    QCOMPARE(transaction.installedBytes, m_package);
    QCOMPARE(transaction.flags, 0ull);
    QVERIFY(transaction.hints.contains("interactive=true"));
    QCOMPARE(m_driver.installProgress, QList<int>({-1, -1, 40}));
    QVERIFY2(!QFile::exists(transaction.files.front()), "the installed file is left behind");
}

void SoftwareUpdaterTest::upToDate_data()
{
    QTest::addColumn<QString>("offered");
    QTest::newRow("same version") << "1.1.0";
    QTest::newRow("older version") << "1.0.9";
    QTest::newRow("a pre-release of the running version") << "1.1.0~b3";
}

void SoftwareUpdaterTest::upToDate()
{
    QFETCH(QString, offered);
    serve(feedWith({signedItem(offered)}));
    SoftwareUpdater updater(configuration(), &m_driver);
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);
    QCOMPARE(m_driver.events, QStringList({"checking", "up to date", "ended"}));
    QCOMPARE(m_driver.notFoundVersion, "1.1.0");
    QCOMPARE(m_web->requests.value("/ambrevoli.deb"), 0);
    QVERIFY(updater.lastUpdateCheckDate());
}

void SoftwareUpdaterTest::takesTheNewestAcceptableItem()
{
    FeedItem insecure = signedItem("1.4.0");
    insecure.url = "http://updates.example/ambrevoli.deb";
    serve(feedWith({signedItem("1.1.5"), insecure, signedItem("1.2.0"), signedItem("1.2.0~b1")}));
    m_driver.choice = UserDriver::Choice::dismiss;
    SoftwareUpdater updater(configuration(), &m_driver);
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);
    QCOMPARE(m_driver.events, QStringList({"checking", "found 1.2.0", "ended"}));
    QVERIFY(m_packageKit->transactions.isEmpty());
}

void SoftwareUpdaterTest::refuses_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<UpdateError::Case>("expected");
    using enum UpdateError::Case;
    QTest::newRow("bad signature") << "bad signature" << badSignature;
    QTest::newRow("malformed signature") << "malformed signature" << badSignature;
    QTest::newRow("unsigned item") << "unsigned" << unsigned_;
    QTest::newRow("truncated download") << "truncated" << downloadFailed;
    QTest::newRow("wrong length") << "wrong length" << wrongLength;
    QTest::newRow("other architecture") << "other architecture" << notOurPackage;
    QTest::newRow("not a package") << "not a package" << notOurPackage;
    QTest::newRow("package missing") << "download 404" << downloadFailed;
    QTest::newRow("download redirected to plain http") << "download redirect" << insecureURL;
    QTest::newRow("feed not XML") << "feed not XML" << feedInvalid;
    QTest::newRow("feed 404") << "feed 404" << feedHTTPError;
    QTest::newRow("connection refused") << "refused" << feedUnreachable;
    QTest::newRow("feed redirected to another scheme") << "feed redirect" << insecureURL;
    QTest::newRow("feed larger than a feed may be") << "feed too large" << tooLarge;
    QTest::newRow("feed trickling past its deadline") << "feed trickles" << timedOut;
    QTest::newRow("no length in the feed") << "no length" << wrongLength;
    QTest::newRow("a length beyond any package") << "huge length" << tooLarge;
    QTest::newRow("more bytes than the length") << "longer than said" << wrongLength;
    QTest::newRow("download trickling past its deadline") << "download trickles" << timedOut;
}

void SoftwareUpdaterTest::refuses()
{
    QFETCH(QString, fault);
    QFETCH(UpdateError::Case, expected);
    FeedItem item = signedItem();
    UpdaterConfiguration setup = configuration();
    serve({});
    auto& feed = m_web->routes["/appcast.xml"];
    auto& package = m_web->routes["/ambrevoli.deb"];
    if (fault == "bad signature") {
        item.signature = QString::fromLatin1(sign(m_package + "x", m_secretKey));
    } else if (fault == "malformed signature") {
        item.signature = "bm90IGEgc2lnbmF0dXJl";
    } else if (fault == "unsigned") {
        item.signature.clear();
    } else if (fault == "truncated") {
        package.sendOnly = m_package.size() / 2;
    } else if (fault == "wrong length") {
        item.length = m_package.size() + 1;
    } else if (fault == "other architecture" || fault == "not a package") {
        const QByteArray other =
            fault == "not a package"
                ? QByteArray("!<arch>\nnot really a package")
                : buildPackage("1.2.0", m_architecture == "s390x" ? "riscv64" : "s390x");
        QVERIFY(!other.isEmpty());
        package.body = other;
        item.signature = QString::fromLatin1(sign(other, m_secretKey));
        item.length = other.size();
    } else if (fault == "download 404") {
        item.url = m_web->url("/gone.deb").toString();
    } else if (fault == "download redirect") {
        package = {302, {}, "http://updates.example/ambrevoli.deb", -1};
    } else if (fault == "feed not XML") {
        feed.body = "{\"version\": \"1.2.0\"}";
    } else if (fault == "feed 404") {
        setup.feedURL = m_web->url("/missing.xml");
    } else if (fault == "refused") {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        setup.feedURL =
            QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(closed.serverPort()));
    } else if (fault == "feed redirect") {
        feed = {301, {}, "ftp://127.0.0.1/appcast.xml", -1};
    } else if (fault == "feed too large") {
        feed.body = feedWith({item}).replace(
            "<title>Ambrevoli</title>",
            "<title>" + QByteArray(SoftwareUpdater::maxFeedBytes, 'A') + "</title>");
    } else if (fault == "feed trickles") {
        feed.trickleMs = 20;
        setup.feedDeadline = std::chrono::milliseconds(300);
    } else if (fault == "no length") {
        item.length = -1;
    } else if (fault == "huge length") {
        item.length = SoftwareUpdater::maxPackageBytes + 1;
    } else if (fault == "longer than said") {
        item.length = m_package.size() - 1;
    } else if (fault == "download trickles") {
        package.trickleMs = 20;
        setup.downloadDeadline = std::chrono::milliseconds(300);
    }
    if (feed.status == 200 && feed.body.isEmpty())
        feed.body = feedWith({item});

    SoftwareUpdater updater(setup, &m_driver);
    QSignalSpy installed(&updater, &SoftwareUpdater::updateInstalled);
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);
    QVERIFY2(m_driver.error, qPrintable(m_driver.events.join(", ")));
    QCOMPARE(m_driver.error->kind, expected);
    QVERIFY(!message(*m_driver.error).isEmpty());
    QVERIFY(m_packageKit->transactions.isEmpty());
    QCOMPARE(installed.size(), 0);
    QVERIFY(QDir(setup.downloadFolder).isEmpty());
    QVERIFY(updater.canCheckForUpdates());
    // What the feed says is refused before anything is fetched.
    if (fault == "no length" || fault == "huge length")
        QCOMPARE(m_web->requests.value("/ambrevoli.deb"), 0);
}

void SoftwareUpdaterTest::downloadsOnlyIntoAFolderOfTheUsersOwn_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("installs");
    QTest::newRow("made afresh") << "missing" << true;
    QTest::newRow("left readable by an earlier version") << "0755" << true;
    QTest::newRow("a link planted at the old file name") << "planted" << true;
    QTest::newRow("a link to another folder") << "link" << false;
    QTest::newRow("writable by everyone") << "0777" << false;
    QTest::newRow("another user's") << "other user" << false;
    QTest::newRow("a file") << "file" << false;
}

void SoftwareUpdaterTest::downloadsOnlyIntoAFolderOfTheUsersOwn()
{
    QFETCH(QString, folder);
    QFETCH(bool, installs);
    const UpdaterConfiguration setup = configuration();
    const QByteArray path = QFile::encodeName(setup.downloadFolder);
    // Whatever a link leads to must come out of it as it went in.
    const QString victim = m_downloads->filePath("victim");
    QFile victimFile(victim);
    QVERIFY(victimFile.open(QIODevice::WriteOnly));
    victimFile.write("precious");
    victimFile.close();
    if (folder == "0755" || folder == "0777" || folder == "other user" || folder == "planted") {
        QCOMPARE(::mkdir(path, 0700), 0);
        QCOMPARE(::chmod(path, folder == "0777" ? 0777 : 0755), 0);
        if (folder == "other user")
            QCOMPARE(::chown(path, 65534, 65534), 0);
        if (folder == "planted")
            QCOMPARE(::symlink(QFile::encodeName(victim), path + "/ambrevoli_1.2.0.deb"), 0);
    } else if (folder == "link") {
        QCOMPARE(::symlink(QFile::encodeName(m_downloads->path()), path), 0);
    } else if (folder == "file") {
        QVERIFY(QFile::copy(victim, setup.downloadFolder));
    }
    if (folder == "other user" && ::geteuid() != 0)
        QSKIP("only root can give a folder to another user");

    serve(feedWith({signedItem()}));
    SoftwareUpdater updater(setup, &m_driver);
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);
    QVERIFY(victimFile.open(QIODevice::ReadOnly));
    QCOMPARE(victimFile.readAll(), "precious");
    if (!installs) {
        QVERIFY(m_driver.error);
        QCOMPARE(m_driver.error->kind, UpdateError::Case::unsafeFolder);
        QVERIFY(m_packageKit->transactions.isEmpty());
        QCOMPARE(m_web->requests.value("/ambrevoli.deb"), 0);
        return;
    }
    QVERIFY2(!m_driver.error, qPrintable(message(*m_driver.error)));
    QCOMPARE(m_packageKit->transactions.size(), 1);
    QCOMPARE(m_packageKit->transactions.front()->installedBytes, m_package);
    struct stat info {};
    QCOMPARE(::lstat(path, &info), 0);
    QVERIFY(S_ISDIR(info.st_mode));
    QCOMPARE(info.st_mode & 07777, 0700u);
}

// A tmpfs too small for the package: the disk is full halfway through the download.
void SoftwareUpdaterTest::saysWhyADownloadCouldNotBeSaved()
{
    const QString small = m_downloads->filePath("small");
    QVERIFY(QDir().mkpath(small));
    if (::mount("ambrevoli-test", QFile::encodeName(small), "tmpfs", 0, "size=16k") != 0)
        QSKIP(qPrintable("a small tmpfs can't be mounted here: " + QString(strerror(errno))));
    const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(small), MNT_DETACH); });
    QByteArray large(256 * 1024, '\0');
    randombytes_buf(large.data(), std::size_t(large.size()));
    UpdaterConfiguration setup = configuration();
    setup.downloadFolder = small + "/updates";
    serve(feedWith({{"1.2.0", m_web->url("/ambrevoli.deb").toString(),
                     QString::fromLatin1(sign(large, m_secretKey)), large.size()}}));
    m_web->routes["/ambrevoli.deb"].body = large;

    SoftwareUpdater updater(setup, &m_driver);
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);
    QVERIFY(m_driver.error);
    QCOMPARE(m_driver.error->kind, UpdateError::Case::saveFailed);
    QVERIFY2(message(*m_driver.error).contains(strerror(ENOSPC)),
             qPrintable(message(*m_driver.error)));
    QVERIFY(QDir(setup.downloadFolder).isEmpty());
}

void SoftwareUpdaterTest::aDownloadGoesWhenItIsNotInstalled_data()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("remind me later") << "dismiss";
    QTest::newRow("skip this version") << "skip";
    QTest::newRow("quit") << "quit";
}

void SoftwareUpdaterTest::aDownloadGoesWhenItIsNotInstalled()
{
    QFETCH(QString, end);
    auto updater = downloadingInTheBackground();
    QTRY_VERIFY(m_driver.found.has_value());
    QVERIFY(m_driver.foundState.downloaded);
    const QDir folder(configuration().downloadFolder);
    QCOMPARE(folder.entryList(QDir::Files).size(), 1);
    if (end == "quit")
        updater.reset();
    else
        m_driver.reply(end == "skip" ? UserDriver::Choice::skip : UserDriver::Choice::dismiss);
    QVERIFY(folder.isEmpty());
    QVERIFY(m_packageKit->transactions.isEmpty());
}

// dpkg-deb is held until the test lets it go, which it can only do while the event loop runs.
void SoftwareUpdaterTest::verifiesWithoutHoldingUpTheEventLoop()
{
    const QString bin = m_downloads->filePath("bin");
    QVERIFY(QDir().mkpath(bin));
    const QString started = m_downloads->filePath("dpkg-deb started");
    const QString gate = m_downloads->filePath("dpkg-deb may go");
    QFile script(bin + "/dpkg-deb");
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\ntouch '" + QFile::encodeName(started) +
                 "'\nfor i in $(seq 100); do [ -e '" + QFile::encodeName(gate) +
                 "' ] && exec /usr/bin/dpkg-deb \"$@\"; sleep 0.1; done\nexit 1\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin) + ":" + path);
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });

    serve(feedWith({signedItem()}));
    SoftwareUpdater updater(configuration(), &m_driver);
    updater.checkForUpdates();
    QTRY_VERIFY(QFile::exists(started));
    QVERIFY(!m_driver.ended);
    QVERIFY(QFile(gate).open(QIODevice::WriteOnly));
    QTRY_VERIFY(m_driver.ended);
    QVERIFY2(!m_driver.error, qPrintable(message(*m_driver.error)));
    QCOMPARE(m_packageKit->transactions.size(), 1);
}

void SoftwareUpdaterTest::withoutPackageKitKeepsTheVerifiedFile()
{
    m_packageKit.reset();
    serve(feedWith({signedItem()}));
    SoftwareUpdater updater(configuration(), &m_driver);
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);
    QVERIFY(m_driver.error);
    QCOMPARE(m_driver.error->kind, UpdateError::Case::noPackageKit);
    QFile kept(m_driver.error->keptFile);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), m_package);
}

void SoftwareUpdaterTest::reportsAFailedInstallation()
{
    m_packageKit->failure = {ambrevoli::testing::packageKitFailed, 29, "dpkg was interrupted"};
    serve(feedWith({signedItem()}));
    SoftwareUpdater updater(configuration(), &m_driver);
    QSignalSpy installed(&updater, &SoftwareUpdater::updateInstalled);
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);
    QVERIFY(m_driver.error);
    QCOMPARE(m_driver.error->kind, UpdateError::Case::installFailed);
    QVERIFY(message(*m_driver.error).contains("dpkg was interrupted"));
    QCOMPARE(installed.size(), 0);
    QVERIFY(QDir(configuration().downloadFolder).isEmpty());
}

void SoftwareUpdaterTest::skipsExactlyTheSkippedVersionInScheduledChecksOnly()
{
    serve(feedWith({signedItem()}));
    m_driver.choice = UserDriver::Choice::skip;
    {
        SoftwareUpdater updater(configuration(), &m_driver);
        updater.checkForUpdates();
        QTRY_VERIFY(m_driver.ended);
        QCOMPARE(updater.skippedVersion(), "1.2.0");
    }

    SoftwareUpdater updater(configuration(), &m_driver);
    auto check = [&](bool userInitiated, const QList<FeedItem>& items) {
        m_web->routes["/appcast.xml"].body = feedWith(items);
        m_driver = RecordingDriver();
        m_driver.choice = UserDriver::Choice::dismiss;
        if (userInitiated)
            updater.checkForUpdates();
        else
            updater.checkForUpdatesInBackground();
        return QTest::qWaitFor([&] { return m_driver.ended; }) ? m_driver.events.join(", ")
                                                               : "still checking";
    };
    QCOMPARE(check(false, {signedItem()}), "ended");
    // Asking is asking: the skipped version is offered again.
    QCOMPARE(check(true, {signedItem()}), "checking, found 1.2.0, ended");
    QCOMPARE(check(false, {signedItem("1.3.0")}), "found 1.3.0, ended");
    // Older releases than the skipped one are not hidden with it: the skip of a forged version
    // far ahead must not hide every genuine release.
    QCOMPARE(check(false, {signedItem("1.2.0"), signedItem("1.1.5")}), "found 1.1.5, ended");

    m_web->routes["/appcast.xml"].body = feedWith({signedItem("99999")});
    m_driver = RecordingDriver();
    m_driver.choice = UserDriver::Choice::skip;
    updater.checkForUpdates();
    QTRY_VERIFY(m_driver.ended);
    QCOMPARE(updater.skippedVersion(), "99999");
    QCOMPARE(check(false, {signedItem("99999"), signedItem("1.3.0")}), "found 1.3.0, ended");
}

std::unique_ptr<SoftwareUpdater> SoftwareUpdaterTest::downloadingInTheBackground()
{
    serve(feedWith({signedItem()}));
    m_driver.answersFound = false;
    auto updater = std::make_unique<SoftwareUpdater>(configuration(), &m_driver);
    updater->setAutomaticallyDownloadsUpdates(true);
    updater->checkForUpdatesInBackground();
    return updater;
}

void SoftwareUpdaterTest::downloadsInTheBackgroundWhenAllowed()
{
    const auto updater = downloadingInTheBackground();
    QTRY_VERIFY(m_driver.found.has_value());
    QVERIFY(m_driver.foundState.downloaded);
    QVERIFY(!m_driver.foundState.userInitiated);
    QCOMPARE(m_web->requests.value("/ambrevoli.deb"), 1);
    QVERIFY2(m_packageKit->transactions.isEmpty(), "installed without asking");
    // Waiting for the user does not stop a check the user asks for: it brings the update forward.
    QVERIFY(updater->canCheckForUpdates());
    updater->checkForUpdates();
    QCOMPARE(m_driver.events.last(), "in focus");

    m_driver.reply(UserDriver::Choice::install);
    QTRY_VERIFY(m_driver.ended);
    QCOMPARE(m_web->requests.value("/ambrevoli.deb"), 1);
    QCOMPARE(m_packageKit->transactions.size(), 1);
    QCOMPARE(m_packageKit->transactions.front()->installedBytes, m_package);
}

// The file that waits for the user's answer is not what was verified any more: it is not
// installed.
void SoftwareUpdaterTest::refusesADownloadChangedWhileWaitingForTheUser()
{
    const auto updater = downloadingInTheBackground();
    QTRY_VERIFY(m_driver.found.has_value());
    const QStringList downloads = QDir(configuration().downloadFolder).entryList(QDir::Files);
    QCOMPARE(downloads.size(), 1);
    // One byte, in place: as long as the verified file.
    QByteArray changed = m_package;
    changed[changed.size() - 1] = char(changed.back() ^ 1);
    QFile download(configuration().downloadFolder + "/" + downloads.front());
    QVERIFY(download.open(QIODevice::ReadWrite));
    QVERIFY(download.write(changed) == changed.size());
    download.close();

    m_driver.reply(UserDriver::Choice::install);
    QTRY_VERIFY(m_driver.ended);
    QVERIFY(m_driver.error);
    QCOMPARE(m_driver.error->kind, UpdateError::Case::badSignature);
    QVERIFY(m_packageKit->transactions.isEmpty());
}

void SoftwareUpdaterTest::cannotCheckWhileChecking()
{
    serve(feedWith({signedItem("1.0.0")}));
    SoftwareUpdater updater(configuration(), &m_driver);
    QSignalSpy changes(&updater, &SoftwareUpdater::canCheckForUpdatesChanged);
    QVERIFY(updater.canCheckForUpdates());
    updater.checkForUpdates();
    QVERIFY(!updater.canCheckForUpdates());
    updater.checkForUpdates();
    updater.checkForUpdatesInBackground();
    QTRY_VERIFY(m_driver.ended);
    QVERIFY(updater.canCheckForUpdates());
    QCOMPARE(m_web->requests.value("/appcast.xml"), 1);
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes.at(0).at(0).toBool(), false);
    QCOMPARE(changes.at(1).at(0).toBool(), true);

    // Cancelled while the feed is on its way: the check ends and may start again.
    m_driver = RecordingDriver();
    updater.checkForUpdates();
    QVERIFY(m_driver.cancel);
    m_driver.cancel();
    QVERIFY(m_driver.ended);
    QVERIFY(updater.canCheckForUpdates());
}

void SoftwareUpdaterTest::cannotCheckWithoutFeedOrKey()
{
    serve(feedWith({signedItem()}));
    for (const auto& [feed, key] : {std::pair<QUrl, QString>{{}, "key"},
                                    {m_web->url("/appcast.xml"), {}},
                                    {m_web->url("/appcast.xml"), "c2hvcnQ="}}) {
        UpdaterConfiguration setup = configuration();
        setup.feedURL = feed;
        setup.publicKey = key == "key" ? setup.publicKey : key;
        SoftwareUpdater updater(setup, &m_driver);
        QVERIFY(!updater.canCheckForUpdates());
        QVERIFY(!updater.whyCannotCheck().isEmpty());
        updater.start();
        QVERIFY(!updater.nextScheduledCheck());
        updater.checkForUpdates();
    }
    QTest::qWait(50);
    QVERIFY(m_driver.events.isEmpty());
    QCOMPARE(m_web->requests.value("/appcast.xml"), 0);
}

void SoftwareUpdaterTest::settingsAreKeptAndSignalled()
{
    SoftwareUpdater updater(configuration(), &m_driver);
    QVERIFY(updater.automaticallyChecksForUpdates());
    QVERIFY(!updater.automaticallyDownloadsUpdates());
    updater.start();
    QVERIFY(updater.nextScheduledCheck());

    QSignalSpy checks(&updater, &SoftwareUpdater::automaticallyChecksForUpdatesChanged);
    QSignalSpy downloads(&updater, &SoftwareUpdater::automaticallyDownloadsUpdatesChanged);
    updater.setAutomaticallyChecksForUpdates(false);
    updater.setAutomaticallyChecksForUpdates(false);
    updater.setAutomaticallyDownloadsUpdates(true);
    QCOMPARE(checks.size(), 1);
    QCOMPARE(checks.front().front().toBool(), false);
    QCOMPARE(downloads.size(), 1);
    QVERIFY(!updater.nextScheduledCheck());

    SoftwareUpdater later(configuration(), &m_driver);
    QVERIFY(!later.automaticallyChecksForUpdates());
    QVERIFY(later.automaticallyDownloadsUpdates());

    // A recent check puts the next one an interval after it, not right after start.
    hostSettings().setValue("lastUpdateCheckDate", QDateTime::currentDateTimeUtc().addSecs(-3600));
    later.setAutomaticallyChecksForUpdates(true);
    const auto next = later.nextScheduledCheck();
    QVERIFY(next);
    const qint64 hours = QDateTime::currentDateTimeUtc().secsTo(*next) / 3600;
    QVERIFY2(hours >= 22 && hours <= 23, qPrintable(QString::number(hours)));
}

QTEST_GUILESS_MAIN(SoftwareUpdaterTest)
#include "software_updater_test.moc"
