"""Tokens registered the way Debian registers them: SoftHSM through a p11-kit `.module` file
in the user's configuration, the agent running as an unprivileged user (p11-kit reads no
user configuration for root)."""

import base64
import os
import shutil
import unittest

from agent import Agent, call
from pki import P12_PASSWORD, SOFTHSM_MODULE, run
from test_pin_entry import PinTestBase, pki

TOKEN_PIN = "4321"
LABEL = "Quillmark Token"
AS_USER = ["unshare", "-U", "--map-user=1000", "--map-group=1000", "--"]


class RegisteredTokenTest(PinTestBase):
    """The soft token holds one user certificate; the token another and the intermediate CA.
    The token is reached twice: through p11-kit (a copy of SoftHSM's library named in the
    user's softhsm2.module, which hides the system's entry) and through modutil."""

    def setUp(self):
        super().setUp()
        self.soft_cert = pki.users["sha1"]
        db = pki.install(self.home, users=["sha1"])
        softhsm = os.path.join(self.home, "softhsm")
        self.tokens = os.path.join(softhsm, "tokens")
        os.makedirs(self.tokens)
        conf = os.path.join(softhsm, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write(f"directories.tokendir = {self.tokens}\nobjectstore.backend = file\n"
                    "log.level = ERROR\n")
        self.token_env = {"SOFTHSM2_CONF": conf, "XDG_CONFIG_HOME": self.home + "/config"}
        env = dict(os.environ, SOFTHSM2_CONF=conf)
        run(["softhsm2-util", "--init-token", "--free", "--label", LABEL, "--pin", TOKEN_PIN,
             "--so-pin", TOKEN_PIN + "-so"], env=env)
        self._fill_token(env)
        run(["modutil", "-force", "-add", "softhsm", "-libfile", SOFTHSM_MODULE, "-dbdir",
             "sql:" + db], env=env)
        library = os.path.join(self.tools, "libsofthsm2-copy.so")
        shutil.copy(SOFTHSM_MODULE, library)
        modules = os.path.join(self.home, "config", "pkcs11", "modules")
        os.makedirs(modules)
        with open(os.path.join(modules, "softhsm2.module"), "w") as f:
            f.write(f"module: {library}\n")

    def _fill_token(self, env):
        """Puts the user certificate with its key and the intermediate CA on the token,
        through a scratch database of the test's own."""
        scratch = os.path.join(self.tools, "scratch")
        os.makedirs(scratch)
        run(["certutil", "-N", "-d", "sql:" + scratch, "--empty-password"])
        run(["modutil", "-force", "-add", "softhsm", "-libfile", SOFTHSM_MODULE, "-dbdir",
             "sql:" + scratch], env=env)
        run(["pk12util", "-i", self.cert.p12, "-d", "sql:" + scratch, "-h", LABEL,
             "-W", P12_PASSWORD, "-K", TOKEN_PIN], env=env)
        pin_file = os.path.join(self.tools, "token-pin")
        with open(pin_file, "w") as f:
            f.write(TOKEN_PIN + "\n")
        run(["certutil", "-A", "-d", "sql:" + scratch, "-h", LABEL, "-f", pin_file,
             "-n", "token-intermediate", "-t", ",,", "-i", pki.intermediate["pem"]], env=env)

    def agent(self, answers):
        agent = super().agent(answers, env=self.token_env)
        agent.wrapper = AS_USER
        return agent

    def listed(self):
        return [e["serialNumber"] for e in call({"action": "getCerts"})["certs"]]

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
        self.assertEqual(log.count(f"No private key on {LABEL}: SEC_ERROR_BAD_PASSWORD"), 2)

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


if __name__ == "__main__":
    unittest.main()
