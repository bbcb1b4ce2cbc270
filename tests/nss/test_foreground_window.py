"""The window that had the focus gets it back after a PIN dialog took it (X11, EWMH)."""

import base64
import os
import shutil
import tempfile
import unittest

from agent import Agent, call, stand_in_pinentry
from desktop import START_TIMEOUT, DesktopSession, wait_until
from pki import shared_pki

PIN = "0000"

pki = shared_pki()


class ForegroundWindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = cls.enterClassContext(DesktopSession(with_tray=False))
        cls.ids = []
        for title in ("first", "second"):
            window = cls.show_message(title)
            if window is None:
                raise RuntimeError(f"the window {title!r} did not show")
            cls.ids.append(str(window))

    @classmethod
    def show_message(cls, title):
        """An xmessage window's id. Now and then an xmessage started just after the window
        manager never shows its window: it is ended and started again, up to three times."""
        for _ in range(3):
            message = cls.desktop.spawn(["xmessage", "-title", title, title])
            window = wait_until(lambda: cls.desktop.shown_window(title), START_TIMEOUT / 3)
            if window is not None:
                return window
            cls.desktop.end(message)
        return None

    @classmethod
    def xdotool(cls, *args):
        return cls.desktop.xdotool(*args).strip()

    def active_window_becomes(self, window):
        return wait_until(lambda: self.xdotool("getactivewindow") == window, 5.0)

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
        self.agent_env = {"DISPLAY": self.desktop.display,
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
