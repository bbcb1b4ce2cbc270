"""The client library on a public HTTPS portal in Debian's Chromium and Firefox ESR, with
their local network rules really applying: the test runs in a network of its own where the
portal has a public address. Allowed by the browser policies quillmarkd writes the portal signs
in every mode; without the policy the library says the browser blocked it; a refused site, a
cancelled PIN and a stopped agent each get their own error. Headless browsers cannot show the
permission prompt: Chromium answers it Block by itself, and Firefox is given the user's Block
through its automation protocol."""

import base64
import contextlib
import os
import shutil
import subprocess
import tempfile
import unittest

import portal_network
from agent import Agent, allow_sites, stand_in_pinentry
from chromium import Browser
from firefox import Firefox
from page_server import PageServer
from pki import openssl_cms_content, openssl_verify_signature, shared_pki
from portal_network import OTHER_NAME, OTHER_ORIGIN, PORTAL_ADDRESS, PORTAL_NAME, PORTAL_ORIGIN

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY = os.path.join(HERE, "..", "..", "clients", "js", "quillmark.js")
PIN = "1234"
DATA = "Tờ khai thuế"
# A refused consent, a cancelled PIN, then the PIN that logs in for the signatures.
ANSWERS = ["deny", "cancel", PIN]

pki = cert = agent = workdir = None  # made in the test's own network, by setUpModule


def page(path, port):
    with open(LIBRARY if path == "/quillmark.js" else os.path.join(HERE, "portal.html"),
              "rb") as f:
        return f.read()


def setUpModule():
    global pki, cert, agent, workdir
    pki = shared_pki()
    cert = pki.users["vietnamese"]
    workdir = tempfile.mkdtemp(prefix="quillmark-portal-")
    unittest.addModuleCleanup(shutil.rmtree, workdir, ignore_errors=True)
    home, tools = os.path.join(workdir, "agent-home"), os.path.join(workdir, "tools")
    os.makedirs(tools)
    pki.install(home, password=PIN, users=["vietnamese"])
    allow_sites(home, PORTAL_ORIGIN)
    stand_in_pinentry(tools)
    agent = Agent(home=home, env={
        "PATH": tools + os.pathsep + os.environ["PATH"], "DISPLAY": "", "WAYLAND_DISPLAY": "",
        "PINENTRY_STUB_ANSWERS": os.path.join(tools, "answers"),
        "PINENTRY_STUB_TRANSCRIPT": os.path.join(tools, "transcript")}).start()
    unittest.addModuleCleanup(stop_agent)
    certificate = pki.make_server(PORTAL_NAME, OTHER_NAME)
    server = PageServer(page, PORTAL_ADDRESS, 443, (certificate.cert_pem, certificate.key_pem))
    unittest.addModuleCleanup(server.close)
    # Chromium's certificate database is the one in its HOME.
    os.environ["HOME"] = os.path.join(workdir, "browser-home")
    pki.trust_root(os.path.join(os.environ["HOME"], ".pki", "nssdb"))


def stop_agent():
    code = agent.stop()
    assert code == 0, f"agent exited with {code}:\n{agent.stderr()}"


def set_browser_policies(allowed):
    """The browsers' policies as `quillmarkd --browser-policies` writes them from the
    administrator's list, for both sites or for none. The list is emptied again afterwards, so
    that the agent itself still asks about the sites the user has not allowed."""
    sites = "/etc/quillmark/allowed-sites"
    os.makedirs(os.path.dirname(sites), exist_ok=True)
    with open(sites, "w") as f:
        f.write(f"{PORTAL_ORIGIN}\n{OTHER_ORIGIN}\n" if allowed else "")
    subprocess.run([os.environ["QUILLMARKD"], "--browser-policies"], check=True,
                   stdout=subprocess.DEVNULL)
    open(sites, "w").close()


class PortalCases:
    """The cases, for a browser subclass that gives `launch(policy)` (a context manager: a
    browser with a new profile, the local network policy set or not) and `block(browser)` (the
    user's Block on the prompt)."""

    def attempt(self, browser, transport, step):
        return browser.evaluate(f"attempt('{transport}', {step})")

    def sign(self, browser, transport="http", result_format="raw", secure=False):
        return self.attempt(browser, transport, (
            f"c => c.sign({{serial: '{cert.serial_hex}', data: new TextEncoder().encode("
            f"'{DATA}'), format: '{result_format}', secure: {str(secure).lower()}}}).then(base64)"))

    def assert_signed(self, outcome, result_format):
        self.assertIn("value", outcome, outcome)
        signature = base64.b64decode(outcome["value"])
        if result_format == "cms":
            signature = openssl_cms_content(signature)
        self.assertTrue(openssl_verify_signature(cert, DATA.encode(), signature, workdir))

    def assert_failed(self, outcome, code):
        self.assertEqual(outcome.get("code"), code, outcome)

    def test_agent_not_running(self):
        with self.launch(policy=True) as browser:
            browser.open(PORTAL_ORIGIN + "/")
            stop_agent()
            try:
                outcome = self.attempt(browser, "http", "c => c.getCerts()")
            finally:
                agent.start()
        self.assert_failed(outcome, "agentNotRunning")

    def test_allowed_by_policy(self):
        # A new run of the agent, which has not yet been asked anything.
        stop_agent()
        with open(agent.extra_env["PINENTRY_STUB_ANSWERS"], "w") as f:
            f.write(",".join(ANSWERS))
        agent.start()
        with self.launch(policy=True) as browser:
            browser.open(OTHER_ORIGIN + "/")
            self.assert_failed(self.sign(browser), "siteRefused")
            browser.open(PORTAL_ORIGIN + "/")
            self.assert_failed(self.sign(browser), "pinCancelled")
            # Over WebSocket the data always travels enciphered.
            for transport, result_format, secure in [
                    ("http", "raw", False), ("http", "raw", True), ("http", "cms", False),
                    ("http", "cms", True), ("websocket", "raw", True),
                    ("websocket", "cms", True)]:
                with self.subTest(transport=transport, format=result_format, secure=secure):
                    self.assert_signed(self.sign(browser, transport, result_format, secure),
                                       result_format)

    def test_blocked_without_policy(self):
        with self.launch(policy=False) as browser:
            browser.open(PORTAL_ORIGIN + "/")
            self.block(browser)
            outcome = self.attempt(browser, "http", "c => c.getCerts()")
        self.assert_failed(outcome, "localNetworkBlocked")
        self.assertIn(self.UNDO_WORDS, outcome["howToUndo"])


class ChromiumTest(PortalCases, unittest.TestCase):
    UNDO_WORDS = "LoopbackNetworkAllowedForUrls"

    @contextlib.contextmanager
    def launch(self, policy):
        set_browser_policies(policy)
        with Browser(tempfile.mkdtemp(dir=workdir)) as browser:
            yield browser

    def block(self, browser):
        """Nothing to do: headless Chromium cannot show the prompt and answers it Block."""


class FirefoxTest(PortalCases, unittest.TestCase):
    UNDO_WORDS = "LocalNetworkAccess"

    @contextlib.contextmanager
    def launch(self, policy):
        set_browser_policies(policy)
        profile = tempfile.mkdtemp(dir=workdir)
        pki.trust_root(profile)
        with Firefox(profile) as browser:
            yield browser

    def block(self, browser):
        # Headless Firefox holds the request on the prompt it cannot show, for minutes.
        browser.set_permission("loopback-network", "denied", PORTAL_ORIGIN)


if __name__ == "__main__":
    portal_network.enter()
    unittest.main()
