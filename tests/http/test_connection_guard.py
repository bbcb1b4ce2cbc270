"""Which connections the real quillmarkd serves: its own user's only, requests whose Host names
this computer only, at most 32 connections of one allowed site and 4 of one that is not (its
subdomains counted as one), whose idle connections also give way at the per-address limit."""

import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from agent import Agent, AgentTestCase, PORT, post
from chromium import Browser
from page_server import PageServer
from websocket_client import Connection, greeted

OTHER_UID = 65534
SITE = "https://site.example"
OTHER_SITE = "https://other.example"
SITE_LIMIT = 32
PER_ADDRESS = 105
VERSION = b'{"action":"getVersion"}'


def as_other_user(*command):
    return ["setpriv", "--reuid", str(OTHER_UID), "--regid", str(OTHER_UID), "--clear-groups",
            *command]


def request(host="localhost", origin=None, body=VERSION):
    origin_header = f"Origin: {origin}\r\n" if origin else ""
    return (f"POST / HTTP/1.1\r\nHost: {host}\r\n{origin_header}"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


def handshake(host):
    return (f"GET / HTTP/1.1\r\nHost: {host}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Protocol: signature\r\n\r\n").encode()


def first_bytes(connection):
    """What the agent writes first on this connection: b"" when it closes without a reply."""
    try:
        return connection.recv(65536)
    except ConnectionResetError:
        return b""


def exchange(payload, address="127.0.0.1"):
    with socket.create_connection((address, PORT), timeout=10) as connection:
        connection.sendall(payload)
        return first_bytes(connection)


def held_websocket(origin):
    """A raw WebSocket connection of the site, greeted, then left idle."""
    connection = socket.create_connection(("127.0.0.1", PORT), timeout=10)
    connection.sendall(handshake("localhost").replace(b"\r\n\r\n", f"\r\nOrigin: {origin}\r\n\r\n".encode()))
    first_bytes(connection)
    return connection


def closed_by_agent(connections):
    """How many of the connections the agent closes, waiting until none closes for 2 s."""
    waiting, closed = list(connections), 0
    while ready := select.select(waiting, [], [], 2)[0]:
        for connection in ready:
            if first_bytes(connection) == b"":
                waiting.remove(connection)
                closed += 1
    return closed


# A page of a site that is not allowed, with a frame on each of four of its subdomains; each
# frame opens 28 WebSockets to the agent and tells the page how many are open and closed.
FRAMED_PAGE = """<!doctype html><title>frames</title><script>
window.counts = {};
addEventListener("message", event => { window.counts[event.origin] = event.data; });
</script>""" + "".join(f'<iframe src="http://{name}.attacker.example:PORT/frame"></iframe>'
                       for name in "abcd")
FRAME = """<!doctype html><script>
let open = 0, closed = 0;
const tell = () => parent.postMessage({open, closed}, "*");
for (let i = 0; i < 28; i++) {
  const socket = new WebSocket("ws://127.0.0.1:%d/", "signature");
  socket.onopen = () => { open++; tell(); };
  socket.onclose = event => { if (socket.opened) open--; closed++; tell(); };
  socket.addEventListener("open", () => { socket.opened = true; });
}
</script>""" % PORT


def framed_page(path, port):
    return (FRAME if path == "/frame" else FRAMED_PAGE).replace("PORT", str(port)).encode()


def prepare_allowed_sites(home):
    """The sites these tests send, allowed as a user would allow them."""
    directory = os.path.join(home, ".config", "quillmark")
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "allowed-sites"), "w") as f:
        f.write(f"{SITE}\n{OTHER_SITE}\n")


@unittest.skipUnless(os.geteuid() == 0, "clients of another user need root")
class OwnUserTest(AgentTestCase):
    def test_another_users_connection_is_closed_unread_while_ours_is_served(self):
        other_body = b'{"action":"getVersion","from":"another user"}'
        client = ("import socket, sys\n"
                  "c = socket.create_connection((sys.argv[1], %d), timeout=10)\n"
                  "c.sendall(sys.stdin.buffer.read())\n"
                  "try:\n    sys.stdout.buffer.write(c.recv(65536))\n"
                  "except ConnectionResetError:\n    pass\n" % PORT)
        for address in ["127.0.0.1", "::1"]:
            with self.subTest(address=address):
                other = subprocess.run(as_other_user("/usr/bin/python3", "-c", client, address),
                                       input=request(body=other_body), capture_output=True,
                                       timeout=30, check=True)
                self.assertEqual(other.stdout, b"")
                self.assertIn(b"200 OK", exchange(request(), address))
        log = self.agent.log_texts()
        # The second refusal, within 10 s of the first, is counted rather than written.
        self.assertEqual(log.count(f"Connection refused: another user (uid {OTHER_UID})"), 1)
        self.assertNotIn(other_body.decode(), log)


class HostTest(AgentTestCase):
    def test_a_request_naming_another_host_is_closed_without_a_reply(self):
        good = ["127.0.0.1", "127.0.0.1:7681", "localhost", "LocalHost:7681", "[::1]",
                "[::1]:7681"]
        foreign = ["rebound.example", "rebound.example:7681", "localhost.rebound.example",
                   "localhost:80", "127.0.0.2", "[::2]:7681", ""]
        for host in good:
            self.assertIn(b"200 OK", exchange(request(host)), host)
            self.assertIn(b"200 OK", exchange(request(host, origin=SITE)), host)
            self.assertIn(b"101 Switching Protocols", exchange(handshake(host)), host)
        for host in foreign:
            self.assertEqual(exchange(request(host)), b"", host)
            self.assertEqual(exchange(request(host, origin=SITE)), b"", host)
            self.assertEqual(exchange(handshake(host)), b"", host)
        # Whatever Host a page names, its refusals count as one kind: the first is written, and
        # the rest are counted until 10 s have passed.
        refusals = [line for line in self.agent.log_texts() if "DNS rebinding" in line]
        self.assertEqual(refusals, ['Request refused: Host "rebound.example" is not this '
                                    "computer (DNS rebinding)"])


