"""A desktop notification server for tests: org.freedesktop.Notifications on a test's session
bus, recording every Notify call. Run as a script, it owns the name on the bus given as its
argument, says "ready", then prints each notification as one line of JSON
([app name, icon, summary, body]).

    with DBusTray() as tray, NotificationServer(tray.address) as notifications:
        start a program with tray.env()
        app, icon, summary, body = notifications.next_notification()
"""

import json
import subprocess
import sys

from status_notifier_watcher import DBusTray

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"

INTERFACE = f"""<node><interface name="{NAME}">
  <method name="Notify">
    <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
    <arg type="a{{sv}}" direction="in"/><arg type="i" direction="in"/>
    <arg type="u" direction="out"/>
  </method>
  <method name="GetCapabilities"><arg type="as" direction="out"/></method>
  <method name="GetServerInformation">
    <arg type="s" direction="out"/><arg type="s" direction="out"/>
    <arg type="s" direction="out"/><arg type="s" direction="out"/>
  </method>
</interface></node>"""


class NotificationServer:
    """The recording server on an existing bus; use as a context manager."""

    def __init__(self, address):
        self.address = address
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(["/usr/bin/python3", __file__, self.address],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        if DBusTray._line(self.process) != "ready":
            self.__exit__()
            raise RuntimeError("the notification server did not start")
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdout.close()

    def next_notification(self, timeout=15.0):
        """[app name, icon, summary, body] of the next notification, or None."""
        line = DBusTray._line(self.process, timeout)
        return json.loads(line) if line else None


def serve(address):
    from gi.repository import Gio, GLib

    connection = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    shown = [0]

    def on_call(connection, sender, path, interface, method, parameters, invocation):
        if method == "Notify":
            app, _, icon, summary, body, _, _, _ = parameters.unpack()
            print(json.dumps([app, icon, summary, body], ensure_ascii=False), flush=True)
            shown[0] += 1
            invocation.return_value(GLib.Variant("(u)", (shown[0],)))
        elif method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["body", "body-markup"],)))
        else:
            invocation.return_value(GLib.Variant("(ssss)", ("test", "quillmark", "1", "1.2")))

    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    connection.register_object(PATH, info, on_call, None, None)
    Gio.bus_own_name_on_connection(connection, NAME, Gio.BusNameOwnerFlags.NONE,
                                   lambda *_: print("ready", flush=True), None)
    GLib.MainLoop().run()


if __name__ == "__main__":
    serve(sys.argv[1])
