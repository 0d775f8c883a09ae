#include "freedesktop_notification_service.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QMetaObject>

#include <algorithm>

namespace ambrevoli {

namespace {

const QString serverName = QStringLiteral("org.freedesktop.Notifications");
const QString serverPath = QStringLiteral("/org/freedesktop/Notifications");
const QString serverInterface = QStringLiteral("org.freedesktop.Notifications");

// The server picks how long a notification stays, or it stays until it is closed.
constexpr int serverDefaultTimeout = -1;
constexpr int neverExpires = 0;

// The reason NotificationClosed gives when the user closed the notification.
constexpr uint dismissedByTheUser = 2;

NotificationError errorOf(const QDBusError& error)
{
    std::string detail = (error.name() + QStringLiteral(": ") + error.message()).toStdString();
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod: return NotificationError::noServer(std::move(detail));
    case QDBusError::Disconnected:
    case QDBusError::NoServer: return NotificationError::noSessionBus();
    default: return NotificationError::failed(std::move(detail));
    }
}

// Servers with the "body-markup" capability read the body as markup; ours is plain text, and a
// file named "a<b>&c" must show as it is named.
QString markupEscaped(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (QChar c : text) {
        if (c == u'&')
            escaped += QStringLiteral("&amp;");
        else if (c == u'<')
            escaped += QStringLiteral("&lt;");
        else if (c == u'>')
            escaped += QStringLiteral("&gt;");
        else
            escaped += c;
    }
    return escaped;
}

bool applicationIsActive()
{
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr &&
           QGuiApplication::applicationState() == Qt::ApplicationActive;
}

template <class Handler, class Value>
void answerLater(QObject* context, Handler handler, Value value)
{
    QMetaObject::invokeMethod(
        context, [handler = std::move(handler), value = std::move(value)] { handler(value); },
        Qt::QueuedConnection);
}

} // namespace

FreedesktopNotificationService::FreedesktopNotificationService(QDBusConnection bus,
                                                               FrontmostProbe isFrontmost,
                                                               QObject* parent)
    : QObject(parent), m_bus(std::move(bus)),
      m_isFrontmost(isFrontmost ? std::move(isFrontmost) : FrontmostProbe(applicationIsActive))
{
    if (!m_bus.isConnected())
        return;
    // Bound to the well-known name, so a server that starts later (bus activation on the first
    // Notify) is heard too, and nobody else on the bus can pose as it.
    m_bus.connect(serverName, serverPath, serverInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(actionInvoked(uint, QString)));
    m_bus.connect(serverName, serverPath, serverInterface, QStringLiteral("NotificationClosed"),
                  this, SLOT(notificationClosed(uint, uint)));
    auto* watcher =
        new QDBusServiceWatcher(serverName, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &FreedesktopNotificationService::serverChanged);
}

void FreedesktopNotificationService::call(const QString& method, const QVariantList& arguments,
                                          std::function<void(const QDBusMessage& reply)> onReply)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(serverName, serverPath, serverInterface, method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [onReply = std::move(onReply)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                onReply(finished->reply());
            });
}

void FreedesktopNotificationService::askServer(std::function<void(std::optional<QDBusError>)> done)
{
    if (m_serverAnswered) {
        answerLater(this, std::move(done), std::optional<QDBusError>());
        return;
    }
    call(
        QStringLiteral("GetServerInformation"), {},
        [this, generation = m_serverGeneration, done = std::move(done)](const QDBusMessage& reply) {
            if (reply.type() != QDBusMessage::ReplyMessage) {
                done(QDBusError(reply));
                return;
            }
            if (generation == m_serverGeneration)
                m_serverAnswered = true;
            done(std::nullopt);
        });
}

void FreedesktopNotificationService::askCapabilities(std::function<void(Capabilities)> done)
{
    if (m_capabilities) {
        answerLater(this, std::move(done), Capabilities(*m_capabilities));
        return;
    }
    call(
        QStringLiteral("GetCapabilities"), {},
        [this, generation = m_serverGeneration, done = std::move(done)](const QDBusMessage& reply) {
            if (reply.type() != QDBusMessage::ReplyMessage) {
                done(Capabilities(std::unexpect, errorOf(QDBusError(reply))));
                return;
            }
            const QStringList capabilities = reply.arguments().value(0).toStringList();
            if (generation == m_serverGeneration) {
                m_serverAnswered = true;
                m_capabilities = capabilities;
            }
            done(capabilities);
        });
}

