"""A request that needs more memory than the agent may have ends alone: the agent closes its
connection without a reply and goes on serving."""

import socket
import unittest

import build_config
from agent import PORT, Agent, call

MIB = 1024 * 1024


def address_space(pid):
    """The address space in use now. (Its peak also counts what a new thread's malloc arena
    reserves for a moment, which is not the room a request has.)"""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize")


def send_and_read(request):
    """Sends one HTTP request and reads until the agent closes; what it wrote back."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=120) as s:
        s.sendall(f"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: {len(request)}\r\n\r\n"
                  .encode())
        try:
            s.sendall(request)
        except OSError:
            pass  # closed while the body was still on its way
        received = b""
        try:
            while chunk := s.recv(65536):
                received += chunk
        except ConnectionResetError:
            pass
        return received


@unittest.skipIf(build_config.sanitized(), "the sanitizer's shadow memory needs the address "
                 "space an address-space limit takes away")
class MemoryExhaustionTest(unittest.TestCase):
    def test_request_beyond_the_memory_limit_ends_alone(self):
        with Agent() as agent:
            call({"action": "getCerts"})  # the store worker starts
            size = address_space(agent.process.pid)
        # Room for the request's text, not for the parsed copy of its data.
        limit = size + 150 * MIB
        request = (b'{"action":"sign","serialNumber":"01","secure":true,"dataBase64":"'
                   + b"A" * (100 * MIB) + b'","cms":false}')
        with Agent(wrapper=["prlimit", f"--as={limit}"]) as agent:
            call({"action": "getCerts"})
            self.assertEqual(call({"action": "getVersion"})["action"], "getVersion")
            self.assertEqual(send_and_read(request), b"")
            self.assertIsNone(agent.process.poll())
            self.assertEqual(call({"action": "getVersion"})["action"], "getVersion")


if __name__ == "__main__":
    unittest.main()
