#!/usr/bin/python3
"""Prints the accessibility-bus name of the application with process id PID.

Usage: atspi_application.py PID

Waits up to 30 seconds for it to show; exits non-zero when it does not.
"""
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pid = int(sys.argv[1])
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    print(app.get_name())
                    return
            except gi.repository.GLib.Error:
                pass
        time.sleep(0.2)
    sys.exit(f"atspi_application: no application with pid {pid}")


if __name__ == "__main__":
    main()
