#include "folder_revealer.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QMetaObject>

namespace ambrevoli {

FolderRevealer::FolderRevealer(QDBusConnection bus, OpenUrl openUrl, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)),
      m_openUrl(openUrl ? std::move(openUrl)
                        : OpenUrl([](const QUrl& url) { return QDesktopServices::openUrl(url); }))
{}

void FolderRevealer::reveal(const QString& folder, Done done)
{
    const QUrl url = QUrl::fromLocalFile(folder);
    if (!m_bus.isConnected()) {
        QMetaObject::invokeMethod(
            this, [this, url, done = std::move(done)] { openWithDefaultHandler(url, done); },
            Qt::QueuedConnection);
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowFolders"));
    // No startup notification id: the file manager raises its window as it sees fit.
    message << QStringList{url.toString(QUrl::FullyEncoded)} << QString();
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, url, done = std::move(done)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (finished->isError())
                    openWithDefaultHandler(url, done);
                else
                    done(true);
            });
}

void FolderRevealer::openWithDefaultHandler(const QUrl& url, const Done& done)
{
    done(m_openUrl(url));
}

} // namespace ambrevoli