class SiteLimitTest(AgentTestCase):
    @classmethod
    def prepare_home(cls, home):
        prepare_allowed_sites(home)

    def keep_alive_http(self, origin):
        """An HTTP connection of the site, left open once its request is answered."""
        connection = socket.create_connection(("127.0.0.1", PORT), timeout=10)
        connection.sendall(request(origin=origin))
        self.assertIn(b"200 OK", first_bytes(connection))
        return connection

    def test_a_site_holds_32_connections_and_the_others_are_served(self):
        websockets = [greeted(origin=SITE) for _ in range(SITE_LIMIT // 2)]
        held = [self.keep_alive_http(SITE) for _ in range(SITE_LIMIT - len(websockets))]
        try:
            self.assertEqual(exchange(request(origin=SITE)), b"")
            with self.assertRaises(Exception):
                Connection(origin=SITE).close()
            # Another site, and requests without an Origin, are still served.
            self.assertIn(b"200 OK", exchange(request(origin=OTHER_SITE)))
            self.assertIn(b"200 OK", exchange(request()))
            greeted(origin=OTHER_SITE).close()
            # A connection the site closes makes room for its next one.
            held.pop().close()
            self.assertTrue(self.served_soon(request(origin=SITE)))
        finally:
            for connection in websockets:
                connection.close()
            for connection in held:
                connection.close()
        refusals = [line for line in self.agent.log_texts() if "already holds" in line]
        self.assertEqual(refusals[0], "Connection refused: site.example already holds 32 connections")

    def test_sites_not_allowed_get_a_few_connections_and_give_way_at_the_address_limit(self):
        # Frames on four subdomains of one site, then one frame each of 110 sites.
        frames = [held_websocket(f"https://{'abcd'[n % 4]}.attacker.example") for n in range(105)]
        many = [held_websocket(f"https://site{n}.example") for n in range(110)]
        try:
            self.assertIn(b"200 OK", exchange(request()))
            self.assertIn(b"200 OK", exchange(request(origin=SITE)))
            self.assertGreaterEqual(closed_by_agent(frames), 105 - 4)
            self.assertGreater(closed_by_agent(many), 110 - PER_ADDRESS)
        finally:
            for connection in frames + many:
                connection.close()

    def test_a_page_framing_four_subdomains_in_chromium_locks_nobody_out(self):
        server = PageServer(framed_page)
        self.addCleanup(server.close)
        workdir = tempfile.mkdtemp(prefix="quillmark-frames-")
        self.addCleanup(shutil.rmtree, workdir, ignore_errors=True)
        rules = ("--host-resolver-rules="
                 "MAP attacker.example 127.0.0.1, MAP *.attacker.example 127.0.0.1")
        with Browser(os.path.join(workdir, "profile"), flags=[rules]) as browser:
            browser.open(f"http://attacker.example:{server.port}/")
            settled = ("Object.keys(counts).length == 4 && Object.values(counts)"
                       ".every(c => c.open + c.closed == 28)")
            browser.wait_for(settled)
            self.assertIn(b"200 OK", exchange(request()))
            self.assertIn(b"200 OK", exchange(request(origin=SITE)))
            counts = browser.evaluate("Object.values(counts)")
            self.assertLessEqual(sum(count["open"] for count in counts), 4, counts)

    @staticmethod
    def served_soon(payload, attempts=100):
        """The agent learns of a closed connection on its next service pass: try a few times."""
        for _ in range(attempts):
            if b"200 OK" in exchange(payload):
                return True
            time.sleep(0.1)
        return False


@unittest.skipUnless(os.geteuid() == 0, "a listener of another user needs root")
class PortHolderTest(unittest.TestCase):
    LISTENER = ("import socket, sys\n"
                "s = socket.socket()\n"
                "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                "s.bind(('127.0.0.1', %d))\n"
                "s.listen()\n"
                "print('listening', flush=True)\n"
                "sys.stdin.read()\n" % PORT)

    def start_failure_with_port_held_by(self, command):
        with subprocess.Popen(command + ["-c", self.LISTENER], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE) as holder:
            self.assertEqual(holder.stdout.readline(), b"listening\n")
            agent = Agent().start(wait=False)
            self.assertEqual(agent.process.wait(60), 1)
            agent.stop()
            return agent.stderr()

    def test_the_start_failure_says_who_holds_the_port(self):
        self.assertIn("Không thể khởi động ứng dụng.\nCổng 7681 đang được dùng bởi một chương "
                      f"trình của người dùng khác (uid {OTHER_UID}).\n",
                      self.start_failure_with_port_held_by(as_other_user("/usr/bin/python3")))
        self.assertRegex(self.start_failure_with_port_held_by(["/usr/bin/python3"]),
                         re.compile(r"Không thể khởi động ứng dụng\.\n"
                                    r"Cổng 7681 đang được dùng bởi chương trình python3[.0-9]* "
                                    r"của bạn\.\n"))


if __name__ == "__main__":
    unittest.main()
