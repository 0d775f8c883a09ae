#include "updater.h"

#include "log.h"
#include "qt_translation.h"
#include "result_notifier.h"

#include <QGuiApplication>
#include <QPointer>

namespace ambrevoli {

namespace {

const Logger& updatesLog() { return logger("updates"); }

} // namespace

Updater::Updater(UpdaterConfiguration configuration, NotificationService& center,
                 ActiveProbe isActive, StandardUserDriver::RevealFolder revealFolder,
                 QObject* parent)
    : QObject(parent), m_center(center), m_isActive(std::move(isActive)),
      m_driver(configuration.runningVersion, this, std::move(revealFolder)),
      m_updater(std::move(configuration), &m_driver),
      m_checkForUpdates(uiText("Check for Updates\u2026"))
{
    m_checkForUpdates.setEnabled(m_updater.canCheckForUpdates());
    m_checkForUpdates.setToolTip(m_updater.whyCannotCheck());
    connect(&m_updater, &SoftwareUpdater::canCheckForUpdatesChanged, &m_checkForUpdates,
            &QAction::setEnabled);
    connect(&m_checkForUpdates, &QAction::triggered, this, &Updater::showUpdateDirectly);
    if (!m_isActive)
        m_isActive = [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; };
    connect(&m_updater, &SoftwareUpdater::updateInstalled, this, [this] { m_installed = true; });
    m_updater.start();
}

Updater::~Updater()
{
    m_updater.setUserDriver(nullptr);
    m_driver.setDelegate(nullptr);
}

void Updater::showUpdateDirectly() { m_updater.checkForUpdates(); }

bool Updater::standardUserDriverShouldHandleShowingScheduledUpdate(const AppcastItem&,
                                                                   bool immediateFocus)
{
    return immediateFocus && m_isActive();
}

void Updater::standardUserDriverWillHandleShowingUpdate(bool handleShowingUpdate,
                                                        const AppcastItem& update,
                                                        UserDriver::UpdateState)
{
    if (!handleShowingUpdate)
        postUpdateNotification(update.displayVersion);
}

void Updater::standardUserDriverDidReceiveUserAttentionForUpdate(const AppcastItem&)
{
    withdrawUpdateNotification();
}

void Updater::standardUserDriverWillFinishUpdateSession()
{
    withdrawUpdateNotification();
    if (std::exchange(m_installed, false))
        emit restartRequested();
}

void Updater::postUpdateNotification(const QString& version)
{
    NotificationRequest request;
    request.identifier = QString::fromLatin1(updateNotificationID);
    request.title = uiText("Ambrevoli %1 is available").arg(version);
    request.body = uiText("Click to see what's new and install it.");
    QPointer<Updater> self(this);
    // Delivered from the event loop, never inside the driver's call.
    QMetaObject::invokeMethod(
        this,
        [self, request] {
            self->m_center.notificationSettings([self, request](AuthorizationStatus status) {
                if (!self)
                    return;
                if (status != AuthorizationStatus::notDetermined) {
                    if (status == AuthorizationStatus::denied)
                        self->showUpdateDirectly();
                    else
                        self->add(request);
                    return;
                }
                self->m_center.requestAuthorization(
                    AuthorizationOption::alert | AuthorizationOption::sound,
                    [self, request](std::expected<bool, NotificationError> answer) {
                        if (!self)
                            return;
                        if (!answer) {
                            self->couldNotPost(answer.error());
                            return;
                        }
                        self->m_center.notificationSettings(
                            [self, request](AuthorizationStatus now) {
                                if (!self)
                                    return;
                                if (now == AuthorizationStatus::denied)
                                    self->showUpdateDirectly();
                                else
                                    self->add(request);
                            });
                    });
            });
        },
        Qt::QueuedConnection);
}

void Updater::add(const NotificationRequest& request)
{
    m_center.add(request, [self = QPointer(this)](std::expected<void, NotificationError> added) {
        if (self && !added)
            self->couldNotPost(added.error());
    });
}

void Updater::couldNotPost(const NotificationError& error)
{
    logError(updatesLog(), "Couldn't post the update notification", error);
    showUpdateDirectly();
}

void Updater::withdrawUpdateNotification()
{
    const QStringList identifiers{QString::fromLatin1(updateNotificationID)};
    m_center.removeDeliveredNotifications(identifiers);
    m_center.removePendingNotificationRequests(identifiers);
}

} // namespace ambrevoli
