"""The PIN path: a password-protected NSS database and a test pinentry first on PATH."""

import base64
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

import payload
from agent import Agent, allow_sites, call, stand_in_pinentry
from pki import nss_database_path, openssl_verify_signature, shared_pki
from websocket_client import greeted

PIN = "12%34 ế"  # escaped on the Assuan line
DATA = b"data behind a PIN"
LOCAL_PROGRAM = "Một chương trình trên máy này yêu cầu ký số"
SITE = "https://portal.example"
OTHER_SITE = "https://other.example"
NO_DIALOG_LOG = "No usable PIN dialog program; install pinentry-gnome3 or pinentry-qt"
NO_SESSION_LOG = ("No PIN dialog: no graphical session (DISPLAY and WAYLAND_DISPLAY are not set);"
                  " pass it to the user service with: systemctl --user import-environment"
                  " DISPLAY WAYLAND_DISPLAY XAUTHORITY")
TRIES_LOW = "Mã PIN đã bị nhập sai: chỉ còn ít lần thử trước khi mã PIN bị khoá."

pki = shared_pki()


class PinTestBase(unittest.TestCase):
    """An agent with its own HOME and the test pinentry first on its PATH."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quillmark-home-")
        self.tools = tempfile.mkdtemp(prefix="quillmark-pinentry-")
        self.cert = pki.users["vietnamese"]
        stand_in_pinentry(self.tools)
        self.answers = os.path.join(self.tools, "answers")
        self.transcript = os.path.join(self.tools, "transcript")
        open(self.transcript, "w").close()

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)
        shutil.rmtree(self.tools, ignore_errors=True)

    def agent(self, answers, path=None, env=None, wrapper=()):
        """An agent outside any graphical session unless `env` gives it one."""
        with open(self.answers, "w") as f:
            f.write(",".join(answers))
        return Agent(home=self.home, env={
            "PATH": path if path is not None else self.tools + os.pathsep + os.environ["PATH"],
            "DISPLAY": "", "WAYLAND_DISPLAY": "",
            "PINENTRY_STUB_ANSWERS": self.answers,
            "PINENTRY_STUB_TRANSCRIPT": self.transcript, **(env or {})}, wrapper=wrapper)

    def runs(self):
        """The lines of each pinentry run: "program <name>", then the commands it got."""
        with open(self.transcript) as f:
            text = f.read()
        return [run.strip("\n").split("\n") for run in text.split("--\n") if run.strip()]

    def awaiting_dialog(self, timeout=20.0):
        """The process id of the dialog that the test pinentry holds ("await")."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for run in self.runs():
                for line in run:
                    if line.startswith("awaiting "):
                        return int(line.split()[1])
            time.sleep(0.05)
        raise AssertionError("no dialog waits")

    def sign(self, cms=False, **kwargs):
        return call({"action": "sign", "serialNumber": self.cert.serial_hex,
                     "dataBase64": base64.b64encode(DATA).decode(), "cms": cms}, **kwargs)

    def assert_status(self, site, last_failure, origin=None):
        reply = call({"action": "status"}, headers={"Origin": origin} if origin else None)
        self.assertEqual(list(reply.items()), [("action", "status"), ("version", "v1.00.04"),
                                               ("site", site), ("lastFailure", last_failure)])

    def assert_key_error(self, reply):
        self.assertEqual(list(reply), ["action", "error", "errorCode"])
        self.assertEqual(reply["error"], "Get private key error")
        self.assertGreater(reply["errorCode"], 0x80000000)

    def assert_signed(self, reply):
        signature = base64.b64decode(reply["signedData"])
        self.assertTrue(openssl_verify_signature(self.cert, DATA, signature, self.tools))

    def assert_pin_asked_per_site(self, pin, env=None):
        """Two allowed sites in turn: a login serves only the site that typed its PIN, and a
        run of signatures from that site asks once."""
        allow_sites(self.home, SITE, OTHER_SITE)
        order = [SITE, SITE, OTHER_SITE, OTHER_SITE, SITE]
        with self.agent([pin] * 3, env=env):
            for origin in order:
                self.assert_signed(self.sign(headers={"Origin": origin}))
                self.assertIn("signedData", self.sign(cms=True, headers={"Origin": origin}))
        asked = [next(c for c in run if c.startswith("SETDESC")) for run in self.runs()]
        self.assertEqual(len(asked), 3)
        for site, description in zip([SITE, OTHER_SITE, SITE], asked):
            self.assertTrue(description.startswith(f"SETDESC Trang web {site} "), description)


