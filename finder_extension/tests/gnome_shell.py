#!/usr/bin/python3
"""Works a GNOME Shell session the way a person at it would, for the check on a real GNOME desktop.

Usage: gnome_shell.py ready
           Waits until the Shell's own notification server answers on the session bus.
       gnome_shell.py screenshot FILE
           Saves what the screen shows as the PNG FILE.
       gnome_shell.py keys KEY [KEY ...]
           Types each KEY ("ctrl+a", "shift+F10", "Escape") on the Shell's virtual keyboard.
       gnome_shell.py shows TEXT [SECONDS]
           Waits until the Shell shows a label holding TEXT (a notification's title, say), for
           SECONDS (30 unless given).
       gnome_shell.py click TEXT
           Waits until the Shell shows a label holding TEXT (a notification's title, say) and
           clicks it with the Shell's virtual pointer.
       gnome_shell.py plug-in
           Keeps a virtual keyboard and pointer plugged in until it is ended, as a person's are:
           without a keyboard on the seat, applications have no keyboard focus, and the Shell
           takes the activation tokens they hand out for invalid.
       gnome_shell.py click-at X Y [right]
           Clicks the spot X Y of the screen with the Shell's virtual pointer (its right button
           with "right").

Exits non-zero, saying what it missed, when that does not happen within 30 seconds.
"""
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests"))
from atspi_tree import Atspi, GLib, application, wait_for, walk  # noqa: E402
from gi.repository import Gio  # noqa: E402

bus = Gio.bus_get_sync(Gio.BusType.SESSION)


def call(name, path, interface, method, arguments=None, reply=None):
    return bus.call_sync(name, path, interface, method, arguments,
                         GLib.VariantType(reply) if reply else None,
                         Gio.DBusCallFlags.NONE, 30000, None)


def server_name():
    try:
        return call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                    "org.freedesktop.Notifications", "GetServerInformation").unpack()[0]
    except GLib.Error:
        return None


def ready():
    # dunst's D-Bus service file names the same bus name: the answer must be the Shell's.
    name = wait_for(server_name, 60)
    if name != "gnome-shell":
        sys.exit(f"gnome_shell: the notification server is {name!r}, not the Shell's")


def screenshot(file):
    # Shell 43 answers its screenshot interface only to callers owning one of a few well-known
    # names; the screenshot tool's is free on a private bus.
    owned = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "RequestName", GLib.Variant("(su)", ("org.gnome.Screenshot", 4))).unpack()[0]
    if owned != 1:
        sys.exit("gnome_shell: could not own org.gnome.Screenshot for the Shell's screenshot")
    done, _ = call("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                   "org.gnome.Shell.Screenshot", "Screenshot",
                   GLib.Variant("(bbs)", (False, False, file))).unpack()
    if not done:
        sys.exit("gnome_shell: the Shell took no screenshot")


# The size of the check's virtual monitor.
SCREEN = (1280, 800)

# The keys the check types, by their evdev key codes: typed as keys, not as symbols, which Mutter
# would reach by its own choice of modifiers (dropping the Shift of Shift+F10).
KEYCODES = {"ctrl": 29, "shift": 42, "alt": 56, "F4": 62, "F10": 68, "Escape": 1, "Return": 28,
            "Tab": 15,
            "a": 30, "Up": 103, "Down": 108, "Left": 105, "Right": 106, "Home": 102, "End": 107}


class Input:
    """A remote-desktop session of Mutter's: its virtual keyboard and pointer."""

    def __init__(self):
        self.session = call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                            "org.gnome.Mutter.RemoteDesktop", "CreateSession").unpack()[0]
        self.send("Start")

    def close(self):
        # Stopped only once the compositor has had time for what was sent: a session that ends
        # with its client takes events still on their way with it.
        time.sleep(0.3)
        self.send("Stop")

    def send(self, method, signature=None, *arguments):
        call("org.gnome.Mutter.RemoteDesktop", self.session,
             "org.gnome.Mutter.RemoteDesktop.Session", method,
             GLib.Variant(signature, arguments) if signature else None)

    def key(self, combination):
        codes = []
        for name in combination.split("+"):
            if name not in KEYCODES:
                sys.exit(f"gnome_shell: no key {name!r}")
            codes.append(KEYCODES[name])
        for code in codes:
            self.send("NotifyKeyboardKeycode", "(ub)", code, True)
        for code in reversed(codes):
            self.send("NotifyKeyboardKeycode", "(ub)", code, False)

    def click(self, x, y, button=0x110):  # BTN_LEFT
        # Without a screen cast stream the pointer only moves relative to where it is: into the
        # bottom right corner first, where the screen's edges stop it, then to the spot. (The top
        # left corner is the Shell's hot corner, which opens the overview.)
        self.send("NotifyPointerMotionRelative", "(dd)", 100000.0, 100000.0)
        self.send("NotifyPointerMotionRelative", "(dd)", float(x - SCREEN[0] + 1),
                  float(y - SCREEN[1] + 1))
        self.send("NotifyPointerButton", "(ib)", button, True)
        self.send("NotifyPointerButton", "(ib)", button, False)


def shell_label(text):
    for accessible in walk(application("gnome-shell")):
        try:
            if accessible.get_role_name() == "label" and accessible.get_name() == text:
                extents = accessible.get_extents(Atspi.CoordType.SCREEN)
                if extents.width > 0 and extents.height > 0:
                    return extents
        except GLib.Error:
            pass
    return None


def main():
    command, arguments = (sys.argv[1], sys.argv[2:]) if len(sys.argv) > 1 else ("", [])
    if command == "ready" and not arguments:
        ready()
    elif command == "screenshot" and len(arguments) == 1:
        screenshot(arguments[0])
    elif command == "keys" and arguments:
        session = Input()
        for combination in arguments:
            session.key(combination)
        session.close()
    elif command == "shows" and len(arguments) in (1, 2):
        seconds = float(arguments[1]) if len(arguments) == 2 else 30
        if wait_for(lambda: shell_label(arguments[0]), seconds) is None:
            sys.exit(f"gnome_shell: the Shell shows no {arguments[0]!r}")
    elif command == "click" and len(arguments) == 1:
        extents = wait_for(lambda: shell_label(arguments[0]))
        if extents is None:
            sys.exit(f"gnome_shell: the Shell shows no {arguments[0]!r}")
        session = Input()
        session.click(extents.x + extents.width // 2, extents.y + extents.height // 2)
        session.close()
    elif command == "plug-in" and not arguments:
        # Mutter makes a session's devices at their first event: a Shift and a still pointer.
        session = Input()
        session.key("shift")
        session.send("NotifyPointerMotionRelative", "(dd)", 0.0, 0.0)
        GLib.MainLoop().run()
    elif command == "click-at" and len(arguments) in (2, 3) and arguments[2:] in ([], ["right"]):
        session = Input()
        session.click(int(arguments[0]), int(arguments[1]), 0x111 if arguments[2:] else 0x110)
        session.close()
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
