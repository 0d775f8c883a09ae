#include "software_updater.h"

#include "host_settings.h"
#include "log.h"
#include "package_installer.h"
#include "update_download.h"
#include "version_comparator.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <limits>

namespace ambrevoli {

namespace {

const QString checksKey = QStringLiteral("automaticallyChecksForUpdates");
const QString downloadsKey = QStringLiteral("automaticallyDownloadsUpdates");
const QString lastCheckKey = QStringLiteral("lastUpdateCheckDate");
const QString skippedKey = QStringLiteral("skippedVersion");
const char insecureRedirectProperty[] = "ambrevoliInsecureRedirect";
const char timedOutProperty[] = "ambrevoliTimedOut";

// Also within the deadline: a server that stops sending altogether is given up sooner.
constexpr int transferTimeoutMs = 60000;

const Logger& updatesLog() { return logger("updates"); }

UpdateError networkError(QNetworkReply* reply, bool feed)
{
    using enum UpdateError::Case;
    if (reply->property(insecureRedirectProperty).isValid())
        return UpdateError::make(
            insecureURL, reply->property(insecureRedirectProperty).toString().toStdString());
    if (reply->property(timedOutProperty).isValid())
        return UpdateError::make(timedOut, reply->url().toString().toStdString());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A redirect to a scheme the network layer does not speak fails before it is offered to us.
    if (status >= 300 && status < 400)
        return UpdateError::make(insecureURL, reply->rawHeader("Location").toStdString());
    if (status >= 400)
        return UpdateError::make(feed ? feedHTTPError : downloadFailed, std::to_string(status));
    return UpdateError::make(feed ? feedUnreachable : downloadFailed,
                             reply->errorString().toStdString());
}

// The newest item that offers a secure download, passing over the version `skipped` (when given)
// and only that: a skip read from one forged feed must not hide the genuine releases around it.
std::optional<AppcastItem> newestItem(const std::vector<AppcastItem>& items, const QString& skipped)
{
    std::optional<AppcastItem> newest;
    for (const AppcastItem& item : items) {
        if (!isSecureUpdateURL(item.url))
            continue;
        if (!skipped.isEmpty() && compareVersions(item.version, skipped) == 0)
            continue;
        if (!newest || compareVersions(item.version, newest->version) > 0)
            newest = item;
    }
    return newest;
}

void forget(QNetworkReply* reply)
{
    if (!reply)
        return;
    reply->disconnect();
    reply->abort();
    reply->deleteLater();
}

} // namespace

struct SoftwareUpdater::Session {
    quint64 serial = 0;
    bool userInitiated = false;
    // The user saw this session's update and answered: what follows is shown too.
    bool shown = false;
    bool awaitingChoice = false;
    QPointer<QNetworkReply> reply;
    // Why this side broke the transfer off (the feed too large, the disk full), which the reply
    // would only report as cancelled.
    std::optional<UpdateError> brokenOff;
    std::optional<AppcastItem> update;
    std::optional<UpdateDownload> download;
    bool verified = false;
    // Runs verifyUpdate; waited for before the download it reads goes.
    std::unique_ptr<QThread> verifier;

