"""Consent per site: a page's first getCerts or sign asks the user through the test pinentry;
the answer is kept (Allow in the user's file, Deny until the agent stops); the lists allow
without asking; requests without an Origin never ask; each signature leaves a trace."""

import concurrent.futures
import hashlib
import json
import os
import signal
import socket
import stat
import subprocess
import unittest

from agent import PORT, allow_sites, call, executable
from test_pin_entry import DATA, PinTestBase, pki
from websocket_client import greeted

SITE = "https://portal.example"
OTHER = "https://other.example:8443"
ADMIN_SITE = "https://portal.agency.example"
IDN_SITE = "https://xn--bcher-kva.example"
REFUSED_CODE = 4294959119
# Enter presses OK, the default button: it denies, and Allow is the third button.
ALLOW_TEXTS = ["SETOK Từ chối", "SETNOTOK Cho phép", "SETCANCEL Đóng", "CONFIRM"]
ASKS = "muốn dùng chứng thư số của bạn: xem danh sách và ký số."
NO_PASSWORD = ("Lưu ý: kho chứng thư số của bạn chưa có mật khẩu, nên một khi bạn cho phép, "
               "trang này có thể ký số bằng các chứng thư trong kho mà không cần hỏi lại bạn.")
REMEMBERED = "Chỉ cho phép nếu bạn tin trang web này: trang được phép sẽ không phải hỏi lại."


