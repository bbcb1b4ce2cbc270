"""The "signature" WebSocket endpoint of the real quillmarkd, with a real client: greeting,
sub-protocols, compression, what gets no reply, and how bad or oversized messages end."""

import base64
import json
import os
import socket
import time
import unittest

import websockets

from agent import PORT, AgentTestCase, post_json
from websocket_client import START_MESSAGE, Connection, greeted

GET_VERSION = '{"action":"getVersion"}'
MESSAGE_LIMIT = 128 * 1024 * 1024
# A client session, as the chunks it sent: an upgrade with permessage-deflate, a large
# compressed frame, then control and continuation frames.
COMPRESSED_SESSION = os.path.join(os.path.dirname(__file__), "data", "compressed-session.json")


def connections_closed_by_peer(port=PORT):
    """The agent's connections whose peer has closed its side (TCP state CLOSE-WAIT)."""
    found = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[1].endswith(f":{port:04X}") and fields[3] == "08":
                    found += 1
    return found


class WebSocketEndpointTest(AgentTestCase):
    def assert_still_serving(self):
        with greeted() as connection:
            self.assertIn('"action":\t"getCerts"', connection.request('{"action":"getCerts"}'))

    def test_start_message_once_with_or_without_subprotocol_and_compression(self):
        for subprotocol in ("signature", None):
            for compression in ("deflate", None):
                with Connection(subprotocol, compression) as connection:
                    self.assertEqual(connection.subprotocol, subprotocol)
                    self.assertEqual(connection.extensions_header,
                                     "permessage-deflate" if compression else None)
                    start = connection.receive()
                    self.assertEqual(start, START_MESSAGE)
                    self.assertEqual(len(start.encode()), 22)
                    self.assertIsNone(connection.receive(timeout=0.5))
                    # A request does not bring the greeting back.
                    reply = connection.request('{"action":"getCerts"}')
                    self.assertTrue(reply.startswith('{\n\t"action":\t"getCerts"'), reply)
                    self.assertIsNone(connection.receive(timeout=0.3))

    def test_version_restart_and_unservable_requests_get_nothing(self):
        with greeted() as connection:
            for request in (GET_VERSION, '{"action":"restart"}', '{"action":"GetCerts"}',
                            '{"action":7}', "{}", "not json", "", '"getCerts"'):
                connection.send(request)
            self.assertIsNone(connection.receive(timeout=1.5))
            # The connection stays open and the agent was not restarted.
            self.assertIn('"getCerts"', connection.request('{"action":"getCerts"}'))
        self.assertNotIn("do restart", self.agent.log_texts())
        self.assertIsNone(self.agent.process.poll())

    def test_binary_message_is_read_like_text(self):
        with greeted() as connection:
            connection.send_frame(b'{"action":"getCerts"}', opcode=websockets.frames.OP_BINARY)
            self.assertIn('"getCerts"', connection.receive())

    def test_invalid_utf8_closes_the_connection(self):
        for compression in ("deflate", None):
            with greeted(compression=compression) as connection:
                connection.send_frame(b'{"action":"getCerts","x":"\xff\xfe"}')
                self.assertEqual(connection.wait_closed(), 1007)
        self.assert_still_serving()

    def test_message_over_128_mib_closes_the_connection(self):
        with greeted(compression=None) as connection:
            chunk = " " * (4 * 1024 * 1024)
            pieces = ['{"action":"getCerts"}'] + [chunk] * (MESSAGE_LIMIT // len(chunk))
            with self.assertRaises(websockets.ConnectionClosed) as closed:
                connection.send(pieces)
                connection.receive()
            self.assertEqual(closed.exception.rcvd.code, 1009)
        self.assert_still_serving()

    def test_compressed_message_inflating_past_128_mib_closes_the_connection(self):
        with greeted() as connection:
            self.assertEqual(connection.extensions_header, "permessage-deflate")
            message = '{"action":"getCerts","pad":"' + "0" * MESSAGE_LIMIT + '"}'
            with self.assertRaises(websockets.ConnectionClosed) as closed:
                connection.send(message)
                connection.receive()
            self.assertEqual(closed.exception.rcvd.code, 1009)
        self.assert_still_serving()

    def test_connection_dropped_mid_message_or_with_replies_pending(self):
        first = greeted()
        first.send_frame(b'{"action":"getCerts",', fin=False)
        first.send_frame(b'"pad":"' + b"x" * 5000, fin=False, opcode=0)
        time.sleep(0.2)
        first.abort()

        second = greeted()
        for _ in range(5):
            second.send('{"action":"getCerts"}')
        second.abort()
        # The sanitizer build checks at the agent's exit that both left nothing behind.
        self.assert_still_serving()

    def test_close_codes_are_echoed_when_valid_and_answered_1002_when_not(self):
        cases = {b"": None, b"\x03\xe8": 1000, b"\x0f\xa0bye": 4000, b"\x13\x87": 4999,
                 b"\x13\x88": 1002, b"\xff\xff": 1002, b"\x03\xe7": 1002, b"\x03\xed": 1002,
                 b"\x0b\xb7": 1002, b"\x03": 1002}
        for payload, expected in cases.items():
            with self.subTest(payload), greeted() as connection:
                connection.send_frame(payload, opcode=websockets.frames.OP_CLOSE)
                connection.wait_closed()
                self.assertEqual(connection.ws.close_rcvd and connection.ws.close_rcvd.code,
                                 expected if expected else 1005)
        self.assert_still_serving()

    def test_compressed_session_left_with_unread_bytes_is_closed_and_the_agent_idles(self):
        # Some replays leave the connection unserved, polled in a busy loop.
        with open(COMPRESSED_SESSION) as f:
            chunks = [base64.b64decode(chunk) for chunk in json.load(f)]
        for _ in range(40):
            with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
                # The agent may close the connection before the replay is sent whole.
                try:
                    for chunk in chunks:
                        s.sendall(chunk)
                    s.settimeout(0.15)
                    while s.recv(65536):
                        pass
                except OSError:
                    pass
        deadline = time.monotonic() + 60
        while connections_closed_by_peer() and time.monotonic() < deadline:
            time.sleep(1)
        self.assertEqual(connections_closed_by_peer(), 0)
        self.assertLess(self.agent.busy_ticks(), os.sysconf("SC_CLK_TCK") // 2, "agent busy")
        self.assert_still_serving()

    def test_upgrade_is_for_get_alone(self):
        for method in (b"POST", b"PUT", b"OPTIONS", b"DELETE"):
            with self.subTest(method), socket.create_connection(("127.0.0.1", PORT), 10) as s:
                s.sendall(method + b" / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                          b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: signature\r\n\r\n")
                self.assertEqual(s.recv(4096), b"")
            self.assertIsNone(self.agent.process.poll())
        self.assert_still_serving()

    def test_http_still_served_beside_websocket(self):
        with greeted():
            self.assertIn("v1.00.04", post_json(GET_VERSION))


if __name__ == "__main__":
    unittest.main()
