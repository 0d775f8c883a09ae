#!/usr/bin/python3
"""Clicks items of the context menu a Qt 5 application has open, through the accessibility bus.

Usage: atspi_context_menu.py ITEM [ITEM ...]

Qt 5 does not list popup menus among an application's windows, so the open menu is found through
the item that takes the focus when Down is pressed in it. Each ITEM names an item of the menu
found so far; every one but the last opens a submenu, in which the next is looked for. Exits
non-zero, naming what it missed, when the menu or an item does not show within 30 seconds.
"""
import pathlib
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests"))
from atspi_tree import Atspi, GLib, children, named, wait_for  # noqa: E402


def focused_menu_item(deadline):
    """The menu item that gets the focus when Down is pressed in the open menu."""
    found = []

    def on_focus(event):
        if event.detail1 and event.source is not None and not found:
            try:
                if event.source.get_role_name() == "menu item":
                    found.append(event.source)
            except GLib.Error:
                pass  # the item went away while we looked

    listener = Atspi.EventListener.new(on_focus)
    listener.register("object:state-changed:focused")
    context = GLib.MainContext.default()
    next_key = 0.0
    while not found and time.monotonic() < deadline:
        if time.monotonic() >= next_key:
            subprocess.run(["xdotool", "key", "--clearmodifiers", "Down"], check=False)
            next_key = time.monotonic() + 1.0
        while context.iteration(False):
            pass
        time.sleep(0.05)
    listener.deregister("object:state-changed:focused")
    return found[0] if found else None


def click(menu, name):
    """The item of menu called name once it was clicked; None while it does not show."""
    for child in children(menu) if menu is not None else []:
        if child is not None and named(child, name):
            return child if child.do_action(0) else None
    return None


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    deadline = time.monotonic() + 30
    item = focused_menu_item(deadline)
    if item is None:
        sys.exit("atspi_context_menu: no open menu took the focus")
    menu = item.get_parent()
    for name in sys.argv[1:]:
        found = wait_for(lambda: click(menu, name), deadline - time.monotonic())
        if found is None:
            sys.exit(f"atspi_context_menu: no menu item {name!r}")
        # A menu item's only child is its submenu.
        menu = found.get_child_at_index(0) if found.get_child_count() else None


if __name__ == "__main__":
    main()
