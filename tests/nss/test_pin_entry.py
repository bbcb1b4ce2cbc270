"""The PIN path: a password-protected NSS database and a test pinentry first on PATH."""

import base64
import os
import shutil
import stat
import tempfile
import unittest

from agent import Agent, call
from pki import openssl_verify_signature, shared_pki

PIN = "12%34 ế"  # escaped on the Assuan line
DATA = b"data behind a PIN"

pki = shared_pki()


class PinTestBase(unittest.TestCase):
    """An agent with its own HOME and the test pinentry first on its PATH."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quillmark-home-")
        self.tools = tempfile.mkdtemp(prefix="quillmark-pinentry-")
        self.cert = pki.users["vietnamese"]
        pinentry = os.path.join(self.tools, "pinentry")
        shutil.copy(os.path.join(os.path.dirname(__file__), "pinentry_stub.py"), pinentry)
        os.chmod(pinentry, os.stat(pinentry).st_mode | stat.S_IXUSR)
        self.answers = os.path.join(self.tools, "answers")
        self.transcript = os.path.join(self.tools, "transcript")
        open(self.transcript, "w").close()

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)
        shutil.rmtree(self.tools, ignore_errors=True)

    def agent(self, answers, path=None, env=None):
        with open(self.answers, "w") as f:
            f.write(",".join(answers))
        return Agent(home=self.home, env={
            "PATH": path if path is not None else self.tools + os.pathsep + os.environ["PATH"],
            "PINENTRY_STUB_ANSWERS": self.answers,
            "PINENTRY_STUB_TRANSCRIPT": self.transcript, **(env or {})})

    def runs(self):
        """The commands of each pinentry run."""
        with open(self.transcript) as f:
            text = f.read()
        return [run.strip("\n").split("\n") for run in text.split("--\n") if run.strip()]

    def sign(self, cms=False):
        return call({"action": "sign", "serialNumber": self.cert.serial_hex,
                     "dataBase64": base64.b64encode(DATA).decode(), "cms": cms})

    def assert_key_error(self, reply):
        self.assertEqual(list(reply), ["action", "error", "errorCode"])
        self.assertEqual(reply["error"], "Get private key error")
        self.assertGreater(reply["errorCode"], 0x80000000)

    def assert_signed(self, reply):
        signature = base64.b64decode(reply["signedData"])
        self.assertTrue(openssl_verify_signature(self.cert, DATA, signature, self.tools))


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
            self.assert_signed(self.sign())
            # The login is kept: neither a second raw nor a CMS signature asks again.
            self.assert_signed(self.sign())
            self.assertIn("signedData", self.sign(cms=True))
            log = "\n".join(agent.log_texts())
        runs = self.runs()
        self.assertEqual(len(runs), 2)
        self.assertIn("GETPIN", runs[0])
        self.assertIn("SETDESC Nhập mã PIN của NSS Certificate DB", runs[0])
        self.assertFalse(any(c.startswith("SETERROR") for c in runs[0] + runs[1]))
        self.assertNotIn(PIN, log)

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
            # The next request starts a new login.
            self.assert_signed(self.sign())
        self.assertEqual(len(self.runs()), 3)

    def test_no_pinentry_program(self):
        empty = os.path.join(self.tools, "empty")
        os.mkdir(empty)
        with self.agent([], path=empty):
            self.assert_key_error(self.sign())
            self.assert_key_error(self.sign(cms=True))


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
        self.assertIn("SETDESC Nhập mã PIN của Quillmark Token", runs[0])


if __name__ == "__main__":
    unittest.main()
