"""CORS preflights: the agent answers a browser's OPTIONS with the grants a page that posts
JSON needs, over raw HTTP and from headless Chromium on a page of another origin."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

from agent import PORT, Agent, AgentTestCase, no_response
from chromium import Browser, BrowserError
from page_server import PageServer

VERSION_REPLY = {"action": "getVersion", "version": "v1.00.04"}

# Posts getVersion as JSON, which makes the browser send a preflight first.
PAGE = b"""<!doctype html><meta charset="utf-8"><title>other origin</title>
<script>
function askVersion(agent) {
  return fetch(agent, {method: "POST", headers: {"Content-Type": "application/json"},
                       body: '{"action":"getVersion"}'})
    .then(reply => reply.json()).catch(error => String(error));
}
</script>"""


def read_head(connection):
    """Reads one reply's status line and headers: (status code, lower-cased headers, bytes)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(65536)
        if not chunk:
            break
        data += chunk
    head = data.split(b"\r\n\r\n", 1)[0].decode().split("\r\n")
    headers = {}
    for line in head[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(head[0].split()[1]), headers, data


def exchange(request):
    with socket.create_connection(("127.0.0.1", PORT), timeout=5) as connection:
        connection.sendall(request)
        return read_head(connection)


def preflight(*extra_headers):
    lines = ["OPTIONS /any/path HTTP/1.1", "Host: 127.0.0.1:7681",
             "Origin: http://portal.example", *extra_headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


class CorsPreflightTest(AgentTestCase):
    def test_preflight_is_answered_with_the_grants(self):
        status, headers, reply = exchange(preflight(
            "Access-Control-Request-Method: POST",
            "Access-Control-Request-Headers: content-type,x-portal-token",
            "Access-Control-Request-Private-Network: true"))
        self.assertEqual(status, 204)
        self.assertEqual(headers["access-control-allow-origin"], "*")
        self.assertEqual(headers["access-control-allow-methods"], "POST")
        self.assertEqual(headers["access-control-allow-headers"], "content-type,x-portal-token")
        self.assertEqual(headers["access-control-allow-private-network"], "true")
        self.assertNotIn("content-length", headers)
        self.assertTrue(reply.endswith(b"\r\n\r\n"), reply)

        # Without requested headers there is nothing to echo.
        status, headers, _ = exchange(preflight("Access-Control-Request-Method: POST"))
        self.assertEqual(status, 204)
        self.assertNotIn("access-control-allow-headers", headers)

    def test_the_connection_serves_a_post_after_the_preflight(self):
        body = b'{"action":"getVersion"}'
        with socket.create_connection(("127.0.0.1", PORT), timeout=5) as connection:
            connection.sendall(preflight("Access-Control-Request-Method: POST"))
            status, _, reply = read_head(connection)
            self.assertEqual((status, reply.endswith(b"\r\n\r\n")), (204, True), reply)
            connection.sendall(
                f"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
            status, headers, reply = read_head(connection)
            while len(reply.split(b"\r\n\r\n", 1)[1]) < int(headers["content-length"]):
                reply += connection.recv(65536)
        self.assertEqual(status, 200)
        self.assertIn(b'"v1.00.04"', reply)

    def test_other_options_and_gets_get_no_answer(self):
        self.assertTrue(no_response("", method="OPTIONS"))
        self.assertTrue(no_response("", method="GET"))


class OtherOriginPageTest(AgentTestCase):
    """A page of another origin (localhost, not the agent's 127.0.0.1) posts JSON."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.workdir = tempfile.mkdtemp(prefix="quillmark-cors-")
        cls.addClassCleanup(shutil.rmtree, cls.workdir, ignore_errors=True)
        cls.page = PageServer(lambda path, port: PAGE)
        cls.addClassCleanup(cls.page.close)
        cls.browser = Browser(os.path.join(cls.workdir, "profile"))
        cls.addClassCleanup(cls.browser.close)

    def test_json_post_from_another_origin_gets_its_reply(self):
        self.browser.open(f"http://localhost:{self.page.port}/")
        reply = self.browser.evaluate(f"askVersion('http://127.0.0.1:{PORT}/')")
        self.assertEqual(reply, VERSION_REPLY, self.browser.console_messages())


# A public address (a documentation range) that the test gives its own network namespace.
PUBLIC_ADDRESS = "198.51.100.7"


class PublicPageTest(unittest.TestCase):
    """What Local Network Access does: a plain-http page on a public address cannot reach the
    agent on 127.0.0.1, although the preflight is answered, and the permission cannot be
    granted to it (it is not a secure origin) even through the browser's own protocol."""

    def test_plain_http_public_page_is_blocked(self):
        result = subprocess.run(
            ["unshare", "-n", "--", "sh", "-c",
             f"ip link set lo up && ip addr add {PUBLIC_ADDRESS}/32 dev lo && "
             f"exec /usr/bin/python3 {os.path.abspath(__file__)} public-page"],
            capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertEqual(result.stdout.splitlines()[-2:],
                         ["fetch: TypeError: Failed to fetch", "grant refused"], result.stdout)


def public_page_scenario():
    """Run inside the namespace made by PublicPageTest: agent, page server and browser."""
    workdir = tempfile.mkdtemp(prefix="quillmark-lna-")
    page = PageServer(lambda path, port: PAGE, PUBLIC_ADDRESS)
    try:
        with Agent(), Browser(os.path.join(workdir, "profile")) as browser:
            origin = f"http://{PUBLIC_ADDRESS}:{page.port}"
            browser.open(origin + "/")
            print("fetch:", browser.evaluate(f"askVersion('http://127.0.0.1:{PORT}/')"))
            try:
                browser.call("Browser.setPermission", permission={"name": "local-network-access"},
                             setting="granted", origin=origin)
                print("granted")
            except BrowserError:
                print("grant refused")
    finally:
        page.close()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["public-page"]:
        public_page_scenario()
    else:
        unittest.main()
