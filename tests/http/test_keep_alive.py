"""Kept-alive HTTP/1.1 connections to the real quillmarkd, as ordinary clients use them: every
request sent after the previous reply is answered on the same connection, whatever the
timing; a request pipelined before its predecessor's reply closes the connection after that
reply; a client that finishes sending still gets its reply."""

import base64
import http.client
import json
import os
import socket
import subprocess
import time
import unittest

import payload
from agent import PORT, RESTARTED, Agent, AgentTestCase, executable, pids_of, wait_for_port
from pki import openssl_verify_signature, shared_pki

GET_VERSION = b'{"action":"getVersion"}'
VERSION_REPLY = b'{\n\t"action":\t"getVersion",\n\t"version":\t"v1.00.04"\n}'
DATA = "Hợp đồng số 7".encode()

pki = shared_pki()


class CountingConnection(http.client.HTTPConnection):
    """http.client's connection, which never retries, counting the connections it opens."""

    def __init__(self):
        super().__init__("127.0.0.1", PORT, timeout=20)
        self.connects = 0

    def connect(self):
        self.connects += 1
        super().connect()

    def call(self, request):
        self.request("POST", "/", body=json.dumps(request).encode(),
                     headers={"Content-Type": "text/plain"})
        response = self.getresponse()
        body = response.read()
        if response.status != 200:
            raise AssertionError(f"status {response.status}")
        return json.loads(body)


def request_bytes(body):
    return (b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n" % len(body) +
            body)


def sign_request(cert, data=DATA, **members):
    return {"action": "sign", "serialNumber": cert.serial_hex,
            "dataBase64": base64.b64encode(data).decode(), **members}


def read_reply(sock):
    """Reads one whole reply (head and Content-Length body) and returns its body; None when the
    agent closed the connection first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    length = next(int(line.split(b":")[1]) for line in head.split(b"\r\n")
                  if line.lower().startswith(b"content-length:"))
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            return None
        body += chunk
    return body


def read_until_closed(sock):
    data = b""
    while chunk := sock.recv(65536):
        data += chunk
    return data


class KeptAliveTest(AgentTestCase):
    @classmethod
    def prepare_home(cls, home):
        pki.install(home)
        cls.work = os.path.join(home, "verify")
        os.mkdir(cls.work)

    def assert_signed(self, cert, reply, secure=False, cms=False):
        self.assertEqual(list(reply), ["action", "signedData"], reply)
        signed = base64.b64decode(reply["signedData"])
        if secure:
            signed = payload.decrypt(signed)
        if not cms:
            self.assertTrue(openssl_verify_signature(cert, DATA, signed, self.work))

    def test_http_client_is_answered_on_one_connection(self):
        cert = pki.users["vietnamese"]
        connection = CountingConnection()
        try:
            for _ in range(1000):
                self.assertEqual(connection.call({"action": "getVersion"})["version"],
                                 "v1.00.04")
            self.assertTrue(connection.call({"action": "getCerts"})["certs"])
            for n in range(20):
                secure, cms = bool(n & 1), bool(n & 2)
                data = payload.encrypt(DATA) if secure else DATA
                reply = connection.call(sign_request(cert, data, secure=secure, cms=cms))
                self.assert_signed(cert, reply, secure, cms)
            self.assertEqual(connection.connects, 1)
        finally:
            connection.close()

    def test_curl_sends_three_requests_on_one_connection(self):
        url = f"http://127.0.0.1:{PORT}/"
        args = ["curl", "-sS", "--max-time", "20"]
        for n in range(3):
            args += (["--next"] if n else []) + ["-o", "/dev/null", "-w", "%{num_connects}\\n",
                                                 "-d", GET_VERSION.decode(), url]
        result = subprocess.run(args, capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sum(int(n) for n in result.stdout.split()), 1, result.stdout)
        self.assertNotIn("Connection died", result.stderr)

    def test_next_request_sent_as_the_reply_ends_is_answered(self):
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as sock:
            for n in range(1000):
                sock.sendall(request_bytes(GET_VERSION))
                self.assertEqual(read_reply(sock), VERSION_REPLY, f"request {n}")

    def test_client_that_finishes_sending_gets_its_reply(self):
        cert = pki.users["vietnamese"]
        for body in [GET_VERSION, json.dumps(sign_request(cert)).encode()]:
            with socket.create_connection(("127.0.0.1", PORT), timeout=20) as sock:
                sock.sendall(request_bytes(body))
                sock.shutdown(socket.SHUT_WR)
                reply = read_reply(sock)
                self.assertIsNotNone(reply, body)
                self.assertIn(json.loads(body)["action"], json.loads(reply)["action"])

    def test_pipelined_request_closes_the_connection_after_the_first_reply(self):
        cert = pki.users["vietnamese"]
        sign = json.dumps(sign_request(cert)).encode()
        for first in [GET_VERSION, sign]:
            with socket.create_connection(("127.0.0.1", PORT), timeout=20) as sock:
                sock.sendall(request_bytes(first) + request_bytes(GET_VERSION))
                data = read_until_closed(sock)
                self.assertEqual(data.count(b"HTTP/1.1 200 OK"), 1, data[:300])
        # The agent serves on.
        connection = CountingConnection()
        self.assertEqual(connection.call({"action": "getVersion"})["version"], "v1.00.04")
        connection.close()


class KeptAliveRestartTest(unittest.TestCase):
    def test_restart_is_answered_on_a_kept_alive_connection(self):
        with Agent() as old:
            connection = CountingConnection()
            for _ in range(10):
                connection.call({"action": "getVersion"})
            connection.request("POST", "/", body=b'{"action":"restart"}')
            self.assertEqual(connection.getresponse().read().decode(), RESTARTED)
            self.assertEqual(connection.connects, 1)
            connection.close()
            self.assertEqual(old.process.wait(10), 0)
            self.assertTrue(wait_for_port())
            for pid in pids_of(executable()):
                os.kill(pid, 15)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and pids_of(executable()):
                time.sleep(0.05)


if __name__ == "__main__":
    unittest.main()