    ~Session()
    {
        forget(reply);
        if (verifier)
            verifier->wait();
    }
};

SoftwareUpdater::SoftwareUpdater(UpdaterConfiguration configuration, UserDriver* driver,
                                 QObject* parent)
    : QObject(parent), m_configuration(std::move(configuration)), m_driver(driver),
      m_network(new QNetworkAccessManager(this)),
      m_installer(new PackageInstaller(m_configuration.installBus, this))
{
    m_trust = {decodePublicKey(m_configuration.publicKey), m_configuration.packageName,
               m_configuration.architecture};
    m_configured = m_configuration.feedURL.isValid() && !m_configuration.feedURL.isEmpty() &&
                   !m_trust.publicKey.isEmpty();
    m_schedule.setSingleShot(true);
    connect(&m_schedule, &QTimer::timeout, this, &SoftwareUpdater::checkForUpdatesInBackground);
}

SoftwareUpdater::~SoftwareUpdater() = default;

bool SoftwareUpdater::isCurrent(quint64 serial) const
{
    return m_session && m_session->serial == serial;
}

void SoftwareUpdater::start() { schedule(); }

bool SoftwareUpdater::canCheckForUpdates() const { return m_configured && !m_busy; }

QString SoftwareUpdater::whyCannotCheck() const
{
    return m_configured ? QString() : message(UpdateError::make(UpdateError::Case::notConfigured));
}

bool SoftwareUpdater::automaticallyChecksForUpdates() const
{
    return hostSettings().value(checksKey, true).toBool();
}

void SoftwareUpdater::setAutomaticallyChecksForUpdates(bool on)
{
    if (on == automaticallyChecksForUpdates())
        return;
    hostSettings().setValue(checksKey, on);
    schedule();
    emit automaticallyChecksForUpdatesChanged(on);
}

bool SoftwareUpdater::automaticallyDownloadsUpdates() const
{
    return hostSettings().value(downloadsKey, false).toBool();
}

void SoftwareUpdater::setAutomaticallyDownloadsUpdates(bool on)
{
    if (on == automaticallyDownloadsUpdates())
        return;
    hostSettings().setValue(downloadsKey, on);
    emit automaticallyDownloadsUpdatesChanged(on);
}

std::optional<QDateTime> SoftwareUpdater::lastUpdateCheckDate() const
{
    const QDateTime date = hostSettings().value(lastCheckKey).toDateTime();
    return date.isValid() ? std::optional(date) : std::nullopt;
}

QString SoftwareUpdater::skippedVersion() const
{
    return hostSettings().value(skippedKey).toString();
}

std::optional<QDateTime> SoftwareUpdater::nextScheduledCheck() const
{
    if (!m_schedule.isActive())
        return std::nullopt;
    return QDateTime::currentDateTimeUtc().addMSecs(m_schedule.remainingTime());
}

void SoftwareUpdater::schedule()
{
    m_schedule.stop();
    if (!m_configured || !automaticallyChecksForUpdates())
        return;
    using namespace std::chrono;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    milliseconds wait = m_configuration.firstCheckDelay;
    if (const auto last = lastUpdateCheckDate()) {
        const milliseconds untilDue(
            now.msecsTo(last->addMSecs(m_configuration.checkInterval.count())));
        wait = std::max(wait, untilDue);
    }
    wait = std::min(wait, milliseconds(std::numeric_limits<int>::max()));
    m_schedule.start(wait);
}

void SoftwareUpdater::setBusy(bool busy)
{
    if (busy == m_busy)
        return;
    const bool could = canCheckForUpdates();
    m_busy = busy;
    if (could != canCheckForUpdates())
        emit canCheckForUpdatesChanged(canCheckForUpdates());
}

void SoftwareUpdater::checkForUpdates()
{
    if (!canCheckForUpdates())
        return;
    beginCheck(true);
}

void SoftwareUpdater::checkForUpdatesInBackground()
{
    // A session under way (a found update waiting for the user, for one) is not found again.
    if (!canCheckForUpdates() || m_session) {
        schedule();
        return;
    }
    beginCheck(false);
}

void SoftwareUpdater::beginCheck(bool userInitiated)
{
    if (m_session && m_session->awaitingChoice) {
        if (userInitiated) {
            m_session->userInitiated = true;
            if (m_driver)
                m_driver->showUpdateInFocus();
        }
        return;
    }
    if (m_session)
        endSession();
    m_session = std::make_unique<Session>();
    m_session->serial = ++m_sessions;
    m_session->userInitiated = userInitiated;
    m_session->shown = userInitiated;
    setBusy(true);
    hostSettings().setValue(lastCheckKey, QDateTime::currentDateTimeUtc());
    schedule();
    if (userInitiated && m_driver) {
        const quint64 session = m_session->serial;
        m_driver->showUserInitiatedUpdateCheck([this, session] {
            if (isCurrent(session) && m_busy)
                endSession();
        });
    }
    if (!isSecureUpdateURL(m_configuration.feedURL)) {
        fail(UpdateError::make(UpdateError::Case::insecureURL,
                               m_configuration.feedURL.toString().toStdString()));
        return;
    }
    QNetworkReply* reply = get(m_configuration.feedURL, m_configuration.feedDeadline);
    m_session->reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        // Read whole at the end, but never more than a feed may be.
        if (reply->bytesAvailable() <= maxFeedBytes)
            return;
        m_session->brokenOff =
            UpdateError::make(UpdateError::Case::tooLarge,
                              "a feed of more than " + std::to_string(maxFeedBytes) + " bytes");
        reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { feedArrived(reply); });
}

