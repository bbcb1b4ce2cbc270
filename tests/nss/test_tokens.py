"""Tokens registered the way Debian registers them: SoftHSM through a p11-kit `.module` file
in the user's configuration, the agent running as an unprivileged user (p11-kit reads no
user configuration for root)."""

import base64
import json
import os
import shutil
import socket
import subprocess
import threading
import unittest

from agent import PORT, Agent, call, executable
from pki import P12_PASSWORD, SOFTHSM_MODULE, run
from test_pin_entry import PinTestBase, pki

REMOVABLE_TOKEN_MODULE = os.path.join(os.environ.get("QUILLMARK_BUILD_DIR", ""), "tests", "nss",
                                      "removable_token", "libremovable_token.so")
PIN_PAD_MODULE = os.path.join(os.environ.get("QUILLMARK_BUILD_DIR", ""), "tests", "nss",
                              "pin_pad_token", "libpin_pad_token.so")
ON_THE_READER = "%0ANhập mã PIN của Quillmark Token trên bàn phím của đầu đọc thẻ nếu bạn đồng ý."
TOKEN_PIN = "4321"
LABEL = "Quillmark Token"
AS_USER = ["unshare", "-U", "--map-user=1000", "--map-group=1000", "--"]


def make_token(test):
    """A SoftHSM token in the test's HOME holding the test's user certificate with its key and
    the intermediate CA, put there through a scratch database of the test's own. Sets
    `test.token_env` for the agent and gives the environment of SoftHSM's tools."""
    softhsm = os.path.join(test.home, "softhsm")
    tokens = os.path.join(softhsm, "tokens")
    os.makedirs(tokens)
    conf = os.path.join(softhsm, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write(f"directories.tokendir = {tokens}\nobjectstore.backend = file\n"
                "log.level = ERROR\n")
    test.token_env = {"SOFTHSM2_CONF": conf, "XDG_CONFIG_HOME": test.home + "/config"}
    env = dict(os.environ, SOFTHSM2_CONF=conf)
    run(["softhsm2-util", "--init-token", "--free", "--label", LABEL, "--pin", TOKEN_PIN,
         "--so-pin", TOKEN_PIN + "-so"], env=env)
    scratch = os.path.join(test.tools, "scratch")
    os.makedirs(scratch)
    run(["certutil", "-N", "-d", "sql:" + scratch, "--empty-password"])
    run(["modutil", "-force", "-add", "softhsm", "-libfile", SOFTHSM_MODULE, "-dbdir",
         "sql:" + scratch], env=env)
    run(["pk12util", "-i", test.cert.p12, "-d", "sql:" + scratch, "-h", LABEL,
         "-W", P12_PASSWORD, "-K", TOKEN_PIN], env=env)
    pin_file = os.path.join(test.tools, "token-pin")
    with open(pin_file, "w") as f:
        f.write(TOKEN_PIN + "\n")
    run(["certutil", "-A", "-d", "sql:" + scratch, "-h", LABEL, "-f", pin_file,
         "-n", "token-intermediate", "-t", ",,", "-i", pki.intermediate["pem"]], env=env)
    return env


def register_module(test, name, library, options=""):
    """Registers the library with p11-kit in the user's configuration."""
    modules = os.path.join(test.home, "config", "pkcs11", "modules")
    os.makedirs(modules, exist_ok=True)
    with open(os.path.join(modules, name + ".module"), "w") as f:
        f.write(f"module: {library}\n{options}")


def token_agent(test, answers):
    """An agent of an unprivileged user, who has p11-kit configuration of their own."""
    agent = PinTestBase.agent(test, answers, env=test.token_env)
    agent.wrapper = AS_USER
    return agent


def listed():
    return [e["serialNumber"] for e in call({"action": "getCerts"})["certs"]]


class RegisteredTokenTest(PinTestBase):
    """The soft token holds one user certificate; the token another and the intermediate CA.
    The token is reached twice: through p11-kit (a copy of SoftHSM's library named in the
    user's softhsm2.module, which hides the system's entry) and through modutil."""

    def setUp(self):
        super().setUp()
        self.soft_cert = pki.users["sha1"]
        db = pki.install(self.home, users=["sha1"])
        env = make_token(self)
        run(["modutil", "-force", "-add", "softhsm", "-libfile", SOFTHSM_MODULE, "-dbdir",
             "sql:" + db], env=env)
        library = os.path.join(self.tools, "libsofthsm2-copy.so")
        shutil.copy(SOFTHSM_MODULE, library)
        register_module(self, "softhsm2", library)

    def agent(self, answers):
        return token_agent(self, answers)

    def listed(self):
        return listed()

    def test_listed_once_without_a_pin_and_signs_with_it(self):
        with self.agent([TOKEN_PIN]) as agent:
            listed = self.listed()
            self.assertEqual(self.runs(), [])
            self.assert_signed(self.sign())
            self.assertEqual(self.listed(), listed)
            log = agent.log_texts()
        self.assertEqual(sorted(listed), sorted([self.cert.serial_hex,
                                                 self.soft_cert.serial_hex]))
        self.assertEqual(len(self.runs()), 1)
        description = next(line for line in self.runs()[0] if line.startswith("SETDESC "))
        self.assertIn(f"Nhập mã PIN của {LABEL}", description)
        self.assertIn(self.cert.name, description)
        self.assertFalse([line for line in log if line.startswith("Token module not loaded")])

    def test_cancel_and_wrong_then_cancel_are_error_replies(self):
        with self.agent(["cancel", "wrong", "cancel", TOKEN_PIN]) as agent:
            self.assert_key_error(self.sign())
            self.assert_key_error(self.sign(cms=True))
            self.assert_signed(self.sign())
            log = agent.log_texts()
        self.assertEqual(log.count("CryptAcquireCertificatePrivateKey error"), 2)
        self.assertEqual(log.count(f"No private key on {LABEL}: PIN dialog cancelled"), 2)

    def test_wrong_then_right_pin_signs(self):
        with self.agent(["wrong", TOKEN_PIN]):
            self.assert_signed(self.sign())
        self.assertEqual(len(self.runs()), 2)

    def test_a_module_that_does_not_load_costs_nothing_else(self):
        with open(os.path.join(self.home, "config", "pkcs11", "modules", "broken.module"),
                  "w") as f:
            f.write(f"module: {self.tools}/scratch/cert9.db\n")
        with self.agent([]):
            self.assertIn(self.cert.serial_hex, self.listed())


class ModuleCheckTest(PinTestBase):
    """What `quillmarkd --check` says of SoftHSM, registered through p11-kit, when it cannot
    start: the module itself returns no more than CKR_GENERAL_ERROR."""

    def setUp(self):
        super().setUp()
        pki.install(self.home, users=["sha1"])
        register_module(self, "softhsm2", SOFTHSM_MODULE)
        self.tokens = os.path.join(self.home, "tokens")
        os.makedirs(self.tokens)
        self.conf = os.path.join(self.home, "softhsm2.conf")
        with open(self.conf, "w") as f:
            f.write(f"directories.tokendir = {self.tokens}\n")

    def check(self):
        """The module's line and its problem, as the unprivileged user sees them."""
        result = subprocess.run(
            AS_USER + [executable(), "--check"], capture_output=True, text=True, timeout=60,
            env=dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=self.home + "/config",
                     SOFTHSM2_CONF=self.conf, DISPLAY="", WAYLAND_DISPLAY=""))
        return [line for line in result.stdout.splitlines() if "softhsm2 (" in line]

    def assert_told(self, cause, advice=None):
        module = f"softhsm2 ({SOFTHSM_MODULE})"
        cause = "it did not start (CKR_GENERAL_ERROR), as " + cause
        self.assertEqual(self.check(), [
            f"Token module {module}: could not be loaded: {cause}",
            f"Problem: The token module {module} could not be loaded: {cause}. {advice}"])

    def test_the_files_it_needs_tell_why_it_did_not_start(self):
        self.assertEqual(self.check(), [f"Token module softhsm2 ({SOFTHSM_MODULE}): loaded"])
        own = (" Or give SoftHSM a configuration of your own, with a token folder of your own, "
               "through SOFTHSM2_CONF.")

        os.chmod(self.conf, 0)
        self.assert_told(f"its configuration file {self.conf}, named by SOFTHSM2_CONF, cannot "
                         "be read (Permission denied)",
                         f"{self.conf} is yours: open it to yourself with: chmod u+rX "
                         f"{self.conf}.{own}")
        os.unlink(self.conf)
        self.assert_told(f"its configuration file {self.conf}, named by SOFTHSM2_CONF, is "
                         "missing",
                         "Set SOFTHSM2_CONF to a configuration file that exists, or unset it.")

        # A token folder of another user, open to a group the user is not in.
        with open(self.conf, "w") as f:
            f.write(f"directories.tokendir = {self.tokens}\n")
        os.chown(self.tokens, 65534, 65534)
        os.chmod(self.tokens, 0o750)
        self.assert_told(f"its token folder {self.tokens} cannot be opened (Permission denied)",
                         "Ask the administrator to add you to the group nogroup, which may open "
                         f"{self.tokens}.{own}")


