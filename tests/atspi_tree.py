"""Walking the accessibility bus's tree, for the checks that drive real desktop programs.

An application's widgets come and go while a check looks at them: a call on one that went away
raises GLib.Error. Everything here takes that as "not there (yet)", and the checks look again
until what they wait for shows or their time is up.
"""
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

# Deeper than any real widget tree; a cycle in a broken tree ends here.
MAX_DEPTH = 60


def children(accessible):
    """The children of accessible; none once it went away."""
    try:
        return [accessible.get_child_at_index(i) for i in range(accessible.get_child_count())]
    except GLib.Error:
        return []


def walk(accessible, depth=0):
    """accessible and everything below it, each before its children."""
    if accessible is None or depth > MAX_DEPTH:
        return
    yield accessible
    for child in children(accessible):
        yield from walk(child, depth + 1)


def named(accessible, name, roles=()):
    """Whether accessible is called name and, where roles are given, has one of them."""
    try:
        return accessible.get_name() == name and (not roles or accessible.get_role_name() in roles)
    except GLib.Error:
        return False


def applications():
    """The applications on the accessibility bus."""
    return [app for app in children(Atspi.get_desktop(0)) if app is not None]


def application(name):
    """The application called name, or None."""
    for app in applications():
        try:
            if app.get_name() == name:
                return app
        except GLib.Error:
            pass
    return None


def wait_for(attempt, seconds=30):
    """Calls attempt until it returns something other than None and returns that, or returns None
    once seconds have passed. It is called at least once."""
    deadline = time.monotonic() + seconds
    while True:
        found = attempt()
        if found is not None:
            return found
        if time.monotonic() > deadline:
            return None
        time.sleep(0.2)
