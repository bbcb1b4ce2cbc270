"""A real WebSocket client for end-to-end tests of the agent's "signature" endpoint.

It uses Debian's python3-websockets (run the tests with /usr/bin/python3) and wraps its
asyncio interface in blocking calls: each Connection owns a private event loop that runs
only while one of its methods waits.
"""

import asyncio

import websockets
from websockets.frames import OP_TEXT

from agent import PORT

URL = f"ws://127.0.0.1:{PORT}/"
START_MESSAGE = '{ "action" : "start" }'


class Connection:
    """One WebSocket connection to the agent; use as a context manager.

    subprotocol: the sub-protocol to offer, or None to offer none.
    compression: "deflate" to offer permessage-deflate, None to offer nothing.
    origin: the handshake's Origin header, as a browser sends the page's; None sends none.
    """

    def __init__(self, subprotocol="signature", compression="deflate", url=URL, origin=None):
        async def connect():
            return await websockets.connect(
                url, subprotocols=[subprotocol] if subprotocol else None,
                compression=compression, max_size=None, ping_interval=None, close_timeout=2,
                origin=origin)

        self.loop = asyncio.new_event_loop()
        self.ws = self.loop.run_until_complete(connect())

    @property
    def subprotocol(self):
        return self.ws.subprotocol

    @property
    def extensions_header(self):
        return self.ws.response_headers.get("Sec-WebSocket-Extensions")

    def _run(self, coroutine):
        return self.loop.run_until_complete(coroutine)

    def send(self, message):
        """Sends a text message; a list of texts is sent as one fragmented message."""
        if isinstance(message, list):
            async def pieces():
                for piece in message:
                    yield piece
            self._run(self.ws.send(pieces()))
        else:
            self._run(self.ws.send(message))

    def send_frame(self, data, fin=True, opcode=OP_TEXT):
        """Sends one raw frame, for payloads a well-behaved client would refuse to send."""
        self._run(self.ws.write_frame(fin, opcode, data))

    def receive(self, timeout=10.0):
        """The next message, or None when nothing arrives within the timeout."""
        try:
            return self._run(asyncio.wait_for(self.ws.recv(), timeout))
        except asyncio.TimeoutError:
            return None

    def request(self, message, timeout=30.0):
        self.send(message)
        return self.receive(timeout)

    def wait_closed(self, timeout=10.0):
        """The close code the agent gave, or None when the connection is still open."""
        try:
            self._run(asyncio.wait_for(self.ws.wait_closed(), timeout))
        except asyncio.TimeoutError:
            return None
        return self.ws.close_code

    def abort(self):
        """Drops the TCP connection without a closing handshake."""
        self.ws.transport.abort()
        self.close()

    def close(self):
        if not self.loop.is_closed():
            try:
                self._run(self.ws.close())
            except (OSError, websockets.ConnectionClosed):
                pass
            self.loop.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def greeted(**kwargs):
    """A new connection whose start message has been read."""
    connection = Connection(**kwargs)
    start = connection.receive()
    if start != START_MESSAGE:
        connection.close()
        raise AssertionError(f"unexpected start message {start!r}")
    return connection
