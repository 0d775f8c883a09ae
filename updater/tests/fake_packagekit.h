#pragma once

// PackageKit as the updater sees it on the bus, shaped after what the real daemon (1.2, apt
// backend) does with the installer's calls: CreateTransaction gives a transaction; InstallFiles
// answers at once, refusing with NoSuchFile a path that is not a readable Debian package; the
// file is read later, after authorization, which the test can hold open like a password prompt;
// then Percentage changes (101: can't tell), ErrorCode before a failed Finished, and Finished.

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

namespace ambrevoli::testing {

// PackageKit's exit states and the error codes the tests use.
enum : uint {
    packageKitSuccess = 1,
    packageKitFailed = 2,
    packageKitCancelled = 3,
    packageKitNotAuthorized = 48,
    packageKitPackageNotFound = 8,
};

struct FakeFailure {
    uint exit = packageKitSuccess; // packageKitSuccess: no failure
    uint code = 0;                 // an ErrorCode before Finished; 0: none
    QString words;
};

// What the real daemon sends when polkit refuses or nobody answers the prompt.
inline FakeFailure notAuthorized()
{
    return {packageKitFailed, packageKitNotAuthorized, "Failed to obtain authentication."};
}

class FakeTransaction : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PackageKit.Transaction")
public:
    FakeTransaction(QDBusConnection bus, QString path) : m_bus(bus), m_path(std::move(path)) {}

    QStringList hints;
    QStringList files;
    qulonglong flags = ~0ull;
    QByteArray installedBytes; // what the file held when the transaction read it
    bool read = false;
    FakeFailure failure;
    bool hold = false; // wait in "authorization" until release()

    // Ends the authorization the transaction waits in: reads the file and finishes.
    void release()
    {
        QFile file(files.value(0));
        read = file.open(QIODevice::ReadOnly);
        if (read)
            installedBytes = file.readAll();
        emitSignal("org.freedesktop.DBus.Properties", "PropertiesChanged",
                   {QStringLiteral("org.freedesktop.PackageKit.Transaction"),
                    QVariantMap{{"Percentage", QVariant::fromValue(uint(101))}}, QStringList()});
        emitSignal("org.freedesktop.DBus.Properties", "PropertiesChanged",
                   {QStringLiteral("org.freedesktop.PackageKit.Transaction"),
                    QVariantMap{{"Percentage", QVariant::fromValue(uint(40))}}, QStringList()});
        if (failure.code != 0)
            emitSignal("org.freedesktop.PackageKit.Transaction", "ErrorCode",
                       {QVariant::fromValue(failure.code), failure.words});
        emitSignal("org.freedesktop.PackageKit.Transaction", "Finished",
                   {QVariant::fromValue(failure.exit), QVariant::fromValue(uint(10))});
    }

public slots:
    void SetHints(const QStringList& given) { hints = given; }
    void InstallFiles(qulonglong givenFlags, const QStringList& givenFiles)
    {
        flags = givenFlags;
        files = givenFiles;
        QFile file(givenFiles.value(0));
        if (!file.open(QIODevice::ReadOnly) ||
            !file.read(21).startsWith("!<arch>\ndebian-binary")) {
            sendErrorReply("org.freedesktop.PackageKit.Transaction.NoSuchFile",
                           "File " + givenFiles.value(0) + " is not found or unsupported");
            return;
        }
        if (!hold)
            QTimer::singleShot(0, this, [this] { release(); });
    }

private:
    void emitSignal(const QString& interface, const QString& name, const QVariantList& arguments)
    {
        QDBusMessage signal = QDBusMessage::createSignal(m_path, interface, name);
        signal.setArguments(arguments);
        m_bus.send(signal);
    }

    QDBusConnection m_bus;
    QString m_path;
};

class FakePackageKit : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PackageKit")
public:
    explicit FakePackageKit(QDBusConnection bus) : m_bus(bus)
    {
        m_bus.registerObject("/org/freedesktop/PackageKit", this, QDBusConnection::ExportAllSlots);
        m_bus.registerService("org.freedesktop.PackageKit");
    }
    ~FakePackageKit() override
    {
        m_bus.unregisterService("org.freedesktop.PackageKit");
        m_bus.unregisterObject("/org/freedesktop/PackageKit", QDBusConnection::UnregisterTree);
    }

    QList<FakeTransaction*> transactions;
    // For the transactions made from now on.
    FakeFailure failure;
    bool hold = false;

public slots:
    QDBusObjectPath CreateTransaction()
    {
        const QString path = QStringLiteral("/%1_fake").arg(transactions.size() + 1);
        auto* transaction = new FakeTransaction(m_bus, path);
        transaction->setParent(this);
        transaction->failure = failure;
        transaction->hold = hold;
        m_bus.registerObject(path, transaction, QDBusConnection::ExportAllSlots);
        transactions.append(transaction);
        return QDBusObjectPath(path);
    }

private:
    QDBusConnection m_bus;
};

} // namespace ambrevoli::testing
