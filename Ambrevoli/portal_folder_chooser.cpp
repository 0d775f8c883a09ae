#include "portal_folder_chooser.h"

#include "local_paths.h"
#include "log.h"
#include "qt_translation.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMetaObject>
#include <QUrl>

namespace ambrevoli {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

const Logger& chooserLog() { return logger("requests"); }

// The path the portal gives the request made with `token`: known before the call, so that the
// answer can't arrive before we listen for it.
QString requestPath(const QDBusConnection& bus, const QString& token)
{
    QString sender = bus.baseService();
    sender.remove(0, sender.startsWith(u':') ? 1 : 0);
    sender.replace(u'.', u'_');
    return portalPath + QStringLiteral("/request/") + sender + u'/' + token;
}

} // namespace

// One OpenFile call in flight: listens for its Response and answers once.
class PortalFolderChooser::Request : public QObject {
    Q_OBJECT
public:
    Request(QDBusConnection bus, Done done, QObject* parent)
        : QObject(parent), m_bus(std::move(bus)), m_done(std::move(done))
    {}

    ~Request() override
    {
        for (const QString& path : m_listening)
            m_bus.disconnect(portalService, path, requestInterface, QStringLiteral("Response"),
                             this, SLOT(response(uint, QVariantMap)));
    }

    bool listen(const QString& path)
    {
        if (m_listening.contains(path))
            return true;
        if (!m_bus.connect(portalService, path, requestInterface, QStringLiteral("Response"), this,
                           SLOT(response(uint, QVariantMap))))
            return false;
        m_listening << path;
        return true;
    }

    // The portal answered no call: hand the request over to someone else.
    Done takeDone()
    {
        deleteLater();
        return std::exchange(m_done, {});
    }

public slots:
    void response(uint code, const QVariantMap& results)
    {
        if (!m_done)
            return;
        const Done done = takeDone();
        // 1: the user cancelled; 2: the dialog ended some other way.
        if (code != 0) {
            chooserLog().log(LogLevel::standard, code == 1 ? "The folder chooser was cancelled"
                                                           : "The folder chooser ended without a folder");
            done(std::nullopt);
            return;
        }
        const QStringList uris = results.value(QStringLiteral("uris")).toStringList();
        const QUrl url = uris.isEmpty() ? QUrl() : QUrl(uris.first());
        const auto path = localPathOf(url);
        if (!path) {
            logDetail(chooserLog(), "The folder chooser answered no local folder",
                      url.toString().toStdString());
            done(std::nullopt);
            return;
        }
        done(QString::fromStdString(*path));
    }

private:
    QDBusConnection m_bus;
    Done m_done;
    QStringList m_listening;
};

PortalFolderChooser::PortalFolderChooser(QDBusConnection bus, Fallback fallback, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_fallback(std::move(fallback))
{}

PortalFolderChooser::~PortalFolderChooser() = default;

void PortalFolderChooser::choose(const QString& title, const QString& token, Done done)
{
    if (!m_bus.isConnected()) {
        QMetaObject::invokeMethod(
            this, [this, title, token, done = std::move(done)] { fallBack(title, token, done); },
            Qt::QueuedConnection);
        return;
    }
    const QString handleToken = QStringLiteral("ambrevoli%1").arg(m_nextToken++);
    auto* request = new Request(m_bus, std::move(done), this);
    request->listen(requestPath(m_bus, handleToken));

    QDBusMessage message =
        QDBusMessage::createMethodCall(portalService, portalPath,
                                       QStringLiteral("org.freedesktop.portal.FileChooser"),
                                       QStringLiteral("OpenFile"));
    const QVariantMap options{{QStringLiteral("handle_token"), handleToken},
                              {QStringLiteral("directory"), true},
                              {QStringLiteral("modal"), true},
                              {QStringLiteral("multiple"), false},
                              // TRANSLATORS: the button of the folder chooser that sends the
                              // items to the chosen folder.
                              {QStringLiteral("accept_label"), uiText("Send")}};
    // No parent window: the host has none shown when a send asks for a folder.
    message << QString() << title << options;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), request);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request, title, token](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *finished;
                if (reply.isError()) {
                    logDetail(chooserLog(), "No file-chooser portal, using the toolkit's chooser",
                              (reply.error().name() + u' ' + reply.error().message())
                                  .toStdString());
                    fallBack(title, token, request->takeDone());
                    return;
                }
                // A portal older than handle tokens picks its own path.
                request->listen(reply.value().path());
            });
}

void PortalFolderChooser::fallBack(const QString& title, const QString& token, Done done)
{
    if (!done)
        return;
    if (!m_fallback) {
        chooserLog().log(LogLevel::error, "There is no folder chooser to ask for a folder");
        done(std::nullopt);
        return;
    }
    m_fallback(title, token, std::move(done));
}

} // namespace ambrevoli

#include "portal_folder_chooser.moc"
