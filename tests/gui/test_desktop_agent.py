"""The desktop agent QuillmarkXp on a virtual desktop: tray icon, main dialog, start-up."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from agent import (PORT, RESTARTED, Agent, allow_sites, call, pids_of, post_json, restart_twice,
                   wait_for_port)
from desktop import DesktopSession, WaylandSession, unique_colours, wait_until
from notification_server import NotificationServer
from pki import shared_pki
from status_notifier_watcher import DBusTray

QUILLMARKXP = os.environ.get("QUILLMARKXP", os.path.join(os.getcwd(), "bin", "QuillmarkXp"))
BUILD_DIR = os.environ.get("QUILLMARK_BUILD_DIR", os.getcwd())
TOOLTIP = "Quillmark v1.00.04"
START_CHECK = 5.0
ICON_TIMEOUT = START_CHECK + 10.0


def screenshot_path(name):
    return os.path.join(BUILD_DIR, "gui-screenshots", name)


class DesktopAgentTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = DesktopSession().start()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()

    def agent(self, path=QUILLMARKXP, **env):
        return Agent(path=path, env=dict(self.desktop.env(), **env))

    def wait_for_icon(self, agent, timeout=ICON_TIMEOUT):
        icons = wait_until(lambda: self.desktop.tray_icons(agent.process.pid), timeout)
        self.assertEqual(len(icons), 1, "not one tray icon: " + self.desktop.describe(icons))
        return icons[0]

    def wait_for_dialog(self, shown=True):
        found = wait_until(lambda: (self.desktop.shown_window("Norvale") is not None) == shown)
        self.assertTrue(found, "dialog not " + ("shown" if shown else "hidden"))
        return self.desktop.shown_window("Norvale")

    def assert_in_tray(self, agent):
        self.wait_for_dialog(shown=False)
        self.assertNotIn("Norvale", self.desktop.managed_windows())
        return self.wait_for_icon(agent, timeout=5)

    def assert_shown(self, agent):
        dialog = self.wait_for_dialog()
        self.assertTrue(wait_until(lambda: not self.desktop.tray_icons(agent.process.pid), 5),
                        "the icon stays beside the window")
        return dialog

    def assert_ends(self, agent, code=0):
        self.assertEqual(agent.process.wait(10), code)
        self.assertEqual(self.desktop.search("--classname", "QuillmarkXp"), [])
        self.assertTrue(wait_for_port(present=False, timeout=5))

    def test_tray_icon_and_dialog_trade_places(self):
        with self.agent() as agent:
            started = time.monotonic()
            icon = self.wait_for_icon(agent)
            # The icon comes as soon as the server listens, not after a fixed wait.
            self.assertLess(time.monotonic() - started, START_CHECK - 1.0)
            self.assert_in_tray(agent)
            # The icon is drawn: an empty one leaves the tray's slot one flat colour.
            shot = self.desktop.screenshot(icon, screenshot_path("tray-icon.png"))
            self.assertGreater(unique_colours(shot), 8, "blank tray icon " + shot)

            # Hovering shows the tooltip (its text is read over D-Bus in DBusTrayTest);
            # single, right and right double clicks do nothing.
            self.desktop.xdotool("mousemove", "--window", str(icon), "11", "15")
            tips = wait_until(lambda: [w for w in self.desktop.tray_icons(agent.process.pid)
                                       if w != icon])
            self.assertEqual(len(tips), 1, "no tooltip")
            for button, repeat in ((1, 1), (3, 1), (3, 2), (2, 1)):
                self.desktop.click_icon(icon, button, repeat)
                time.sleep(0.7)
                self.assertIn(icon, self.desktop.tray_icons(agent.process.pid))
                self.assertIsNone(self.desktop.shown_window("Norvale"))
                self.desktop.xdotool("key", "Escape")

            self.desktop.click_icon(icon, repeat=2)
            dialog = self.assert_shown(agent)
            self.assertIn("Norvale", self.desktop.managed_windows())
            shot = self.desktop.screenshot(dialog, screenshot_path("dialog.png"))
            self.assertGreater(unique_colours(shot), 20, "blank screenshot " + shot)
            # The texts and the tabs start at the top: no blank band above them.
            inside = self.desktop.screenshot(dialog, screenshot_path("dialog-inside.png"), False)
            self.assertGreater(unique_colours(inside, 0.0, 0.3), 8, "blank band " + inside)
            icon_property = self.desktop.command("xprop", "-id", str(dialog), "_NET_WM_ICON")
            self.assertIn("Icon (48 x 48)", icon_property.stdout, "the window has no icon")

            # The button, then the minimise box, trade the window for the icon.
            self.desktop.press_in(dialog, "space")
            icon = self.assert_in_tray(agent)
            self.desktop.click_icon(icon, repeat=2)
            dialog = self.assert_shown(agent)
            self.desktop.xdotool("windowminimize", str(dialog))
            icon = self.assert_in_tray(agent)
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))

            # Escape in the shown window ends the program.
            self.desktop.click_icon(icon, repeat=2)
            dialog = self.assert_shown(agent)
            self.desktop.press_in(dialog, "Escape")
            self.assert_ends(agent)

    def test_check_tab_reports_this_agent_and_the_store(self):
        agent = self.agent()
        shared_pki().install(agent.home, users=["vietnamese"])
        with agent:
            self.desktop.click_icon(self.wait_for_icon(agent), repeat=2)
            dialog = self.assert_shown(agent)
            self.desktop.press_in(dialog, "alt+k")
            self.desktop.xdotool("key", "alt+n")

            def report():
                # The report, which has the focus once shown, is selected whole and read back
                # from the X selection.
                self.desktop.xdotool("key", "ctrl+a")
                return self.desktop.command("xclip", "-o", "-selection", "primary").stdout

            self.assertTrue(wait_until(lambda: "Log: " in report(), 30), "no report")
            report = report()
            self.desktop.screenshot(dialog, screenshot_path("check.png"))
            store = os.path.join(agent.home, ".pki", "nssdb")
            self.assertIn(f"Port {PORT}: held by this agent (QuillmarkXp)\n", report)
            self.assertIn(f"Certificate store: {store}: 3 certificates, 1 key, no password\n",
                          report)
            self.assertNotIn("Port", report.split("Kết quả kiểm tra:")[0], "port named a problem")

    def test_check_tab_says_why_the_check_did_not_run(self):
        """A copy of the agent whose file is removed, then replaced by a broken one, as an
        interrupted upgrade could leave it: the tab runs the file at the agent's path."""
        folder = tempfile.mkdtemp(prefix="quillmark-copy-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        copy = os.path.join(folder, "QuillmarkXp")
        shutil.copy(QUILLMARKXP, copy)
        with self.agent(path=copy) as agent:
            self.desktop.click_icon(self.wait_for_icon(agent), repeat=2)
            dialog = self.assert_shown(agent)
            os.unlink(copy)
            self.desktop.press_in(dialog, "alt+k")
            self.desktop.xdotool("key", "alt+n")
            time.sleep(1)
            self.desktop.screenshot(dialog, screenshot_path("check-program-missing.png"))

            with open(copy, "w") as broken:
                broken.write("#!/bin/sh\necho 'QuillmarkXp: error while loading shared "
                             "libraries: libQt6Widgets.so.6' >&2\nexit 127\n")
            os.chmod(copy, 0o755)
            self.desktop.press_in(dialog, "alt+n")

            def report():
                self.desktop.xdotool("key", "alt+k", "Tab", "ctrl+a")
                return self.desktop.command("xclip", "-o", "-selection", "primary").stdout

            self.assertTrue(wait_until(lambda: "libQt6" in report(), 30), "no error output")
            self.desktop.screenshot(dialog, screenshot_path("check-exit-status.png"))
            self.assertEqual(report(), "Chương trình kiểm tra báo:\nQuillmarkXp: error while "
                             "loading shared libraries: libQt6Widgets.so.6")

    def window_size(self, window):
        geometry = self.desktop.xdotool("getwindowgeometry", str(window))
        return tuple(int(n) for n in geometry.split("Geometry: ")[1].split()[0].split("x"))

    def test_window_opens_at_the_size_it_was_left_at(self):
        """Screenshots of the list of signatures at the first start's size and at the size the
        user left the window at."""
        home = tempfile.mkdtemp(prefix="quillmark-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        state = os.path.join(home, ".local", "state", "quillmark")
        os.makedirs(state)
        with open(os.path.join(state, "signatures.txt"), "w") as journal:
            for kind, size, site, certificate in [
                    ("raw", 1234, "https://dichvucong.gov.vn", "Nguyễn Văn Thành"),
                    ("CMS", 52310, "https://thuedientu.gdt.gov.vn",
                     "CÔNG TY TNHH THƯƠNG MẠI DỊCH VỤ ABC"),
                    ("XML", 880213, "", "Nguyễn Văn Thành")]:
                journal.write(f"2026-01-31 14:05:09 +0700\t{kind}\t{size}\t{'5e' * 32}\t0a1b"
                              f"\t{site}\t{certificate}\n")

        def open_window(shot):
            agent = Agent(path=QUILLMARKXP, home=home, env=self.desktop.env()).start()
            self.addCleanup(agent.stop)
            self.desktop.click_icon(self.wait_for_icon(agent), repeat=2)
            dialog = self.assert_shown(agent)
            self.desktop.press_in(dialog, "alt+h")
            time.sleep(0.5)
            self.desktop.screenshot(dialog, screenshot_path(shot))
            return agent, dialog

        agent, dialog = open_window("history-first-start.png")
        first = self.window_size(dialog)
        self.assertLessEqual(first, (1024, 768))
        self.assertGreater(first[0], 800, "narrower than the list of signatures needs")
        left = (first[0] - 150, first[1] + 60)
        self.desktop.xdotool("windowsize", "--sync", str(dialog), *map(str, left))
        self.assertTrue(wait_until(lambda: self.window_size(dialog) == left), "not resized")
        # Traded for the icon, then ended from the tray: the size is kept all the same.
        self.desktop.press_in(dialog, "space")
        self.assert_in_tray(agent)
        agent.process.send_signal(signal.SIGTERM)
        self.assert_ends(agent)

        agent, dialog = open_window("history-size-kept.png")
        self.assertEqual(self.window_size(dialog), left)
        self.desktop.press_in(dialog, "Escape")
        self.assert_ends(agent)

    def test_close_box_ends_the_program(self):
        with self.agent() as agent:
            self.desktop.click_icon(self.wait_for_icon(agent), repeat=2)
            self.assert_shown(agent)
            self.assertEqual(self.desktop.command("wmctrl", "-c", "Norvale").returncode, 0)
            self.assert_ends(agent)
            self.assertIn("libwebsockets-test-server exited cleanly", agent.stderr())

    def test_interrupt_key_ends_the_program_not_only_its_server(self):
        with self.agent() as agent:
            self.wait_for_icon(agent)
            agent.process.send_signal(signal.SIGINT)
            self.assert_ends(agent)

    def test_a_new_copy_closes_the_old_one(self):
        first = self.agent().start()
        self.wait_for_icon(first)
        with self.agent() as second:
            self.assertEqual(first.process.wait(10), 0)
            first.stop()
            self.wait_for_icon(second)
            self.assertEqual(pids_of(QUILLMARKXP), [second.process.pid])

    def test_copies_started_together_leave_the_last(self):
        for _ in range(3):
            copies = [self.agent().start(wait=False) for _ in range(2)]
            for copy in copies:
                self.addCleanup(copy.stop)
            # Ended by the newer copy, at once while it was still starting.
            self.assertIn(copies[0].process.wait(10), (0, -signal.SIGTERM))
            self.wait_for_icon(copies[1])
            self.assertEqual(pids_of(QUILLMARKXP), [copies[1].process.pid])
            self.assertEqual(copies[1].stop(), 0)

    def test_a_copy_that_cannot_start_leaves_the_running_one(self):
        with self.agent() as running:
            self.wait_for_icon(running)
            log_size = os.path.getsize(running.log_path())
            # A display platform Qt cannot load ends the new copy before it touches anything.
            failed = self.agent(QT_QPA_PLATFORM="none-such").start(wait=False)
            self.assertNotEqual(failed.process.wait(30), 0)
            failed.stop()
            self.assertIsNone(running.process.poll())
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))
            self.assertGreaterEqual(os.path.getsize(running.log_path()), log_size)

    def test_restart_hands_over_to_a_new_copy(self):
        with self.agent() as old:
            self.wait_for_icon(old)
            # The second restart, asked while the first is under way, starts no further copy.
            self.assertEqual(restart_twice(), [RESTARTED] * 2)
            self.assertEqual(old.process.wait(10), 0)
            new_pids = wait_until(lambda: [p for p in pids_of(QUILLMARKXP)
                                           if p != old.process.pid])
            self.assertEqual(len(new_pids), 1)
            self.assertTrue(wait_until(lambda: self.desktop.tray_icons(new_pids[0]),
                                       ICON_TIMEOUT), "the new copy shows no icon")
            os.kill(new_pids[0], 15)
            self.assertTrue(wait_until(lambda: not pids_of(QUILLMARKXP)))

    def test_port_taken_shows_the_error_box_and_ends(self):
        # IPv4 loopback is the listener the agent cannot do without.
        with socket.socket(socket.AF_INET) as blocker:
            blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            blocker.bind(("127.0.0.1", PORT))
            blocker.listen()
            agent = self.agent()
            started = time.monotonic()
            agent.start(wait=False)
            box = wait_until(lambda: self.desktop.shown_window("Error"), 10)
            self.assertIsNotNone(box, "no error box:\n" + agent.stderr())
            self.assertLess(time.monotonic() - started, START_CHECK - 0.5)
            self.assertEqual(self.desktop.tray_icons(agent.process.pid), [])
            self.desktop.press_in(box, "Return")
            self.assertNotEqual(agent.process.wait(10), 0)
            agent.stop()
            self.assertNotIn("Sanitizer", agent.stderr())
            self.assertIsNone(self.desktop.shown_window("Norvale"))
            self.assertEqual(self.desktop.search("--classname", "QuillmarkXp"), [])
            # The copy that holds the port starts at login, not this one.
            self.assertFalse(os.path.exists(os.path.join(agent.home, ".config", "autostart")))

    def test_autostart_entry_holds_the_path(self):
        home = tempfile.mkdtemp(prefix="quillmark home ")
        try:
            path = os.path.join(home, "my apps", "QuillmarkXp")
            os.makedirs(os.path.dirname(path))
            shutil.copy2(QUILLMARKXP, path)
            config = os.path.join(home, "config")
            with self.agent(path=path, XDG_CONFIG_HOME=config) as agent:
                self.wait_for_icon(agent)
                self.assertEqual(agent.stdout(), "")
            with open(os.path.join(config, "autostart", "Quillmark.desktop")) as entry:
                self.assertIn(f'\nExec="{path}"\n', entry.read())

            # A configuration directory that cannot hold the entry does not stop start-up.
            blocked = os.path.join(home, "not a directory")
            open(blocked, "w").close()
            with self.agent(XDG_CONFIG_HOME=blocked) as agent:
                self.wait_for_icon(agent)
                self.assertEqual(agent.stdout(), "not open")
        finally:
            shutil.rmtree(home, ignore_errors=True)

    def test_without_a_display_it_points_to_the_headless_agent(self):
        home = tempfile.mkdtemp(prefix="quillmark-home-")
        try:
            env = {k: v for k, v in os.environ.items()
                   if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
            for display in (None, ":999"):
                if display:
                    env["DISPLAY"] = display
                result = subprocess.run([QUILLMARKXP], env=dict(env, HOME=home),
                                        capture_output=True, text=True, timeout=30)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn("quillmarkd", result.stderr)
            self.assertFalse(os.path.exists(os.path.join(home, ".config")))
        finally:
            shutil.rmtree(home, ignore_errors=True)


class NoTrayTest(unittest.TestCase):
    """A desktop without a tray (GNOME, a Wayland session without a StatusNotifierItem host),
    or one that starts its tray after the programs it autostarts."""

    def test_the_window_shows_until_a_tray_takes_the_icon(self):
        with DesktopSession(with_tray=False) as desktop:
            with Agent(path=QUILLMARKXP, env=desktop.env()) as agent:
                dialog = wait_until(lambda: desktop.shown_window("Norvale"), ICON_TIMEOUT)
                self.assertIsNotNone(dialog, "no window without a tray:\n" + agent.stderr())
                shot = desktop.screenshot(dialog, screenshot_path("dialog-without-tray.png"))
                self.assertGreater(unique_colours(shot), 20, "blank screenshot " + shot)
                # Minimised, it stays in the taskbar; the button minimises it too.
                desktop.xdotool("windowminimize", str(dialog))
                self.assertTrue(wait_until(lambda: desktop.shown_window("Norvale") is None))
                time.sleep(1.0)
                self.assertIn("Norvale", desktop.managed_windows())
                desktop.xdotool("windowactivate", "--sync", str(dialog))
                desktop.press_in(dialog, "space")
                self.assertTrue(wait_until(lambda: desktop.shown_window("Norvale") is None))
                self.assertIn("Norvale", desktop.managed_windows())
                desktop.xdotool("windowactivate", "--sync", str(dialog))

                # A tray comes: the icon joins the window, which stays until minimised.
                desktop.start_tray()
                icons = wait_until(lambda: desktop.tray_icons(agent.process.pid), 10)
                self.assertEqual(len(icons), 1, desktop.describe(icons))
                self.assertIsNotNone(desktop.shown_window("Norvale"))
                desktop.xdotool("windowminimize", str(dialog))
                self.assertTrue(wait_until(lambda: "Norvale" not in desktop.managed_windows()))
                self.assertEqual(desktop.tray_icons(agent.process.pid), icons)
                desktop.click_icon(icons[0], repeat=2)
                self.assertTrue(wait_until(lambda: desktop.shown_window("Norvale")))


class WaylandTest(unittest.TestCase):
    """A Wayland session (weston) with no X11 display and no tray: the window shows."""

    def test_starts_on_wayland_alone(self):
        with DesktopSession(with_tray=False) as desktop, WaylandSession(desktop) as wayland:
            with Agent(path=QUILLMARKXP, env=wayland.env()) as agent:
                self.assertIn("getVersion", post_json('{"action":"getVersion"}'))
                # The kiosk shell shows the window over the whole output.
                shot_path = screenshot_path("wayland.png")
                drawn = wait_until(lambda: unique_colours(wayland.screenshot(shot_path)) > 20,
                                   ICON_TIMEOUT)
                self.assertTrue(drawn, "nothing drawn on weston:\n" + agent.stderr())
                # The lists grow with the window, here the whole output, down to its button.
                self.assertGreater(unique_colours(shot_path, 0.7, 0.85), 2, "lists not grown")


class NotificationRunTest(unittest.TestCase):
    """A site's signatures in a row update one notification; another signer gets its own."""

    def test_a_run_of_signatures_updates_one_notification(self):
        site = "https://portal.example.vn"
        cert = shared_pki().users["vietnamese"]
        sign = {"action": "sign", "serialNumber": cert.serial_hex, "dataBase64": "AAEC",
                "cms": False}
        with DesktopSession(with_tray=False) as desktop, DBusTray() as tray, \
                NotificationServer(tray.address) as notifications:
            agent = Agent(path=QUILLMARKXP, env=dict(desktop.env(), **tray.env()))
            shared_pki().install(agent.home, users=["vietnamese"])
            allow_sites(agent.home, site)
            with agent:
                for headers in [{"Origin": site}] * 3 + [{}]:
                    self.assertIn("signedData", call(sign, headers=headers))
                shown = {site: [("", 0, 0)]}
                while not shown[site][-1][0].startswith("3 ") or None not in shown:
                    _, _, summary, _, replaces, own = notifications.next_notification(
                        with_ids=True)
                    shown.setdefault(site if site in summary else None, []).append(
                        (summary, replaces, own))
        # Updates may be merged while the server answers, never stacked.
        first = shown[site][1]
        self.assertEqual(first[:2], (f"Đã ký số cho {site}", 0))
        self.assertEqual(shown[site][-1], (f"3 chữ ký cho {site}", first[2], first[2]))
        self.assertTrue(all(later[1] == first[2] for later in shown[site][2:]))
        self.assertEqual(shown[None], [("Đã ký số cho một chương trình trên máy này", 0,
                                        shown[None][0][2])])
        self.assertNotEqual(shown[None][0][2], first[2])


class DBusTrayTest(unittest.TestCase):
    """A D-Bus tray (StatusNotifierItem) beside no X11 tray: the icon is an item registered
    with the watcher, and its Activate (a click) shows the window. The icons are installed
    as `cmake --install` puts them, so the item also names its icon for the tray's theme."""

    def setUp(self):
        self.prefix = tempfile.mkdtemp(prefix="quillmark-prefix-")
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", self.prefix], check=True,
                       capture_output=True)
        self.icons_env = {"XDG_DATA_DIRS": os.path.join(self.prefix, "share") + ":/usr/share"}

    def tearDown(self):
        shutil.rmtree(self.prefix, ignore_errors=True)

    def test_activate_shows_the_window(self):
        with DesktopSession(with_tray=False) as desktop, DBusTray() as tray:
            env = dict(desktop.env(), **tray.env(), **self.icons_env)
            with Agent(path=QUILLMARKXP, env=env) as agent:
                item = tray.next_item()
                self.assertIsNotNone(item, "no item registered:\n" + agent.stderr())
                self.assertIn(TOOLTIP, tray.item_property(item, "ToolTip"))
                self.assertEqual(tray.item_property(item, "IconName"), "(<'quillmark'>,)\n")
                # The icon's pixels: an empty icon is sent as [(0, 0, [])].
                pixmaps = tray.item_property(item, "IconPixmap")
                self.assertRegex(pixmaps[:30], r"^\(<\[\(([1-9][0-9]*), \1, \[byte 0x",
                                 pixmaps[:80])
                self.assertIn("0xff", pixmaps, "transparent icon")
                self.assertEqual(desktop.tray_icons(agent.process.pid), [])
                self.assertIsNone(desktop.shown_window("Norvale"))

                tray.call(item, "org.kde.StatusNotifierItem.Activate", "0", "0")
                dialog = wait_until(lambda: desktop.shown_window("Norvale"))
                self.assertIsNotNone(dialog, "Activate did not show the window")

                # The button gives the window back to the tray, and a new Activate restores it.
                desktop.press_in(dialog, "space")
                item = tray.next_item()
                self.assertIsNotNone(item, "the icon did not come back")
                self.assertTrue(wait_until(lambda: desktop.shown_window("Norvale") is None))
                tray.call(item, "org.kde.StatusNotifierItem.Activate", "0", "0")
                self.assertTrue(wait_until(lambda: desktop.shown_window("Norvale")))


if __name__ == "__main__":
    unittest.main()
