"""The HTTP endpoint of the real quillmarkd, over real sockets."""

import socket
import time
import unittest

from agent import AgentTestCase, PORT, no_response, post, post_json

VERSION_REPLY = '{\n\t"action":\t"getVersion",\n\t"version":\t"v1.00.04"\n}'
GET_VERSION = '{"action":"getVersion"}'


def raw_exchange(payload, read_until=None, timeout=5.0):
    """Sends raw bytes on one connection and reads until the marker count is met or EOF."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as s:
        for piece in payload if isinstance(payload, list) else [payload]:
            s.sendall(piece)
            time.sleep(0.05)
        data = b""
        while read_until is None or data.count(read_until[0]) < read_until[1]:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        return data


def http_request(body, path="/"):
    return (f"POST {path} HTTP/1.1\r\nHost: localhost\r\nContent-Length: {len(body)}\r\n\r\n"
            .encode() + body)


class HttpEndpointTest(AgentTestCase):
    def test_get_version_on_any_path_with_exact_bytes_and_headers(self):
        for path in ["/", "/any/path", "/a/b/c?x=1", "/index.html"]:
            for host in ["127.0.0.1", "::1"]:
                status, headers, body = post(GET_VERSION, path=path, host=host)
                self.assertEqual(status, 200)
                self.assertEqual(headers["content-type"], "application/json")
                self.assertEqual(headers["access-control-allow-origin"], "*")
                self.assertEqual(int(headers["content-length"]), len(VERSION_REPLY))
                self.assertEqual(body.decode(), VERSION_REPLY)

    def test_action_names(self):
        self.assertEqual(post_json('{"action":"getVersionPlus"}'), VERSION_REPLY)
        self.assertEqual(post_json('{"ACTION":"getVersion"}'), VERSION_REPLY)
        for body in ['{"action":"GetVersion"}', '{"action":"restart2"}', '{"action":"nothing"}',
                     '{"action":7}', '{}', 'not json', '[]']:
            self.assertTrue(no_response(body), body)

    def test_requests_without_a_body_get_no_response(self):
        self.assertTrue(no_response("", method="POST"))
        self.assertTrue(no_response("", method="GET"))
        self.assertTrue(no_response("", method="OPTIONS"))

    def test_body_in_several_pieces_is_joined(self):
        body = b'{"action":' + b' ' * 9000 + b'"getVersion"}'
        head = f"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: {len(body)}\r\n\r\n".encode()
        pieces = [head, body[:5], body[5:4000], body[4000:]]
        reply = raw_exchange(pieces, read_until=(b"}", 1))
        self.assertTrue(reply.endswith(VERSION_REPLY.encode()), reply)

    def test_two_requests_on_one_kept_alive_connection(self):
        first = http_request(GET_VERSION.encode(), "/one")
        second = http_request(b'{"action":"getVersion","pad":"xx"}', "/two")
        reply = raw_exchange([first, second], read_until=(b"v1.00.04", 2))
        self.assertEqual(reply.count(b"HTTP/1.1 200 OK"), 2)
        self.assertEqual(reply.count(VERSION_REPLY.encode()), 2)
        log = self.agent.log_texts()
        self.assertIn('{"action":"getVersion","pad":"xx"}', log)

    def test_body_is_taken_up_to_a_nul_byte(self):
        status, _, body = post(b'{"action":"getVersion"}\x00{"action":"restart"}')
        self.assertEqual((status, body.decode()), (200, VERSION_REPLY))

    def test_log_lines_of_one_request(self):
        post_json(GET_VERSION)
        # The reply can reach us before the agent logs the size it wrote.
        deadline = time.monotonic() + 5
        while self.agent.log_texts()[-1] != str(len(VERSION_REPLY)) and time.monotonic() < deadline:
            time.sleep(0.01)
        tail = self.agent.log_texts()[-5:]
        self.assertEqual(tail, ["LWS_CALLBACK_HTTP_BODY_COMPLETION", GET_VERSION, "getVersion",
                                "LWS_CALLBACK_HTTP_WRITEABLE", str(len(VERSION_REPLY))])

    @staticmethod
    def next_connection_is_refused(timeout=10):
        # A loaded agent may not have accepted all the held connections yet: a connection
        # that slipped in under the limit is let go and the next one tried.
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with socket.create_connection(("127.0.0.1", PORT), timeout=5) as candidate:
                candidate.settimeout(1)
                try:
                    if candidate.recv(1) == b"":
                        return True
                except TimeoutError:
                    pass
        return False

    def test_connections_per_address_are_limited(self):
        held = [socket.create_connection(("127.0.0.1", PORT), timeout=5) for _ in range(105)]
        try:
            self.assertTrue(self.next_connection_is_refused())
            # Another address is counted on its own.
            self.assertEqual(post_json(GET_VERSION, host="::1"), VERSION_REPLY)
        finally:
            for s in held:
                s.close()
        # Ended connections are released, whichever protocol served them.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                post_json(GET_VERSION, timeout=1)
                break
            except OSError:
                time.sleep(0.1)
        for _ in range(120):
            self.assertEqual(post_json(GET_VERSION), VERSION_REPLY)

    def test_oversized_body_closes_the_connection(self):
        limit = 128 * 1024 * 1024
        with socket.create_connection(("127.0.0.1", PORT), timeout=20) as s:
            s.sendall(f"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: {limit + 1}\r\n\r\n".encode())
            chunk = b" " * (1 << 20)
            with self.assertRaises(OSError):
                for _ in range(limit // len(chunk) + 2):
                    s.sendall(chunk)
                # The agent closed the connection: further sends or reads fail or hit EOF.
                if s.recv(1) == b"":
                    raise ConnectionResetError
        self.assertEqual(post_json(GET_VERSION), VERSION_REPLY)


if __name__ == "__main__":
    unittest.main()
