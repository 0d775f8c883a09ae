#include "window_activation.h"

#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace ambrevoli {

namespace {

// Set and unset only on the main thread, before other threads read the environment.
QString takeVariable(const char* name)
{
    QString value = qEnvironmentVariable(name);
    qunsetenv(name);
    return value;
}

xcb_connection_t* x11Connection()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

xcb_window_t rootWindow(xcb_connection_t* connection)
{
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

bool windowManagerSupports(xcb_connection_t* connection, const char* hint)
{
    const xcb_atom_t wanted = atom(connection, hint);
    const xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, rootWindow(connection), atom(connection, "_NET_SUPPORTED"),
                         XCB_ATOM_ATOM, 0, 4096);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, cookie, nullptr), &std::free);
    if (!reply || reply->format != 32)
        return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    return std::find(atoms, atoms + count, wanted) != atoms + count;
}

// A value of a startup notification message: quoted, with backslashes before quotes and
// backslashes, when it holds anything that would end it.
QByteArray startupValue(const QString& text)
{
    QByteArray value = text.toUtf8();
    if (!value.contains(' ') && !value.contains('"') && !value.contains('\\'))
        return value;
    QByteArray quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

// Sends `message` to the window manager and whoever else listens on the root window, in
// 20-byte pieces with the terminating NUL, as the startup notification protocol has it.
void sendStartupMessage(xcb_connection_t* connection, const QByteArray& message)
{
    const xcb_window_t root = rootWindow(connection);
    const xcb_atom_t begin = atom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = atom(connection, "_NET_STARTUP_INFO");
    const xcb_window_t sender = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, sender, root, -100, -100, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const QByteArray bytes = message + '\0';
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 8;
    event.window = sender;
    event.type = begin;
    for (qsizetype sent = 0; sent < bytes.size(); sent += 20) {
        std::memset(event.data.data8, 0, sizeof event.data.data8);
        std::memcpy(event.data.data8, bytes.constData() + sent,
                    std::min<qsizetype>(20, bytes.size() - sent));
        xcb_send_event(connection, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE,
                       reinterpret_cast<const char*>(&event));
        event.type = more;
    }
    xcb_destroy_window(connection, sender);
    xcb_flush(connection);
}

// Showing a minimized window leaves it minimized, and a request to activate it is one the
// desktop may well refuse: it is put back first, keeping whether it was maximized.
void restore(QWidget& window)
{
    if (window.isMinimized())
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
}

void endStartupOnX11(xcb_connection_t* connection, const QString& token)
{
    sendStartupMessage(connection, "remove: ID=" + startupValue(token));
}

// The window manager places and focuses a new window by the startup identifier it carries, and
// activates a shown one for a request stamped with the time of the user's action.
void bringToFrontOnX11(xcb_connection_t* connection, QWidget& window, const QString& token)
{
    const auto id = static_cast<xcb_window_t>(window.winId());
    const QByteArray startupID = token.toUtf8();
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atom(connection, "_NET_STARTUP_ID"),
                        atom(connection, "UTF8_STRING"), 8, static_cast<uint32_t>(startupID.size()),
                        startupID.constData());
    restore(window);
    window.show();
    window.raise();
    const quint32 time = startupTime(token);
    if (time == 0 || !windowManagerSupports(connection, "_NET_ACTIVE_WINDOW")) {
        window.activateWindow();
    } else {
        // Qt stamps its request with the last time it heard from the server, which for a host
        // woken by a later start is older than the user's click and would be refused.
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id,
                            atom(connection, "_NET_WM_USER_TIME"), XCB_ATOM_CARDINAL, 32, 1, &time);
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id;
        event.type = atom(connection, "_NET_ACTIVE_WINDOW");
        event.data.data32[0] = 1; // from an application
        event.data.data32[1] = time;
        xcb_send_event(connection, 0, rootWindow(connection),
                       XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&event));
    }
    endStartupOnX11(connection, token);
}

} // namespace

QString takeLaunchActivationToken()
{
    const QString wayland = takeVariable("XDG_ACTIVATION_TOKEN");
    const QString x11 = takeVariable("DESKTOP_STARTUP_ID");
    // bringToFront() puts a token into the environment for Qt's Wayland shell, which takes it
    // out again, while copies may read the environment on their threads. Setting it once now,
    // before there are other threads, leaves the C library's environment array room for it, so
    // those later settings never move the array under a reader.
    qputenv("XDG_ACTIVATION_TOKEN", QByteArray());
    qunsetenv("XDG_ACTIVATION_TOKEN");
    const bool onWayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (onWayland)
        return !wayland.isEmpty() ? wayland : x11;
    return !x11.isEmpty() ? x11 : wayland;
}

quint32 startupTime(const QString& token)
{
    const qsizetype at = token.lastIndexOf(QLatin1String("_TIME"));
    if (at < 0)
        return 0;
    bool ok = false;
    const quint32 time = QStringView(token).sliced(at + 5).toUInt(&ok);
    return ok ? time : 0;
}

void bringToFront(QWidget& window, const QString& token)
{
    if (!token.isEmpty()) {
        if (xcb_connection_t* connection = x11Connection()) {
            bringToFrontOnX11(connection, window, token);
            return;
        }
    }
    restore(window);
    // On Wayland a shown window comes back to the front only with a token the compositor
    // honours, and GNOME Files asks for its token after its menu has closed: the token names no
    // window, GNOME Shell refuses it and says "… is ready" instead. A window mapped anew is a new
    // window, which the compositor puts in front; the user asked for this one.
    if (QGuiApplication::platformName() == QLatin1String("wayland") && window.isVisible() &&
        !window.isActiveWindow())
        window.hide();
    window.show();
    window.raise();
    // Qt's Wayland shell hands the token from the environment to the compositor with the
    // activation request, and takes it out again.
    if (!token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    window.activateWindow();
    qunsetenv("XDG_ACTIVATION_TOKEN");
}

void endStartup(const QString& token)
{
    if (token.isEmpty())
        return;
    if (xcb_connection_t* connection = x11Connection())
        endStartupOnX11(connection, token);
}

} // namespace ambrevoli
