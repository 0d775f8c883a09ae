#include "package_installer.h"

#include "fake_packagekit.h"
#include "private_session_bus.h"
#include "test_package.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

using namespace ambrevoli;
using namespace ambrevoli::testing;

namespace {

QByteArray bytesAt(int fd)
{
    QFile file(QStringLiteral("/proc/self/fd/%1").arg(fd));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// Empty for success, else the error's textual form.
QString said(const std::expected<void, UpdateError>& outcome)
{
    return outcome ? QString() : QString::fromStdString(textualForm(outcome.error()));
}

bool moveFile(const QString& from, const QString& to)
{
    return ::rename(QFile::encodeName(from), QFile::encodeName(to)) == 0;
}

// The folder of the copy PackageKit was given.
QString copyFolderOf(const FakeTransaction& transaction)
{
    return QFileInfo(transaction.files.value(0)).absolutePath();
}

} // namespace

class PackageInstallerTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void installsTheVerifiedBytesWhateverBecomesOfTheDownload_data();
    void installsTheVerifiedBytesWhateverBecomesOfTheDownload();
    void refusesADownloadThatNoLongerVerifies();
    void reportsACopyChangedWhilePackageKitHasIt_data();
    void reportsACopyChangedWhilePackageKitHasIt();
    void removesTheCopyHoweverItEnds_data();
    void removesTheCopyHoweverItEnds();
    void removesTheCopyWhenTheInstallerGoes();
    void verifiesOffTheEventLoop();

private:
    using Outcome = std::expected<void, UpdateError>;
    // Starts installing the download; m_outcome is set when done runs. Without `verify`, the
    // download's bytes at the start are the verified ones.
    void start(PackageInstaller::Verify verify = {});
    // Starts installing, and waits until PackageKit was given the file and holds the transaction
    // as if the password prompt were up. Null when it wasn't given the file within 5 seconds.
    FakeTransaction* startPrompting();
    UniqueFd openDownload() const;
    bool copiesLeft() const { return !QDir(m_copies->path()).isEmpty(); }

    QTemporaryDir m_work;
    QByteArray m_package;
    QByteArray m_otherPackage; // a valid package, but not the verified one
    std::unique_ptr<PrivateSessionBus> m_bus;
    QDBusConnection m_installBus{QString()};
    QDBusConnection m_serviceBus{QString()};
    std::unique_ptr<FakePackageKit> m_packageKit;
    std::unique_ptr<QTemporaryDir> m_copies;
    QString m_download;
    std::unique_ptr<PackageInstaller> m_installer;
    std::optional<Outcome> m_outcome;
};

void PackageInstallerTest::initTestCase()
{
    QProcess dpkg;
    dpkg.start("dpkg", {"--print-architecture"});
    QVERIFY(dpkg.waitForFinished());
    const QString architecture = QString::fromLatin1(dpkg.readAllStandardOutput()).trimmed();
    for (auto [readme, bytes] :
         {std::pair{"verified\n", &m_package}, {"swapped\n", &m_otherPackage}}) {
        const QString deb = m_work.filePath(QString::fromLatin1(readme).trimmed() + ".deb");
        QVERIFY(buildTestPackage(m_work.filePath("root"), deb, "1.2.0", architecture, readme));
        QFile file(deb);
        QVERIFY(file.open(QIODevice::ReadOnly));
        *bytes = file.readAll();
    }
    m_bus = std::make_unique<PrivateSessionBus>();
    QVERIFY2(m_bus->failure().isEmpty(), qPrintable(m_bus->failure()));
    m_installBus = m_bus->connect("installer");
    m_serviceBus = m_bus->connect("packagekit");
    QVERIFY(m_installBus.isConnected() && m_serviceBus.isConnected());
}

void PackageInstallerTest::init()
{
    m_packageKit = std::make_unique<FakePackageKit>(m_serviceBus);
    m_copies = std::make_unique<QTemporaryDir>();
    m_download = m_work.filePath("download.deb");
    QVERIFY(writeFile(m_download, m_package));
    m_installer = std::make_unique<PackageInstaller>(m_installBus, nullptr, m_copies->path());
    m_outcome.reset();
}