void FreedesktopNotificationService::notificationSettings(StatusHandler handler)
{
    if (!m_bus.isConnected()) {
        answerLater(this, std::move(handler), AuthorizationStatus::denied);
        return;
    }
    askServer([this, handler = std::move(handler)](std::optional<QDBusError> error) {
        handler(!error && !switchedOff() ? AuthorizationStatus::authorized
                                         : AuthorizationStatus::denied);
    });
}

void FreedesktopNotificationService::requestAuthorization(AuthorizationOptions,
                                                          AuthorizationHandler handler)
{
    using Answer = std::expected<bool, NotificationError>;
    if (!m_bus.isConnected()) {
        answerLater(this, std::move(handler),
                    Answer(std::unexpect, NotificationError::noSessionBus()));
        return;
    }
    // There is nobody to ask: the desktop shows every application's notifications when a
    // server runs, so its presence is the answer.
    askServer([this, handler = std::move(handler)](std::optional<QDBusError> error) {
        if (!error) {
            handler(Answer(!switchedOff()));
            return;
        }
        const NotificationError notificationError = errorOf(*error);
        handler(notificationError.kind == NotificationError::Case::noServer
                    ? Answer(false)
                    : Answer(std::unexpect, notificationError));
    });
}

void FreedesktopNotificationService::add(const NotificationRequest& request, AddHandler handler)
{
    using Result = std::expected<void, NotificationError>;
    if (!m_bus.isConnected()) {
        answerLater(this, std::move(handler),
                    Result(std::unexpect, NotificationError::noSessionBus()));
        return;
    }
    const std::uint64_t serial = m_nextSerial++;
    // Sent now, this Notify would not know the id of the one still on its way, and both would
    // stay on screen: it waits, and takes the place of any that waited before it.
    if (const auto busy = m_onItsWay.find(request.identifier); busy != m_onItsWay.end()) {
        if (busy->has_value())
            answerLater(this, std::move((*busy)->handler), Result());
        *busy = WaitingAdd{request, serial, std::move(handler)};
        return;
    }
    m_onItsWay.insert(request.identifier, std::nullopt);
    send(request, serial, std::move(handler));
}

void FreedesktopNotificationService::send(const NotificationRequest& request, std::uint64_t serial,
                                          AddHandler handler)
{
    using Result = std::expected<void, NotificationError>;
    AddHandler answered = [this, identifier = request.identifier,
                           handler = std::move(handler)](Result result) {
        sendNext(identifier);
        handler(result);
    };
    askCapabilities(
        [this, request, serial, answered = std::move(answered)](Capabilities capabilities) {
            if (!capabilities) {
                answered(Result(std::unexpect, capabilities.error()));
                return;
            }
            if (m_isFrontmost() && m_delegate != nullptr) {
                const PresentationOptions options = m_delegate->willPresent(request);
                if (!options.testAnyFlags(PresentationOption::banner | PresentationOption::list)) {
                    answered(Result());
                    return;
                }
            }
            notify(request, *capabilities, serial, answered);
        });
}

void FreedesktopNotificationService::sendNext(const QString& identifier)
{
    const auto busy = m_onItsWay.find(identifier);
    if (busy == m_onItsWay.end())
        return;
    if (!busy->has_value()) {
        m_onItsWay.erase(busy);
        return;
    }
    WaitingAdd next = std::move(**busy);
    busy->reset();
    send(next.request, next.serial, std::move(next.handler));
}

