"""sign through the real quillmarkd over HTTP: raw and CMS signatures checked with openssl."""

import base64
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

import payload
from agent import Agent, AgentTestCase, call, executable, no_response
from pki import openssl_cms_content, openssl_verify_signature, shared_pki

DATA = "Hợp đồng số 42: bên A đồng ý.".encode()
RSA_2048_BASE64 = 344  # 256 signature bytes
MISSING_DATA = {"action": "sign", "error": "missing data to sign"}

pki = shared_pki()


def sign(cert, data=DATA, **members):
    request = {"action": "sign", "serialNumber": cert.serial_hex}
    if data is not None:
        request["dataBase64"] = base64.b64encode(data).decode()
    request.update(members)
    return call(request)


class SigningTest(AgentTestCase):
    @classmethod
    def prepare_home(cls, home):
        pki.install(home)
        for cert in [*pki.twins, pki.non_der]:
            pki.import_user(home, cert)
        cls.work = tempfile.mkdtemp(prefix="quillmark-verify-")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)

    def signed_bytes(self, reply):
        self.assertEqual(list(reply), ["action", "signedData"], reply)
        return base64.b64decode(reply["signedData"])

    def cms_print(self, message):
        return subprocess.run(["openssl", "cms", "-cmsout", "-print", "-inform", "DER"],
                              input=message, capture_output=True, check=True).stdout.decode()

    def test_raw_signature_verifies_with_the_hash_of_the_signature_algorithm(self):
        # sha256WithRSA signs with SHA-256; sha1WithRSA and sha384WithRSA both with SHA-1.
        for key, hash_name in [("vietnamese", "sha256"), ("sha1", "sha1"), ("sha384", "sha1"),
                               ("high-serial", "sha256"), ("expired", "sha256"),
                               ("orphan", "sha256"), ("self-signed", "sha256")]:
            with self.subTest(key):
                cert = pki.users[key]
                self.assertEqual(cert.hash_name, hash_name)
                reply = sign(cert)
                self.assertEqual(len(reply["signedData"]), RSA_2048_BASE64)
                signature = self.signed_bytes(reply)
                self.assertTrue(openssl_verify_signature(cert, DATA, signature, self.work))

    def test_hex_data_empty_data_and_base64_precedence(self):
        cert = pki.users["sha1"]
        by_hex = self.signed_bytes(sign(cert, None, dataHex=DATA.hex()))
        self.assertTrue(openssl_verify_signature(cert, DATA, by_hex, self.work))
        # PKCS #1 v1.5 is deterministic: the same data gives the same signature.
        self.assertEqual(by_hex, self.signed_bytes(sign(cert)))
        empty = self.signed_bytes(sign(cert, None, dataHex=""))
        self.assertTrue(openssl_verify_signature(cert, b"", empty, self.work))
        both = self.signed_bytes(sign(cert, dataHex="00"))
        self.assertEqual(both, by_hex)

    def test_cms_message_carries_the_raw_signature_and_the_signer_only(self):
        for key in ["vietnamese", "sha1"]:
            with self.subTest(key):
                cert = pki.users[key]
                raw = self.signed_bytes(sign(cert))
                message = self.signed_bytes(sign(cert, cms=True))
                self.assertEqual(openssl_cms_content(message), raw)
                printed = self.cms_print(message)
                self.assertEqual(printed.count("d.certificate:"), 1)
                self.assertIn("signedAttrs:\n          <ABSENT>", printed)
                self.assertIn("crls:\n      <ABSENT>", printed)
                self.assertIn(f"algorithm: {cert.hash_name} ", printed)
                self.assertIn(f"serialNumber: {cert.serial}", printed)
                # DER: openssl's re-encoding gives back the same bytes.
                reencoded = subprocess.run(
                    ["openssl", "cms", "-cmsout", "-inform", "DER", "-outform", "DER"],
                    input=message, capture_output=True, check=True).stdout
                self.assertEqual(reencoded, message)

    def test_cms_digest_follows_the_hash_the_certificate_names(self):
        # The raw signature inside keeps its own rule (SHA-1 for sha384WithRSA).
        cert = pki.users["sha384"]
        message = self.signed_bytes(sign(cert, cms=True))
        self.assertEqual(openssl_cms_content(message), self.signed_bytes(sign(cert)))
        self.assertIn("algorithm: sha384 ", self.cms_print(message))

    def test_cms_carries_a_certificate_that_is_not_strict_der_as_it_stands(self):
        cert = pki.non_der
        message = self.signed_bytes(sign(cert, cms=True))
        self.assertEqual(openssl_cms_content(message), self.signed_bytes(sign(cert)))
        self.assertTrue(cert.der in message, "the certificate was re-encoded")

    def test_a_shared_serial_signs_with_the_certificate_listed_first(self):
        serial = pki.twins[0].serial_hex
        listed = [entry["certChains"][0] for entry in call({"action": "getCerts"})["certs"]
                  if entry["serialNumber"] == serial]
        self.assertEqual(sorted(listed), sorted(c.chain_base64()[0] for c in pki.twins))
        first = next(c for c in pki.twins if c.chain_base64()[0] == listed[0])
        signature = self.signed_bytes(sign(first))
        self.assertTrue(openssl_verify_signature(first, DATA, signature, self.work))

    def test_secure_mode_deciphers_the_data_and_enciphers_the_result(self):
        cert = pki.users["vietnamese"]
        enciphered = payload.encrypt(DATA)
        for cms in [False, True]:
            with self.subTest(cms=cms):
                reply = sign(cert, enciphered, secure=True, cms=cms)
                result = payload.decrypt(self.signed_bytes(reply))
                plain = self.signed_bytes(sign(cert, cms=cms))
                if cms:
                    self.assertEqual(openssl_cms_content(result), openssl_cms_content(plain))
                else:
                    self.assertEqual(result, plain)
        hex_reply = sign(cert, None, dataHex=enciphered.hex(), secure=1)
        self.assertEqual(payload.decrypt(self.signed_bytes(hex_reply)),
                         self.signed_bytes(sign(cert)))

    def test_flags_follow_the_integer_value(self):
        cert = pki.users["sha1"]
        raw = self.signed_bytes(sign(cert))
        for cms in ["true", 0.5, 0, False, None]:
            self.assertEqual(self.signed_bytes(sign(cert, cms=cms)), raw, cms)
        self.assertNotEqual(self.signed_bytes(sign(cert, cms=2.5)), raw)
        self.assertEqual(self.signed_bytes(sign(cert, secure="true")), raw)

    def test_serial_must_match_exactly(self):
        cert = pki.users["high-serial"]
        # Case, leading zero and length count; CA certificates (no private key) are not
        # in the personal store.
        for serial in ["009A12", "9a12", "009a1", "009a120", "", "01", "02"]:
            reply = call({"action": "sign", "serialNumber": serial, "dataHex": "00"})
            self.assertEqual(reply, {"action": "sign"}, serial)
        self.assertIn("signedData", sign(cert))

    def test_data_that_is_missing_or_unreadable(self):
        cert = pki.users["sha1"]
        serial = cert.serial_hex
        for request in [
            {"action": "sign", "serialNumber": serial, "dataBase64": 12},
            {"action": "sign", "serialNumber": serial, "dataHex": None},
            {"action": "sign", "serialNumber": serial, "dataBase64": ""},
            {"action": "sign", "serialNumber": serial, "dataBase64": "abc"},
            {"action": "sign", "serialNumber": serial, "dataHex": "zz"},
            # Characters the decoder would otherwise have dropped from the data.
            {"action": "sign", "serialNumber": serial, "dataHex": "1g"},
            {"action": "sign", "serialNumber": serial, "dataBase64": "YQ==YQ=="},
            # Not enciphered with the payload key: fails to decipher.
            {"action": "sign", "serialNumber": serial, "dataHex": "0011", "secure": True},
            {"action": "sign", "serialNumber": serial, "dataHex": "00" * 16, "secure": True,
             "cms": True},
        ]:
            with self.subTest(request):
                self.assertEqual(call(request), MISSING_DATA)

    def test_requests_that_get_no_reply(self):
        serial = pki.users["sha1"].serial_hex
        for body in ['{"action":"sign","serialNumber":"%s"}' % serial,
                     '{"action":"sign","dataHex":"00"}',
                     '{"action":"sign","serialNumber":7,"dataHex":"00"}',
                     '{"action":"sign","serialNumber":null,"dataBase64":"AA=="}']:
            self.assertTrue(no_response(body), body)
        # The agent is still serving.
        self.assertIn("signedData", sign(pki.users["sha1"]))

    def test_log_lines_of_a_raw_sign_request(self):
        cert = pki.users["sha1"]
        data64 = base64.b64encode(DATA).decode()
        body = ('{"action":"sign","serialNumber":"%s","dataBase64":"%s","cms":false}'
                % (cert.serial_hex, data64))
        reply = call(body)
        log = self.agent.log_texts()
        start = len(log) - 1 - log[::-1].index(body)
        texts = log[start:]
        self.assertEqual(texts[1:4], ["sign", "string database64Str ", data64])
        signature64 = reply["signedData"]
        for heading, value in [("database64", data64), ("database64 decrypt", data64),
                               ("signedDataBase64 ", signature64),
                               ("signedDataBase64 encrypt", signature64)]:
            index = texts.index(heading)
            self.assertEqual(texts[index + 1], value, heading)

    def test_extraction_is_logged_for_every_sign_request(self):
        body = '{"action":"sign","dataBase64":"QUJD","secure":1}'
        self.assertTrue(no_response(body))
        self.assertEqual(self.agent.log_texts()[-2:], ["string database64Str ", 'QUJD","secure":1}'])



