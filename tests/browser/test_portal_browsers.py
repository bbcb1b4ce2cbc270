"""The client library on a public HTTPS portal in Debian's Chromium and Firefox ESR, with
their local network rules really applying: the test runs in a network of its own where the
portal has a public address. Allowed by the browser policies quillmarkd writes the portal signs
in every mode, signs an e-invoice that xmlsec1 then verifies, filters out an expired
certificate, and runs the e-invoice example page (examples/e-invoice) from list to download;
without the policy the library says the browser blocked it; a refused site, a cancelled PIN and
a stopped agent each get their own error, the last in Vietnamese unless the page asks for
English. Headless browsers cannot show the permission prompt: Chromium answers it Block by
itself, and Firefox is given the user's Block through its automation protocol. Leaves a
screenshot of the example page in BUILD/browser/e-invoice-example.png."""

import base64
import contextlib
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import portal_network
from agent import Agent, allow_sites, stand_in_pinentry
from chromium import Browser
from firefox import Firefox
from lxml import etree
from page_server import PageServer
from pki import openssl_cms_content, openssl_verify_signature, shared_pki
from portal_network import OTHER_NAME, OTHER_ORIGIN, PORTAL_ADDRESS, PORTAL_NAME, PORTAL_ORIGIN
from xml_check import INVOICE, NS, xmlsec_verify

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY = os.path.join(HERE, "..", "..", "clients", "js", "quillmark.js")
EXAMPLE = os.path.join(HERE, "..", "..", "examples", "e-invoice")
SCREENSHOT_DIR = os.path.join(os.environ.get("QUILLMARK_BUILD_DIR", os.getcwd()), "browser")
PIN = "1234"
DATA = "Tờ khai thuế"
# A refused consent, a cancelled PIN, then the PIN that logs in for the signatures.
ANSWERS = ["deny", "cancel", PIN]

pki = cert = expired = agent = workdir = None  # made in the test's own network, by setUpModule


def page(path, port):
    """The portal: its test page, the e-invoice example under /e-invoice/, and the library
    beside each, as a portal serves the copy that came with the agent."""
    path = path.split("?")[0]
    if path.endswith("/quillmark.js"):
        name = LIBRARY
    elif path.startswith("/e-invoice/"):
        name = os.path.join(EXAMPLE, path[len("/e-invoice/"):] or "index.html")
    else:
        name = os.path.join(HERE, "portal.html")
    with open(name, "rb") as f:
        return f.read()


