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
from atspi_tree import application, applications, wait_for, walk  # noqa: E402
from gi.repository import Atspi, GLib  # noqa: E402


def role(accessible):
    """The role's name of accessible; none once it went away."""
    try:
        return accessible.get_role_name()
    except GLib.Error:
        return ""


def label(accessible):
    """The words a menu item shows: its name or, where it has none (GTK 4.18 names no menu item),
    the text of what it is labelled by."""
    try:
        name = accessible.get_name()
        if name:
            return name
        for relation in accessible.get_relation_set():
            if relation.get_relation_type() == Atspi.RelationType.LABELLED_BY:
                for i in range(relation.get_n_targets()):
                    target = relation.get_target(i)
                    if "Text" in target.get_interfaces():
                        return Atspi.Text.get_text(target, 0, -1)
    except GLib.Error:
        pass
    return ""


def click(app_name, item):
    """True once the menu item was clicked; None while it does not show."""
    for accessible in walk(application(app_name)):
        if role(accessible) == "menu item" and label(accessible) == item:
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
            sys.exit(f"atspi_click: no menu item {item!r} in {app_name!r}; {seen(app_name)}")


def seen(app_name):
    """What there was instead, for the failure's message: the applications on the bus, or the
    application's menu items and menus."""
    app = application(app_name)
    if app is None:
        return "the applications are: " + ", ".join(repr(a.get_name()) for a in applications())
    items = []
    for accessible in walk(app):
        kind = role(accessible)
        if "menu" in kind:
            items.append(f"{kind} {label(accessible)!r}")
    return "its menus and menu items: " + (", ".join(items) or "none")


if __name__ == "__main__":
    main()
