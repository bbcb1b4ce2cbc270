"""A request waiting for the user holds up no one else: a PIN dialog held open by the test
pinentry while other connections are served, closed with its page, and at a stop."""

import base64
import json
import os
import signal
import socket
import struct
import threading
import time
import unittest

from agent import PORT, call, no_response, post_json
from test_pin_entry import DATA, PIN, PinTestBase, pki
from websocket_client import greeted

PREFLIGHT = ("OPTIONS / HTTP/1.1\r\nHost: localhost\r\nOrigin: https://portal.example\r\n"
             "Access-Control-Request-Method: POST\r\n\r\n")


def store_workers(pid):
    """The agent's store worker threads, told by their name."""
    count = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as f:
                count += f.read().strip() == "store-worker"
        except FileNotFoundError:  # the thread ended meanwhile
            pass
    return count


class DialogWaitTest(PinTestBase):
    def setUp(self):
        super().setUp()
        pki.install(self.home, password=PIN, users=["vietnamese"])

    def sign_request(self):
        return ('{"action":"sign","serialNumber":"%s","dataBase64":"%s","cms":false}'
                % (self.cert.serial_hex, base64.b64encode(DATA).decode()))

    def open_sign(self):
        """A sign request on a connection of its own, left open unanswered."""
        connection = socket.create_connection(("127.0.0.1", PORT))
        body = self.sign_request().encode()
        connection.sendall(b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n"
                           % len(body) + body)
        return connection

    def wait_for(self, predicate, what, seconds=20):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if predicate():
                return
            time.sleep(0.05)
        self.fail(what)

    def dialogs(self):
        return [run for run in self.runs() if "GETPIN" in run]

    def assert_one_dialog_at_a_time(self):
        """Each dialog run's lines come whole: a second run never starts inside another."""
        for run in self.runs():
            self.assertEqual([line for line in run if line.startswith("program ")], run[:1])

    def preflight(self):
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(PREFLIGHT.encode())
            return s.recv(4096).split(b" ")[1]

    def test_others_are_served_while_a_dialog_waits_and_a_closed_page_closes_it(self):
        with self.agent(["hold", PIN]) as agent:
            idle = socket.create_connection(("127.0.0.1", PORT), timeout=30)
            waiting = self.open_sign()
            self.wait_for(lambda: self.dialogs(), "the first dialog never opened")
            expected_certs = post_json('{"action":"getCerts"}')

            # A second request needing the PIN waits its turn behind the open dialog; its
            # client has finished sending, and is answered all the same.
            second = self.open_sign()
            second.shutdown(socket.SHUT_WR)

            # Past the 5 s that cut an unanswered request, the waiting ones stay open.
            time.sleep(6)
            self.assertNotIn("terminated", self.dialogs()[0])

            # Meanwhile every request that needs no dialog is served.
            self.assertEqual(call({"action": "getVersion"})["action"], "getVersion")
            self.assertEqual(post_json('{"action":"getCerts"}'), expected_certs)
            self.assertEqual(self.preflight(), b"204")
            with greeted() as connection:
                self.assertEqual(connection.request('{"action":"getCerts"}'), expected_certs)
            self.assertEqual(len(self.dialogs()), 1)

            # The first page goes away: its dialog closes and the second one opens.
            waiting.close()
            second.settimeout(30)
            reply = b"".join(iter(lambda: second.recv(65536), b""))
            second.close()
            self.assert_signed(json.loads(reply.rpartition(b"\r\n\r\n")[2]))
            runs = self.dialogs()
            self.assertEqual(len(runs), 2)
            self.assertEqual(runs[0][-1], "terminated")
            self.assert_one_dialog_at_a_time()
            # The abandoned request got no reply: one signature was logged, the second's.
            self.assertEqual(agent.log_texts().count("signedDataBase64 "), 1)
            # A connection that never sent a request is still cut.
            self.assertEqual(idle.recv(1), b"")
            idle.close()

    def test_a_page_that_finishes_sending_then_leaves_closes_its_dialog(self):
        # Past the agent's first look at the half-closed page, the page closes, or resets.
        with self.agent(["hold", "hold"]) as agent:
            for n, leave in enumerate(["close", "reset"]):
                page = self.open_sign()
                self.wait_for(lambda: len(self.dialogs()) == n + 1, "the dialog never opened")
                page.shutdown(socket.SHUT_WR)
                # The agent looks whether the page is still there with an interim reply, which
                # the page reads: a close with nothing unread is a plain close, not a reset.
                page.settimeout(15)
                self.assertEqual(page.recv(64), b"HTTP/1.1 100 Continue\r\n\r\n")
                self.assertNotIn("terminated", self.dialogs()[n])
                if leave == "reset":
                    page.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                page.close()
                self.wait_for(lambda: self.dialogs()[n][-1] == "terminated",
                              f"the dialog of a page that did {leave} stayed open")
            self.assertEqual(agent.log_texts().count("signedDataBase64 "), 0)

    def test_idle_connections_at_the_cap_never_take_a_request_waiting_for_its_dialog(self):
        # 512 descriptors leave room for 384 connections; the waiting one is the idlest.
        with self.agent(["hold"], wrapper=["prlimit", "--nofile=512:512"]):
            waiting = self.open_sign()
            self.wait_for(lambda: self.dialogs(), "the dialog never opened")
            time.sleep(1)
            idle = []
            for n in range(400):
                idle.append(socket.socket())
                idle[-1].bind((f"127.0.0.{2 + n // 100}", 0))
                idle[-1].connect(("127.0.0.1", PORT))
            self.assertEqual(call({"action": "getVersion"})["action"], "getVersion")
            waiting.setblocking(False)
            with self.assertRaises(BlockingIOError):
                waiting.recv(1)
            self.assertNotIn("terminated", self.dialogs()[0])
            for connection in idle + [waiting]:
                connection.close()

    def test_stopping_during_a_dialog_with_another_waiting(self):
        agent = self.agent(["hold", "hold"]).start()
        try:
            connections = [self.open_sign()]
            self.wait_for(lambda: self.dialogs(), "the dialog never opened")
            connections.append(self.open_sign())
            self.assertTrue(no_response("{}", wait=0.5))  # the agent still serves
        finally:
            self.assertEqual(agent.stop(), 0)
        for connection in connections:
            connection.close()
        runs = self.dialogs()
        self.assertEqual(len(runs), 1)
        self.assertEqual(runs[0][-1], "terminated")

    def test_workers_have_a_cap_and_idle_ones_end(self):
        with self.agent(["hold", "hold"], env={"QUILLMARK_TEST_STORE_WORKERS": "2,200"}) as agent:
            threads = lambda: store_workers(agent.process.pid)
            before = threads()
            pages = [self.open_sign()]
            self.wait_for(self.dialogs, "the dialog never opened")
            pages.append(self.open_sign())
            self.wait_for(lambda: threads() == before + 2, "the second request got no worker")
            listing = {}
            lister = threading.Thread(target=lambda: listing.update(call({"action": "getCerts"})))
            lister.start()
            # Both workers wait for the user: the listing waits in the queue for one of them.
            lister.join(1)
            self.assertTrue(lister.is_alive())
            pages[0].close()
            lister.join(30)
            self.assertEqual(len(listing["certs"]), 1)
            pages[1].close()
            # The peer check finds a page gone within two of its rounds (5 s each).
            self.wait_for(lambda: threads() == before, "idle workers were left", seconds=60)

    def test_a_store_changed_during_a_pin_dialog_stays_open_under_it(self):
        added = pki.users["sha1"]
        with self.agent(["await", PIN, PIN]):
            reply = {}
            signer = threading.Thread(target=lambda: reply.update(self.sign(timeout=120)))
            signer.start()
            self.wait_for(lambda: "awaiting" in str(self.runs()), "the dialog never opened")
            pki.import_user(self.home, added, PIN)
            listed = {e["serialNumber"] for e in call({"action": "getCerts"})["certs"]}
            self.assertEqual(listed, {self.cert.serial_hex, added.serial_hex})
            pid = next(line.split()[1] for line in self.runs()[0] if line.startswith("awaiting"))
            os.kill(int(pid), signal.SIGUSR1)
            signer.join(120)
            self.assert_signed(reply)
            self.cert = added  # the next request opens the changed store again
            self.assert_signed(self.sign())


if __name__ == "__main__":
    unittest.main()