void PackageInstallerTest::cleanup()
{
    m_installer.reset();
    m_packageKit.reset();
}

UniqueFd PackageInstallerTest::openDownload() const
{
    return UniqueFd(::open(QFile::encodeName(m_download).constData(), O_RDONLY | O_CLOEXEC));
}

void PackageInstallerTest::start(PackageInstaller::Verify verify)
{
    if (!verify)
        verify = [package = m_package](int fd) -> Outcome {
            if (bytesAt(fd) != package)
                return std::unexpected(UpdateError::make(UpdateError::Case::badSignature));
            return {};
        };
    m_installer->install(
        openDownload(), std::move(verify), [](int) {},
        [this](Outcome given) { m_outcome = std::move(given); });
}

FakeTransaction* PackageInstallerTest::startPrompting()
{
    m_packageKit->hold = true;
    start();
    const auto given = [this] {
        return !m_packageKit->transactions.isEmpty() &&
               !m_packageKit->transactions.front()->files.isEmpty();
    };
    return QTest::qWaitFor(given, 5000) ? m_packageKit->transactions.front() : nullptr;
}

// The download is open when the installation starts; whatever happens to it while the password
// prompt is up, PackageKit reads what was verified.
void PackageInstallerTest::installsTheVerifiedBytesWhateverBecomesOfTheDownload_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("left alone") << "none";
    QTest::newRow("another package renamed over it") << "rename";
    QTest::newRow("rewritten in place") << "rewrite";
    QTest::newRow("truncated") << "truncate";
}

void PackageInstallerTest::installsTheVerifiedBytesWhateverBecomesOfTheDownload()
{
    QFETCH(QString, change);
    FakeTransaction* prompting = startPrompting();
    QVERIFY(prompting);
    FakeTransaction& transaction = *prompting;
    QVERIFY(transaction.files.front() != m_download);

    if (change == "rename") {
        const QString other = m_work.filePath("other.deb");
        QVERIFY(writeFile(other, m_otherPackage));
        QVERIFY(moveFile(other, m_download));
    } else if (change == "rewrite") {
        QVERIFY(writeFile(m_download, m_otherPackage));
    } else if (change == "truncate") {
        QVERIFY(QFile::resize(m_download, 0));
    }
    transaction.release();
    QTRY_VERIFY(m_outcome.has_value());
    QVERIFY2(m_outcome->has_value(), qPrintable(said(*m_outcome)));
    QVERIFY(transaction.read);
    QCOMPARE(transaction.installedBytes, m_package);
    QCOMPARE(transaction.flags, 0ull);
    QVERIFY(transaction.hints.contains("interactive=true"));
    QVERIFY(!copiesLeft());
}

// With automatic downloads the package may wait days for the user's answer: what is installed
// is checked again when the installation starts.
void PackageInstallerTest::refusesADownloadThatNoLongerVerifies()
{
    QVERIFY(writeFile(m_download, m_otherPackage));
    start();
    QTRY_VERIFY(m_outcome.has_value());
    QVERIFY(!m_outcome->has_value());
    QCOMPARE(m_outcome->error().kind, UpdateError::Case::badSignature);
    QVERIFY(m_packageKit->transactions.isEmpty());
    QVERIFY(!copiesLeft());
}

// The copy itself is within reach of the user's other processes. Whatever they do to it while
// PackageKit has it, the installation is not reported as the verified update installed.
void PackageInstallerTest::reportsACopyChangedWhilePackageKitHasIt_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("rewritten") << "rewrite";
    QTest::newRow("replaced by rename") << "rename";
    QTest::newRow("swapped and put back") << "swap back";
    QTest::newRow("its folder swapped and put back") << "folder swap back";
}

