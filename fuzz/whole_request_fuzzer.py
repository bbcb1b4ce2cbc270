"""Fuzzes the real quillmarkd over a real socket with whole requests: HTTP requests and WebSocket
sessions from a seed list, mutated (bytes changed, cut, repeated, spliced), sent in random pieces
and ended in random ways. After every batch the agent must still be running and answer
getVersion; at the end it must be idle, with no connection left behind, and exit cleanly (so a
sanitizer build reports nothing).

Usage: whole_request_fuzzer.py [--seconds N] [--seed S]   (QUILLMARKD names the executable)
On a failure the cases of the last batch are written to whole-request-crash-N.bin (in
QUILLMARK_BUILD_DIR, or the current directory).
"""

import argparse
import os
import random
import socket
import struct
import sys
import time

from agent import PORT, Agent, call

KEY = b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
UPGRADE = (b"GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           KEY)
DEFLATE = b"Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n"


def post(body, headers=b""):
    return (b"POST / HTTP/1.1\r\nHost: localhost\r\n" + headers +
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def frame(payload, opcode=1, fin=True, rsv1=False):
    """A masked client frame (an all-zero mask keeps the payload readable in the seeds)."""
    head = bytes([(0x80 if fin else 0) | (0x40 if rsv1 else 0) | opcode])
    if len(payload) < 126:
        head += bytes([0x80 | len(payload)])
    elif len(payload) < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", len(payload))
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", len(payload))
    return head + b"\0\0\0\0" + payload


SEEDS = [
    post(b'{"action":"getVersion"}'),
    post(b'{"action":"getCerts"}'),
    post(b'{"action":"sign","serialNumber":"01","dataBase64":"aGVsbG8=","cms":true}'),
    post(b'{"action":"sign","serialNumber":"01","dataHex":"abc","secure":true}'),
    post(b'{"action":"getVersion"}') * 2,
    post(b'{"action":"getVersion","pad":"' + b"x" * 70000 + b'"}') * 2,
    b"POST / HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n"
    b"17\r\n{\"action\":\"getVersion\"}\r\n0\r\n\r\n",
    b"OPTIONS / HTTP/1.1\r\nHost: localhost\r\nOrigin: http://page.test\r\n"
    b"Access-Control-Request-Method: POST\r\nAccess-Control-Request-Headers: content-type\r\n\r\n",
    b"GET /index.html HTTP/1.0\r\n\r\n",
    UPGRADE + b"\r\n" + frame(b'{"action":"getCerts"}') + frame(b"", 9) + frame(b"\x03\xe8", 8),
    UPGRADE + b"Sec-WebSocket-Protocol: signature\r\n\r\n" +
    frame(b'{"action":"sign",', fin=False) + frame(b'"dataBase64":"aGk="}', 0),
    UPGRADE + DEFLATE + b"\r\n" + frame(b"\xaaVJL.\xc9\xcc\xcfS\xb2RJO-qN-*)V\xaa\x05\x00",
                                        rsv1=True),
    b"POST / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + KEY +
    b"Sec-WebSocket-Protocol: signature\r\n\r\n",
    b"OPTIONS / HTTP/1.1\r\nHost: localhost\r\nAccess-Control-Request-Method: POST\r\n"
    b"Content-Length: 20\r\n\r\n" + b"a" * 20,
]

TOKENS = [b"\r\n", b"\r\n\r\n", b"Content-Length: 5\r\n", b"Connection: close\r\n", b'"}', b"\x00",
          b"Upgrade: h2c\r\n", b"Transfer-Encoding: chunked\r\n", b"\xff" * 8, b"%", b"{"]


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(len(data) + 1)
        choice = rng.randrange(7)
        if choice == 0 and data:
            data[min(at, len(data) - 1)] = rng.randrange(256)
        elif choice == 1:
            data[at:at] = rng.choice(TOKENS)
        elif choice == 2:
            del data[at:at + rng.randint(1, 64)]
        elif choice == 3:
            end = min(len(data), at + rng.randint(1, 512))
            data[at:at] = data[at:end] * rng.randint(1, 3)
        elif choice == 4:
            data[at:] = rng.choice(SEEDS)[rng.randrange(40):]
        elif choice == 5:
            data[at:at] = os.urandom(rng.randint(1, 32))
        else:
            del data[at:]
    return bytes(data)


def send_case(rng, data):
    """Sends the case in random pieces, reads a little, then closes, half-closes or resets."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=2) as s:
        try:
            at = 0
            while at < len(data):
                piece = rng.choice([len(data), 1, 7, 100, 4096])
                s.sendall(data[at:at + piece])
                at += piece
                if rng.random() < 0.1:
                    time.sleep(0.01)
            s.settimeout(rng.choice([0.01, 0.05, 0.2]))
            while s.recv(65536):
                pass
        except OSError:
            pass
        ending = rng.randrange(3)
        try:
            if ending == 1:
                s.shutdown(socket.SHUT_WR)
            elif ending == 2:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass  # the agent closed first


def fail(message, batch):
    directory = os.environ.get("QUILLMARK_BUILD_DIR", ".")
    for n, case in enumerate(batch):
        with open(os.path.join(directory, f"whole-request-crash-{n}.bin"), "wb") as f:
            f.write(case)
    sys.exit(message)


def fuzz(agent, seconds, rng):
    end = time.monotonic() + seconds
    cases = 0
    while time.monotonic() < end:
        batch = [mutate(rng, rng.choice(SEEDS)) if rng.random() < 0.9 else rng.choice(SEEDS)
                 for _ in range(20)]
        for case in batch:
            send_case(rng, case)
        cases += len(batch)
        if agent.process.poll() is not None:
            fail(f"agent ended ({agent.process.returncode}) after {cases} cases", batch)
        try:
            if call({"action": "getVersion"}, timeout=20)["version"] != "v1.00.04":
                fail("getVersion answered wrongly", batch)
        except OSError as error:
            fail(f"getVersion not answered after {cases} cases: {error}", batch)
    return cases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    with Agent() as agent:
        cases = fuzz(agent, options.seconds, random.Random(options.seed))
        # Connections a peer left are closed by the agent's sweep; then the loop waits idle.
        time.sleep(12)
        busy = agent.busy_ticks()
        if busy > os.sysconf("SC_CLK_TCK") // 2:
            sys.exit(f"agent busy while idle after {cases} cases ({busy} ticks in 2 s)")
    print(f"{cases} cases, agent sound")


if __name__ == "__main__":
    main()
