"""How the real quillmarkd holds many idle connections: it raises its descriptor limit at
start, and at its connection cap it closes the longest-idle connection for a new one."""

import resource
import socket
import time
import unittest

from agent import PORT, Agent, call

UPGRADE = (b"GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
START_MESSAGE = b'{ "action" : "start" }'
PER_ADDRESS = 100  # under the agent's limit per client address


def greeted_connections(count, first_address=2):
    """WebSocket connections, each greeted, from PER_ADDRESS connections per loopback address."""
    connections = []
    for n in range(count):
        s = socket.socket()
        s.settimeout(10)
        s.bind((f"127.0.0.{first_address + n // PER_ADDRESS}", 0))
        s.connect(("127.0.0.1", PORT))
        s.sendall(UPGRADE)
        data = b""
        while not data.endswith(START_MESSAGE):
            chunk = s.recv(4096)
            if not chunk:
                raise AssertionError(f"connection {n} closed before its greeting")
            data += chunk
        connections.append(s)
    return connections


def closed_by_agent(connection):
    connection.setblocking(False)
    try:
        return connection.recv(1) == b""
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


def open_files_limit(pid):
    with open(f"/proc/{pid}/limits") as f:
        line = next(line for line in f if line.startswith("Max open files"))
    return int(line.split()[3])


class OpenConnectionsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    def setUp(self):
        self.connections = []

    def tearDown(self):
        for connection in self.connections:
            connection.close()

    def test_more_idle_connections_than_the_session_limit(self):
        with Agent(wrapper=["prlimit", "--nofile=1024:4096"]) as agent:
            self.connections = greeted_connections(1100)
            self.assertEqual(open_files_limit(agent.process.pid), 4096)
            self.assertEqual(call({"action": "getVersion"})["version"], "v1.00.04")
            self.assertFalse(any(closed_by_agent(c) for c in self.connections))

    def test_longest_idle_connections_make_room_at_the_cap(self):
        # 512 descriptors leave room for 384 connections.
        with Agent(wrapper=["prlimit", "--nofile=512:512"]) as agent:
            old = greeted_connections(100)
            time.sleep(1)
            new = greeted_connections(320, first_address=3)
            self.connections = old + new
            self.assertEqual(call({"action": "getVersion"})["version"], "v1.00.04")
            time.sleep(0.5)
            self.assertGreaterEqual(sum(closed_by_agent(c) for c in old), 420 + 1 - 384)
            self.assertFalse(any(closed_by_agent(c) for c in new))
            self.assertIsNone(agent.process.poll())


if __name__ == "__main__":
    unittest.main()