class ModuleInstalledWhileRunningTest(PinTestBase):
    """A token driver installed while the agent runs: its `.module` file appears in the
    user's p11-kit folder (where the system's SoftHSM entry is hidden from the agent)."""

    def test_the_token_is_used_from_the_next_request(self):
        pki.install(self.home, users=["sha1"])
        make_token(self)
        register_module(self, "softhsm2", SOFTHSM_MODULE, "disable-in: quillmarkd\n")
        with token_agent(self, [TOKEN_PIN]):
            self.assertEqual(listed(), [pki.users["sha1"].serial_hex])
            library = os.path.join(self.tools, "libsofthsm2-copy.so")
            shutil.copy(SOFTHSM_MODULE, library)
            register_module(self, "installed-later", library)
            self.assertIn(self.cert.serial_hex, listed())
            self.assert_signed(self.sign())


class RemovableTokenTest(PinTestBase):
    """The token behind a removable slot of a module p11-kit registers (SoftHSM wrapped by a
    test module), plugged in and pulled out while the agent runs. Each request comes right
    after the change, sooner than NSS would look at the slot again by itself."""

    def setUp(self):
        super().setUp()
        pki.install(self.home, users=[])
        make_token(self)
        self.present = os.path.join(self.tools, "token-present")
        self.token_env["REMOVABLE_TOKEN_PRESENT"] = self.present
        # Named as the system's entry for SoftHSM itself, which it hides: one route to the token.
        register_module(self, "softhsm2", REMOVABLE_TOKEN_MODULE)

    def plug(self, present):
        if present:
            open(self.present, "w").close()
        else:
            os.remove(self.present)

    def test_plugged_in_signs_at_once_and_pulled_out_is_gone(self):
        with token_agent(self, [TOKEN_PIN, TOKEN_PIN]) as agent:
            self.assertEqual(listed(), [])
            self.plug(True)
            self.assert_signed(self.sign())
            self.assertEqual(listed(), [self.cert.serial_hex])
            self.plug(False)
            self.assertEqual(listed(), [])
            self.plug(True)
            self.assert_signed(self.sign())
            log = agent.log_texts()
        # Pulled out, the token forgot its login: the PIN was asked again.
        self.assertEqual(len(self.runs()), 2)
        self.assertFalse([line for line in log if line.startswith("Token module not loaded")])


