"""The demo page in headless Chromium against the real agent and a test PKI store: listing
over both transports, signing over HTTP and WebSocket in every mode, and the page's own
WebCrypto verification; its e-invoice signed with either certificate over either transport,
verified by xmlsec1, the page's own check of it, and a document the agent refuses. Leaves
screenshots in BUILD/browser/demo-page.png and demo-e-invoice.png."""

import json
import os
import shutil
import sys
import tempfile
import unittest

from agent import Agent, allow_sites
from chromium import Browser
from pki import Pki
from xml_check import xmlsec_verify

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import demo  # noqa: E402  (the demo's own page server)

BUILD_DIR = os.environ.get("QUILLMARK_BUILD_DIR", os.getcwd())
SCREENSHOT_DIR = os.path.join(BUILD_DIR, "browser")

ALL_CHECKS = [
    "getCerts: WebSocket lists what HTTP lists",
    "sign: HTTP, raw, plain", "sign: HTTP, raw, secure", "sign: HTTP, cms, plain",
    "sign: HTTP, cms, secure", "sign: WebSocket, raw, secure", "sign: WebSocket, cms, secure",
]


class DemoPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Each cleanup is registered as soon as its resource exists, so that a failure part
        # way through still stops what was started.
        cls.workdir = tempfile.mkdtemp(prefix="quillmark-browser-")
        cls.addClassCleanup(shutil.rmtree, cls.workdir, ignore_errors=True)
        cls.pki = Pki(os.path.join(cls.workdir, "pki"))
        home = os.path.join(cls.workdir, "home")
        os.makedirs(home)
        cls.pki.install(home, users=demo.DEMO_SIGNERS)
        cls.agent = Agent(home=home).start()
        cls.addClassCleanup(cls.stop_agent)
        cls.server = demo.serve_page(BUILD_DIR, 0)
        cls.addClassCleanup(cls.server.shutdown)
        cls.page_url = f"http://127.0.0.1:{cls.server.server_address[1]}/"
        # The user allowed the demo's site once: its requests ask nothing more.
        allow_sites(home, cls.page_url.rstrip("/"))
        cls.browser = Browser(os.path.join(cls.workdir, "profile"))
        cls.addClassCleanup(cls.browser.close)

    @classmethod
    def stop_agent(cls):
        code = cls.agent.stop()
        assert code == 0, f"agent exited with {code}:\n{cls.agent.stderr()}"

    def click_and_wait(self, button_id):
        self.browser.evaluate(f"document.getElementById('{button_id}').click()")
        self.browser.wait_for("!document.body.dataset.busy", timeout=120)

    def results(self):
        """(check, status, details) of every row of the page's results table."""
        return [tuple(row) for row in self.browser.evaluate(
            "[...document.querySelectorAll('#results tr')].map(r => "
            "[r.dataset.check, r.dataset.status, r.cells[2].textContent])")]

    def failure_report(self):
        return f"{self.results()}\nconsole: {self.browser.console_messages()}"

    def test_the_page_lists_signs_and_verifies(self):
        browser = self.browser
        browser.open(self.page_url)
        self.assertTrue(browser.evaluate("window.isSecureContext"))

        for transport, check in (("http", "getCerts over HTTP"),
                                 ("websocket", "getCerts over WebSocket")):
            browser.evaluate(f"document.getElementById('list-transport').value = '{transport}'")
            self.click_and_wait("list")
            self.assertEqual(self.results()[-1][:2], (check, "verified"), self.failure_report())
        names = browser.evaluate(
            "[...document.querySelectorAll('#certificates tr')].map(r => r.cells[1].textContent)")
        self.assertEqual(sorted(names), sorted(self.pki.users[k].name for k in demo.DEMO_SIGNERS))

        # Every combination with the SHA-256 certificate, then a WebSocket CMS signature and
        # an HTTP raw one with the SHA-1 certificate.
        sha256_row = names.index(self.pki.users["vietnamese"].name)
        browser.evaluate(f"document.querySelectorAll('input[name=certificate]')[{sha256_row}]"
                         ".checked = true")
        self.click_and_wait("run-all")
        browser.evaluate(f"document.querySelectorAll('input[name=certificate]')[{1 - sha256_row}]"
                         ".checked = true")
        for transport, result_format in (("websocket", "cms"), ("http", "raw")):
            browser.evaluate(f"document.getElementById('transport').value = '{transport}';"
                             f"document.getElementById('format').value = '{result_format}'")
            self.click_and_wait("sign")

        os.makedirs(SCREENSHOT_DIR, exist_ok=True)
        browser.screenshot(os.path.join(SCREENSHOT_DIR, "demo-page.png"))

        results = self.results()
        self.assertEqual([check for check, _, _ in results[2:]],
                         ALL_CHECKS + ["sign: WebSocket, cms, secure", "sign: HTTP, raw, plain"],
                         self.failure_report())
        self.assertTrue(all(status == "verified" for _, status, _ in results),
                        self.failure_report())
        self.assertIn("SHA-1 with RSA", results[-1][2])
        self.assertIn("SHA-256 with RSA", results[3][2])

    def choose_certificate(self, name):
        """Ticks the certificate of that name in the page's list."""
        self.browser.evaluate(
            "[...document.querySelectorAll('#certificates tr')].find(r => r.cells[1].textContent"
            f" === {json.dumps(name)}).querySelector('input').checked = true")

    def invoice_status(self):
        return self.browser.evaluate(
            "[document.getElementById('invoice-status').dataset.outcome,"
            " document.getElementById('invoice-status').textContent]")

    def test_the_page_signs_an_e_invoice(self):
        browser = self.browser
        browser.open(self.page_url)
        self.click_and_wait("list")
        for key, transport in (("vietnamese", "http"), ("sha1", "websocket")):
            signer = self.pki.users[key]
            with self.subTest(signer=key, transport=transport):
                self.choose_certificate(signer.name)
                browser.evaluate(
                    f"document.getElementById('invoice-transport').value = '{transport}'")
                self.click_and_wait("sign-invoice")
                outcome, status = self.invoice_status()
                self.assertEqual(outcome, "ok", status)
                self.assertIn(signer.name, status)
                signed = browser.evaluate("document.getElementById('signed-invoice').value")
                ok, output = xmlsec_verify(signed.encode(), signer.cert_pem)
                self.assertTrue(ok, output)
        os.makedirs(SCREENSHOT_DIR, exist_ok=True)
        browser.screenshot(os.path.join(SCREENSHOT_DIR, "demo-e-invoice.png"))

        # The page's own check of the last invoice signed (with the SHA-1 certificate): it
        # notices a changed amount and a signature that carries another certificate.
        problem_counts = browser.evaluate("""(async () => {
            const certificates = await listCertificates("http");
            const signer = certificates.find((c) => c.serialNumber === "%s");
            const other = certificates.find((c) => c !== signer);
            const original = document.getElementById("invoice").value;
            const signed = document.getElementById("signed-invoice").value;
            return [invoiceProblems(original, signed, signer),
                    invoiceProblems(original, signed.replace("1100000", "9100000"), signer),
                    invoiceProblems(original, signed, other)].map((problems) => problems.length);
        })()""" % self.pki.users["sha1"].serial_hex)
        self.assertEqual(problem_counts, [0, 1, 1], browser.console_messages())

        # A document the agent will not sign: the user reads why, in Vietnamese.
        browser.evaluate("document.getElementById('invoice').value = "
                         "'<HDon><DLHDon Id=\"data\"></HDon>'")
        self.click_and_wait("sign-invoice")
        outcome, status = self.invoice_status()
        self.assertEqual(outcome, "error", status)
        self.assertTrue(status.startswith("Không thể ký tài liệu XML"), status)

    def test_the_page_verification_rejects_other_data(self):
        browser = self.browser
        browser.open(self.page_url)
        verdicts = browser.evaluate("""(async () => {
            const [certificate] = await listCertificates("http");
            const data = utf8.encode("the signed text");
            const signed = await sign("websocket", certificate, data, "raw", "secure");
            return [await verify(certificate, data, signed, "raw"),
                    await verify(certificate, utf8.encode("another text"), signed, "raw")];
        })()""")
        self.assertEqual(verdicts, [True, False], browser.console_messages())

    def test_the_client_library_names_the_failures(self):
        browser = self.browser
        browser.open(self.page_url)
        codes = browser.evaluate("""(async () => {
            const { QuillmarkClient } = await import("/quillmark.js");
            const codeOf = (promise) => promise.then(() => "no error", (error) => error.code);
            const noAgent = new QuillmarkClient({ url: "http://127.0.0.1:9" });
            const agent = new QuillmarkClient({ transport: "websocket" });
            return [await codeOf(noAgent.getCerts()),
                    await codeOf(agent.sign({ serial: "00", data: "no such certificate" }))];
        })()""")
        self.assertEqual(codes, ["agentNotRunning", "tokenMissing"], browser.console_messages())

    def test_run_all_from_the_address_the_demo_prints(self):
        browser = self.browser
        browser.open(self.page_url + "?run=all")
        browser.wait_for("document.querySelectorAll('#results tr').length >= 7 && "
                         "!document.body.dataset.busy", timeout=120)
        self.assertEqual([(check, status) for check, status, _ in self.results()],
                         [(check, "verified") for check in ALL_CHECKS], self.failure_report())


if __name__ == "__main__":
    unittest.main()
