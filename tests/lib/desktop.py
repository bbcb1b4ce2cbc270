"""A virtual desktop for tests of the desktop agent: Xvfb with openbox as the window manager
and trayer as the tray, driven with xdotool and wmctrl.

Each session takes a free display number of its own (Xvfb -displayfd), so sessions of other
test runs on the same machine never meet.
"""

import ctypes
import os
import shutil
import subprocess
import tempfile
import time

from build_config import sanitized


# How long the desktop's own programs may take to start on a loaded machine.
START_TIMEOUT = 30.0


def wait_until(predicate, timeout=10.0, interval=0.05):
    """Polls until predicate() is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def unique_colours(png, top=0.0, bottom=1.0):
    """How many colours a screenshot has, or the band of it between two fractions of its
    height: a blank or one-colour picture has one."""
    def identify(what, image):
        return subprocess.run(["/usr/bin/identify", "-format", what, image],
                              capture_output=True, text=True, check=True).stdout
    width, height = map(int, identify("%w %h", png).split())
    band = f"{png}[{width}x{round((bottom - top) * height)}+0+{round(top * height)}]"
    return int(identify("%k", band))


class WaylandSession:
    """weston with its kiosk shell, which shows each window full size, in a window of a
    DesktopSession's display as large as the screen: what it draws is screenshot from that
    window, black where no window is.

    The output is windowed, not --fullscreen: a fullscreen X11 output waits, before it
    listens, for the window manager's configure, and now and then waits for good."""

    SOCKET = "quillmark-test-wayland"
    TITLE = "Weston Compositor - screen0"

    def __init__(self, desktop):
        self.desktop = desktop
        self.weston = None
        self.log_path = os.path.join(desktop.runtime_dir, "weston.log")

    def env(self):
        """What a program needs to run on this compositor: no X11 display."""
        env = {"DISPLAY": "", "WAYLAND_DISPLAY": self.SOCKET,
               "XDG_RUNTIME_DIR": self.desktop.runtime_dir}
        if sanitized():
            # Qt's wayland platform loads Mesa's EGL driver, which keeps a block for the life
            # of the process but is unloaded before LeakSanitizer looks, so that no suppression
            # can name it. The agent's widgets draw into shared memory with or without it (the
            # window's pixels are the same): the sanitizer build runs without an EGL driver,
            # the plain build on the path a user's session takes.
            env["QT_WAYLAND_CLIENT_BUFFER_INTEGRATION"] = "none"
        return env

    def __enter__(self):
        self.weston = self.desktop.spawn(
            ["weston", "--backend=x11-backend.so", "--use-pixman", "--shell=kiosk-shell.so",
             "--no-config", "--socket=" + self.SOCKET, "--width=1024", "--height=768",
             "--log=" + self.log_path])
        wait_until(lambda: self.listening() or self.weston.poll() is not None, START_TIMEOUT)
        if not self.listening():
            self.__exit__()
            raise RuntimeError("weston did not start:\n" + self.log())
        return self

    def __exit__(self, *exc):
        self.desktop.end(self.weston)

    def listening(self):
        return os.path.exists(os.path.join(self.desktop.runtime_dir, self.SOCKET))

    def log(self):
        try:
            with open(self.log_path, errors="replace") as log:
                return log.read()
        except OSError:
            return ""

    def screenshot(self, path):
        """The compositor's window without the window manager's frame, whose title bar has
        colours of its own (found with wmctrl: xdotool misses its name)."""
        windows = [line.split(None, 1)[0] for line in self.desktop.command("wmctrl", "-l").stdout
                   .splitlines() if line.endswith(" " + self.TITLE)]
        if not windows:
            raise AssertionError("no weston window")
        return self.desktop.screenshot(windows[0], path, frame=False)