def setUpModule():
    global pki, cert, expired, agent, workdir
    pki = shared_pki()
    cert, expired = pki.users["vietnamese"], pki.users["expired"]
    workdir = tempfile.mkdtemp(prefix="quillmark-portal-")
    unittest.addModuleCleanup(shutil.rmtree, workdir, ignore_errors=True)
    home, tools = os.path.join(workdir, "agent-home"), os.path.join(workdir, "tools")
    os.makedirs(tools)
    pki.install(home, password=PIN, users=["vietnamese", "expired"])
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
    browser with a new profile, the local network policy set or not), `block(browser)` (the
    user's Block on the prompt) and `screenshot(browser, name)` (into BUILD/browser, where the
    browser can take one)."""

    def attempt(self, browser, transport, step, options="{}"):
        return browser.evaluate(f"attempt('{transport}', {step}, {options})")

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

    def sign_invoice(self, browser, transport):
        """The e-invoice signed through the library where the seller signs: the signed text."""
        outcome = self.attempt(browser, transport, (
            f"c => c.signXml({json.dumps(INVOICE.decode())}, {{serial: '{cert.serial_hex}', "
            "referenceId: 'data', parentPath: '/HDon/DSCKS/NBan', signatureId: 'seller'})"))
        self.assertIn("value", outcome, outcome)
        return outcome["value"]

    def assert_invoice_signed(self, signed):
        """xmlsec1 verifies the invoice with the certificate's key, and the seller's signature
        is where the options put it."""
        ok, output = xmlsec_verify(signed.encode(), cert.cert_pem)
        self.assertTrue(ok, output)
        signatures = etree.fromstring(signed.encode()).findall("DSCKS/NBan/ds:Signature", NS)
        self.assertEqual([s.get("Id") for s in signatures], ["seller"])

    def listed(self, browser, certificate_filter):
        """[serial, subject's common name, validNow] of each certificate getCerts keeps."""
        outcome = self.attempt(browser, "http", (
            f"c => c.getCerts({certificate_filter}).then(certs => certs.map("
            "c => [c.serialNumber, c.subject.commonName, c.validNow]))"))
        self.assertIn("value", outcome, outcome)
        return outcome["value"]

    @staticmethod
    def click(browser, button):
        """Clicks a button of the page and waits until its work is done: the example page turns
        its buttons off meanwhile."""
        browser.evaluate(f"""(async () => {{
            const button = document.getElementById("{button}");
            button.click();
            while (button.disabled) await new Promise((done) => setTimeout(done, 50));
        }})()""")

    def test_agent_not_running(self):
        with self.launch(policy=True) as browser:
            browser.open(PORTAL_ORIGIN + "/")
            stop_agent()
            try:
                vietnamese, english = [
                    self.attempt(browser, "http", "c => c.getCerts()", options)
                    for options in ("{}", "{locale: 'en'}")]
            finally:
                agent.start()
        self.assert_failed(vietnamese, "agentNotRunning")
        self.assert_failed(english, "agentNotRunning")
        # What the user reads says to start the agent: in Vietnamese unless the page asks for
        # English.
        self.assertIn("Chương trình ký số Quillmark không phản hồi: hãy mở QuillmarkXp",
                      vietnamese["message"])
        self.assertIn("The Quillmark agent does not answer: start it", english["message"])

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
            for transport in ("http", "websocket"):
                with self.subTest("e-invoice", transport=transport):
                    self.assert_invoice_signed(self.sign_invoice(browser, transport))
            with self.subTest("the validNow filter leaves the expired certificate out"):
                self.assertEqual(sorted(self.listed(browser, "{}")),
                                 sorted([[cert.serial_hex, cert.name, True],
                                         [expired.serial_hex, expired.name, False]]))
                self.assertEqual(self.listed(browser, "{validNow: true}"),
                                 [[cert.serial_hex, cert.name, True]])
            with self.subTest("the e-invoice example page"):
                self.use_example_page(browser)

    def use_example_page(self, browser):
        """The e-invoice example as its user goes through it: the certificates valid today are
        listed, the invoice the page holds is signed with the first and offered for download."""
        browser.open(PORTAL_ORIGIN + "/e-invoice/")
        self.click(browser, "list")
        self.assertEqual(browser.evaluate(
            "[...document.querySelectorAll('#certificates tr')].map(r => r.cells[1].textContent)"),
            [f"{cert.name}, Công ty Quillmark"])
        self.click(browser, "sign")
        status = browser.evaluate("document.getElementById('status').textContent")
        self.assertEqual(status, f"Đã ký hóa đơn bằng chứng thư số của {cert.name}.")
        signed = browser.evaluate("document.getElementById('signed').value")
        self.assert_invoice_signed(signed)
        self.assertEqual(browser.evaluate(
            "fetch(document.getElementById('download').href).then(r => r.text())"), signed)
        self.screenshot(browser, "e-invoice-example.png")

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

    def screenshot(self, browser, name):
        os.makedirs(SCREENSHOT_DIR, exist_ok=True)
        browser.screenshot(os.path.join(SCREENSHOT_DIR, name))


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

    def screenshot(self, browser, name):
        """None: the Firefox driver takes no screenshots; Chromium's shows the same page."""


if __name__ == "__main__":
    portal_network.enter()
    unittest.main()
