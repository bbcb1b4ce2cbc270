"""The desktop agent's own consent dialog, its lists of allowed sites and of signatures, and
the notification of each signature, on a virtual desktop with a D-Bus tray and a recording
notification server. One agent runs through the whole story, as a user would meet it. The
headless agent asks with the same dialog (quillmark-consent)."""

import base64
import hashlib
import os
import subprocess
import threading
import unittest

from agent import Agent, allow_sites, call
from desktop import DesktopSession, unique_colours, wait_until
from notification_server import NotificationServer
from pki import shared_pki
from status_notifier_watcher import DBusTray

QUILLMARKXP = os.environ.get("QUILLMARKXP", os.path.join(os.getcwd(), "bin", "QuillmarkXp"))
SCREENSHOTS = os.path.join(os.environ.get("QUILLMARK_BUILD_DIR", os.getcwd()), "gui-screenshots")
SITE = "https://portal.example:8443"
OTHER_SITE = "http://other.example"
IDN_SITE = "https://xn--bcher-kva.example"
LOOKALIKE = "https://portal.example.vn.attacker.example.com"
IMITATED = "https://portal.example.vn"
DATA = b"a contract to sign"
REFUSED_CODE = 4294959119
DIALOG = "Quillmark"

pki = shared_pki()


def pixels_differing(first, second):
    result = subprocess.run(["/usr/bin/compare", "-metric", "AE", first, second, "null:"],
                            capture_output=True, text=True)
    return int(float(result.stderr.split()[0]))


class Request(threading.Thread):
    """A request sent from a page of a site, answered while the test drives the dialog."""

    def __init__(self, request, origin):
        super().__init__()
        self.request, self.origin, self.reply = request, origin, None
        self.start()

    def run(self):
        try:
            self.reply = call(self.request, headers={"Origin": self.origin}, timeout=120)
        except OSError as error:
            self.reply = error

    def result(self):
        self.join(30)
        return self.reply


