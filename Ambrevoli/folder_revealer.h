#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace ambrevoli {

// Shows a folder in the user's file manager: asks the org.freedesktop.FileManager1 service on
// the session bus to show it, and when that service is absent or fails, opens the folder with
// the desktop's default handler. Used on the main thread only.
class FolderRevealer : public QObject {
    Q_OBJECT
public:
    // Opens a URL with the desktop's default handler; true when that started.
    using OpenUrl = std::function<bool(const QUrl& url)>;
    // Receives whether the folder was shown.
    using Done = std::function<void(bool revealed)>;

    // Uses FileManager1 on `bus`, then `openUrl` (by default QDesktopServices::openUrl, which
    // needs a QGuiApplication).
    explicit FolderRevealer(QDBusConnection bus = QDBusConnection::sessionBus(),
                            OpenUrl openUrl = {}, QObject* parent = nullptr);

    // Shows the folder at the absolute path `folder`. `done` runs later on this thread, never
    // inside the call, and not at all if the revealer is destroyed first.
    void reveal(const QString& folder, Done done);

private:
    void openWithDefaultHandler(const QUrl& url, const Done& done);

    QDBusConnection m_bus;
    OpenUrl m_openUrl;
};

} // namespace ambrevoli