class PinEntryTest(PinTestBase):
    """A database protected by a password."""

    def setUp(self):
        super().setUp()
        pki.install(self.home, password=PIN, users=["vietnamese"])

    def test_listing_needs_no_pin(self):
        with self.agent([]):
            reply = call({"action": "getCerts"})
        self.assertEqual([e["serialNumber"] for e in reply["certs"]], [self.cert.serial_hex])
        self.assertEqual(self.runs(), [])

    def test_cancel_then_the_right_pin_then_no_more_prompts(self):
        with self.agent(["cancel", PIN]) as agent:
            reply = self.sign()
            self.assert_key_error(reply)
            log = agent.log_texts()
            index = log.index("CryptAcquireCertificatePrivateKey error")
            self.assertEqual(log[index + 1], format(reply["errorCode"], "x"))
            self.assertIn("No private key on NSS Certificate DB: PIN dialog cancelled", log)
            self.assert_status("allowed", "pinCancelled")
            self.assert_signed(self.sign())
            # The login is kept: neither a second raw nor a CMS signature asks again.
            self.assert_signed(self.sign())
            self.assertIn("signedData", self.sign(cms=True))
            log = "\n".join(agent.log_texts())
        runs = self.runs()
        self.assertEqual(len(runs), 2)
        self.assertIn("GETPIN", runs[0])
        # No Origin: a local program asks, with this certificate, for this token's PIN.
        self.assertIn(f"SETDESC {LOCAL_PROGRAM} bằng chứng thư “{self.cert.name}”.%0A"
                      "Nhập mật khẩu của kho chứng thư số trên máy này nếu bạn đồng ý.", runs[0])
        for words in ["SETTITLE Quillmark: mật khẩu kho chứng thư số", "SETPROMPT Mật khẩu:",
                      "SETOK Ký số", "SETCANCEL Huỷ"]:
            self.assertIn(words, runs[0])
        self.assertFalse(any(c.startswith("SETERROR") for c in runs[0] + runs[1]))
        self.assertNotIn(PIN, log)

    def test_the_dialog_names_the_site_that_asks(self):
        allow_sites(self.home, SITE)
        # Each agent logs in once: the second asks again, for the WebSocket request.
        with self.agent([PIN]):
            self.assert_signed(self.sign(headers={"Origin": SITE}))
        with self.agent([PIN]):
            enciphered = base64.b64encode(payload.encrypt(DATA)).decode()
            with greeted(origin=SITE) as connection:
                reply = json.loads(connection.request(
                    f'{{"action":"sign","serialNumber":"{self.cert.serial_hex}",'
                    f'"dataBase64":"{enciphered}","cms":false}}'))
            self.assertIn("signedData", reply)
        runs = self.runs()
        self.assertEqual(len(runs), 2)
        for run in runs:
            self.assertTrue(any(c.startswith(f"SETDESC Trang web {SITE} yêu cầu ký số") for c in run),
                            run)

    def test_the_password_unlocks_the_store_for_its_own_site(self):
        self.assert_pin_asked_per_site(PIN)

    def test_one_more_try_after_a_wrong_pin(self):
        with self.agent(["wrong", PIN]):
            self.assert_signed(self.sign())
        runs = self.runs()
        self.assertEqual(len(runs), 2)
        self.assertTrue(any(c.startswith("SETERROR ") for c in runs[1]))

    def test_two_wrong_pins_give_up(self):
        with self.agent(["wrong", "wrong again", PIN]):
            self.assert_key_error(self.sign())
            self.assertEqual(len(self.runs()), 2)
            self.assert_status("allowed", "wrongPin")
            # The next request starts a new login.
            self.assert_signed(self.sign())
        self.assertEqual(len(self.runs()), 3)

    def test_no_pinentry_program(self):
        empty = os.path.join(self.tools, "empty")
        os.mkdir(empty)
        with self.agent([], path=empty, env={"WAYLAND_DISPLAY": "wayland-0"}) as agent:
            self.assert_key_error(self.sign())
            self.assert_key_error(self.sign(cms=True))
            self.assert_status("allowed", "noDialog")
            self.assertIn(NO_DIALOG_LOG, agent.log_texts())
            self.assertIn("No private key on NSS Certificate DB: no PIN dialog could be shown",
                          agent.log_texts())


class PasswordChangeTest(PinTestBase):
    """The store's password set, then changed, by another program while the agent runs."""

    def change_password(self, old, new):
        files = []
        for text in (old, new):
            handle, name = tempfile.mkstemp(dir=self.tools)
            with os.fdopen(handle, "w") as f:
                f.write(text + "\n")
            files.append(name)
        subprocess.run(["certutil", "-W", "-d", "sql:" + nss_database_path(self.home),
                        "-f", files[0], "-@", files[1]], check=True, capture_output=True)

    def test_signing_asks_for_the_new_password(self):
        pki.install(self.home, users=["vietnamese"])
        allow_sites(self.home, SITE, OTHER_SITE)
        with self.agent([PIN, "other"]):
            for origin in [SITE, OTHER_SITE, SITE]:
                self.assert_signed(self.sign(headers={"Origin": origin}))
            # Without a password there is nothing to ask: the Allow stands.
            self.assertEqual(self.runs(), [])
            self.change_password("", PIN)
            self.assert_signed(self.sign())
            self.assertEqual(len(self.runs()), 1)
            self.change_password(PIN, "other")
            self.assert_signed(self.sign())
        self.assertEqual(len(self.runs()), 2)


