#!/usr/bin/python3
"""Clicks menu items of a running GTK application through the accessibility bus.

Usage: atspi_click.py APPLICATION ITEM [ITEM ...]

Each ITEM is the name of a menu item; the items are clicked in order, each as soon as it shows
(a submenu appears only after its parent item is clicked). Exits non-zero, naming the item, when
one does not show within 30 seconds.
"""
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def find(accessible, role, name, depth=0):
    if accessible is None or depth > 60:
        return None
    try:
        if accessible.get_role_name() == role and accessible.get_name() == name:
            return accessible
        children = [accessible.get_child_at_index(i) for i in range(accessible.get_child_count())]
    except gi.repository.GLib.Error:
        return None  # the widget went away while we looked
    for child in children:
        found = find(child, role, name, depth + 1)
        if found:
            return found
    return None


def application(name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == name:
            return app
    return None


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    app_name, items = sys.argv[1], sys.argv[2:]
    for item in items:
        deadline = time.monotonic() + 30
        while True:
            app = application(app_name)
            found = find(app, "menu item", item) if app else None
            if found is not None and found.do_action(0):
                break
            if time.monotonic() > deadline:
                sys.exit(f"atspi_click: no menu item {item!r} in {app_name!r}")
            time.sleep(0.2)


if __name__ == "__main__":
    main()