class PinPadTest(PinTestBase):
    """The token behind a reader with a keypad (SoftHSM wrapped by a test module): its login
    without a PIN waits, as for the user typing on the reader, until the test says how it ends.
    The dialog has no entry field: the stand-in pinentry holds it open until the agent closes it."""

    def setUp(self):
        super().setUp()
        pki.install(self.home, users=["sha1"])
        make_token(self)
        self.control = os.path.join(self.tools, "keypad")
        self.token_env["PIN_PAD_TOKEN_CONTROL"] = self.control
        register_module(self, "softhsm2", PIN_PAD_MODULE)
        self.keypad("pending", wait=60000)

    def keypad(self, outcome, wait=60000):
        with open(self.control + ".new", "w") as f:
            f.write(f"pin {TOKEN_PIN}\nwait {wait}\noutcome {outcome}\n")
        os.replace(self.control + ".new", self.control)  # the module never reads half of it

    def logins(self):
        with open(self.control + ".log") as f:
            return f.read().split("\n")[:-1]

    def until(self, check, what):
        for _ in range(600):
            if check():
                return
            threading.Event().wait(0.05)
        self.fail(what)

    def wait_for_dialog(self, count, shown="MESSAGE\n"):
        def opened():
            with open(self.transcript) as f:
                return f.read().count(shown) >= count
        self.until(opened, "the dialog never opened")

    def at_the_reader(self, *outcomes, meanwhile=lambda: None, **sign_arguments):
        """Signs while the user does the next of `outcomes` at the reader once each dialog is up,
        after calling `meanwhile` at the first."""
        replies = []
        signing = threading.Thread(target=lambda: replies.append(self.sign(**sign_arguments)))
        signing.start()
        shown = len(self.runs())
        for outcome in outcomes:
            shown += 1
            self.wait_for_dialog(shown)
            meanwhile()
            meanwhile = lambda: None
            self.keypad(outcome)
        signing.join()
        return replies[0]

    def test_the_pin_typed_on_the_reader_signs(self):
        with token_agent(self, ["hold"]):
            self.assert_signed(self.at_the_reader("login"))
        self.assertEqual(self.logins(), ["waiting", "returned 0"])
        [run] = self.runs()
        self.assertNotIn("GETPIN", run)
        self.assertEqual(run[-2:], ["MESSAGE", "terminated"])
        self.assertIn("SETOK Huỷ", run)
        self.assertTrue(any(c.startswith("SETDESC Một chương trình") and c.endswith(ON_THE_READER)
                            for c in run), run)

    def test_a_key_that_asks_at_each_use_shows_the_dialog_for_each_signature(self):
        self.token_env["PIN_PAD_TOKEN_EACH_USE"] = "1"
        with token_agent(self, ["hold"] * 3 + ["cancel"]):
            # The token's login, then the key's own for the signature; the next asks again.
            self.assert_signed(self.at_the_reader("login", "login"))
            self.assert_signed(self.at_the_reader("login"))
            # Cancelled, then typed on the reader all the same: NSS's login could not be
            # broken off, and the signature it allowed is refused.
            refused = self.at_the_reader("login")
            self.assert_status("allowed", "pinCancelled")
        self.assertEqual(refused["error"], "Error during CryptSignHash.")
        self.assertEqual(self.logins(), ["waiting", "returned 0"] * 4)
        self.assertEqual(len(self.runs()), 4)

    def test_a_key_that_asks_at_each_use_signs_a_cms_message_for_a_site(self):
        # The token's login, the key's own for the signature, and again for the message: the
        # token's login is this site's at each of them.
        self.token_env["PIN_PAD_TOKEN_EACH_USE"] = "1"
        site = "https://portal.example"
        folder = os.path.join(self.token_env["XDG_CONFIG_HOME"], "quillmark")
        os.makedirs(folder)
        with open(os.path.join(folder, "allowed-sites"), "w") as f:
            f.write(site + "\n")
        with token_agent(self, ["hold"] * 3) as agent:
            reply = self.at_the_reader("login", "login", "login", cms=True,
                                       headers={"Origin": site})
            log = agent.log_texts()
        self.assertIn("signedData", reply)
        self.assertEqual(self.logins(), ["waiting", "returned 0"] * 3)
        self.assertFalse([line for line in log if line.startswith("Logged out")], log)
        self.assertTrue(all(any(site in c for c in run) for run in self.runs()), self.runs())

    def test_a_wrong_pin_a_time_out_and_a_token_pulled_out_fail_as_a_wrong_pin(self):
        with token_agent(self, ["hold"] * 4) as agent:
            for outcomes in [("wrong-pin", "wrong-pin"), (), ("removed",)]:
                self.keypad("pending", wait=60000 if outcomes else 200)
                self.assert_key_error(self.at_the_reader(*outcomes))
                self.assert_status("allowed", "wrongPin")
            log = agent.log_texts()
        causes = [line.split(": ")[1] for line in log if line.startswith(f"No private key on {LABEL}")]
        self.assertEqual(causes, ["SEC_ERROR_BAD_PASSWORD", "SEC_ERROR_PKCS11_FUNCTION_FAILED",
                                  "SEC_ERROR_NO_TOKEN"])
        self.assertEqual(self.logins(), ["waiting", "returned 160"] * 2 +
                         ["waiting", "returned 6", "waiting", "returned 50"])
        self.assertTrue(any(c.startswith("SETDESC Mã PIN không đúng") for c in self.runs()[1]))

    def test_a_page_that_goes_away_closes_the_dialog(self):
        body = json.dumps({"action": "sign", "serialNumber": self.cert.serial_hex,
                           "dataBase64": "AA==", "cms": False}).encode()
        with token_agent(self, ["hold"]):
            with socket.create_connection(("127.0.0.1", PORT)) as page:
                page.sendall(b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n"
                             % len(body) + body)
                self.wait_for_dialog(1)
            self.wait_for_dialog(1, "MESSAGE\nterminated\n")
            self.keypad("login")  # the reader still waits: the agent cannot break its login off

    def test_cancel_answers_at_once_and_a_pin_typed_after_is_logged_out(self):
        with token_agent(self, ["cancel"]) as agent:
            # The reader goes on waiting: it gets the PIN only once the reply has come.
            self.assert_key_error(self.sign())
            self.assert_status("allowed", "pinCancelled")
            self.assertIn(f"No private key on {LABEL}: PIN dialog cancelled", agent.log_texts())
            self.keypad("login")
            self.until(lambda: any(line.startswith(f"Logged out of {LABEL}")
                                   for line in agent.log_texts()), "the late login stayed")
        self.assertEqual(self.logins(), ["waiting", "returned 0"])

    def test_a_login_that_another_request_ends_meanwhile_is_not_taken_for_a_keys_own(self):
        # The token logs in as the PIN callback asks whether it is logged in (the third session
        # the sign opens, after the request logged out other sites' logins), as another site's
        # keypad login ending then would. This request still needs its own PIN: the reader's
        # first answer is wrong, and the second never comes. Before, it signed.
        with open(self.control, "w") as f:
            f.write(f"pin {TOKEN_PIN}\nwait 200\noutcome wrong-pin\nlogin-at-open 3\n")
        with token_agent(self, ["hold"] * 2) as agent:
            self.assert_key_error(self.sign())
            self.assert_status("allowed", "wrongPin")
            log = agent.log_texts()
        self.assertEqual(self.logins(), ["logged in at open: 0", "waiting", "returned 160",
                                         "waiting", "returned 6"])
        self.assertIn(f"Logged out of {LABEL}: another request logged in while this one was "
                      "about to ask for its PIN", log)

    def test_other_requests_are_served_while_the_reader_waits(self):
        soft = pki.users["sha1"]
        served = []

        def meanwhile():
            served.append(listed())  # the token's certificate is left out while it waits
            served.append(call({"action": "sign", "serialNumber": soft.serial_hex,
                                "dataBase64": "AA==", "cms": False}))
        with token_agent(self, ["hold"]):
            self.assert_signed(self.at_the_reader("login", meanwhile=meanwhile))
        self.assertEqual(served[0], [soft.serial_hex])
        self.assertIn("signedData", served[1])


if __name__ == "__main__":
    unittest.main()
