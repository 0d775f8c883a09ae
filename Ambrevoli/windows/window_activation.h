#pragma once

#include <QString>

class QWidget;

// The desktop lets a window take the focus from the one the user is working in only with the
// leave that came with the user's action: an xdg-activation token on Wayland, a startup
// notification identifier on X11 (which also stands for the busy cursor the desktop shows until
// the started program's window appears). A starter hands it over in the environment; a later
// start passes it on to the running host.

namespace ambrevoli {

// The token this process was started with, taken out of the environment (XDG_ACTIVATION_TOKEN
// and DESKTOP_STARTUP_ID) so that neither the toolkit nor a program started later uses it up.
// Where both are set, the one of the session's kind comes first. Call before the application
// object is made. Empty for none.
QString takeLaunchActivationToken();

// Shows `window` (a top-level widget), restoring it when it is minimized, raises it and gives it
// the focus with `token` (empty for none), then ends the startup notification the token stands
// for.
void bringToFront(QWidget& window, const QString& token);

// The start `token` came with shows no window: tells the desktop to stop waiting for one.
void endStartup(const QString& token);

// The X server time of the user's action, as an X11 startup identifier ends with it
// ("…_TIME<time>"); 0 when it names none.
quint32 startupTime(const QString& token);

} // namespace ambrevoli
