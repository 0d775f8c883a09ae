#pragma once

#include "appcast.h"
#include "update_error.h"
#include "update_verifier.h"
#include "user_driver.h"

#include <QDBusConnection>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace ambrevoli {

class PackageInstaller;

// What an updater is built with.
struct UpdaterConfiguration {
    QUrl feedURL;           // empty: this build cannot check
    QString publicKey;      // base64 of the Ed25519 public key; empty: this build cannot check
    QString runningVersion; // the version this program is
    QString packageName;
    QString architecture;
    QString downloadFolder; // where updates are downloaded to; made when needed, the user's alone
    std::chrono::milliseconds checkInterval = std::chrono::hours(24);
    std::chrono::milliseconds firstCheckDelay = std::chrono::minutes(2);
    // How long reading the feed, and downloading a package, may take at most, however steadily
    // the server sends.
    std::chrono::milliseconds feedDeadline = std::chrono::minutes(1);
    std::chrono::milliseconds downloadDeadline = std::chrono::minutes(15);
    QDBusConnection installBus = QDBusConnection::systemBus(); // where PackageKit is asked
};

// This build's configuration: the feed address and key it was built with, its version and
// architecture, PackageKit on the system bus, downloads in the user's cache folder.
UpdaterConfiguration buildUpdaterConfiguration();

// Finds, downloads, verifies and installs updates of this program, and keeps the user's update
// settings (in hostSettings(): automaticallyChecksForUpdates, default on;
// automaticallyDownloadsUpdates, default off; lastUpdateCheckDate; skippedVersion), signalling
// each change.
//
// A check reads the feed (at most maxFeedBytes), takes the newest item whose enclosure address is
// secure and whose version is newer than the running one, and hands it to the user driver. A
// check the user asked for shows every step and outcome; a scheduled one shows only a found
// update whose version is not the one the user skipped (with automatic downloads on, downloaded
// and verified first). Choosing to install downloads the package into a new file of its own
// (update_download.h; at most the length the feed gives, which must be there and within
// maxPackageBytes), verifies it from that file's descriptor on a worker thread
// (update_verifier.h) and installs that very file through PackageKit. The download is deleted
// when the user skips it or puts it off, when anything fails, and when the updater goes; only a
// verified file PackageKit wasn't there to install is kept, for the user. The feed and the
// download each have a deadline in the configuration.
//
// Scheduled checks run while automatic checks are on: the first a while after start (or when
// the interval since the last check ends, if later), then every interval.
//
// Main thread only. The driver must outlive the updater or be replaced before it goes.
class SoftwareUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool automaticallyChecksForUpdates READ automaticallyChecksForUpdates WRITE
                   setAutomaticallyChecksForUpdates NOTIFY automaticallyChecksForUpdatesChanged)
    Q_PROPERTY(bool automaticallyDownloadsUpdates READ automaticallyDownloadsUpdates WRITE
                   setAutomaticallyDownloadsUpdates NOTIFY automaticallyDownloadsUpdatesChanged)
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    static constexpr qint64 maxFeedBytes = 1 << 20;
    static constexpr qint64 maxPackageBytes = qint64(256) << 20;

    SoftwareUpdater(UpdaterConfiguration configuration, UserDriver* driver,
                    QObject* parent = nullptr);
    ~SoftwareUpdater() override;

    void setUserDriver(UserDriver* driver) { m_driver = driver; }

    // Starts the scheduled checks. Without a feed or key nothing is scheduled.
    void start();

    // A check the user asked for. While a found update waits for the user's choice, that update
    // is brought forward instead. Does nothing while canCheckForUpdates is false.
    void checkForUpdates();
    // A check nobody asked for: what the schedule runs.
    void checkForUpdatesInBackground();

    // False while a check, a download or an installation runs, and always in a build without a
    // feed or key.
    bool canCheckForUpdates() const;
    // Whether this build has a feed and a key; when not, whyCannotCheck() says so in words.
    bool isConfigured() const { return m_configured; }
    QString whyCannotCheck() const;

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool on);
    std::optional<QDateTime> lastUpdateCheckDate() const;
    QString skippedVersion() const;

    const QString& runningVersion() const { return m_configuration.runningVersion; }
    // When the next scheduled check runs; none while automatic checks are off.
    std::optional<QDateTime> nextScheduledCheck() const;

signals:
    void automaticallyChecksForUpdatesChanged(bool on);
    void automaticallyDownloadsUpdatesChanged(bool on);
    void canCheckForUpdatesChanged(bool can);
    // The update is installed; the program should restart into it.
    void updateInstalled();

private:
    struct Session;

    void beginCheck(bool userInitiated);
    // Lets go of the session's finished `reply` (of the feed, or of the package); when the session
    // was broken off meanwhile or the reply failed, fails the session and yields true.
    bool endReply(QNetworkReply* reply, bool feed);
    void feedArrived(QNetworkReply* reply);
    void present();
    void choose(UserDriver::Choice choice);
    void download(bool silently);
    // Writes what `reply` brought so far to the download file, within the feed's length.
    std::expected<void, UpdateError> save(QNetworkReply* reply);
    void downloadFinished(QNetworkReply* reply);
    void verify();
    void verified(std::expected<void, UpdateError> outcome);
    void install();
    void fail(UpdateError error);
    void endSession();
    void setBusy(bool busy);
    void schedule();
    // Starts fetching `url`, to be aborted when it passes `deadline` or a redirect leads to an
    // address that is not secure.
    QNetworkReply* get(const QUrl& url, std::chrono::milliseconds deadline);
    // Whether the session numbered `serial` is still the one under way: a driver may answer late.
    bool isCurrent(quint64 serial) const;

    UpdaterConfiguration m_configuration;
    UpdateTrust m_trust;
    bool m_configured = false;
    UserDriver* m_driver;
    QNetworkAccessManager* m_network;
    PackageInstaller* m_installer;
    QTimer m_schedule;
    std::unique_ptr<Session> m_session;
    bool m_busy = false;
    quint64 m_sessions = 0;
};

} // namespace ambrevoli
