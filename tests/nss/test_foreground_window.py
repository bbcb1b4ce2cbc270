"""The window that had the focus gets it back after a PIN dialog took it (X11, EWMH)."""

import base64
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from agent import Agent, call, stand_in_pinentry
from pki import shared_pki

PIN = "0000"

pki = shared_pki()


def start_display():
    """Starts Xvfb on a free display and returns (process, ":N")."""
    read_end, write_end = os.pipe()
    process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                "800x600x24", "-nolisten", "tcp"], pass_fds=[write_end],
                               stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        number = f.readline().strip()
    return process, ":" + number


class ForegroundWindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb, cls.display = start_display()
        cls.env = dict(os.environ, DISPLAY=cls.display)
        cls.window_manager = subprocess.Popen(["openbox"], env=cls.env,
                                              stderr=subprocess.DEVNULL)
        cls.windows = [subprocess.Popen(["xmessage", "-title", title, title], env=cls.env)
                       for title in ("first", "second")]
        cls.ids = [cls.xdotool("search", "--sync", "--name", f"^{title}$").split()[0]
                   for title in ("first", "second")]

    @classmethod
    def tearDownClass(cls):
        for process in cls.windows + [cls.window_manager, cls.xvfb]:
            process.terminate()
            process.wait()

    @classmethod
    def xdotool(cls, *args):
        return subprocess.run(["xdotool", *args], env=cls.env, capture_output=True,
                              check=True, text=True, timeout=60).stdout.strip()

    def active_window_becomes(self, window, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.xdotool("getactivewindow") == window:
                return True
            time.sleep(0.05)
        return False

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quillmark-home-")
        pki.install(self.home, password=PIN, users=["sha1"])
        tools = os.path.join(self.home, "tools")
        os.mkdir(tools)
        stand_in_pinentry(tools)
        self.answers = os.path.join(tools, "answers")
        with open(self.answers, "w") as f:
            f.write(PIN)
        self.transcript = os.path.join(tools, "transcript")
        self.agent_env = {"DISPLAY": self.display,
                          "PATH": tools + os.pathsep + os.environ["PATH"],
                          "PINENTRY_STUB_ANSWERS": self.answers,
                          "PINENTRY_STUB_TRANSCRIPT": self.transcript,
                          "PINENTRY_STUB_ACTIVATE": self.ids[1]}

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def test_focus_returns_after_the_pin_dialog_took_it(self):
        first, second = self.ids
        self.xdotool("windowactivate", "--sync", first)
        with Agent(home=self.home, env=self.agent_env):
            reply = call({"action": "sign", "serialNumber": pki.users["sha1"].serial_hex,
                          "dataBase64": base64.b64encode(b"focus").decode()})
            self.assertIn("signedData", reply)
            with open(self.transcript) as f:
                self.assertIn("activated", f.read())  # the dialog did take the focus
            self.assertTrue(self.active_window_becomes(first))
            # A request that signs nothing restores the focus too.
            self.xdotool("windowactivate", "--sync", second)
            self.assertTrue(self.active_window_becomes(second))
            self.assertEqual(call({"action": "sign", "serialNumber": "01", "dataHex": "zz"}),
                             {"action": "sign", "error": "missing data to sign"})
            self.assertEqual(self.xdotool("getactivewindow"), second)


if __name__ == "__main__":
    unittest.main()
