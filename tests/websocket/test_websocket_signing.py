"""getCerts and sign over the "signature" WebSocket endpoint of the real quillmarkd, with a
real client and a real NSS database made from the test PKI: replies equal to HTTP's, in
order, always in secure mode, with the raw-text extraction of the Base64 payload, and
requests and replies large enough to arrive in many pieces and be compressed."""

import base64
import json
import os
import shutil
import tempfile
import time
import unittest

import payload
from agent import Agent, post_json
from build_config import sanitized
from pki import Pki, openssl_verify_signature
from websocket_client import greeted

pki = None
agent = None
workdir = None


def setUpModule():
    global pki, agent, workdir
    workdir = tempfile.mkdtemp(prefix="quillmark-ws-")
    unittest.addModuleCleanup(shutil.rmtree, workdir, ignore_errors=True)
    pki = Pki(os.path.join(workdir, "pki"))
    home = os.path.join(workdir, "home")
    os.makedirs(home)
    pki.install(home)
    agent = Agent(home=home).start()
    unittest.addModuleCleanup(stop_agent)


def stop_agent():
    code = agent.stop()
    assert code == 0, f"agent exited with {code}:\n{agent.stderr()}"


def b64(data):
    return base64.b64encode(data).decode()


def sign_request(cert, data_base64, cms="false", secure=None):
    """A sign request in the compact form pages send: dataBase64 directly before cms."""
    secure_member = f',"secure":{secure}' if secure is not None else ""
    return (f'{{"action":"sign","serialNumber":"{cert.serial_hex}"{secure_member},'
            f'"dataBase64":"{data_base64}","cms":{cms}}}')


def signed_bytes(reply):
    """The deciphered bytes of a sign reply's signedData, or None without a valid one."""
    signed = json.loads(reply).get("signedData")
    if signed is None:
        return None
    try:
        return payload.decrypt(base64.b64decode(signed))
    except ValueError:
        return None


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def logged_extraction(log_texts):
    """The extracted payload text written after the last "string database64Str " line."""
    index = len(log_texts) - 1 - log_texts[::-1].index("string database64Str ")
    return log_texts[index + 1]


