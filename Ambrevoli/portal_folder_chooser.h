#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace ambrevoli {

// Asks the user for one folder with the desktop's own chooser: the file-chooser portal
// (org.freedesktop.portal.FileChooser on the session bus), which looks native on every desktop
// that has one; where no portal answers, the fallback chooser the caller gives.
//
// Main thread only. `done` runs later on that thread, never inside the call, and not at all
// when the chooser is destroyed first.
class PortalFolderChooser : public QObject {
    Q_OBJECT
public:
    // The local path of the folder chosen; nothing when the user cancelled, or the chooser
    // answered with something that isn't a local folder.
    using Done = std::function<void(std::optional<QString> folder)>;
    // Another chooser, opened with the title and the activation token that brings it to the
    // front; answers as Done does.
    using Fallback = std::function<void(const QString& title, const QString& token, Done done)>;

    explicit PortalFolderChooser(QDBusConnection bus = QDBusConnection::sessionBus(),
                                 Fallback fallback = {}, QObject* parent = nullptr);
    ~PortalFolderChooser() override;

    void setFallback(Fallback fallback) { m_fallback = std::move(fallback); }

    // Opens a chooser for one folder titled `title`. `token` (empty for none) is the leave the
    // user's action gave to take the focus; the portal puts its dialog in front by itself.
    // Without a portal and without a fallback, answers nothing chosen (and logs why).
    void choose(const QString& title, const QString& token, Done done);

private:
    class Request;
    void fallBack(const QString& title, const QString& token, Done done);

    QDBusConnection m_bus;
    Fallback m_fallback;
    quint64 m_nextToken = 1;
};

} // namespace ambrevoli
