#include "result_notifier.h"

#include "copy_summary.h"
#include "drive_ejector.h"
#include "folder_revealer.h"
#include "log.h"
#include "qt_translation.h"
#include "undo_summary.h"
#include "uuid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace ambrevoli {

namespace {

const QString destinationKey = QStringLiteral("destination");
const QString volumeKey = QStringLiteral("volume");
const QString volumeLabelKey = QStringLiteral("volumeLabel");
const QString ejectionKey = QStringLiteral("ejection");
const QString transferCategory = QStringLiteral("transfer");

const Logger& requestsLog() { return logger("requests"); }

QString decodedPath(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

bool stoppedByTheUser(const FailedItem& failed)
{
    return failed.reason.kind == CopyFailure::Case::cancelled;
}

// A stopped copy is no error of its own; a failure among the items still is.
QString categoryOf(const CopyReport& report)
{
    if (report.problem)
        return QStringLiteral("transfer.error");
    if (std::all_of(report.failed.begin(), report.failed.end(), stoppedByTheUser))
        return report.failed.empty() ? QStringLiteral("transfer.complete") : transferCategory;
    return QStringLiteral("transfer.error");
}

void logPostFailure(const NotificationError& error)
{
    logError(requestsLog(), "Couldn't post the copy notification", error);
}

// The notification that tells whether the volume may be pulled out now.
NotificationRequest ejectionNotification(const QString& identifier, const QString& label,
                                         const std::expected<void, EjectError>& ejected)
{
    NotificationRequest request;
    request.identifier = identifier;
    request.userInfo.insert(ejectionKey, true);
    if (ejected) {
        // TRANSLATORS: a notification's title and body; %1 is the drive's name.
        request.title = uiText("Ejected \u201C%1\u201D").arg(label);
        request.body = uiText("You can now unplug \u201C%1\u201D.").arg(label);
        request.category = QStringLiteral("device.removed");
        return request;
    }
    // TRANSLATORS: a notification's title; %1 is the drive's name.
    request.title = uiText("Couldn't eject \u201C%1\u201D").arg(label);
    request.category = QStringLiteral("device.error");
    switch (ejected.error().kind) {
    case EjectError::Case::busy:
        // TRANSLATORS: %1 is the drive's name.
        request.body = uiText("\u201C%1\u201D is still in use. Close the files and windows that "
                              "use it, then eject it again.")
                           .arg(label);
        break;
    case EjectError::Case::notMounted:
        // TRANSLATORS: %1 is the drive's name.
        request.body = uiText("\u201C%1\u201D isn't mounted any more.").arg(label);
        break;
    case EjectError::Case::notAuthorized:
        request.body =
            uiText("The system didn't allow it. Keep it plugged in, and eject it in the file "
                   "manager.");
        break;
    case EjectError::Case::noUDisks:
        request.body = uiText("The system's disk service doesn't answer. Keep it plugged in, "
                              "and eject it in the file manager.");
        break;
    case EjectError::Case::failed:
        request.body = uiText("Something went wrong while ejecting it. Keep it plugged in, and "
                              "eject it in the file manager.");
        break;
    }
    return request;
}

} // namespace

ResultNotifier::ResultNotifier(NotificationService& center, Action showSettings, Action showUpdate,
                               RevealFolder revealFolder, QObject* parent)
    : QObject(parent), m_center(center), m_showSettings(std::move(showSettings)),
      m_showUpdate(std::move(showUpdate)), m_revealFolder(std::move(revealFolder))
{
    if (!m_revealFolder) {
        m_ownRevealer = new FolderRevealer(QDBusConnection::sessionBus(), {}, this);
        m_revealFolder = [revealer = m_ownRevealer](const QString& folder, auto done) {
            revealer->reveal(folder, std::move(done));
        };
    }
}

ResultNotifier::~ResultNotifier()
{
    if (m_center.delegate() == this)
        m_center.setDelegate(nullptr);
}

void ResultNotifier::followCopy(const QString& copy, std::shared_ptr<CopyControl> control,
                                std::string_view label, const std::string& destination)
{
    FollowedCopy followed;
    followed.control = std::move(control);
    followed.label = label;
    followed.destination = decodedPath(destination);
    followed.nextChange = QDeadlineTimer(progressDelay);
    m_copies.insert(copy, std::move(followed));
}

void ResultNotifier::showProgress(const QString& copy, const CopyProgress& progress)
{
    const auto followed = m_copies.find(copy);
    if (followed == m_copies.end())
        return;
    followed->latest = progress;
    scheduleProgress(copy);
}

void ResultNotifier::scheduleProgress(const QString& copy)
{
    FollowedCopy& followed = m_copies[copy];
    if (followed.dismissed || followed.changeScheduled)
        return;
    followed.changeScheduled = true;
    const auto wait = std::max<qint64>(0, followed.nextChange.remainingTime());
    QTimer::singleShot(std::chrono::milliseconds(wait), this, [this, copy] { postProgress(copy); });
}

void ResultNotifier::postProgress(const QString& copy)
{
    // The copy may have ended while the change waited: then its result has taken over.
    const auto followed = m_copies.find(copy);
    if (followed == m_copies.end())
        return;
    followed->changeScheduled = false;
    if (followed->dismissed || !followed->latest || followed->latest == followed->shown)
        return;
    const CopyProgress& progress = *followed->latest;
    followed->shown = progress;
    followed->nextChange = QDeadlineTimer(progressInterval);

    const CopyProgressSummary summary(progress, followed->label);
    NotificationRequest request;
    request.identifier = copy;
    request.title = QString::fromStdString(summary.title);
    request.body = QString::fromStdString(summary.body);
    request.userInfo.insert(destinationKey, followed->destination);
    request.category = transferCategory;
    // TRANSLATORS: the button of the notification of a copy under way.
    request.actions = {{cancelActionIdentifier, uiText("Cancel")}};
    request.percentDone =
        static_cast<int>(std::clamp(std::lround(progress.fraction() * 100.0), 0L, 100L));
    // A copy of many minutes must not lose its notification halfway.
    request.expires = false;
    post(request);
}

void ResultNotifier::postCopyNotification(const CopyReport& report, std::string_view label,
                                          const QString& copy, bool offerAdding)
{
    const CopySummary summary(report, label);
    NotificationRequest request;
    // A copy notification replaces only its own copy's progress notification, never another.
    request.identifier = !copy.isEmpty() ? copy : QString::fromStdString(Uuid::random().text());
    m_copies.remove(copy);
    request.title = QString::fromStdString(summary.title);
    request.body = QString::fromStdString(summary.body);
    request.userInfo.insert(destinationKey, decodedPath(report.destination));
    request.category = categoryOf(report);
    // A copy that placed nothing has nothing to take back.
    if (m_undo && !report.copied.empty())
        // TRANSLATORS: a button of the notification after a copy; it moves the copies to the Trash.
        request.actions.append({undoActionIdentifier, uiText("Undo")});
    if (offerAdding && m_addFolder)
        // TRANSLATORS: a button of the notification after a send to a folder chosen then; it
        // adds the folder to the Send To menu.
        request.actions.append({addToSendToActionIdentifier, uiText("Add to Send To")});
    if (!m_ejector) {
        post(request);
        return;
    }
    ++m_delivering;
    m_ejector->removableVolumeOf(
        decodedPath(report.destination),
        [self = QPointer(this), request](std::optional<RemovableVolume> volume) mutable {
            if (!self)
                return;
            if (volume) {
                // TRANSLATORS: a button of the notification after a copy to a removable drive.
                request.actions.append({ejectActionIdentifier, uiText("Eject")});
                request.userInfo.insert(volumeKey, volume->mountPoint);
                request.userInfo.insert(volumeLabelKey, volume->label);
            }
            self->deliver(request);
        });
}

void ResultNotifier::postUndoNotification(const UndoReport& report)
{
    const UndoSummary summary(report);
    NotificationRequest request;
    request.identifier = QString::fromStdString(report.requestID.text());
    m_copies.remove(request.identifier);
    request.title = QString::fromStdString(summary.title);
    request.body = QString::fromStdString(summary.body);
    if (!report.destination.empty())
        request.userInfo.insert(destinationKey, decodedPath(report.destination));
    request.category = report.complete() ? QStringLiteral("transfer.complete")
                                         : QStringLiteral("transfer.error");
    post(request);
}

void ResultNotifier::post(const NotificationRequest& request)
{
    // The caller (the request handler) is never held up by the notification service.
    ++m_delivering;
    QMetaObject::invokeMethod(
        this, [this, request] { deliver(request); }, Qt::QueuedConnection);
}

void ResultNotifier::deliver(const NotificationRequest& request)
{
    QPointer<ResultNotifier> self(this);
    m_center.notificationSettings([self, request](AuthorizationStatus status) {
        if (!self)
            return;
        if (status != AuthorizationStatus::notDetermined) {
            self->add(request);
            return;
        }
        // Whatever the user answers, the request goes to the center, which decides.
        self->m_center.requestAuthorization(
            AuthorizationOption::alert | AuthorizationOption::sound,
            [self, request](std::expected<bool, NotificationError> answer) {
                if (!answer) {
                    logPostFailure(answer.error());
                    if (self)
                        self->finishDelivery();
                    return;
                }
                if (self)
                    self->add(request);
            });
    });
}

void ResultNotifier::add(const NotificationRequest& request)
{
    m_center.add(request, [self = QPointer(this)](std::expected<void, NotificationError> added) {
        if (!added)
            logPostFailure(added.error());
        if (self)
            self->finishDelivery();
    });
}

void ResultNotifier::finishDelivery()
{
    if (--m_delivering == 0)
        emit deliveriesFinished();
}

PresentationOptions ResultNotifier::willPresent(const NotificationRequest&)
{
    return PresentationOption::banner | PresentationOption::list;
}

void ResultNotifier::didReceive(const NotificationResponse& response)
{
    if (response.actionIdentifier == dismissActionIdentifier) {
        if (const auto followed = m_copies.find(response.identifier); followed != m_copies.end())
            followed->dismissed = true;
        return;
    }
    if (response.actionIdentifier == cancelActionIdentifier) {
        const auto followed = m_copies.find(response.identifier);
        // A copy that ended meanwhile has nothing left to stop.
        if (followed == m_copies.end())
            return;
        requestsLog().log(LogLevel::standard, "Cancelling request ",
                          response.identifier.toStdString(), " as asked in its notification");
        followed->control->cancel();
        return;
    }
    if (response.actionIdentifier == ejectActionIdentifier) {
        const QString mountPoint = response.userInfo.value(volumeKey).toString();
        if (m_ejector && !mountPoint.isEmpty())
            eject(response.identifier, mountPoint,
                  response.userInfo.value(volumeLabelKey).toString());
        return;
    }
    if (response.actionIdentifier == undoActionIdentifier) {
        if (m_undo)
            m_undo(response.identifier);
        return;
    }
    if (response.actionIdentifier == addToSendToActionIdentifier) {
        const QString folder = response.userInfo.value(destinationKey).toString();
        if (m_addFolder && QDir::isAbsolutePath(folder))
            m_addFolder(folder);
        return;
    }
    if (response.userInfo.value(ejectionKey).toBool())
        return;
    if (response.identifier == QLatin1StringView(updateNotificationID)) {
        if (m_showUpdate)
            m_showUpdate();
        return;
    }
    const QVariant destination = response.userInfo.value(destinationKey);
    if (destination.typeId() == QMetaType::QString)
        revealDestination(destination.toString());
    else
        revealDestination(std::nullopt);
}

void ResultNotifier::revealDestination(const std::optional<QString>& path)
{
    // A relative path would be taken relative to wherever the host happens to run.
    if (!path || !QDir::isAbsolutePath(*path) || !QFileInfo(*path).isDir()) {
        showSettings();
        return;
    }
    QPointer<ResultNotifier> self(this);
    m_revealFolder(*path, [self](bool revealed) {
        if (self && !revealed)
            self->showSettings();
    });
}

void ResultNotifier::eject(const QString& identifier, const QString& mountPoint,
                           const QString& label)
{
    logDetail(logger("volumes"), "Ejecting as asked in a copy notification",
              mountPoint.toStdString());
    m_ejector->eject(mountPoint, [self = QPointer(this), identifier,
                                  label](std::expected<void, EjectError> ejected) {
        if (ejected)
            logDetail(logger("volumes"), "Ejected", label.toStdString());
        else
            logError(logger("volumes"), "Couldn't eject the volume", ejected.error());
        if (self)
            self->post(ejectionNotification(identifier, label, ejected));
    });
}

void ResultNotifier::showSettings()
{
    if (m_showSettings)
        m_showSettings();
}

} // namespace ambrevoli
