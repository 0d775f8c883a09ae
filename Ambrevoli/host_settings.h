#pragma once

#include <QSettings>

namespace ambrevoli {

// The host's user defaults: the keys that choose the launch window, the settings window's
// geometry and the update settings. They are written to one file,
// $XDG_CONFIG_HOME/ambrevoli/Ambrevoli.conf (~/.config/ambrevoli/Ambrevoli.conf without
// XDG_CONFIG_HOME): QSettings' native format and user scope for the organisation "ambrevoli" and
// the application "Ambrevoli", with its usual read-only fallbacks (~/.config/ambrevoli.conf and
// the same names under /etc/xdg), whatever names the running program gave itself. Every reader and
// writer of those settings goes through here, so that none depends on main() having named the
// application first.
//
// Each call yields a new QSettings object over that file. Like any QSettings, it may be used on
// the thread that made it; QSettings::setPath (for the native format and user scope) moves the
// file's folder, which is how tests keep theirs apart from the user's.
QSettings hostSettings();

} // namespace ambrevoli
