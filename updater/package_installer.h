#pragma once

#include "unique_fd.h"
#include "update_error.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <expected>
#include <functional>
#include <optional>

namespace ambrevoli {

// Installs a package file through PackageKit: a transaction made with CreateTransaction, told it
// may ask the user (polkit asks for the password), then InstallFiles with the file. Progress and
// the outcome come from the transaction's signals. One installation at a time; main thread only.
class PackageInstaller : public QObject {
    Q_OBJECT
public:
    using Progress = std::function<void(int percent)>; // -1 while PackageKit can't tell
    using Done = std::function<void(std::expected<void, UpdateError>)>;
    // Checks the bytes behind a descriptor as the download was checked.
    using Verify = std::function<std::expected<void, UpdateError>(int fd)>;

    explicit PackageInstaller(QDBusConnection bus = QDBusConnection::systemBus(),
                              QObject* parent = nullptr);
    ~PackageInstaller() override;

    // Starts installing the verified download open at `package`; `verify` checks it again
    // before PackageKit is given it, and its refusal is `done`'s. `progress` runs as the
    // transaction reports it; `done` runs once, later: success, noPackageKit when nothing
    // answers for PackageKit on the bus, installCancelled, or installFailed with PackageKit's
    // words. Handlers of an installation still running when the installer goes never run.
    void install(UniqueFd package, Verify verify, Progress progress, Done done);

    bool isInstalling() const { return static_cast<bool>(m_done); }

private slots:
    void transactionError(uint code, const QString& details);
    void transactionFinished(uint exit, uint runtime);
    void transactionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                      const QStringList& invalidated);

private:
    void started(const QString& transaction, const QString& file);
    void finish(std::expected<void, UpdateError> outcome);
    void finishLater(UpdateError error);
    void watch(bool on);

    QDBusConnection m_bus;
    QString m_transaction;
    UniqueFd m_package;
    Progress m_progress;
    Done m_done;
    std::optional<QString> m_lastError;
};

} // namespace ambrevoli