class WebSocketSigningTest(unittest.TestCase):
    def assert_signs(self, cert, data, reply):
        signature = signed_bytes(reply)
        self.assertIsNotNone(signature, reply)
        self.assertTrue(openssl_verify_signature(cert, data, signature, workdir), reply)
        return signature

    def test_get_certs_equals_the_http_body(self):
        expected = post_json('{"action":"getCerts"}')
        # Nine certificates with chains: large enough to leave the compressor in pieces.
        self.assertGreater(len(expected), 20000)
        for compression in ("deflate", None):
            with greeted(compression=compression) as connection:
                for _ in range(2):
                    self.assertEqual(connection.request('{"action":"getCerts"}'), expected)

    def test_sign_is_secure_whatever_secure_says(self):
        cert = pki.users["vietnamese"]
        data = "Hợp đồng số 42: bên A đồng ý.".encode()
        enciphered = b64(payload.encrypt(data))
        http_reply = post_json(sign_request(cert, enciphered, secure="true"))
        with greeted() as connection:
            for secure in (None, "false", "0", "true"):
                reply = connection.request(sign_request(cert, enciphered, secure=secure))
                self.assert_signs(cert, data, reply)
                self.assertEqual(reply, http_reply)

    def test_cms_reply_is_enciphered_signed_data_around_the_raw_signature(self):
        cert = pki.users["sha1"]
        data = b"CMS over WebSocket"
        enciphered = b64(payload.encrypt(data))
        with greeted() as connection:
            raw = self.assert_signs(cert, data, connection.request(sign_request(cert, enciphered)))
            message = signed_bytes(connection.request(sign_request(cert, enciphered, "true")))
        self.assertEqual(message[0], 0x30)
        self.assertIn(raw, message)

    def test_hex_data_is_used_when_there_is_no_base64(self):
        cert = pki.users["vietnamese"]
        data = b"hex data"
        request = (f'{{"action":"sign","serialNumber":"{cert.serial_hex}",'
                   f'"dataHex":"{payload.encrypt(data).hex()}","cms":false}}')
        with greeted() as connection:
            self.assert_signs(cert, data, connection.request(request))

    def test_requests_in_turn_are_answered_in_order(self):
        cert = pki.users["vietnamese"]
        texts = [f"document {n}".encode() for n in range(4)]
        with greeted() as connection:
            for data in texts:
                connection.send(sign_request(cert, b64(payload.encrypt(data))))
            connection.send('{"action":"getCerts"}')
            for data in texts:
                self.assert_signs(cert, data, connection.receive())
            self.assertEqual(json.loads(connection.receive())["action"], "getCerts")

    def test_a_reply_that_needs_no_store_waits_behind_a_large_sign(self):
        cert = pki.users["vietnamese"]
        document = os.urandom(32 << 20)
        with greeted() as connection:
            connection.send(sign_request(cert, b64(payload.encrypt(document))))
            connection.send('{"action":"status"}')
            self.assert_signs(cert, document, connection.receive(timeout=120))
            self.assertEqual(json.loads(connection.receive())["action"], "status")

    def test_payload_extraction_from_the_raw_request_text(self):
        cert = pki.users["vietnamese"]
        data = b"x" * 40  # 48 enciphered bytes: Base64 without padding
        enciphered = b64(payload.encrypt(data))
        padded_data = b"x" * 20  # 32 enciphered bytes: Base64 with one pad
        padded = b64(payload.encrypt(padded_data))
        serial = cert.serial_hex
        cases = [
            # No cms member: the payload runs to the end, closing brace included; the
            # decoder skips the quote and the brace, so the data is intact.
            (f'{{"action":"sign","serialNumber":"{serial}","dataBase64":"{enciphered}"}}',
             enciphered + '"}', data),
            # cms before dataBase64: the same.
            (f'{{"action":"sign","serialNumber":"{serial}","cms":false,'
             f'"dataBase64":"{enciphered}"}}', enciphered + '"}', data),
            # The same after padding.
            (f'{{"action":"sign","serialNumber":"{serial}","dataBase64":"{padded}"}}',
             padded + '"}', padded_data),
            # Members between dataBase64 and cms become part of the payload.
            (f'{{"action":"sign","serialNumber":"{serial}","dataBase64":"{enciphered}",'
             f'"note":"abcd","cms":false}}', enciphered + '","note":"abcd', None),
        ]
        with greeted() as connection:
            for request, extracted, signed in cases:
                reply = connection.request(request)
                self.assertEqual(logged_extraction(agent.log_texts()), extracted)
                self.assertEqual(json.loads(reply)["action"], "sign")
                if signed is not None:
                    self.assert_signs(cert, signed, reply)
                else:
                    signature = signed_bytes(reply)
                    self.assertFalse(signature and openssl_verify_signature(
                        cert, data, signature, workdir), reply)

    def test_a_client_that_does_not_read_holds_up_only_itself(self):
        expected = post_json('{"action":"getCerts"}')
        count = 400  # unread, these replies would take 400 times the reply's size
        with greeted() as connection:
            before = resident_kib(agent.process.pid)
            for _ in range(count):
                connection.send('{"action":"getCerts"}')
            time.sleep(2)
            grown = resident_kib(agent.process.pid) - before
            if not sanitized():  # the sanitizer's allocator holds on to freed memory
                self.assertLess(grown * 1024, 40 * len(expected))
            with greeted() as other:
                self.assertEqual(other.request('{"action":"getCerts"}'), expected)
            for _ in range(count):
                self.assertEqual(connection.receive(), expected)
            self.assertIsNone(connection.receive(timeout=0.5))

    def test_request_of_100_kb_in_several_frames(self):
        cert = pki.users["sha1"]
        data = os.urandom(75000)
        request = sign_request(cert, b64(payload.encrypt(data)))
        self.assertGreater(len(request), 100000)
        pieces = [request[i:i + 9000] for i in range(0, len(request), 9000)]
        for compression in ("deflate", None):
            with greeted(compression=compression) as connection:
                self.assert_signs(cert, data, connection.request(pieces))
                self.assert_signs(cert, data, connection.request(request))


if __name__ == "__main__":
    unittest.main()
