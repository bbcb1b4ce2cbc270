"""The desktop agent QuillmarkXp on a virtual desktop: tray icon, main dialog, start-up."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from agent import PORT, Agent, pids_of, post_json, wait_for_port
from desktop import DesktopSession, wait_until
from status_notifier_watcher import DBusTray

QUILLMARKXP = os.environ.get("QUILLMARKXP", os.path.join(os.getcwd(), "bin", "QuillmarkXp"))
BUILD_DIR = os.environ.get("QUILLMARK_BUILD_DIR", os.getcwd())
TOOLTIP = "Quillmark v1.00.04"
START_CHECK = 5.0
ICON_TIMEOUT = START_CHECK + 10.0


def unique_colours(png):
    result = subprocess.run(["/usr/bin/identify", "-format", "%k", png], capture_output=True,
                            text=True, check=True)
    return int(result.stdout)


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
            shot = self.desktop.screenshot(
                dialog, os.path.join(BUILD_DIR, "gui-screenshots", "dialog.png"))
            self.assertGreater(unique_colours(shot), 20, "blank screenshot " + shot)

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

    def test_restart_hands_over_to_a_new_copy(self):
        with self.agent() as old:
            self.wait_for_icon(old)
            self.assertEqual(post_json('{"action":"restart"}'), '{\n\t"action":\t"restart"\n}')
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


class LateTrayTest(unittest.TestCase):
    """A desktop that starts its tray after the programs it autostarts."""

    def test_icon_goes_to_a_tray_that_comes_later(self):
        with DesktopSession(with_tray=False) as desktop:
            with Agent(path=QUILLMARKXP, env=desktop.env()) as agent:
                time.sleep(START_CHECK + 1.0)
                self.assertEqual(desktop.tray_icons(agent.process.pid), [])
                self.assertIsNone(desktop.shown_window("Norvale"))
                desktop.start_tray()
                icons = wait_until(lambda: desktop.tray_icons(agent.process.pid), 10)
                self.assertEqual(len(icons), 1)
                desktop.click_icon(icons[0], repeat=2)
                self.assertTrue(wait_until(lambda: desktop.shown_window("Norvale")))


class DBusTrayTest(unittest.TestCase):
    """A D-Bus tray (StatusNotifierItem) beside no X11 tray: the icon is an item registered
    with the watcher, and its Activate (a click) shows the window."""

    def test_activate_shows_the_window(self):
        with DesktopSession(with_tray=False) as desktop, DBusTray() as tray:
            with Agent(path=QUILLMARKXP, env=dict(desktop.env(), **tray.env())) as agent:
                item = tray.next_item()
                self.assertIsNotNone(item, "no item registered:\n" + agent.stderr())
                self.assertIn(TOOLTIP, tray.item_property(item, "ToolTip"))
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
