#include "package_installer.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
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

PackageInstaller::PackageInstaller(QDBusConnection bus, QObject* parent, QString copyFolder)
    : QObject(parent), m_bus(std::move(bus))
{
    if (copyFolder.isEmpty()) {
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        copyFolder = runtime.startsWith(u'/') && QFileInfo(runtime).isDir()
                         ? runtime
                         : QStringLiteral("/tmp");
    }
    m_copyFolder = QFile::encodeName(copyFolder).toStdString();
}

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
    // Verifying runs dpkg-deb: seconds for a large package, which the event loop must not wait.
    m_worker = std::jthread([this, package = std::move(package), verify = std::move(verify),
                             folder = m_copyFolder](std::stop_token stop) {
        auto copy = [&]() -> std::expected<PackageCopy, UpdateError> {
            auto made = PackageCopy::make(package.get(), folder, "update.deb", stop);
            if (!made)
                return std::unexpected(
                    UpdateError::make(UpdateError::Case::installFailed,
                                      "could not copy the package: " + textualForm(made.error())));
            if (auto verified = verify(made->fd()); !verified)
                return std::unexpected(std::move(verified.error()));
            return std::move(*made);
        }();
        // Queued to the installer: when it goes first, the event goes with it, and the copy too.
        auto result = std::make_shared<decltype(copy)>(std::move(copy));
        QMetaObject::invokeMethod(
            this, [this, result] { prepared(std::move(*result)); }, Qt::QueuedConnection);
    });
}

void PackageInstaller::prepared(std::expected<PackageCopy, UpdateError> copy)
{
    if (!copy) {
        finish(std::unexpected(std::move(copy.error())));
        return;
    }
    m_copy = std::move(*copy);
    const QDBusMessage create =
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/PackageKit"),
                                       service, QStringLiteral("CreateTransaction"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(create), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
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
        started(reply.value().path());
    });
}

void PackageInstaller::finishLater(UpdateError error)
{
    QMetaObject::invokeMethod(
        this, [this, error = std::move(error)] { finish(std::unexpected(error)); },
        Qt::QueuedConnection);
}

void PackageInstaller::started(const QString& transaction)
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
    const QString file = QFile::decodeName(QByteArray::fromStdString(m_copy->path()));
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
        if (!m_copy || !m_copy->unchanged()) {
            finish(std::unexpected(
                UpdateError::make(UpdateError::Case::installFailed,
                                  "the package was changed while PackageKit was installing it")));
            return;
        }
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
    m_copy.reset();
    m_progress = {};
    Done done = std::exchange(m_done, {});
    if (done)
        done(std::move(outcome));
}

} // namespace ambrevoli