void FreedesktopNotificationService::notify(const NotificationRequest& request,
                                            const QStringList& capabilities, std::uint64_t serial,
                                            AddHandler handler)
{
    using Result = std::expected<void, NotificationError>;
    QStringList actions;
    QStringList offered;
    if (capabilities.contains(QStringLiteral("actions"))) {
        actions << defaultActionIdentifier << QStringLiteral("Show");
        for (const NotificationAction& action : request.actions) {
            actions << action.identifier << action.title;
            offered << action.identifier;
        }
    }
    QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral(AMBREVOLI_HOST_IDENTIFIER)}};
    if (!request.category.isEmpty())
        hints.insert(QStringLiteral("category"), request.category);
    if (request.percentDone)
        hints.insert(QStringLiteral("value"), std::clamp(*request.percentDone, 0, 100));
    const QString body = capabilities.contains(QStringLiteral("body-markup"))
                             ? markupEscaped(request.body)
                             : request.body;
    const uint replaces = m_serverIds.value(request.identifier, 0);

    // The icon by name, as the desktop entry names it: GNOME Shell draws a notification without
    // one with its generic information icon, whatever the entry says.
    call(QStringLiteral("Notify"),
         {QStringLiteral("Ambrevoli"), replaces, QStringLiteral(AMBREVOLI_HOST_IDENTIFIER),
          request.title, body, actions, hints,
          request.expires ? serverDefaultTimeout : neverExpires},
         [this, identifier = request.identifier, userInfo = request.userInfo, offered, serial,
          generation = m_serverGeneration,
          handler = std::move(handler)](const QDBusMessage& reply) {
             if (reply.type() != QDBusMessage::ReplyMessage) {
                 handler(Result(std::unexpect, errorOf(QDBusError(reply))));
                 return;
             }
             // Shown by a server that has gone since: its id would be taken for the next one's.
             if (generation != m_serverGeneration) {
                 handler(Result());
                 return;
             }
             const uint id = reply.arguments().value(0).toUInt();
             if (serial < m_withdrawnBelow.value(identifier, 0)) {
                 call(QStringLiteral("CloseNotification"), {id}, [](const QDBusMessage&) {});
                 handler(Result());
                 return;
             }
             if (auto previous = m_serverIds.find(identifier);
                 previous != m_serverIds.end() && *previous != id)
                 m_shown.remove(*previous);
             m_serverIds.insert(identifier, id);
             m_shown.insert(id, {identifier, userInfo, offered});
             handler(Result());
         });
}

void FreedesktopNotificationService::removeDeliveredNotifications(const QStringList& identifiers)
{
    for (const QString& identifier : identifiers) {
        const auto found = m_serverIds.constFind(identifier);
        if (found == m_serverIds.constEnd())
            continue;
        const uint id = *found;
        forget(id);
        if (m_bus.isConnected())
            call(QStringLiteral("CloseNotification"), {id}, [](const QDBusMessage&) {});
    }
}

void FreedesktopNotificationService::removePendingNotificationRequests(
    const QStringList& identifiers)
{
    // Shown at once, a request is pending only while it is on its way to the server.
    for (const QString& identifier : identifiers)
        m_withdrawnBelow.insert(identifier, m_nextSerial);
}

void FreedesktopNotificationService::actionInvoked(uint id, const QString& actionKey)
{
    // GNOME Shell signals one click on a notification once for every time it was shown anew in
    // place, and a copy's progress is, many times over: without this, one click on its result
    // opened a window of the folder for each. The repeats come at once; a person's second click
    // on the same thing within the moment would do nothing new.
    const bool repeated = id == m_lastInvoked.id && actionKey == m_lastInvoked.actionKey &&
                          m_lastInvoked.since.isValid() &&
                          m_lastInvoked.since.elapsed() < repeatedInvocationMs;
    m_lastInvoked = {id, actionKey, {}};
    m_lastInvoked.since.start();
    if (repeated)
        return;
    const auto found = m_shown.constFind(id);
    if (found == m_shown.constEnd() || m_delegate == nullptr)
        return;
    // Only what we offered is taken for one of our actions; anything else counts as the click.
    const QString action = found->actions.contains(actionKey) ? actionKey : defaultActionIdentifier;
    const NotificationResponse response{found->identifier, found->userInfo, action};
    m_delegate->didReceive(response);
}

void FreedesktopNotificationService::notificationClosed(uint id, uint reason)
{
    const auto found = m_shown.constFind(id);
    if (found != m_shown.constEnd() && reason == dismissedByTheUser && m_delegate != nullptr) {
        const NotificationResponse response{found->identifier, found->userInfo,
                                            dismissActionIdentifier};
        forget(id);
        m_delegate->didReceive(response);
        return;
    }
    forget(id);
}

void FreedesktopNotificationService::serverChanged()
{
    ++m_serverGeneration;
    m_serverAnswered = false;
    m_capabilities.reset();
    m_serverIds.clear();
    m_shown.clear();
}

bool FreedesktopNotificationService::switchedOff() const
{
    return m_isSwitchedOff && m_isSwitchedOff();
}

void FreedesktopNotificationService::forget(uint id)
{
    const auto found = m_shown.find(id);
    if (found == m_shown.end())
        return;
    if (m_serverIds.value(found->identifier) == id)
        m_serverIds.remove(found->identifier);
    m_shown.erase(found);
}

} // namespace ambrevoli
