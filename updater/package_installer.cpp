#include "package_installer.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>

namespace ambrevoli {

namespace {

const QString service = QStringLiteral("org.freedesktop.PackageKit");
const QString transactionInterface = QStringLiteral("org.freedesktop.PackageKit.Transaction");

// PackageKit's exit states.
constexpr uint exitSuccess = 1;
constexpr uint exitCancelled = 3;
// What PackageKit reports while it can't tell how far it is.
constexpr uint unknownPercentage = 101;

bool meansNoPackageKit(const QDBusError& error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::NoServer:
    case QDBusError::Disconnected:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod: return true;
    default: return false;
    }
}

std::string describe(const QDBusError& error)
{
    return (error.name() + QStringLiteral(": ") + error.message()).toStdString();
}

} // namespace

PackageInstaller::PackageInstaller(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{}

PackageInstaller::~PackageInstaller() { watch(false); }

void PackageInstaller::install(UniqueFd package, Verify verify, Progress progress, Done done)
{
    m_progress = std::move(progress);
    m_done = std::move(done);
    m_lastError.reset();
    if (!m_bus.isConnected()) {
        finishLater(UpdateError::make(UpdateError::Case::noPackageKit, "no system bus"));
        return;
    }
    if (!package) {
        finishLater(UpdateError::make(UpdateError::Case::installFailed, "the package is not open"));
        return;
    }
    if (auto verified = verify(package.get()); !verified) {
        finishLater(std::move(verified.error()));
        return;
    }
    const QString file =
        QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(package.get())).symLinkTarget();
    m_package = std::move(package);
    const QDBusMessage create =
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/PackageKit"),
                                       service, QStringLiteral("CreateTransaction"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(create), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, file] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError()) {
            const QDBusError error = reply.error();
            finish(std::unexpected(UpdateError::make(meansNoPackageKit(error)
                                                         ? UpdateError::Case::noPackageKit
                                                         : UpdateError::Case::installFailed,
                                                     describe(error))));
            return;
        }
        started(reply.value().path(), file);
    });
}

void PackageInstaller::finishLater(UpdateError error)
{
    QMetaObject::invokeMethod(
        this, [this, error = std::move(error)] { finish(std::unexpected(error)); },
        Qt::QueuedConnection);
}

void PackageInstaller::started(const QString& transaction, const QString& file)
{
    m_transaction = transaction;
    watch(true);
    auto call = [&](const QString& method, const QVariantList& arguments) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(service, m_transaction, transactionInterface, method);
        message.setArguments(arguments);
        return m_bus.asyncCall(message);
    };
    // Without the hint PackageKit may refuse rather than let polkit ask for the password.
    call(QStringLiteral("SetHints"), {QStringList{QStringLiteral("interactive=true")}});
    // No transaction flags: the file is not from a signed archive; its own signature was checked.
    auto* watcher =
        new QDBusPendingCallWatcher(call(QStringLiteral("InstallFiles"),
                                         {QVariant::fromValue(qulonglong(0)), QStringList{file}}),
                                    this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<> reply = *watcher;
        if (reply.isError() && m_done)
            finish(std::unexpected(
                UpdateError::make(UpdateError::Case::installFailed, describe(reply.error()))));
    });
}

void PackageInstaller::watch(bool on)
{
    if (m_transaction.isEmpty())
        return;
    const auto link = [&](const QString& interface, const QString& name, const char* slot) {
        if (on)
            m_bus.connect(service, m_transaction, interface, name, this, slot);
        else
            m_bus.disconnect(service, m_transaction, interface, name, this, slot);
    };
    link(transactionInterface, QStringLiteral("ErrorCode"), SLOT(transactionError(uint, QString)));
    link(transactionInterface, QStringLiteral("Finished"), SLOT(transactionFinished(uint, uint)));
    link(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
         SLOT(transactionPropertiesChanged(QString, QVariantMap, QStringList)));
}

void PackageInstaller::transactionError(uint, const QString& details) { m_lastError = details; }

void PackageInstaller::transactionPropertiesChanged(const QString& interface,
                                                    const QVariantMap& changed, const QStringList&)
{
    if (interface != transactionInterface || !m_progress)
        return;
    const auto percentage = changed.find(QStringLiteral("Percentage"));
    if (percentage == changed.end())
        return;
    const uint value = percentage->toUInt();
    m_progress(value >= unknownPercentage ? -1 : int(value));
}

void PackageInstaller::transactionFinished(uint exit, uint)
{
    if (exit == exitSuccess) {
        finish({});
        return;
    }
    if (exit == exitCancelled) {
        finish(std::unexpected(UpdateError::make(UpdateError::Case::installCancelled)));
        return;
    }
    const std::string words = m_lastError ? m_lastError->toStdString()
                                          : "PackageKit ended with status " + std::to_string(exit);
    finish(std::unexpected(UpdateError::make(UpdateError::Case::installFailed, words)));
}

void PackageInstaller::finish(std::expected<void, UpdateError> outcome)
{
    watch(false);
    m_transaction.clear();
    m_package.reset();
    m_progress = {};
    Done done = std::exchange(m_done, {});
    if (done)
        done(std::move(outcome));
}

} // namespace ambrevoli