void PackageInstallerTest::reportsACopyChangedWhilePackageKitHasIt()
{
    QFETCH(QString, change);
    FakeTransaction* prompting = startPrompting();
    QVERIFY(prompting);
    FakeTransaction& transaction = *prompting;
    const QString copy = transaction.files.front();
    const QString folder = copyFolderOf(transaction);
    const QString aside = m_work.filePath("aside");

    if (change == "rewrite") {
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeFile(copy, m_otherPackage));
        transaction.release();
    } else if (change == "rename") {
        QVERIFY(writeFile(aside, m_otherPackage));
        QVERIFY(moveFile(aside, copy));
        transaction.release();
    } else if (change == "swap back") {
        QVERIFY(moveFile(copy, aside));
        QVERIFY(writeFile(copy, m_otherPackage));
        transaction.release();
        QVERIFY(moveFile(aside, copy));
    } else if (change == "folder swap back") {
        QVERIFY(moveFile(folder, aside));
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(writeFile(copy, m_otherPackage));
        transaction.release();
        QVERIFY(QFile::remove(copy) && QDir().rmdir(folder));
        QVERIFY(moveFile(aside, folder));
    }
    QTRY_VERIFY(m_outcome.has_value());
    QVERIFY(!m_outcome->has_value());
    QCOMPARE(m_outcome->error().kind, UpdateError::Case::installFailed);
    QVERIFY(m_outcome->error().detail.find("changed") != std::string::npos);
    if (change != "rename") // the copy's own name was taken over; the folder holds that file
        QVERIFY(!copiesLeft());
}

void PackageInstallerTest::removesTheCopyHoweverItEnds_data()
{
    QTest::addColumn<FakeFailure>("failure");
    QTest::addColumn<bool>("withPackageKit");
    QTest::addColumn<QByteArray>("download");
    QTest::addColumn<QString>("expected"); // the start of the error's textual form; empty: success
    QTest::newRow("installed") << FakeFailure{} << true << m_package << "";
    // Polkit refused, or the prompt was dismissed: the real daemon says the same for both.
    QTest::newRow("not authorized") << notAuthorized() << true << m_package
                                    << "installFailed(Failed to obtain authentication.)";
    QTest::newRow("cancelled") << FakeFailure{packageKitCancelled, 0, {}} << true << m_package
                               << "installCancelled";
    QTest::newRow("refused by InstallFiles")
        << FakeFailure{} << true << QByteArray("not a package")
        << "installFailed(org.freedesktop.PackageKit.Transaction.NoSuchFile";
    QTest::newRow("no PackageKit") << FakeFailure{} << false << m_package << "noPackageKit";
}

void PackageInstallerTest::removesTheCopyHoweverItEnds()
{
    QFETCH(FakeFailure, failure);
    QFETCH(bool, withPackageKit);
    QFETCH(QByteArray, download);
    QFETCH(QString, expected);
    m_packageKit->failure = failure;
    if (!withPackageKit)
        m_packageKit.reset();
    QVERIFY(writeFile(m_download, download));
    start([](int) -> Outcome { return {}; });
    QTRY_VERIFY(m_outcome.has_value());
    const QString got = said(*m_outcome);
    QVERIFY2(expected.isEmpty() ? got.isEmpty() : got.startsWith(expected), qPrintable(got));
    QVERIFY(!copiesLeft());
}

void PackageInstallerTest::removesTheCopyWhenTheInstallerGoes()
{
    FakeTransaction* prompting = startPrompting();
    QVERIFY(prompting);
    QVERIFY(copiesLeft());
    m_installer.reset();
    QVERIFY(!copiesLeft());
    prompting->release();
    QTest::qWait(50);
    QVERIFY(!m_outcome.has_value());
}

// The verifier runs dpkg-deb; the event loop goes on meanwhile. Here the check waits for the
// event loop: run on the main thread it would wait in vain.
void PackageInstallerTest::verifiesOffTheEventLoop()
{
    auto turned = std::make_shared<std::atomic<bool>>(false);
    QTimer::singleShot(0, [turned] { *turned = true; });
    start([turned](int) -> Outcome {
        using namespace std::chrono_literals;
        for (int i = 0; i < 500 && !*turned; ++i)
            std::this_thread::sleep_for(10ms);
        if (!*turned)
            return std::unexpected(UpdateError::make(UpdateError::Case::badSignature, "blocked"));
        return {};
    });
    QTRY_VERIFY_WITH_TIMEOUT(m_outcome.has_value(), 10000);
    QVERIFY2(m_outcome->has_value(), qPrintable(said(*m_outcome)));
}

QTEST_GUILESS_MAIN(PackageInstallerTest)
#include "package_installer_test.moc"