QNetworkReply* SoftwareUpdater::get(const QUrl& url, std::chrono::milliseconds deadline)
{
    QNetworkRequest request(url);
    // Each hop is checked: a secure feed must not lead to an insecure download.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);
    QNetworkReply* reply = m_network->get(request);
    // The transfer timeout restarts with every byte: a server trickling one byte a minute would
    // hold the check (and the menu item) for ever.
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [reply] {
        reply->setProperty(timedOutProperty, true);
        reply->abort();
    });
    timer->start(deadline);
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        if (isSecureUpdateURL(target)) {
            emit reply->redirectAllowed();
            return;
        }
        reply->setProperty(insecureRedirectProperty, target.toString());
        reply->abort();
    });
    return reply;
}

bool SoftwareUpdater::endReply(QNetworkReply* reply, bool feed)
{
    reply->deleteLater();
    m_session->reply = nullptr;
    if (m_session->brokenOff) {
        fail(*m_session->brokenOff);
        return true;
    }
    if (reply->error() != QNetworkReply::NoError ||
        reply->property(insecureRedirectProperty).isValid()) {
        fail(networkError(reply, feed));
        return true;
    }
    return false;
}

void SoftwareUpdater::feedArrived(QNetworkReply* reply)
{
    if (endReply(reply, true))
        return;
    const auto items = parseAppcast(reply->readAll(), reply->url());
    if (!items) {
        fail(UpdateError::make(UpdateError::Case::feedInvalid, items.error().description));
        return;
    }
    // A version the user skipped is passed over by scheduled checks only: asking is asking.
    const std::optional<AppcastItem> newest =
        newestItem(*items, m_session->userInitiated ? QString() : skippedVersion());
    const QString& running = m_configuration.runningVersion;
    const bool found = newest && compareVersions(newest->version, running) > 0;
    if (!found) {
        updatesLog().log(LogLevel::standard, "No update found; running ", running.toStdString());
        setBusy(false);
        if (!m_session->userInitiated || !m_driver) {
            endSession();
            return;
        }
        const quint64 session = m_session->serial;
        m_driver->showUpdateNotFound(running, [this, session] {
            if (isCurrent(session))
                endSession();
        });
        return;
    }
    m_session->update = newest;
    updatesLog().log(LogLevel::standard, "Found update ", newest->version.toStdString());
    if (!m_session->userInitiated && automaticallyDownloadsUpdates())
        download(true);
    else
        present();
}

void SoftwareUpdater::present()
{
    setBusy(false);
    if (!m_driver) {
        endSession();
        return;
    }
    m_session->awaitingChoice = true;
    const quint64 session = m_session->serial;
    m_driver->showUpdateFound(*m_session->update, {m_session->userInitiated, m_session->verified},
                              [this, session](UserDriver::Choice choice) {
                                  if (isCurrent(session) && m_session->awaitingChoice)
                                      choose(choice);
                              });
}

void SoftwareUpdater::choose(UserDriver::Choice choice)
{
    m_session->awaitingChoice = false;
    m_session->shown = true;
    switch (choice) {
    case UserDriver::Choice::install:
        if (m_session->verified)
            install();
        else
            download(false);
        return;
    case UserDriver::Choice::skip:
        hostSettings().setValue(skippedKey, m_session->update->version);
        endSession();
        return;
    case UserDriver::Choice::dismiss: endSession(); return;
    }
}

void SoftwareUpdater::download(bool silently)
{
    using enum UpdateError::Case;
    setBusy(true);
    const AppcastItem& update = *m_session->update;
    // Known before a byte arrives: the length bounds what is written to disk.
    if (update.length < 0) {
        fail(UpdateError::make(wrongLength, "the feed gives no length"));
        return;
    }
    if (update.length > maxPackageBytes) {
        fail(UpdateError::make(tooLarge, std::to_string(update.length) + " bytes"));
        return;
    }
    auto file = UpdateDownload::create(m_configuration.downloadFolder,
                                       m_configuration.packageName + u'_' + update.version);
    if (!file) {
        fail(file.error());
        return;
    }
    m_session->download.emplace(std::move(*file));
    const quint64 session = m_session->serial;
    if (!silently && m_driver)
        m_driver->showDownloadInitiated([this, session] {
            if (!isCurrent(session) || !m_session->reply)
                return;
            endSession();
        });
    QNetworkReply* reply = get(update.url, m_configuration.downloadDeadline);
    m_session->reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (auto saved = save(reply); !saved) {
            m_session->brokenOff = saved.error();
            // Reports the end at once, through downloadFinished.
            reply->abort();
        }
    });
    if (!silently)
        connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 got, qint64 total) {
            if (m_driver)
                m_driver->showDownloadProgress(got, total);
        });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { downloadFinished(reply); });
}