class PinProgramTest(PinTestBase):
    """Which pinentry asks: stand-ins named as the real programs, alone on PATH."""

    def setUp(self):
        super().setUp()
        pki.install(self.home, password=PIN, users=["vietnamese"])
        self.path = os.path.join(self.tools, "bin")
        os.mkdir(self.path)
        for name in ["pinentry", "pinentry-gnome3", "pinentry-qt"]:
            stand_in_pinentry(self.path, name)
        # "pinentry" is the curses one, and so is pinentry-gnome3 when GNOME's prompter is
        # missing: neither can show a dialog without a terminal.
        self.curses = {"PINENTRY_STUB_CURSES": "pinentry,pinentry-gnome3"}

    def test_a_graphical_session_gets_a_graphical_dialog(self):
        env = {"DISPLAY": ":7", "LC_ALL": "", "LC_CTYPE": "vi_VN.UTF-8", **self.curses}
        with self.agent([PIN], path=self.path, env=env):
            self.assert_signed(self.sign())
        runs = self.runs()
        self.assertEqual([run[0] for run in runs], ["program pinentry-gnome3", "program pinentry-qt"])
        self.assertIn("OPTION display=:7", runs[1])
        self.assertIn("OPTION lc-ctype=vi_VN.UTF-8", runs[1])
        # Without a terminal there is no terminal to name.
        self.assertFalse(any(c.startswith("OPTION ttyname") for c in runs[1]))

    def test_without_a_graphical_session_only_pinentry_is_tried(self):
        with self.agent([PIN], path=self.path, env=self.curses) as agent:
            self.assert_key_error(self.sign())
            self.assertIn(NO_SESSION_LOG, agent.log_texts())
            self.assertNotIn(NO_DIALOG_LOG, agent.log_texts())
        self.assertEqual([run[0] for run in self.runs()], ["program pinentry"])

    def test_an_open_dialog_is_closed_when_the_agent_stops(self):
        agent = self.agent(["hold"], path=self.path, env={"DISPLAY": ":7"}).start()
        try:
            threading.Thread(target=self.sign_ignoring_the_reply, daemon=True).start()
            self.assertTrue(self.wait_for_dialog(), "the dialog never opened")
        finally:
            self.assertEqual(agent.stop(), 0)
        runs = self.runs()
        self.assertEqual(len(runs), 1)
        self.assertEqual(runs[0][0], "program pinentry-gnome3")
        # The stand-in waits for a signal once asked for the PIN: the agent sent SIGTERM.
        self.assertEqual(runs[0][-2:], ["GETPIN", "terminated"])

    def sign_ignoring_the_reply(self):
        try:
            self.sign()
        except OSError:
            pass  # the agent went away

    def wait_for_dialog(self):
        for _ in range(600):
            with open(self.transcript) as f:
                if "GETPIN" in f.read():
                    return True
            threading.Event().wait(0.05)
        return False


class TokenTest(PinTestBase):
    """A SoftHSM token registered in an unprotected database stands in for a USB token."""

    TOKEN_PIN = "4321"

    def setUp(self):
        super().setUp()
        pki.install(self.home, users=["sha1"])
        self.token_env = pki.add_softhsm_token(self.home, "Quillmark Token", self.TOKEN_PIN,
                                               ["vietnamese"])

    def test_token_certificate_is_listed_and_signs_after_one_pin(self):
        with self.agent([self.TOKEN_PIN], env=self.token_env):
            self.assert_signed(self.sign())
            listed = [e["serialNumber"] for e in call({"action": "getCerts"})["certs"]]
            self.assert_signed(self.sign())
            message = base64.b64decode(self.sign(cms=True)["signedData"])
        self.assertEqual(sorted(listed), sorted([self.cert.serial_hex,
                                                 pki.users["sha1"].serial_hex]))
        self.assertTrue(message)
        runs = self.runs()
        self.assertEqual(len(runs), 1)
        self.assertTrue(any(c.startswith(f"SETDESC {LOCAL_PROGRAM}") and
                            c.endswith("%0ANhập mã PIN của Quillmark Token nếu bạn đồng ý.")
                            for c in runs[0]), runs[0])

    def test_the_pin_unlocks_the_token_for_its_own_site(self):
        self.assert_pin_asked_per_site(self.TOKEN_PIN, env=self.token_env)
        self.assertIn("SETPROMPT Mã PIN:", self.runs()[0])

    def test_after_a_wrong_pin_the_dialog_says_few_tries_are_left(self):
        with self.agent(["wrong", self.TOKEN_PIN], env=self.token_env):
            self.assert_signed(self.sign())
        first, second = self.runs()
        self.assertFalse(any(TRIES_LOW in c for c in first))
        self.assertTrue(any(c.startswith("SETDESC") and c.endswith("%0A" + TRIES_LOW)
                            for c in second), second)


if __name__ == "__main__":
    unittest.main()