def restart_goes_unanswered(origin):
    """True when the agent writes nothing back to a restart from this origin."""
    body = b'{"action":"restart"}'
    with socket.create_connection(("127.0.0.1", PORT), timeout=1.5) as s:
        s.sendall(f"POST / HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\nOrigin: {origin}\r\n"
                  f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
        try:
            return s.recv(1) == b""
        except socket.timeout:
            return True


class ConsentTest(PinTestBase):
    """A store without a password, so that only the consent dialog can ask."""

    def setUp(self):
        super().setUp()
        pki.install(self.home, users=["vietnamese"])
        self.sites_file = os.path.join(self.home, ".config", "quillmark", "allowed-sites")

    def get_certs(self, origin=None):
        return call({"action": "getCerts"}, headers={"Origin": origin} if origin else None)

    def descriptions(self):
        return [next(c for c in run if c.startswith("SETDESC ")) for run in self.runs()]

    def assert_listed(self, reply):
        self.assertEqual([e["serialNumber"] for e in reply["certs"]], [self.cert.serial_hex])

    def test_allow_is_asked_once_kept_across_a_restart_and_signatures_are_traced(self):
        with self.agent(["allow"]) as agent:
            self.assert_listed(self.get_certs(SITE))
            self.assert_signed(self.sign(headers={"Origin": SITE}))
            log, stderr = agent.log_texts(), agent.stderr()
        with self.agent([]):
            self.assert_listed(self.get_certs(SITE))
        [run] = self.runs()
        self.assertIn(f"SETDESC Trang web {SITE} {ASKS}%0A{NO_PASSWORD}%0A{REMEMBERED}", run)
        self.assertEqual([c for c in run if c in ALLOW_TEXTS], ALLOW_TEXTS)
        with open(self.sites_file) as f:
            self.assertEqual(f.read(), SITE + "\n")
        self.assertEqual(stat.S_IMODE(os.stat(self.sites_file).st_mode), 0o600)
        trace = (f'Signed for {SITE} with the certificate "{self.cert.name}": {len(DATA)} bytes '
                 f"of data, SHA-256 {hashlib.sha256(DATA).hexdigest()[:16]}")
        self.assertIn(trace, log)
        self.assertIn("quillmarkd: " + trace, stderr)

    def test_deny_refuses_every_request_of_the_site_until_the_agent_stops(self):
        with self.agent(["deny", "timeout", "timeout"]) as agent:
            with greeted(origin=SITE) as connection:
                signed = json.loads(connection.request(
                    f'{{"action":"sign","serialNumber":"{self.cert.serial_hex}",'
                    '"dataBase64":"AAAA","cms":false}'))
                status = json.loads(connection.request('{"action":"status"}'))
            listed = self.get_certs(SITE)
            self.assertTrue(restart_goes_unanswered(SITE))
            self.assertEqual(call({"action": "getVersion"}, headers={"Origin": SITE})["action"],
                             "getVersion")
            # A serial no certificate has is asked for all the same; no answer is not kept.
            missing = {"action": "sign", "serialNumber": "0bad", "dataBase64": "AAAA"}
            for _ in range(2):
                self.assertEqual(call(missing, headers={"Origin": OTHER})["error"],
                                 "Get private key error")
            self.assert_status("notAsked", "noDialog", OTHER)
        log = agent.log_texts()
        self.assertEqual(status, {"action": "status", "version": "v1.00.04", "site": "refused",
                                  "lastFailure": "refusedByUser"})
        self.assertIn(f"restart ignored, site not allowed: {SITE}", log)
        self.assertEqual(list(signed.items()), [("action", "sign"),
                                                ("error", "Get private key error"),
                                                ("errorCode", REFUSED_CODE)])
        self.assertEqual(list(listed.items()), [("action", "getCerts"), ("certs", []),
                                                ("error", "CertOpenStore MY error"),
                                                ("errorCode", REFUSED_CODE), ("size", 0)])
        index = log.index("CertOpenStore MY error")
        self.assertEqual(log[index:index + 2], ["CertOpenStore MY error", "ffffe00f"])
        self.assertIn("CryptAcquireCertificatePrivateKey error", log)
        # A refusal's repeats are counted, the count written by the stop at the latest.
        for origin in (SITE, OTHER):
            self.assertEqual(log.count(f"Site not allowed: {origin}"), 1)
            self.assertIn(f"… 1 more: Site not allowed: {origin}", log)
        self.assertEqual(self.descriptions()[1:],
                         [f"SETDESC Trang web {OTHER} {ASKS}%0A{NO_PASSWORD}%0A{REMEMBERED}"] * 2)
        self.assertFalse(os.path.exists(self.sites_file))
        # Denied only until the agent stops; Enter alone denies, and is not asked again.
        with self.agent(["enter"]):
            self.assertEqual(self.get_certs(SITE)["error"], "CertOpenStore MY error")
            self.assertEqual(self.get_certs(SITE)["error"], "CertOpenStore MY error")
        self.assertEqual(len(self.runs()), 4)
        # A sign request is told as a listing is: one Allow grants both.
        self.assertTrue(self.descriptions()[0].startswith(f"SETDESC Trang web {SITE} {ASKS}"))

    def test_the_lists_allow_without_asking_and_an_edit_counts_at_once(self):
        admin = os.path.join(self.tools, "admin-sites")
        with open(admin, "w") as f:
            f.write(f"# pre-allowed by the administrator\n{ADMIN_SITE}\n")
        os.makedirs(os.path.dirname(self.sites_file))
        with open(self.sites_file, "w") as f:
            f.write(f"# mine\n  {SITE}   # the portal\nnull\n")
        with self.agent(["deny", "allow", "allow"],
                        env={"QUILLMARK_TEST_ADMIN_ALLOWED_SITES": admin}):
            self.assert_listed(self.get_certs(ADMIN_SITE))
            self.assert_listed(self.get_certs(SITE))
            self.assert_listed(self.get_certs())
            self.assert_signed(self.sign())
            # A status neither asks nor tells of another site.
            self.assert_status("allowedByAdministrator", "none", ADMIN_SITE)
            self.assert_status("allowed", "none", SITE)
            self.assert_status("notAsked", "none", OTHER)
            self.assertEqual(self.runs(), [])
            allow_sites(self.home, OTHER)
            self.assertEqual(self.get_certs(SITE)["error"], "CertOpenStore MY error")
            self.assert_listed(self.get_certs(OTHER))
            # "null" (a sandboxed frame, a local file) is asked each time and never written.
            self.assert_listed(self.get_certs("null"))
            self.assert_listed(self.get_certs("null"))
        with open(self.sites_file) as f:
            self.assertEqual(f.read(), OTHER + "\n")
        listed = subprocess.run([executable(), "--sites"], capture_output=True, text=True,
                                env=dict(os.environ, HOME=self.home,
                                         QUILLMARK_TEST_ADMIN_ALLOWED_SITES=admin))
        self.assertEqual(listed.stdout, f"Allowed by you, in {self.sites_file}:\n  {OTHER}\n"
                         f"Allowed by the administrator, read-only here, in {admin}:\n"
                         f"  {ADMIN_SITE}\n")
        self.assertEqual(len(self.runs()), 3)
        self.assertTrue(self.descriptions()[2].endswith(
            "trang không có địa chỉ sẽ được hỏi lại mỗi lần."), self.descriptions()[2])

    def test_a_long_origin_is_compared_whole(self):
        site = "https://" + "a" * 236 + ".example.vn"
        longer = site + ".evil.example" * 4
        allow_sites(self.home, site)
        with self.agent([]) as agent:
            self.assert_listed(self.get_certs(site))
            listed = self.get_certs(longer)
            with greeted(origin=longer) as connection:
                signed = json.loads(connection.request(
                    f'{{"action":"sign","serialNumber":"{self.cert.serial_hex}",'
                    '"dataBase64":"AAAA","cms":false}'))
            self.assertTrue(restart_goes_unanswered(site + "\0.evil.example"))
        log = agent.log_texts()
        self.assertEqual(listed["error"], "CertOpenStore MY error")
        self.assertEqual(signed["error"], "Get private key error")
        self.assertEqual(self.runs(), [])
        unnamed = "Site not allowed, its origin too long or holding a NUL: "
        self.assertEqual(log.count(unnamed + longer[:301]), 1)
        self.assertIn(f"… 1 more: {unnamed}", log)

    def test_an_internationalised_host_is_shown_in_unicode_and_ascii(self):
        with self.agent(["deny"]):
            self.get_certs(IDN_SITE)
        self.assertTrue(self.descriptions()[0].startswith(
            f"SETDESC Trang web https://bücher.example ({IDN_SITE}) {ASKS}"))

    def test_a_domain_that_keeps_being_denied_brings_three_dialogs_and_few_log_entries(self):
        flood = [f"https://p{n}.flood.example" for n in range(40)]

        def refused(origin):
            try:
                return self.get_certs(origin)["errorCode"] == REFUSED_CODE
            except OSError:  # a connection over the domain's limit is closed unanswered
                return True

        with self.agent(["deny"] * 10) as agent:
            self.assertTrue(all(refused(origin) for origin in flood[:10]))
            with concurrent.futures.ThreadPoolExecutor(max_workers=12) as pool:
                self.assertTrue(all(pool.map(refused, flood[10:] * 20)))
            self.assert_status("refused", "none", "http://flood.example:8080")
            self.assertEqual(self.get_certs(OTHER)["errorCode"], REFUSED_CODE)
            self.assertEqual(len(self.runs()), 4)
        log = agent.log_texts()
        self.assertEqual(self.descriptions()[:3],
                         [f"SETDESC Trang web {origin} {ASKS}%0A{NO_PASSWORD}%0A{REMEMBERED}"
                          for origin in flood[:3]])
        refusals = [text for text in log if text.startswith("Site not allowed")]
        self.assertEqual(refusals, [f"Site not allowed: {origin}" for origin in flood[:3]] + [
            f"Site not allowed: {flood[3]} (the domain flood.example is refused)",
            f"Site not allowed: {OTHER}"])
        counted = [text for text in log if text.startswith("… ")]
        self.assertEqual(len(counted), len(set(counted)), counted)
        domain = [text for text in counted if text.endswith(" more: Site not allowed: any site "
                                                            "of flood.example")]
        self.assertEqual(len(domain), 1, counted)

    def test_a_host_carrying_an_allowed_sites_name_is_warned_of_on_a_line_of_its_own(self):
        admin = os.path.join(self.tools, "admin-sites")
        with open(admin, "w") as f:
            f.write("https://sign.agency.gov.vn\n")
        allow_sites(self.home, "https://portal.example.vn")
        lookalikes = {"https://portal.example.vn.attacker.example": "portal.example.vn",
                      "https://agency-gov-vn.login.attacker.example:8443": "agency.gov.vn"}
        with self.agent(["deny"] * 4, env={"QUILLMARK_TEST_ADMIN_ALLOWED_SITES": admin}):
            for origin in [*lookalikes, OTHER, "https://sub.portal.example.vn"]:
                self.assertEqual(self.get_certs(origin)["errorCode"], REFUSED_CODE)
        warnings = [f"⚠ Cảnh báo: địa chỉ này có chứa “{name}” nhưng thực ra thuộc về trang "
                    "“attacker.example”.%0A" for name in lookalikes.values()]
        self.assertEqual(self.descriptions(), [
            f"SETDESC Trang web {origin} {ASKS}%0A{warning}{NO_PASSWORD}%0A{REMEMBERED}"
            for origin, warning in zip([*lookalikes, OTHER, "https://sub.portal.example.vn"],
                                       warnings + ["", ""])])

    def test_websocket_replies_keep_the_order_of_requests_behind_a_consent_dialog(self):
        with self.agent(["await", "allow"]):
            with greeted(origin=SITE) as connection:
                connection.send('{"action":"getCerts"}')
                dialog = self.awaiting_dialog()
                connection.send('{"action":"status"}')
                self.assertIsNone(connection.receive(timeout=1.0))
                os.kill(dialog, signal.SIGUSR1)
                listed = json.loads(connection.receive())
                status = json.loads(connection.receive())
        self.assertEqual(listed["action"], "getCerts")
        self.assert_listed(listed)
        self.assertEqual((status["action"], status["site"]), ("status", "allowed"))


class ConsentWithPasswordTest(PinTestBase):
    """A store with a password: the dialog does not say that nothing more will be asked."""

    def test_no_word_of_a_store_without_a_password(self):
        pki.install(self.home, password="1234", users=["vietnamese"])
        with self.agent(["deny"]):
            self.assertEqual(call({"action": "getCerts"}, headers={"Origin": SITE})["errorCode"],
                             REFUSED_CODE)
        self.assertEqual([c for run in self.runs() for c in run if c.startswith("SETDESC ")],
                         [f"SETDESC Trang web {SITE} {ASKS}%0A{REMEMBERED}"])


if __name__ == "__main__":
    unittest.main()
