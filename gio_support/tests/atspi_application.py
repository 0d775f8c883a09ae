#!/usr/bin/python3
"""Prints the accessibility-bus name of the application with process id PID.

Usage: atspi_application.py PID

Waits up to 30 seconds for it to show; exits non-zero when it does not.
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests"))
from atspi_tree import GLib, applications, wait_for  # noqa: E402


def name_of(pid):
    for app in applications():
        try:
            if app.get_process_id() == pid:
                return app.get_name()
        except GLib.Error:
            pass
    return None


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pid = int(sys.argv[1])
    name = wait_for(lambda: name_of(pid))
    if name is None:
        sys.exit(f"atspi_application: no application with pid {pid}")
    print(name)


if __name__ == "__main__":
    main()
