#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace ambrevoli {

// GNOME's per-application notification switch (Settings › Notifications › the application): its
// GSettings key "enable" under org.gnome.desktop.notifications.application, at the path GNOME
// derives from the application's desktop id. While it is off, GNOME shows none of the
// application's notifications, although its notification server answers.
//
// Read through the desktop's own GSettings (GIO, loaded at run time on GNOME only, so that the
// host does not carry GIO anywhere else), with the GSettings object kept for the life of the
// process: later readings come from the settings database without a bus round trip. Main thread
// only.
class GnomeNotificationSwitch {
public:
    // `desktopID`: the desktop entry's name without ".desktop".
    explicit GnomeNotificationSwitch(std::string desktopID);
    ~GnomeNotificationSwitch();
    GnomeNotificationSwitch(const GnomeNotificationSwitch&) = delete;
    GnomeNotificationSwitch& operator=(const GnomeNotificationSwitch&) = delete;

    // True while the user has switched the application's notifications off. False outside GNOME
    // (XDG_CURRENT_DESKTOP names no GNOME), and where GIO or GNOME's notification settings are
    // not installed.
    bool isSwitchedOff();

    // Where GNOME keeps the switch for `desktopID`: lower case, every character other than a
    // letter, digit or "-" as "-" ("org.Example.App" → ".../org-example-app/").
    static std::string settingsPath(std::string_view desktopID);

private:
    struct Gio;
    bool open();

    std::string m_desktopID;
    bool m_tried = false;
    std::unique_ptr<Gio> m_gio;
    void* m_settings = nullptr; // GSettings*
};

} // namespace ambrevoli
