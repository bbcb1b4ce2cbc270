"""A D-Bus tray for tests: a private session bus (dbus-daemon) with a minimal
StatusNotifierWatcher on it, the service through which KDE Plasma and GNOME's AppIndicator
extension take tray icons. Run as a script, it is the watcher: it owns the watcher's name on
the bus given as its argument, says "ready", then prints "item <bus name>" for every item
registered.

    with DBusTray() as tray:
        start a program with tray.env()
        name = tray.next_item()
        tray.call(name, "org.kde.StatusNotifierItem.Activate", "0", "0")
"""

import select
import subprocess
import sys

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM_PATH = "/StatusNotifierItem"
ITEM = "org.kde.StatusNotifierItem"

INTERFACE = f"""<node><interface name="{WATCHER}">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
</interface></node>"""


class DBusTray:
    """dbus-daemon and the watcher; use as a context manager."""

    def __init__(self):
        self.processes = []
        self.address = None
        self.watcher = None

    def env(self):
        return {"DBUS_SESSION_BUS_ADDRESS": self.address}

    def __enter__(self):
        try:
            daemon = self._start(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                  "--print-address"])
            self.address = self._line(daemon)
            self.watcher = self._start(["/usr/bin/python3", __file__, self.address])
            if self._line(self.watcher) != "ready":
                raise RuntimeError("the StatusNotifierWatcher did not start")
            return self
        except BaseException:
            self.__exit__()
            raise

    def __exit__(self, *exc):
        for process in reversed(self.processes):
            process.terminate()
            process.wait(10)
            process.stdout.close()
        self.processes = []

    def _start(self, argv):
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        self.processes.append(process)
        return process

    @staticmethod
    def _line(process, timeout=10.0):
        ready, _, _ = select.select([process.stdout], [], [], timeout)
        return process.stdout.readline().strip() if ready else None

    def next_item(self, timeout=15.0):
        """The bus name of the next item registered with the watcher, or None."""
        line = self._line(self.watcher, timeout)
        return line.split()[1] if line and line.startswith("item ") else None

    def call(self, name, method, *arguments):
        """Calls a method of the item and returns its result as gdbus prints it."""
        result = subprocess.run(
            ["gdbus", "call", "--address", self.address, "--dest", name,
             "--object-path", ITEM_PATH, "--method", method, *arguments],
            capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            raise AssertionError(f"{method}: {result.stderr}")
        return result.stdout

    def item_property(self, name, prop):
        return self.call(name, "org.freedesktop.DBus.Properties.Get", ITEM, prop)


def serve(address):
    from gi.repository import Gio, GLib

    items = []
    connection = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

    def on_call(connection, sender, path, interface, method, parameters, invocation):
        if method == "RegisterStatusNotifierItem":
            service = parameters.unpack()[0]
            name = service if not service.startswith("/") else sender
            items.append(name)
            print("item", name, flush=True)
            connection.emit_signal(None, path, WATCHER, "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (name,)))
        invocation.return_value(None)

    def on_get(connection, sender, path, interface, prop):
        return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
                "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
                "ProtocolVersion": GLib.Variant("i", 0)}[prop]

    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    connection.register_object("/StatusNotifierWatcher", info, on_call, on_get, None)
    Gio.bus_own_name_on_connection(connection, WATCHER, Gio.BusNameOwnerFlags.NONE,
                                   lambda *_: print("ready", flush=True), None)
    GLib.MainLoop().run()


if __name__ == "__main__":
    serve(sys.argv[1])
