#!/usr/bin/python3
"""Finds the host's windows and controls through the accessibility bus, as a screen reader would.

Usage: settings_atspi.py window TITLE
           Waits until a window TITLE shows.
       settings_atspi.py field TITLE TEXT
           Waits until the window TITLE shows an editable text field holding TEXT, and prints the
           screen position of the field's centre as "X Y".

Exits non-zero, saying what it missed, when that does not show within 30 seconds.
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


def walk(accessible, depth=0):
    if accessible is None or depth > 60:
        return
    yield accessible
    for child in children(accessible):
        yield from walk(child, depth + 1)


def showing(accessible):
    states = accessible.get_state_set()
    return states.contains(Atspi.StateType.SHOWING) and states.contains(Atspi.StateType.VISIBLE)


def window(title):
    desktop = Atspi.get_desktop(0)
    for app in children(desktop):
        for candidate in children(app) if app is not None else []:
            try:
                if candidate.get_name() == title and showing(candidate):
                    return candidate
            except gi.repository.GLib.Error:
                pass
    return None


def field(title, text):
    found = window(title)
    for accessible in walk(found) if found is not None else []:
        try:
            states = accessible.get_state_set()
            if not states.contains(Atspi.StateType.EDITABLE) or not showing(accessible):
                continue
            if Atspi.Text.get_text(accessible, 0, -1) == text:
                return accessible
        except (gi.repository.GLib.Error, NotImplementedError):
            pass
    return None


def wait_for(what, find):
    deadline = time.monotonic() + 30
    while True:
        found = find()
        if found is not None:
            return found
        if time.monotonic() > deadline:
            sys.exit(f"settings_atspi: no {what}")
        time.sleep(0.2)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "window":
        wait_for(f"window {sys.argv[2]!r}", lambda: window(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "field":
        title, text = sys.argv[2], sys.argv[3]
        found = wait_for(f"field holding {text!r} in {title!r}", lambda: field(title, text))
        extents = found.get_extents(Atspi.CoordType.SCREEN)
        print(extents.x + extents.width // 2, extents.y + extents.height // 2)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
