"""A PIN unlocks the store or a token only for the request whose own dialog took it: a site
whose sign waited while another site logged in still needs its own right PIN."""

import base64
import json
import os
import random
import signal
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import payload
from agent import allow_sites
from pki import shared_pki
from test_pin_entry import DATA, OTHER_SITE, PIN, SITE, PinTestBase
from websocket_client import greeted

pki = shared_pki()


class PinRaceBase(PinTestBase):
    """Subclasses set up a store or token whose secret is `secret` and name the agent's extra
    environment `env`."""

    secret = PIN
    env = None

    def sign_over(self, transport, origin):
        if transport == "http":
            return self.sign(headers={"Origin": origin})
        # Over WebSocket the data travels enciphered.
        request = {"action": "sign", "serialNumber": self.cert.serial_hex,
                   "dataBase64": base64.b64encode(payload.encrypt(DATA)).decode()}
        with greeted(origin=origin) as connection:
            return json.loads(connection.request(json.dumps(request, separators=(",", ":"))))

    def wait_for_second_sign(self, agent, timeout=20.0):
        """Waits until the second sign request is being worked on."""
        deadline = time.monotonic() + timeout
        while agent.log_texts().count("string database64Str ") < 2:
            if time.monotonic() > deadline:
                raise AssertionError("the second sign never started")
            time.sleep(0.05)
        time.sleep(0.5)  # it reaches the line of dialogs

    def assert_refused(self, reply):
        self.assertNotIn("signedData", reply)
        self.assertEqual(reply["error"], "Get private key error")

    def assert_waiting_site_needs_its_own_pin(self, transport, answer):
        """A's dialog is held until B's sign waits behind it; A then gives the right secret,
        and B's dialog gets `answer`, on its try and its one retry."""
        allow_sites(self.home, SITE, OTHER_SITE)
        with self.agent(["await", self.secret, answer, answer, "cancel"], env=self.env) as agent:
            with ThreadPoolExecutor(2) as pool:
                first = pool.submit(self.sign_over, "http", SITE)
                dialog = self.awaiting_dialog()
                second = pool.submit(self.sign_over, transport, OTHER_SITE)
                self.wait_for_second_sign(agent)
                os.kill(dialog, signal.SIGUSR1)
                self.assert_signed(first.result(timeout=60))
                self.assert_refused(second.result(timeout=60))
            # B got nothing from A's login: its next sign asks again (and is cancelled).
            self.assert_refused(self.sign_over(transport, OTHER_SITE))
        self.assertEqual(len(self.runs()), 4)


class StorePinRaceTest(PinRaceBase):
    """A database protected by a password."""

    def setUp(self):
        super().setUp()
        pki.install(self.home, password=PIN, users=["vietnamese"])

    def test_a_site_that_waited_needs_its_own_password(self):
        for transport in ["http", "websocket"]:
            for answer in ["wrong", "empty"]:
                with self.subTest(transport=transport, answer=answer):
                    self.tearDown()
                    self.setUp()
                    self.assert_waiting_site_needs_its_own_pin(transport, answer)

    def test_random_interleaving_never_signs_for_the_site_with_the_wrong_pin(self):
        # Each site's dialogs get that site's answer, whatever the order they open in.
        allow_sites(self.home, SITE, OTHER_SITE)
        pins = os.path.join(self.tools, "site-pins")
        with open(pins, "w") as f:
            f.write(f"{SITE} {PIN}\n{OTHER_SITE} wrong\n")
        randomness = random.Random(31)
        signed = {SITE: 0, OTHER_SITE: 0}
        lock = threading.Lock()

        def site_signs(origin, transport, delays):
            for delay in delays:
                time.sleep(delay)
                if "signedData" in self.sign_over(transport, origin):
                    with lock:
                        signed[origin] += 1

        with self.agent([], env={"PINENTRY_STUB_SITE_PINS": pins}):
            rounds = [(origin, transport, [randomness.uniform(0, 0.2) for _ in range(6)])
                      for origin in (SITE, OTHER_SITE) for transport in ("http", "websocket")]
            threads = [threading.Thread(target=site_signs, args=round) for round in rounds]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(120)
        self.assertEqual(signed[OTHER_SITE], 0)
        self.assertEqual(signed[SITE], 12)


class TokenPinRaceTest(PinRaceBase):
    """A SoftHSM token registered in an unprotected database."""

    secret = "4321"

    def setUp(self):
        super().setUp()
        pki.install(self.home, users=["sha1"])
        self.env = pki.add_softhsm_token(self.home, "Quillmark Token", self.secret,
                                         ["vietnamese"])

    def test_a_site_that_waited_needs_its_own_pin(self):
        for answer in ["wrong", "empty"]:
            with self.subTest(answer=answer):
                self.tearDown()
                self.setUp()
                self.assert_waiting_site_needs_its_own_pin("http", answer)


if __name__ == "__main__":
    unittest.main()
