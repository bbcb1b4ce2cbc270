"""Two independent checks of an enveloped XML signature: xmlsec1's own verification, and a
second one that canonicalises with lxml (C14N as the signature names it) and verifies the
SignatureValue over SignedInfo with openssl, after checking every Reference's digest."""

import base64
import hashlib
import os
import subprocess
import tempfile

from lxml import etree

DSIG = "http://www.w3.org/2000/09/xmldsig#"
NS = {"ds": DSIG}
# An e-invoice as Vietnamese tax software makes them: the seller signs DLHDon into DSCKS/NBan.
INVOICE = """<?xml version="1.0" encoding="UTF-8"?>
<HDon>
  <DLHDon Id="data">
    <TTChung><PBan>2.0.0</PBan><THDon>Hóa đơn giá trị gia tăng</THDon><KHHDon>C26TAA</KHHDon>
      <SHDon>42</SHDon><NLap>2026-12-09</NLap><DVTTe>VND</DVTTe></TTChung>
    <NDHDon>
      <NBan><Ten>Công ty TNHH Quillmark</Ten><MST>0101234567</MST></NBan>
      <NMua><Ten>Nguyễn Thị Hoa</Ten></NMua>
      <TToan><TgTTTBSo>1100000</TgTTTBSo><TgTTTBChu>Một triệu một trăm nghìn đồng</TgTTTBChu></TToan>
    </NDHDon>
  </DLHDon>
  <DSCKS><NBan/></DSCKS>
</HDon>
""".encode()

DIGESTS = {"http://www.w3.org/2000/09/xmldsig#sha1": "sha1",
           "http://www.w3.org/2001/04/xmlenc#sha256": "sha256"}
C14N = {"http://www.w3.org/TR/2001/REC-xml-c14n-20010315": False,
        "http://www.w3.org/2001/10/xml-exc-c14n#": True}
ENVELOPED = "http://www.w3.org/2000/09/xmldsig#enveloped-signature"


def xmlsec_verify(signed, cert_pem, id_elements=("DLHDon", "SignatureProperty")):
    """xmlsec1 --verify with the certificate's public key (not its chain), the Id attributes of
    the named elements registered. Returns (ok, output)."""
    with tempfile.NamedTemporaryFile(suffix=".xml") as f:
        f.write(signed)
        f.flush()
        ids = [option for name in id_elements for option in ("--id-attr:Id", name)]
        result = subprocess.run(["xmlsec1", "--verify", "--pubkey-cert-pem", cert_pem,
                                 "--enabled-key-data", "rsa,x509", *ids, f.name],
                                capture_output=True, text=True)
    return result.returncode == 0, result.stdout + result.stderr


def _standalone(element):
    """A copy of the element as a document of its own, its namespaces declared on it. lxml
    canonicalises a nested element that inherits a default namespace with xmlns="" on its
    children; a copy does not. (Namespaces an ancestor declares but nothing here uses are
    left out: the test documents declare none.)"""
    return etree.fromstring(etree.tostring(element))


def _canonical(element, transforms, signature):
    """The bytes a Reference digests: the element (or document) without the signature when the
    enveloped transform is there, canonicalised as its last transform says."""
    exclusive = False
    for transform in transforms:
        exclusive = C14N.get(transform, exclusive)
    element = _standalone(element)
    if ENVELOPED in transforms:
        for found in element.iter(f"{{{DSIG}}}Signature"):
            if found.get("Id") == signature.get("Id"):
                found.getparent().remove(found)
                break
    return etree.tostring(element, method="c14n", exclusive=exclusive, with_comments=False)


def independent_verify(signed, cert):
    """The second check: every Reference's digest recomputed, then SignedInfo canonicalised by
    lxml and its signature verified by openssl with the certificate's public key. Returns
    the SignatureMethod's Algorithm when all hold, else raises AssertionError."""
    root = etree.fromstring(signed)
    signature = root.find(".//ds:Signature", NS)
    ids = {element.get("Id"): element for element in root.iter() if element.get("Id")}
    signed_info = signature.find("ds:SignedInfo", NS)
    for reference in signed_info.findall("ds:Reference", NS):
        uri = reference.get("URI")
        target = root if uri == "" else ids[uri[1:]]
        transforms = [t.get("Algorithm") for t in reference.findall(".//ds:Transform", NS)]
        digest_name = DIGESTS[reference.find("ds:DigestMethod", NS).get("Algorithm")]
        digest = hashlib.new(digest_name, _canonical(target, transforms, signature)).digest()
        expected = base64.b64decode(reference.findtext("ds:DigestValue", namespaces=NS))
        assert digest == expected, f"digest of {uri} differs"
    method = signed_info.find("ds:CanonicalizationMethod", NS).get("Algorithm")
    canonical = etree.tostring(_standalone(signed_info), method="c14n", exclusive=C14N[method])
    algorithm = signed_info.find("ds:SignatureMethod", NS).get("Algorithm")
    hash_name = "sha256" if algorithm.endswith("sha256") else "sha1"
    value = base64.b64decode(signature.findtext("ds:SignatureValue", namespaces=NS))
    with tempfile.TemporaryDirectory() as work:
        data, sig = os.path.join(work, "data"), os.path.join(work, "sig")
        with open(data, "wb") as f:
            f.write(canonical)
        with open(sig, "wb") as f:
            f.write(value)
        result = subprocess.run(["openssl", "dgst", "-" + hash_name, "-verify", cert.pubkey_pem,
                                 "-signature", sig, data], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    return algorithm
