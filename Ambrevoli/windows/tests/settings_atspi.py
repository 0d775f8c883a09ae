#!/usr/bin/python3
"""Finds the host's windows and controls through the accessibility bus, as a screen reader would.

Usage: settings_atspi.py window TITLE
           Waits until a window TITLE shows.
       settings_atspi.py active TITLE
           Waits until the window TITLE shows and is the active one: the one the keyboard reaches.
       settings_atspi.py inactive TITLE
           Waits until the window TITLE shows and another one is active.
       settings_atspi.py closed TITLE
           Waits until no window TITLE shows.
       settings_atspi.py field TITLE TEXT
           Waits until the window TITLE shows an editable text field holding TEXT, and prints the
           screen position of the field's centre as "X Y".
       settings_atspi.py focus TITLE TEXT
           The same field takes the keyboard focus, as a screen reader moves it there.
       settings_atspi.py type TITLE TEXT NEW
           The same field's text becomes NEW, as a screen reader's editing sets it.
       settings_atspi.py act TITLE NAME ACTION
           Runs the accessible action ACTION ("Toggle", "Press") of the control NAME shown in the
           window TITLE, once it offers that action.
       settings_atspi.py state TITLE NAME [-]STATE
           Waits until the control NAME in the window TITLE is in STATE ("checked",
           "sensitive"), or with "-" is not.

Exits non-zero, saying what it missed, when that does not show within 30 seconds.
"""
import pathlib
import sys
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "tests"))
from atspi_tree import Atspi, GLib, applications, children, named, wait_for, walk  # noqa: E402


def showing(accessible):
    states = accessible.get_state_set()
    return states.contains(Atspi.StateType.SHOWING) and states.contains(Atspi.StateType.VISIBLE)


def window(title):
    for app in applications():
        for candidate in children(app):
            try:
                if candidate.get_name() == title and showing(candidate):
                    return candidate
            except GLib.Error:
                pass
    return None


def active(title, wanted=True):
    found = window(title)
    try:
        if found and found.get_state_set().contains(Atspi.StateType.ACTIVE) == wanted:
            return found
    except GLib.Error:
        pass
    return None


def field(title, text):
    for accessible in walk(window(title)):
        try:
            states = accessible.get_state_set()
            if not states.contains(Atspi.StateType.EDITABLE) or not showing(accessible):
                continue
            if Atspi.Text.get_text(accessible, 0, -1) == text:
                return accessible
        except (GLib.Error, NotImplementedError):
            pass
    return None


# The name's newer getter is not in every libatspi's bindings; the old one answers the same.
warnings.filterwarnings("ignore", "Atspi.Action.get_action_name is deprecated", DeprecationWarning)


def control(title, name):
    for accessible in walk(window(title)):
        try:
            if named(accessible, name) and showing(accessible):
                return accessible
        except GLib.Error:
            pass
    return None


def act(title, name, action):
    """Runs action of the control; None while it is not there or does not offer it (yet)."""
    found = control(title, name)
    try:
        for index in range(Atspi.Action.get_n_actions(found) if found else 0):
            if Atspi.Action.get_action_name(found, index) == action:
                return Atspi.Action.do_action(found, index) or None
    except (GLib.Error, NotImplementedError):
        pass
    return None


def in_state(title, name, wanted):
    found = control(title, name)
    state = getattr(Atspi.StateType, wanted.lstrip("-").upper())
    try:
        if found and found.get_state_set().contains(state) != wanted.startswith("-"):
            return found
    except GLib.Error:
        pass
    return None


def focused(title, text):
    found = field(title, text)
    try:
        if found and Atspi.Component.grab_focus(found):
            return found if found.get_state_set().contains(Atspi.StateType.FOCUSED) else None
    except (GLib.Error, NotImplementedError):
        pass
    return None


def typed(title, text, new):
    found = field(title, text)
    try:
        if found and Atspi.EditableText.set_text_contents(found, new):
            return found
    except (GLib.Error, NotImplementedError):
        pass
    return None


def wait(what, find):
    found = wait_for(find)
    if found is None:
        sys.exit(f"settings_atspi: no {what}")
    return found


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "window":
        wait(f"window {sys.argv[2]!r}", lambda: window(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "closed":
        wait(f"end of the window {sys.argv[2]!r}", lambda: None if window(sys.argv[2]) else True)
    elif len(sys.argv) == 3 and sys.argv[1] == "inactive":
        wait(f"window {sys.argv[2]!r} behind another", lambda: active(sys.argv[2], False))
    elif len(sys.argv) == 3 and sys.argv[1] == "active":
        wait(f"active window {sys.argv[2]!r}", lambda: active(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "field":
        title, text = sys.argv[2], sys.argv[3]
        found = wait(f"field holding {text!r} in {title!r}", lambda: field(title, text))
        extents = found.get_extents(Atspi.CoordType.SCREEN)
        print(extents.x + extents.width // 2, extents.y + extents.height // 2)
    elif len(sys.argv) == 4 and sys.argv[1] == "focus":
        title, text = sys.argv[2], sys.argv[3]
        wait(f"focus in the field holding {text!r} in {title!r}", lambda: focused(title, text))
    elif len(sys.argv) == 5 and sys.argv[1] == "type":
        title, text, new = sys.argv[2:]
        wait(f"a field holding {text!r} in {title!r} to type into", lambda: typed(title, text, new))
    elif len(sys.argv) == 5 and sys.argv[1] == "act":
        title, name, action = sys.argv[2:]
        wait(f"{name!r} offering {action!r} in {title!r}", lambda: act(title, name, action))
    elif len(sys.argv) == 5 and sys.argv[1] == "state":
        title, name, wanted = sys.argv[2:]
        wait(f"{name!r} in state {wanted!r} in {title!r}", lambda: in_state(title, name, wanted))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
