"""signXml through the real quillmarkd, over HTTP and WebSocket: e-invoices signed where the
page asks, checked by xmlsec1 and again by lxml and openssl; the hash follows the certificate
as for sign; hostile and malformed documents get a clear refusal and the agent goes on."""

import base64
import hashlib
import json
import os
import subprocess
import unittest

import payload
from agent import AgentTestCase, allow_sites, call, executable
from lxml import etree
from pki import shared_pki
from test_pin_entry import SITE, OTHER_SITE, PinTestBase
from websocket_client import greeted
from xml_check import INVOICE, NS, independent_verify, xmlsec_verify

pki = shared_pki()
E_INVOICE = {"referenceId": "data", "parentPath": "/HDon/DSCKS/NBan", "signatureId": "seller"}
RSA_SHA256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"
RSA_SHA1 = "http://www.w3.org/2000/09/xmldsig#rsa-sha1"


def sign_xml(cert, document=INVOICE, **options):
    request = {"action": "signXml", "serialNumber": cert.serial_hex,
               "xmlBase64": base64.b64encode(document).decode(), **options}
    return call(request)


def signed_document(reply):
    assert list(reply) == ["action", "signedData"], reply
    return base64.b64decode(reply["signedData"])


class XmlSigningTest(AgentTestCase):
    @classmethod
    def prepare_home(cls, home):
        pki.install(home)

    def assert_verifies(self, signed, cert, algorithm):
        """Both checks pass, and the signature method is the one the certificate calls for."""
        ok, output = xmlsec_verify(signed, cert.cert_pem)
        self.assertTrue(ok, output)
        self.assertEqual(independent_verify(signed, cert), algorithm)

    def test_e_invoice_is_signed_where_the_seller_signs_and_verifies_twice(self):
        cert = pki.users["vietnamese"]
        signed = signed_document(sign_xml(cert, **E_INVOICE))
        self.assert_verifies(signed, cert, RSA_SHA256)

        root = etree.fromstring(signed)
        signature = root.find("DSCKS/NBan/ds:Signature", NS)
        self.assertEqual(signature.get("Id"), "seller")
        references = [r.get("URI") for r in signature.findall("ds:SignedInfo/ds:Reference", NS)]
        self.assertEqual(references, ["#data", "#seller-SigningTime"])
        prop = signature.find(".//ds:SignatureProperty", NS)
        self.assertEqual(prop.get("Target"), "#seller")
        self.assertRegex(prop.findtext("ds:SigningTime", namespaces=NS),
                         r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
        self.assertIn("Nguyễn Văn Thành",
                      signature.findtext(".//ds:X509SubjectName", namespaces=NS))
        # The invoice's own content is left as it was.
        self.assertIn("Một triệu một trăm nghìn đồng".encode(), signed)

        tampered = signed.replace("1100000".encode(), "9100000".encode())
        ok, output = xmlsec_verify(tampered, cert.cert_pem)
        self.assertFalse(ok, output)

    def test_the_history_shows_an_xml_signature_with_the_digest_of_the_signed_document(self):
        cert = pki.users["vietnamese"]
        signed = signed_document(sign_xml(cert, **E_INVOICE))
        history = subprocess.run([executable(), "--history"],
                                 env=dict(os.environ, HOME=self.agent.home),
                                 capture_output=True, text=True, check=True).stdout
        self.assertIn(f"  XML  a local program  \"{cert.name}\" (serial {cert.serial_hex})"
                      f"  {len(signed)} bytes  SHA-256 {hashlib.sha256(signed).hexdigest()}",
                      history.splitlines()[0])

    def test_sha1_certificate_gives_rsa_sha1_and_other_options(self):
        cert = pki.users["sha1"]
        cases = [
            ({}, "Signature", ""),  # the whole document, signed into the root
            ({"signingTime": False, "canonicalization": "exclusive"}, "Signature", ""),
            ({"referenceId": "data", "parentPath": "/HDon/DSCKS/NMua/Ky"}, "Signature", "#data"),
        ]
        for options, signature_id, uri in cases:
            with self.subTest(options):
                signed = signed_document(sign_xml(cert, **options))
                self.assert_verifies(signed, cert, RSA_SHA1)
                root = etree.fromstring(signed)
                signature = root.find(".//ds:Signature", NS)
                self.assertEqual(signature.get("Id"), signature_id)
                self.assertEqual(signature.find("ds:SignedInfo/ds:Reference", NS).get("URI"), uri)
                has_time = signature.find(".//ds:SigningTime", NS) is not None
                self.assertEqual(has_time, options.get("signingTime", True))
                if "parentPath" in options:
                    self.assertIsNotNone(root.find("DSCKS/NMua/Ky/ds:Signature", NS))

    def test_a_document_in_another_encoding_comes_back_in_utf8_and_verifies(self):
        cert = pki.users["vietnamese"]
        latin = '<?xml version="1.0" encoding="ISO-8859-1"?><r><a Id="data">Café</a></r>'
        utf7 = '<?xml version="1.0" encoding="UTF-7"?><r><a Id="data">x</a></r>'
        for document in (latin.encode("latin-1"), utf7.encode()):
            signed = signed_document(sign_xml(cert, document, referenceId="data"))
            self.assertTrue(signed.startswith(b'<?xml version="1.0" encoding="UTF-8"?>'), signed)
            self.assertTrue(xmlsec_verify(signed, cert.cert_pem, id_elements=["a"])[0])
        self.assertIn("Café".encode(), signed_document(
            sign_xml(cert, latin.encode("latin-1"), referenceId="data")))

    def test_secure_mode_deciphers_the_document_and_enciphers_the_result(self):
        cert = pki.users["vietnamese"]
        request = {"action": "signXml", "serialNumber": cert.serial_hex, "secure": True,
                   "xmlBase64": base64.b64encode(payload.encrypt(INVOICE)).decode(), **E_INVOICE}
        signed = payload.decrypt(signed_document(call(request)))
        self.assertTrue(xmlsec_verify(signed, cert.cert_pem)[0])
        with greeted() as connection:  # always secure over WebSocket, as for sign
            reply = connection.request(json.dumps({**request, "secure": False}))
        self.assert_verifies(payload.decrypt(signed_document(json.loads(reply))), cert,
                             RSA_SHA256)

    def test_hostile_and_malformed_documents_are_refused_and_the_agent_goes_on(self):
        cert = pki.users["vietnamese"]
        with open(os.path.join(self.agent.home, "secret.txt"), "w") as f:
            f.write("TOP-SECRET-CONTENT")
        secret = os.path.join(self.agent.home, "secret.txt")
        laughs = "".join(f'<!ENTITY l{i} "{f"&l{i - 1};" * 10}">' for i in range(1, 10))
        cases = [
            (f'<!DOCTYPE r [<!ENTITY x SYSTEM "file://{secret}">]><r>&x;</r>'.encode(), {},
             "DOCTYPE"),
            (f'<!DOCTYPE r [<!ENTITY l0 "ha">{laughs}]><r>&l9;</r>'.encode(), {}, "DOCTYPE"),
            (b"<a>" * 100000 + b"</a>" * 100000, {}, "depth"),
            ('<?xml version="1.0" encoding="UTF-16"?><r>Hóa đơn</r>'.encode(), {}, "UTF-16"),
            (b'<?xml version="1.0" encoding="no-such"?><r/>', {}, "encoding"),
            (b"<r><a Id='x'/><b Id='x'/></r>", {}, 'Id "x" appears more than once'),
            (INVOICE, {"referenceId": "nothing"}, 'no element has the Id "nothing"'),
            (INVOICE, {"parentPath": "/HDon/DLHDon/TTChung/PBan/Ky"}, "PBan, which holds text"),
            (INVOICE, {"parentPath": "/Invoice/DSCKS"}, "root element, HDon"),
            (INVOICE, {"parentPath": "HDon"}, "absolute path"),
            (INVOICE, {"signatureId": "data"}, 'Id "data" is already'),
            (INVOICE, {"signatureId": "a b"}, 'signatureId "a b" is not a name'),
            (INVOICE, {"referenceId": 7}, "referenceId must be a string"),
            (b"not xml at all", {}, "line 1"),
        ]
        for document, options, reason in cases:
            with self.subTest(reason):
                reply = sign_xml(cert, document, **options)
                self.assertEqual(list(reply), ["action", "error"], reply)
                self.assertTrue(reply["error"].startswith("invalid XML: "), reply)
                self.assertIn(reason, reply["error"])
                self.assertNotIn("TOP-SECRET", reply["error"])
        self.assertEqual(call({"action": "getVersion"})["action"], "getVersion")
        self.assertTrue(xmlsec_verify(signed_document(sign_xml(cert, **E_INVOICE)),
                                      cert.cert_pem)[0])

    def test_failures_reply_as_sign_does(self):
        self.assertEqual(call({"action": "signXml", "serialNumber": "0bad",
                               "xmlBase64": base64.b64encode(INVOICE).decode()}),
                         {"action": "signXml"})
        for missing in ({}, {"xmlBase64": ""}):
            self.assertEqual(call({"action": "signXml", "serialNumber": "0bad", **missing}),
                             {"action": "signXml", "error": "missing data to sign"})
        self.assertEqual(sign_xml(pki.users["vietnamese"], secure=True),
                         {"action": "signXml", "error": "missing data to sign"})
        # "signXml" is matched whole: any other name that begins with "sign" is still sign.
        reply = call({"action": "signXmlx", "serialNumber": "0bad", "dataBase64": "AA=="})
        self.assertEqual(reply, {"action": "sign"})


class TokenXmlTest(PinTestBase):
    """A SoftHSM token stands in for a USB token: the XML signature goes through the same
    consent, PIN per site and failures as sign."""

    TOKEN_PIN = "4321"

    def setUp(self):
        super().setUp()
        pki.install(self.home)
        self.token_env = pki.add_softhsm_token(self.home, "Quillmark Token", self.TOKEN_PIN,
                                               ["vietnamese"])
        allow_sites(self.home, SITE, OTHER_SITE)

    def sign_xml(self, origin):
        return call({"action": "signXml", "serialNumber": self.cert.serial_hex,
                     "xmlBase64": base64.b64encode(INVOICE).decode(), **E_INVOICE},
                    headers={"Origin": origin})

    def test_a_cancelled_pin_then_one_pin_per_site(self):
        with self.agent(["cancel", self.TOKEN_PIN, self.TOKEN_PIN], env=self.token_env):
            reply = self.sign_xml(SITE)
            self.assertEqual(reply["action"], "signXml")
            self.assert_key_error(reply)
            self.assert_status("allowed", "pinCancelled", origin=SITE)
            for origin in (SITE, SITE, OTHER_SITE):
                signed = signed_document(self.sign_xml(origin))
                ok, output = xmlsec_verify(signed, self.cert.cert_pem)
                self.assertTrue(ok, output)
        asked = [next(c for c in run if c.startswith("SETDESC")) for run in self.runs()]
        self.assertEqual([d.split()[3] for d in asked], [SITE, SITE, OTHER_SITE])


if __name__ == "__main__":
    unittest.main()
