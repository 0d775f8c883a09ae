#!/usr/bin/python3
"""Clicks menu items of a running GTK application through the accessibility bus.

Usage: atspi_click.py [--within SECONDS] APPLICATION ITEM [ITEM ...]

Each ITEM is the name of a menu item; the items are clicked in order, each as soon as it shows
(a submenu appears only after its parent item is clicked). Exits non-zero, naming the item, when
one does not show within SECONDS (30 unless given).
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests"))
from atspi_tree import application, named, wait_for, walk  # noqa: E402


def click(app_name, item):
    """True once the menu item was clicked; None while it does not show."""
    for accessible in walk(application(app_name)):
        if named(accessible, item, ("menu item",)):
            return True if accessible.do_action(0) else None
    return None


def main():
    arguments = sys.argv[1:]
    seconds = 30
    if arguments[:1] == ["--within"] and len(arguments) > 1:
        seconds, arguments = float(arguments[1]), arguments[2:]
    if len(arguments) < 2:
        sys.exit(__doc__)
    app_name, items = arguments[0], arguments[1:]
    for item in items:
        if wait_for(lambda: click(app_name, item), seconds) is None:
            sys.exit(f"atspi_click: no menu item {item!r} in {app_name!r}")


if __name__ == "__main__":
    main()
