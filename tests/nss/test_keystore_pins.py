"""Runs keystore_pin_tests against a real NSS database and a SoftHSM token holding the
certificate: registered as it is, and behind the test module of a reader with a keypad."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from pki import SOFTHSM_MODULE, nss_database_path, shared_pki
from test_tokens import PIN_PAD_MODULE, TOKEN_PIN, make_token

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else "keystore_pin_tests"

pki = shared_pki()


class KeystorePinsTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quillmark-home-")
        self.tools = tempfile.mkdtemp(prefix="quillmark-tools-")
        self.cert = pki.users["vietnamese"]
        pki.install(self.home, users=[])
        self.env = make_token(self)

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)
        shutil.rmtree(self.tools, ignore_errors=True)

    def run_tests(self, module, tests, **env):
        # Written into the database's module list rather than added with modutil, which would
        # load the module: a sanitized build's test module loads only into a sanitized program.
        with open(os.path.join(nss_database_path(self.home), "pkcs11.txt"), "a") as f:
            f.write(f"\nlibrary={module}\nname=token\n")
        if "ASAN_OPTIONS" in os.environ:
            # NSS has no frame pointers: only the slow unwinder sees past it to the NSS_Initialize
            # that a leak suppression names.
            env["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"] + ":fast_unwind_on_malloc=0"
        result = subprocess.run(
            [PROGRAM, "--gtest_filter=" + tests],
            env=dict(self.env, HOME=self.home, QUILLMARK_TEST_SERIAL=self.cert.serial_hex, **env),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
        sys.stdout.write(result.stdout)
        self.assertEqual(result.returncode, 0, f"{tests} failed")

    def test_a_token_asked_for_its_pin_in_a_dialog(self):
        self.run_tests(SOFTHSM_MODULE, "KeystorePins.*")

    def test_a_token_behind_a_keypad(self):
        control = os.path.join(self.tools, "keypad")
        with open(control, "w") as f:
            f.write(f"pin {TOKEN_PIN}\nwait 3000\noutcome pending\n")
        self.run_tests(PIN_PAD_MODULE, "KeypadPins.*", PIN_PAD_TOKEN_CONTROL=control)


if __name__ == "__main__":
    unittest.main()
