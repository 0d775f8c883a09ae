#pragma once

#include "package_copy.h"
#include "unique_fd.h"
#include "update_error.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace ambrevoli {

// Installs a package through PackageKit: the package is copied and the copy verified on a worker
// thread (package_copy.h says why a copy); then a transaction made with CreateTransaction, told it
// may ask the user (polkit asks for the password), is given the copy with InstallFiles. Progress
// and the outcome come from the transaction's signals. One installation at a time; main thread
// only.
class PackageInstaller : public QObject {
    Q_OBJECT
public:
    using Progress = std::function<void(int percent)>; // -1 while PackageKit can't tell
    using Done = std::function<void(std::expected<void, UpdateError>)>;
    // Checks the bytes behind a descriptor as the download was checked.
    using Verify = std::function<std::expected<void, UpdateError>(int fd)>;

    // The copies are made in `copyFolder` (an absolute path to a folder the user can't rename);
    // empty: the runtime folder ($XDG_RUNTIME_DIR), else /tmp.
    explicit PackageInstaller(QDBusConnection bus = QDBusConnection::systemBus(),
                              QObject* parent = nullptr, QString copyFolder = {});
    ~PackageInstaller() override;

    // Starts installing the verified download open at `package` (read from its start). Its bytes
    // are copied, and `verify` checks the copy's descriptor on a worker thread; PackageKit reads
    // only that copy, which is removed when the installation ends however it ends. `progress`
    // runs as the transaction reports it; `done` runs once, later: success; `verify`'s error;
    // noPackageKit when nothing answers for PackageKit on the bus; installCancelled; or
    // installFailed with PackageKit's words — also when the package could not be copied or the
    // copy was changed while PackageKit had it (then it may have installed other bytes).
    // Handlers of an installation still running when the installer goes never run.
    void install(UniqueFd package, Verify verify, Progress progress, Done done);

    bool isInstalling() const { return static_cast<bool>(m_done); }

private slots:
    void transactionError(uint code, const QString& details);
    void transactionFinished(uint exit, uint runtime);
    void transactionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                      const QStringList& invalidated);

private:
    void prepared(std::expected<PackageCopy, UpdateError> copy);
    void started(const QString& transaction);
    void finish(std::expected<void, UpdateError> outcome);
    void finishLater(UpdateError error);
    void watch(bool on);

    QDBusConnection m_bus;
    std::string m_copyFolder;
    QString m_transaction;
    std::optional<PackageCopy> m_copy;
    Progress m_progress;
    Done m_done;
    std::optional<QString> m_lastError;
    // Last: it is stopped and joined before anything it reports to goes.
    std::jthread m_worker;
};

} // namespace ambrevoli