class SharedSerialTest(unittest.TestCase):
    """Each case with an agent of its own: the certificates' import order is the point."""

    def test_a_serial_of_two_issuers_signs_with_the_one_listed_first_in_either_import_order(self):
        for order in (pki.chain_twins, pki.chain_twins[::-1]):
            with Agent() as agent:
                pki.install(agent.home, users=[])
                for cert in order:
                    pki.import_user(agent.home, cert)
                listed = [e["certChains"][0] for e in call({"action": "getCerts"})["certs"]]
                first = next(c for c in pki.chain_twins if c.chain_base64()[0] == listed[0])
                reply = sign(first)
                signature = base64.b64decode(reply["signedData"])
                self.assertTrue(openssl_verify_signature(first, DATA, signature, agent.home),
                                first.key)


class SignatureJournalTest(unittest.TestCase):
    def test_a_signature_is_kept_across_a_restart_and_a_kill_right_after_its_reply(self):
        home = tempfile.mkdtemp(prefix="quillmark-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        pki.install(home)
        cert = pki.users["vietnamese"]
        with Agent(home=home):
            sign(cert, b"first", cms=False)
        killed = Agent(home=home).start()
        sign(cert, b"second", cms=True)
        killed.process.kill()
        killed.stop()
        result = subprocess.run([executable(), "--history"], env=dict(os.environ, HOME=home),
                                capture_output=True, text=True, check=True)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 2, result.stdout)
        for line, (kind, data) in zip(lines, [("CMS", b"second"), ("raw", b"first")]):
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}  ")
            self.assertIn(f"  {kind}  a local program  \"{cert.name}\" (serial {cert.serial_hex})"
                          f"  {len(data)} bytes  SHA-256 {hashlib.sha256(data).hexdigest()}", line)

    def test_history_without_a_signature_says_where_it_looked(self):
        home = tempfile.mkdtemp(prefix="quillmark-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        journal = os.path.join(home, ".local", "state", "quillmark", "signatures.txt")
        said = f"No signature found in {journal}.\n"
        # No journal yet, then one whose only line was cut short by a crash.
        for text in (None, "2026-01-31 14:05:09 +0700\traw\t5\t"):
            if text is not None:
                os.makedirs(os.path.dirname(journal))
                with open(journal, "w") as f:
                    f.write(text + "\n")
            result = subprocess.run([executable(), "--history"], capture_output=True, text=True,
                                    env=dict(os.environ, HOME=home))
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, said, ""))

    def test_a_fifo_in_place_of_the_journal_holds_up_no_request_and_no_stop(self):
        home = tempfile.mkdtemp(prefix="quillmark-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        pki.install(home)
        state = os.path.join(home, ".local", "state", "quillmark")
        os.makedirs(state)
        os.mkfifo(os.path.join(state, "signatures.txt"))
        cert = pki.users["vietnamese"]
        # The agent must also stop on SIGTERM: the context's exit asserts its status 0.
        with Agent(home=home) as agent:
            for cms in [False, True]:
                self.assertIn("signedData", sign(cert, cms=cms))
            self.assertTrue(call({"action": "getCerts"})["certs"])
            log = agent.log_texts()
        unusable = [t for t in log if t.startswith("The signature journal is not a regular file")]
        self.assertEqual(len(unusable), 1, log)


if __name__ == "__main__":
    unittest.main()