class ConsentDialogTest(unittest.TestCase):
    def setUp(self):
        self.desktop = DesktopSession(with_tray=False).start()
        self.addCleanup(self.desktop.stop)
        self.tray = DBusTray().__enter__()
        self.addCleanup(self.tray.__exit__)
        self.notifications = NotificationServer(self.tray.address).__enter__()
        self.addCleanup(self.notifications.__exit__)
        self.cert = pki.users["vietnamese"]

    def agent(self, path=QUILLMARKXP):
        agent = Agent(path=path, env=dict(self.desktop.env(), **self.tray.env()))
        pki.install(agent.home, users=["vietnamese"])
        self.sites_file = os.path.join(agent.home, ".config", "quillmark", "allowed-sites")
        return agent

    def sign(self):
        return {"action": "sign", "serialNumber": self.cert.serial_hex,
                "dataBase64": base64.b64encode(DATA).decode(), "cms": False}

    def wait_for_consent(self, name):
        """The dialog, once its buttons take input."""
        dialog = wait_until(lambda: self.desktop.shown_window(DIALOG), 20)
        self.assertIsNotNone(dialog, "no consent dialog")
        self.assertTrue(wait_until(lambda: self.allow_armed(dialog, name)))
        shot = self.desktop.screenshot(dialog, os.path.join(SCREENSHOTS, name))
        self.assertGreater(unique_colours(shot), 20, "blank dialog " + shot)
        return dialog

    def answer(self, dialog, key=None):
        if key:
            self.desktop.press_in(dialog, key)
        else:
            self.assertEqual(self.desktop.command("wmctrl", "-c", DIALOG).returncode, 0)
        self.assertTrue(wait_until(lambda: self.desktop.shown_window(DIALOG) is None))

    def allowed_sites(self):
        if not os.path.exists(self.sites_file):
            return []
        with open(self.sites_file) as f:
            return [line.strip() for line in f if line.strip() and not line.startswith("#")]

    def show_main_window(self, item):
        self.tray.call(item, "org.kde.StatusNotifierItem.Activate", "0", "0")
        window = wait_until(lambda: self.desktop.shown_window("Norvale"))
        self.assertIsNotNone(window, "the main window did not show")
        return window

    def test_consent_lists_and_signature_trace(self):
        with self.agent() as agent:
            item = self.tray.next_item()
            window = self.show_main_window(item)

            # Allow (its keyboard shortcut) answers the request and is remembered.
            listing = Request({"action": "getCerts"}, SITE)
            self.answer(self.wait_for_consent("consent-allow.png"), "alt+c")
            self.assertEqual([c["serialNumber"] for c in listing.result()["certs"]],
                             [self.cert.serial_hex])
            self.assertEqual(self.allowed_sites(), [SITE])

            # Deny is the default button; the internationalised site is named both ways.
            refused = Request(self.sign(), IDN_SITE)
            self.answer(self.wait_for_consent("consent-idn.png"), "Return")
            self.assertEqual(list(refused.result().items()),
                             [("action", "sign"), ("error", "Get private key error"),
                              ("errorCode", REFUSED_CODE)])
            # The close box denies too, and a Deny is kept: no second dialog.
            closed = Request({"action": "getCerts"}, OTHER_SITE)
            self.answer(self.wait_for_consent("consent-close.png"))
            self.assertEqual(closed.result()["errorCode"], REFUSED_CODE)
            again = call({"action": "getCerts"}, headers={"Origin": OTHER_SITE})
            self.assertEqual(again["errorCode"], REFUSED_CODE)
            self.assertEqual(self.allowed_sites(), [SITE])

            # A signature for the allowed site: a notification, and a row in the history.
            self.desktop.press_in(window, "alt+h")
            before = self.desktop.screenshot(window, os.path.join(SCREENSHOTS, "history-0.png"))
            self.assertIn("signedData", call(self.sign(), headers={"Origin": SITE}))
            app, icon, summary, body = self.notifications.next_notification()
            self.assertEqual((app, icon), ("Quillmark", "quillmark"))
            self.assertIn(SITE, summary)
            digest = hashlib.sha256(DATA).hexdigest()[:16]
            self.assertEqual(body, f"Chứng thư “{self.cert.name}”\n{len(DATA)} byte dữ liệu, "
                                   f"SHA-256 {digest}")
            after = os.path.join(SCREENSHOTS, "history-1.png")
            self.assertTrue(wait_until(lambda: pixels_differing(
                before, self.desktop.screenshot(window, after)) > 200), "no row drawn")

            # The allowed site is listed; forgetting it takes it out of the file.
            self.desktop.press_in(window, "alt+t")
            self.desktop.xdotool("key", "Tab", "Tab")
            self.desktop.screenshot(window, os.path.join(SCREENSHOTS, "allowed-sites.png"))
            self.desktop.xdotool("key", "alt+q")
            self.assertTrue(wait_until(lambda: self.allowed_sites() == []), self.allowed_sites())

            # The sites refused in this run are listed; the first (sorted), allowed there, is
            # served from then on.
            self.desktop.press_in(window, "alt+b")
            geometry = self.desktop.xdotool("getwindowgeometry", "--shell", str(window))
            size = dict(line.split("=") for line in geometry.split())
            self.desktop.xdotool("mousemove", "--window", str(window), str(int(size["WIDTH"]) // 2),
                                 str(int(size["HEIGHT"]) // 2), "click", "1", "key", "Home")
            self.desktop.screenshot(window, os.path.join(SCREENSHOTS, "refused-sites.png"))
            self.desktop.xdotool("key", "alt+c")
            self.assertTrue(wait_until(lambda: self.allowed_sites() == [OTHER_SITE]))
            self.assertIn("certs", call({"action": "getCerts"}, headers={"Origin": OTHER_SITE}))

            # A stop while a dialog waits closes it: the request is refused or its connection
            # closed as the server stops, never served, and the stop does not wait for it.
            pending = Request({"action": "getCerts"}, SITE)
            self.wait_for_consent("consent-stop.png")
            self.assertEqual(agent.stop(), 0, agent.stderr())
            reply = pending.result()
            self.assertFalse(pending.is_alive())
            if isinstance(reply, dict):
                self.assertEqual(reply["errorCode"], REFUSED_CODE)


    def allow_armed(self, dialog, name):
        """Whether the Allow button's label is drawn black, as a button that takes input; it
        sits at the same place from the dialog's bottom right corner whatever the site."""
        shot = self.desktop.screenshot(dialog, os.path.join(SCREENSHOTS, name), frame=False)
        darkest = subprocess.run(["/usr/bin/convert", shot, "-gravity", "SouthEast", "-crop",
                                  "60x14+110+17", "-format", "%[fx:minima.intensity*255]", "info:"],
                                 capture_output=True, text=True).stdout
        return float(darkest) < 100

    def window_height(self, window):
        geometry = self.desktop.xdotool("getwindowgeometry", "--shell", str(window))
        return int(dict(line.split("=") for line in geometry.split())["HEIGHT"])

    def refused_dialog(self, origin, name):
        """Shows a site's dialog, denies it, and gives its height and its screenshot (without
        the window frame)."""
        request = Request({"action": "getCerts"}, origin)
        dialog = self.wait_for_consent(name)
        height = self.window_height(dialog)
        shot = self.desktop.screenshot(dialog, os.path.join(SCREENSHOTS, name), frame=False)
        self.answer(dialog, "Return")
        self.assertEqual(request.result()["errorCode"], REFUSED_CODE)
        return height, shot

    def test_a_lookalike_of_an_allowed_site_is_warned_of_in_both_agents_alike(self):
        """The warning takes lines of its own, drawn alike by the desktop agent's dialog and by
        quillmark-consent, which is told of it over its pipe."""
        drawn = {}
        sites = ((LOOKALIKE, "lookalike"), (OTHER_SITE, "plain"))
        for kind, path in (("desktop", QUILLMARKXP), ("headless", None)):
            agent = self.agent(path=path)
            allow_sites(agent.home, IMITATED)
            with agent:
                drawn[kind] = [self.refused_dialog(origin, f"consent-{name}-{kind}.png")
                               for origin, name in sites]
        (lookalike, _), (plain, _) = drawn["desktop"]
        self.assertGreater(lookalike - plain, 12, "no warning line drawn")
        for (height, shot), (headless_height, headless_shot) in zip(drawn["desktop"],
                                                                   drawn["headless"]):
            self.assertEqual(height, headless_height)
            self.assertLess(pixels_differing(shot, headless_shot), 100, headless_shot)

    def test_headless_agent_dialog_takes_nothing_in_its_first_second(self):
        with self.agent(path=None):
            listing = Request({"action": "getCerts"}, LOOKALIKE)
            dialog = wait_until(lambda: self.desktop.shown_window(DIALOG), 20)
            self.assertIsNotNone(dialog, "no consent dialog")
            geometry = self.desktop.xdotool("getwindowgeometry", "--shell", str(dialog))
            size = dict(line.split("=") for line in geometry.split())
            allow = (str(int(size["WIDTH"]) - 141), str(int(size["HEIGHT"]) - 24))
            # Keys meant for the page, and a click on Allow, as the dialog appears.
            self.desktop.xdotool("key", "Return", "space", "mousemove", "--window", str(dialog),
                                 *allow, "click", "1")
            self.assertFalse(self.allow_armed(dialog, "consent-early.png"), "too late a test")
            self.assertTrue(wait_until(lambda: self.allow_armed(dialog, "consent-armed.png")))
            self.assertIsNotNone(self.desktop.shown_window(DIALOG))
            self.assertTrue(listing.is_alive())
            self.desktop.xdotool("mousemove", "--window", str(dialog), *allow, "click", "1")
            self.assertEqual([c["serialNumber"] for c in listing.result()["certs"]],
                             [self.cert.serial_hex])
            self.assertEqual(self.allowed_sites(), [LOOKALIKE])


if __name__ == "__main__":
    unittest.main()
