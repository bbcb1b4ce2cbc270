"""How the real quillmarkd frames HTTP requests on one connection: pipelined requests,
bytes after a body, framing it does not take apart, and requests that get no reply."""

import os
import select
import socket
import time
import unittest

from agent import AgentTestCase, PORT, post_json

VERSION_REPLY = '{\n\t"action":\t"getVersion",\n\t"version":\t"v1.00.04"\n}'
GET_VERSION = b'{"action":"getVersion"}'


def request(body, extra_headers=b""):
    return (b"POST / HTTP/1.1\r\nHost: localhost\r\n" + extra_headers +
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def read_until_closed(payload, timeout, half_close=False):
    """Sends the payload (then a FIN, with `half_close`) and returns all bytes the agent writes
    until it closes the connection (None when it is still open after `timeout` seconds)."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as s:
        s.sendall(payload)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        data = b""
        try:
            while chunk := s.recv(65536):
                data += chunk
        except socket.timeout:
            return None
        except ConnectionResetError:
            pass
        return data


class RequestFramingTest(AgentTestCase):
    def assert_agent_idle_and_serving(self):
        self.assertEqual(post_json(GET_VERSION), VERSION_REPLY)
        time.sleep(0.2)  # the size of the reply is logged just after it is written
        ticks, log_size = self.agent.cpu_ticks(), os.path.getsize(self.agent.log_path())
        time.sleep(1)
        busy = self.agent.cpu_ticks() - ticks
        self.assertLess(busy, os.sysconf("SC_CLK_TCK") // 4, "agent busy while idle")
        self.assertEqual(os.path.getsize(self.agent.log_path()), log_size, "log still growing")

    def test_pipelined_requests_are_answered_in_order_or_closed_after_the_first(self):
        second = b'{"action":"getVersion","n":2}'
        data = read_until_closed(request(GET_VERSION) + request(second), timeout=10)
        answer = (b"HTTP/1.1 200 OK\r\ncontent-type: application/json\r\n"
                  b"access-control-allow-origin: *\r\ncontent-length: 51\r\n\r\n" +
                  VERSION_REPLY.encode())
        self.assertIn(data, [answer, answer * 2])
        self.assert_agent_idle_and_serving()

    def test_request_pipelined_after_a_large_body_is_not_read(self):
        # Each body spans several reads of the socket; the second request must never reach the
        # endpoint, whole or in pieces.
        body = b'{"action":"getVersion","pad":"' + b"x" * 89969 + b'"}'
        for count in (2, 3):
            completions = self.agent.log_texts().count("LWS_CALLBACK_HTTP_BODY_COMPLETION")
            data = read_until_closed(request(body) * count, timeout=10)
            self.assertEqual(data.count(b"HTTP/1.1 200 OK"), 1)
            self.assertEqual(self.agent.log_texts().count("LWS_CALLBACK_HTTP_BODY_COMPLETION"),
                             completions + 1)
        self.assert_agent_idle_and_serving()

    def test_a_whole_request_is_answered_after_the_client_finishes_sending(self):
        large = b'{"action":"getVersion","pad":"' + b"x" * (16 << 20) + b'"}'
        for body in [GET_VERSION, large]:
            data = read_until_closed(request(body), timeout=30, half_close=True)
            self.assertTrue(data.endswith(VERSION_REPLY.encode()), data[:200])

    def test_preflight_with_a_body_is_answered_and_closed(self):
        preflight = (b"OPTIONS / HTTP/1.1\r\nHost: localhost\r\nOrigin: http://page.test\r\n"
                     b"Access-Control-Request-Method: POST\r\nContent-Length: 20\r\n\r\n" +
                     b"a" * 20)
        for count in (1, 2):
            data = read_until_closed(preflight * count, timeout=10)
            self.assertTrue(data.startswith(b"HTTP/1.1 204 "), data)
            self.assertEqual(data.count(b"HTTP/1.1"), 1)
        self.assert_agent_idle_and_serving()

    def test_bytes_after_a_body_do_not_busy_the_agent(self):
        for payload in [b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 8\r\n\r\nnot jsonA",
                        request(GET_VERSION) + b"A",
                        b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\nA", b"POST / HTTP/1.1\r\n\r\nA"]:
            with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
                s.sendall(payload)
                self.assert_agent_idle_and_serving()

    def test_framing_in_doubt_closes_the_connection(self):
        cases = {
            "two lengths": b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 23\r\n"
                           b"Content-Length: 5\r\n\r\n" + GET_VERSION,
            "length and chunks": b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 23\r\n"
                                 b"Transfer-Encoding: chunked\r\n\r\n17\r\n" + GET_VERSION +
                                 b"\r\n0\r\n\r\n",
        }
        for name, payload in cases.items():
            with self.subTest(name):
                self.assertEqual(read_until_closed(payload, timeout=10), b"")
                self.assert_agent_idle_and_serving()

    def test_unanswered_request_with_a_body_is_closed(self):
        # Left open, it would hold a page's fetch and count against the per-address limit.
        for body in [b'{"action":"nothing"}', b'{"action":"sign"}']:
            self.assertEqual(read_until_closed(request(body), timeout=20), b"", body)

    def test_trickled_body_is_cut(self):
        # One byte a second keeps the library's per-piece time-out from ever firing.
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 200\r\n\r\n")
            for seconds in range(1, 150):
                time.sleep(1)
                try:
                    s.sendall(b" ")
                    if select.select([s], [], [], 0)[0] and s.recv(1) == b"":
                        break
                except OSError:
                    break
        self.assertGreater(seconds, 30)
        self.assertLess(seconds, 149, "a trickled body was never cut")


if __name__ == "__main__":
    unittest.main()
