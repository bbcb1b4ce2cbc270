"""quillmarkd started as a systemd user service (INVOCATION_ID set) gives way to the desktop
agent when the desktop agent's autostart entry is in use, and starts when it is not."""

import os
import shutil
import subprocess
import tempfile
import unittest

from agent import Agent, call

ENTRY = "[Desktop Entry]\nType=Application\nName=Quillmark\nExec=/usr/bin/QuillmarkXp\n"
EX_CONFIG = 78


class ServiceStart(unittest.TestCase):
    def setUp(self):
        self.config = tempfile.mkdtemp(prefix="quillmark-config-")
        self.addCleanup(shutil.rmtree, self.config, ignore_errors=True)
        self.entry_path = os.path.join(self.config, "autostart", "Quillmark.desktop")

    def write_entry(self, extra=""):
        os.makedirs(os.path.dirname(self.entry_path), exist_ok=True)
        with open(self.entry_path, "w") as f:
            f.write(ENTRY + extra)

    def agent(self, under_systemd=True):
        env = {"XDG_CONFIG_HOME": self.config}
        if under_systemd:
            env["INVOCATION_ID"] = "0123456789abcdef0123456789abcdef"
        return Agent(env=env)

    def assert_serves(self, agent):
        with agent:
            self.assertEqual(call({"action": "getVersion"})["action"], "getVersion")

    def test_refuses_with_one_line_while_the_desktop_agent_starts_at_login(self):
        self.write_entry("[Desktop Action other]\nHidden=true\n")
        agent = self.agent()
        self.addCleanup(shutil.rmtree, agent.home, ignore_errors=True)
        agent.start(wait=False)
        try:
            code = agent.process.wait(15)
        finally:
            agent.stop()
        self.assertEqual(code, EX_CONFIG)
        lines = agent.stderr().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("QuillmarkXp", lines[0])
        self.assertIn(self.entry_path, lines[0])

    def test_starts_when_the_entry_is_turned_off_or_absent(self):
        for extra in ("Hidden=true\n", "X-GNOME-Autostart-enabled = false\n", None):
            with self.subTest(entry=extra):
                if extra is None:
                    os.remove(self.entry_path)
                else:
                    self.write_entry(extra)
                self.assert_serves(self.agent())

    def test_a_copy_started_by_hand_ignores_the_entry(self):
        self.write_entry()
        self.assert_serves(self.agent(under_systemd=False))


if __name__ == "__main__":
    unittest.main()