class DesktopSession:
    """Xvfb, openbox and trayer; use as a context manager."""

    def __init__(self, with_tray=True):
        self.with_tray = with_tray
        self.runtime_dir = tempfile.mkdtemp(prefix="quillmark-xdg-runtime-")
        os.chmod(self.runtime_dir, 0o700)
        self.display = None
        self.processes = []
        self.tray = None

    def env(self):
        """What a program needs to run on this desktop. It has no session bus unless a test
        brings one: without an address, libdbus would fork the program to launch one, and that
        child would count as a second copy of it until it ends."""
        return {"DISPLAY": self.display, "XDG_RUNTIME_DIR": self.runtime_dir,
                "DBUS_SESSION_BUS_ADDRESS": "disabled:"}

    def start(self):
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            xvfb.kill()
            raise RuntimeError("Xvfb did not start")
        self.processes.append(xvfb)
        self.display = ":" + number
        self.spawn(["openbox", "--sm-disable"])
        if not wait_until(lambda: self.command("wmctrl", "-m").returncode == 0, START_TIMEOUT):
            raise RuntimeError("openbox did not start")
        if self.with_tray:
            self.start_tray()
        return self

    def start_tray(self):
        self.tray = self.spawn(["trayer", "--edge", "top", "--align", "right",
                                 "--widthtype", "pixel", "--width", "120", "--height", "32"])
        if not wait_until(self.tray_owned, START_TIMEOUT):
            raise RuntimeError("trayer did not take the tray")

    def stop_tray(self):
        self.end(self.tray)
        self.tray = None
        wait_until(lambda: not self.tray_owned())

    def end(self, process):
        """Terminates one of the session's processes, killed if it has not ended in 10 s."""
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self.processes.remove(process)

    def stop(self):
        for process in reversed(list(self.processes)):
            self.end(process)
        shutil.rmtree(self.runtime_dir, ignore_errors=True)

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()

    def spawn(self, argv):
        """Starts a program on this desktop; it ends with the session."""
        process = subprocess.Popen(argv, env=dict(os.environ, **self.env()),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def command(self, *argv):
        return subprocess.run(argv, env=dict(os.environ, **self.env()), capture_output=True,
                              text=True, timeout=30)

    def tray_owned(self):
        """True while a tray manager owns the tray selection of screen 0."""
        xlib = ctypes.cdll.LoadLibrary("libX11.so.6")
        xlib.XOpenDisplay.restype = ctypes.c_void_p
        xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        xlib.XInternAtom.restype = ctypes.c_ulong
        xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        xlib.XGetSelectionOwner.restype = ctypes.c_ulong
        xlib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        connection = xlib.XOpenDisplay(self.display.encode())
        if not connection:
            return False
        try:
            atom = xlib.XInternAtom(connection, b"_NET_SYSTEM_TRAY_S0", 0)
            return xlib.XGetSelectionOwner(connection, atom) != 0
        finally:
            xlib.XCloseDisplay(connection)

    # Windows, found with xdotool.

    def search(self, *criteria):
        """Ids of the windows that xdotool search finds, each once: a window that is being
        reparented (a tray icon being embedded) can be listed twice."""
        result = self.command("xdotool", "search", *criteria)
        return list(dict.fromkeys(int(line) for line in result.stdout.split()))

    def shown_window(self, name):
        """The visible top-level window of this exact name, or None."""
        found = self.search("--onlyvisible", "--name", f"^{name}$")
        return found[0] if found else None

    def tray_icons(self, pid):
        """The visible windows of a process other than its dialogs: its tray icons."""
        dialogs = set(self.search("--name", "^(Norvale|Error)$"))
        return [w for w in self.search("--onlyvisible", "--pid", str(pid)) if w not in dialogs]

    def describe(self, windows):
        """Name and geometry of each window, for a failure's message."""
        return "; ".join(f"{w} {self.command('xdotool', 'getwindowname', str(w)).stdout.strip()!r} "
                         + self.command("xdotool", "getwindowgeometry", str(w)).stdout.replace("\n", " ")
                         for w in windows)

    def managed_windows(self):
        """Titles of the windows the window manager lists (those a taskbar would show)."""
        return [line.split(None, 3)[3] if len(line.split(None, 3)) == 4 else ""
                for line in self.command("wmctrl", "-l").stdout.splitlines()]

    def xdotool(self, *argv):
        result = self.command("xdotool", *argv)
        if result.returncode != 0:
            raise AssertionError(f"xdotool {' '.join(argv)}: {result.stderr}")
        return result.stdout

    def press_in(self, window, key):
        """Activates a window and types a key into it, as the user would."""
        self.xdotool("windowactivate", "--sync", str(window))
        self.xdotool("key", key)

    def click_icon(self, icon, button=1, repeat=1):
        """Clicks a tray icon, then parks the pointer in the far corner: a pointer left on the
        tray would show the tooltip of the next icon that appears there."""
        self.xdotool("mousemove", "--window", str(icon), "11", "15", "click", "--repeat",
                     str(repeat), "--delay", "80", str(button), "mousemove", "0", "767")

    def screenshot(self, window, path, frame=True):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        result = self.command("import", *(["-frame"] if frame else []), "-window", str(window),
                              path)
        if result.returncode != 0:
            raise AssertionError("import failed: " + result.stderr)
        return path