std::expected<void, UpdateError> SoftwareUpdater::save(QNetworkReply* reply)
{
    const QByteArray chunk = reply->readAll();
    UpdateDownload& file = *m_session->download;
    const qint64 length = m_session->update->length;
    if (file.size() + chunk.size() > length)
        return std::unexpected(
            UpdateError::make(UpdateError::Case::wrongLength,
                              "more than the " + std::to_string(length) + " bytes the feed gives"));
    return file.append(chunk);
}

void SoftwareUpdater::downloadFinished(QNetworkReply* reply)
{
    if (endReply(reply, false))
        return;
    if (auto saved = save(reply); !saved) {
        fail(saved.error());
        return;
    }
    verify();
}

void SoftwareUpdater::verify()
{
    UniqueFd fd = m_session->download->openForReading();
    if (!fd) {
        fail(UpdateError::make(UpdateError::Case::saveFailed, std::strerror(errno)));
        return;
    }
    const quint64 session = m_session->serial;
    // Reading and mapping a whole package and waiting for dpkg-deb takes a while: not here.
    m_session->verifier.reset(QThread::create(
        [this, session, fd = std::move(fd), item = *m_session->update, trust = m_trust] {
            std::expected<void, UpdateError> outcome = verifyUpdate(fd.get(), item, trust);
            QMetaObject::invokeMethod(
                this,
                [this, session, outcome = std::move(outcome)] {
                    if (isCurrent(session))
                        verified(outcome);
                },
                Qt::QueuedConnection);
        }));
    m_session->verifier->start();
}

void SoftwareUpdater::verified(std::expected<void, UpdateError> outcome)
{
    m_session->verifier->wait();
    m_session->verifier.reset();
    if (!outcome) {
        fail(outcome.error());
        return;
    }
    m_session->verified = true;
    updatesLog().log(LogLevel::standard, "Downloaded and verified ",
                     m_session->update->version.toStdString());
    if (m_session->awaitingChoice || !m_session->shown)
        present();
    else
        install();
}

void SoftwareUpdater::install()
{
    setBusy(true);
    if (m_driver)
        m_driver->showInstallingUpdate(-1);
    const quint64 session = m_session->serial;
    m_installer->install(
        m_session->download->openForReading(),
        [item = *m_session->update, trust = m_trust](int fd) {
            return verifyUpdate(fd, item, trust);
        },
        [this, session](int percent) {
            if (isCurrent(session) && m_driver)
                m_driver->showInstallingUpdate(percent);
        },
        [this, session](std::expected<void, UpdateError> installed) {
            if (!isCurrent(session))
                return;
            if (!installed) {
                UpdateError error = installed.error();
                // Without PackageKit the user may still install the verified file by hand.
                if (error.kind == UpdateError::Case::noPackageKit) {
                    m_session->download->keep();
                    error.keptFile = m_session->download->path();
                }
                fail(std::move(error));
                return;
            }
            m_session->download.reset();
            updatesLog().log(LogLevel::standard, "Installed update ",
                             m_session->update->version.toStdString());
            emit updateInstalled();
            if (!m_driver) {
                endSession();
                return;
            }
            m_driver->showUpdateInstalled([this, session] {
                if (isCurrent(session))
                    endSession();
            });
        });
}

void SoftwareUpdater::fail(UpdateError error)
{
    logError(updatesLog(), "Update failed", error);
    m_session->download.reset();
    setBusy(false);
    if (!m_session->shown || !m_driver) {
        endSession();
        return;
    }
    const quint64 session = m_session->serial;
    m_driver->showUpdaterError(error, [this, session] {
        if (isCurrent(session))
            endSession();
    });
}

void SoftwareUpdater::endSession()
{
    m_session.reset();
    setBusy(false);
    if (m_driver)
        m_driver->dismissUpdateInstallation();
}

} // namespace ambrevoli
