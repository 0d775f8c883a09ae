#!/usr/bin/python3
"""A notification server on the session bus that writes each notification it is sent to a file,
one JSON line {"summary": ..., "body": ...} each, and shows nothing: for checks that read what the
host said without a display.

Usage: notification_log.py FILE   (runs until it is ended; owns org.freedesktop.Notifications)
"""
import json
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
</node>
"""

log = open(sys.argv[1], "a", buffering=1, encoding="utf-8")
last_id = 0


def on_call(connection, sender, path, interface, method, parameters, invocation):
    global last_id
    if method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["body", "actions"],)))
    elif method == "Notify":
        _app, replaces, _icon, summary, body, _actions, _hints, _timeout = parameters.unpack()
        log.write(json.dumps({"summary": summary, "body": body}, ensure_ascii=False) + "\n")
        if replaces == 0:
            last_id += 1
            replaces = last_id
        invocation.return_value(GLib.Variant("(u)", (replaces,)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("notification_log", "ambrevoli", "1", "1.2")))
    else:
        invocation.return_value(None)


def on_bus(connection, _name):
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    connection.register_object("/org/freedesktop/Notifications", node.interfaces[0], on_call)


loop = GLib.MainLoop()
Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.Notifications",
                 Gio.BusNameOwnerFlags.NONE, on_bus, None, lambda *_: loop.quit())
loop.run()
