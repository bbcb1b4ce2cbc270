"""A desktop notification server for tests: org.freedesktop.Notifications on a test's session
bus, recording every Notify call. Run as a script, it owns the name on the bus given as its
argument, says "ready", then prints each notification as one line of JSON
([app name, icon, summary, body, the id it replaces, its id]). A notification that replaces
another keeps its id, as real servers do.

    with DBusTray() as tray, NotificationServer(tray.address) as notifications:
        start a program with tray.env()
        app, icon, summary, body = notifications.next_notification()
"""

import json
import queue
import subprocess
import sys
import threading

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
        self.reader = None

    def __enter__(self):
        self.process = subprocess.Popen(["/usr/bin/python3", __file__, self.address],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        if DBusTray._line(self.process) != "ready":
            self.__exit__()
            raise RuntimeError("the notification server did not start")
        # Read by a thread of its own: lines that arrive together wait in the pipe's buffer,
        # where select() no longer sees them.
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        return self

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(10)
        if self.reader is not None:
            self.reader.join(10)
        self.process.stdout.close()

    def next_notification(self, timeout=15.0, with_ids=False):
        """[app name, icon, summary, body] of the next notification (then the id it replaces
        and its own with `with_ids`), or None."""
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            return None
        return json.loads(line)[:None if with_ids else 4]


def serve(address):
    from gi.repository import Gio, GLib

    connection = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    shown = [0]

    def on_call(connection, sender, path, interface, method, parameters, invocation):
        if method == "Notify":
            app, replaces, icon, summary, body, _, _, _ = parameters.unpack()
            if not replaces:
                shown[0] += 1
            own = replaces or shown[0]
            print(json.dumps([app, icon, summary, body, replaces, own], ensure_ascii=False),
                  flush=True)
            invocation.return_value(GLib.Variant("(u)", (own,)))
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
