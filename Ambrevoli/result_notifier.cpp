#include "result_notifier.h"

#include "copy_summary.h"
#include "folder_revealer.h"
#include "log.h"
#include "uuid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>

namespace ambrevoli {

namespace {

const QString destinationKey = QStringLiteral("destination");

void logPostFailure(const NotificationError& error)
{
    logError(logger("requests"), "Couldn't post the copy notification", error);
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

void ResultNotifier::postCopyNotification(const CopyReport& report, std::string_view label)
{
    const CopySummary summary(report, label);
    NotificationRequest request;
    // A fresh identifier each time: no copy notification replaces another.
    request.identifier = QString::fromStdString(Uuid::random().text());
    request.title = QString::fromStdString(summary.title);
    request.body = QString::fromStdString(summary.body);
    request.userInfo.insert(destinationKey,
                            QFile::decodeName(QByteArray::fromStdString(report.destination)));
    const bool allCopied = !report.problem && report.failed.empty();
    request.category =
        allCopied ? QStringLiteral("transfer.complete") : QStringLiteral("transfer.error");
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

void ResultNotifier::showSettings()
{
    if (m_showSettings)
        m_showSettings();
}

} // namespace ambrevoli
