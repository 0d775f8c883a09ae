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
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests"))
from atspi_tree import Atspi, application, children, named, wait_for, walk  # noqa: E402


def find_submenu(app, submenu, item):
    for accessible in walk(app):
        if named(accessible, submenu, ("menu",)):
            for child in children(accessible):
                if child is not None and named(child, item, ("menu item",)):
                    return accessible, child
    return None


def list_items(menu):
    for child in children(menu):
        if child is None or child.get_role_name() != "menu item":
            continue
        states = child.get_state_set()
        # Nemo and Caja keep a hidden "Empty" placeholder in every submenu.
        if not states.contains(Atspi.StateType.VISIBLE):
            continue
        enabled = states.contains(Atspi.StateType.SENSITIVE)
        print(f"{child.get_name()}\t{'enabled' if enabled else 'disabled'}")


def open_and_click(app_name, submenu, item, listing):
    """True once done; None while the submenu holding item does not show (or the click missed)."""
    found = find_submenu(application(app_name), submenu, item)
    if found is None:
        return None
    menu, entry = found
    if listing:
        list_items(menu)
        return True
    menu.do_action(0)
    time.sleep(0.3)
    return True if entry.do_action(0) else None


def main():
    arguments = sys.argv[1:]
    listing = arguments[:1] == ["--list"]
    if listing:
        arguments = arguments[1:]
    if len(arguments) != 3:
        sys.exit(__doc__)
    app_name, submenu, item = arguments
    if wait_for(lambda: open_and_click(app_name, submenu, item, listing)) is None:
        sys.exit(f"atspi_menu: no item {item!r} in a submenu {submenu!r} of {app_name!r}")


if __name__ == "__main__":
    main()
