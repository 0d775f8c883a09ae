#!/usr/bin/python3
"""Clicks an item of a submenu in a running GTK 3 application's open context menu, through the
accessibility bus.

Usage: atspi_menu.py [--list] APPLICATION SUBMENU ITEM

GTK 3 shows a submenu as a "menu" that holds its items. The file manager may have a submenu of
the same name of its own: the one holding ITEM is taken. The submenu is opened, then ITEM
clicked; with --list nothing is clicked, and each of the submenu's items is printed as its name,
a tab and "enabled" or "disabled". Exits non-zero, naming what is missing, when it does not show
within 30 seconds.
"""
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def children(accessible):
    try:
        return [accessible.get_child_at_index(i) for i in range(accessible.get_child_count())]
    except gi.repository.GLib.Error:
        return []  # the widget went away while we looked


def named(accessible, roles, name):
    try:
        return accessible.get_role_name() in roles and accessible.get_name() == name
    except gi.repository.GLib.Error:
        return False


def find_submenu(accessible, submenu, item, depth=0):
    if accessible is None or depth > 60:
        return None
    if named(accessible, ("menu",), submenu):
        for child in children(accessible):
            if child is not None and named(child, ("menu item",), item):
                return accessible, child
    for child in children(accessible):
        found = find_submenu(child, submenu, item, depth + 1)
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
    arguments = sys.argv[1:]
    listing = arguments[:1] == ["--list"]
    if listing:
        arguments = arguments[1:]
    if len(arguments) != 3:
        sys.exit(__doc__)
    app_name, submenu, item = arguments
    deadline = time.monotonic() + 30
    while True:
        app = application(app_name)
        found = find_submenu(app, submenu, item) if app else None
        if found is not None:
            menu, entry = found
            if listing:
                for child in children(menu):
                    if child is None or child.get_role_name() != "menu item":
                        continue
                    states = child.get_state_set()
                    # Nemo and Caja keep a hidden "Empty" placeholder in every submenu.
                    if not states.contains(Atspi.StateType.VISIBLE):
                        continue
                    enabled = states.contains(Atspi.StateType.SENSITIVE)
                    print(f"{child.get_name()}\t{'enabled' if enabled else 'disabled'}")
                return
            menu.do_action(0)
            time.sleep(0.3)
            if entry.do_action(0):
                return
        if time.monotonic() > deadline:
            sys.exit(f"atspi_menu: no item {item!r} in a submenu {submenu!r} of {app_name!r}")
        time.sleep(0.2)


if __name__ == "__main__":
    main()
