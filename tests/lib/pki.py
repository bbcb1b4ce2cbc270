"""A test PKI made at run time, and NSS user databases filled from it.

Everything is generated with NSS's certutil and pk12util and OpenSSL into a scratch
directory; nothing binary is kept in the repository. Building the PKI takes a few seconds
(one RSA-2048 key per certificate), so build it once per test module and install it into as
many HOME directories as needed:

    pki = Pki()                          # root CA, intermediate CA and the user certificates
                                         # (shared_pki(): one per test process)
    pki.install(home)                    # home/.pki/nssdb with every user certificate
    pki.install(home, password="1234", users=["vietnamese"])
    pki.users["sha1"].serial_hex         # what getCerts reports and sign requests name

Each user certificate is a UserCert with its expected display name (None when the listing
leaves the name out), serial text, signature algorithm OID, DER, expected chain, and PEM
files of its certificate, private key and public key for verifying signatures with openssl.
"""

import atexit
import base64
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field
from typing import List, Optional

SHA256_WITH_RSA = "1.2.840.113549.1.1.11"
SHA1_WITH_RSA = "1.2.840.113549.1.1.5"
SHA384_WITH_RSA = "1.2.840.113549.1.1.12"

_HASH_OIDS = {"SHA256": SHA256_WITH_RSA, "SHA1": SHA1_WITH_RSA, "SHA384": SHA384_WITH_RSA}

P12_PASSWORD = "quillmark-test"
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
LONG_NAME = "ế" * 100  # 100 characters of 3 UTF-8 bytes each: longer than 255 bytes


@dataclass
class UserCert:
    key: str                      # short name used by the tests
    nickname: str                 # NSS nickname
    subject: str                  # RFC 1485 subject given to certutil
    name: Optional[str]           # display name getCerts reports, None when left out
    serial: int
    signature_oid: str
    issuer: Optional[str]         # nickname of the issuing CA, None for self-signed
    chain_known: bool = True      # False when the issuer is not in the user database
    der: bytes = b""
    chain: List[bytes] = field(default_factory=list)  # leaf first, as getCerts lists it
    cert_pem: str = ""
    key_pem: str = ""
    pubkey_pem: str = ""
    p12: str = ""

    @property
    def serial_hex(self):
        """The serial text: the DER INTEGER content bytes in lowercase hex."""
        length = self.serial.bit_length() // 8 + 1  # a leading zero keeps it positive
        return self.serial.to_bytes(length, "big").hex()

    @property
    def hash_name(self):
        """The hash the agent must use: SHA-256 for sha256WithRSA only, else SHA-1."""
        return "sha256" if self.signature_oid == SHA256_WITH_RSA else "sha1"

    def chain_base64(self):
        return [base64.b64encode(der).decode() for der in self.chain]


def run(args, stdin=None, **kwargs):
    """Runs a tool and returns its stdout; raises with its stderr when it fails."""
    result = subprocess.run(args, input=stdin, capture_output=True, **kwargs)
    if result.returncode != 0:
        raise RuntimeError(f"{args[0]} failed ({result.returncode}): "
                           + result.stderr.decode(errors="replace")
                           + result.stdout.decode(errors="replace"))
    return result.stdout


def nss_database_path(home):
    return os.path.join(home, ".pki", "nssdb")


class Pki:
    """Root CA, intermediate CA, a CA that no user database holds, and the user certificates."""

    def __init__(self, directory=None):
        self.directory = directory or tempfile.mkdtemp(prefix="quillmark-pki-")
        os.makedirs(self.directory, exist_ok=True)
        self._serial = 0x1000
        self._noise = os.path.join(self.directory, "noise")
        with open(self._noise, "wb") as f:
            f.write(os.urandom(256))
        self.ca_db = self._new_database(os.path.join(self.directory, "ca-db"))
        self.root = self._make_ca("root", "CN=Quillmark Test Root CA,O=Quillmark Test", None, 1)
        self.intermediate = self._make_ca(
            "intermediate", "CN=Quillmark Test Intermediate CA,O=Quillmark Test", "root", 2)
        self.absent_ca = self._make_ca("absent", "CN=Quillmark Absent CA,O=Elsewhere", None, 3)
        self.users = {}
        for cert in self._user_plan():
            self.users[cert.key] = self._make_user(cert)
        # Kept apart from `users`: two user certificates with one serial, and a certificate
        # that is not strict DER, for the tests that need them.
        self.twins = [self._make_user(cert) for cert in self._twin_plan()]
        # Serial 0555 from two issuers: the intermediate CA and the root.
        self.chain_twins = [self._make_user(UserCert(
            f"twin-{issuer}", f"user-twin-{issuer}", f"CN=Quillmark 0555 {issuer}",
            f"Quillmark 0555 {issuer}", 0x555, SHA256_WITH_RSA, issuer))
            for issuer in ("intermediate", "root")]
        self.non_der = self._make_non_der_user()

    def _user_plan(self):
        inter = "intermediate"
        return [
            UserCert("vietnamese", "user-vietnamese",
                     "CN=Nguyễn Văn Thành,O=Công ty Quillmark,C=VN", "Nguyễn Văn Thành",
                     self._next_serial(), SHA256_WITH_RSA, inter),
            UserCert("sha1", "user-sha1", "CN=Quillmark SHA1 User,O=Quillmark Test",
                     "Quillmark SHA1 User", self._next_serial(), SHA1_WITH_RSA, inter),
            UserCert("sha384", "user-sha384", "CN=Quillmark SHA384 User,O=Quillmark Test",
                     "Quillmark SHA384 User", self._next_serial(), SHA384_WITH_RSA, inter),
            # Without a common name: organisational unit, organisation, the subject's e-mail,
            # the alternative name's first e-mail, then the first attribute, text as stored.
            UserCert("no-cn", "user-no-cn", "E=nocn@example.com,OU=Signing,O=Quillmark Test",
                     "Signing", self._next_serial(), SHA256_WITH_RSA, inter),
            UserCert("org-email", "user-org-email", "E=x@y.example,O=Org", "Org",
                     self._next_serial(), SHA256_WITH_RSA, inter),
            UserCert("email", "user-email", "E=Mixed.Case@Example.com", "Mixed.Case@Example.com",
                     self._next_serial(), SHA256_WITH_RSA, inter),
            UserCert("alt-email", "user-alt-email", "L=Hanoi,C=VN", "Alt.Name@Example.com",
                     self._next_serial(), SHA256_WITH_RSA, inter),
            UserCert("country", "user-country", "C=VN", "VN", self._next_serial(),
                     SHA256_WITH_RSA, inter),
            UserCert("high-serial", "user-high-serial", "CN=Quillmark High Serial",
                     "Quillmark High Serial", 0x9A12, SHA256_WITH_RSA, inter),
            UserCert("orphan", "user-orphan", "CN=Quillmark Orphan", "Quillmark Orphan",
                     self._next_serial(), SHA256_WITH_RSA, "absent", chain_known=False),
            UserCert("self-signed", "user-self-signed", "CN=Quillmark Self Signed",
                     "Quillmark Self Signed", self._next_serial(), SHA256_WITH_RSA, None),
            UserCert("expired", "user-expired", "CN=Quillmark Expired", "Quillmark Expired",
                     self._next_serial(), SHA256_WITH_RSA, inter),
            UserCert("long-name", "user-long-name", "CN=" + LONG_NAME, None,
                     self._next_serial(), SHA256_WITH_RSA, inter),
            # Encoded as CN=First Name, O=Org, CN=Second Name (certutil reverses the text).
            UserCert("two-cns", "user-two-cns", "CN=Second Name,O=Org,CN=First Name",
                     "First Name", self._next_serial(), SHA256_WITH_RSA, inter),
        ]

    def _twin_plan(self):
        serial = 0x7777
        return [
            UserCert("twin-issued", "user-twin-issued", "CN=Quillmark Twin Issued",
                     "Quillmark Twin Issued", serial, SHA256_WITH_RSA, "intermediate"),
            UserCert("twin-self", "user-twin-self", "CN=Quillmark Twin Self",
                     "Quillmark Twin Self", serial, SHA256_WITH_RSA, None),
        ]

    def _next_serial(self):
        self._serial += 1
        return self._serial

    def _path(self, name):
        return os.path.join(self.directory, name)

    @staticmethod
    def _new_database(path, password=None):
        os.makedirs(path, mode=0o700, exist_ok=True)
        if password is None:
            run(["certutil", "-N", "-d", "sql:" + path, "--empty-password"])
        else:
            pwfile = path + ".pw"
            with open(pwfile, "w") as f:
                f.write(password + "\n")
            run(["certutil", "-N", "-d", "sql:" + path, "-f", pwfile])
        return path

    def _certutil_make(self, nickname, subject, issuer, serial, trust, hash_name="SHA256",
                       extra=(), stdin=None):
        args = ["certutil", "-S", "-d", "sql:" + self.ca_db, "-n", nickname, "-s", subject,
                "-k", "rsa", "-g", "2048", "-t", trust, "-z", self._noise, "-Z", hash_name,
                "-m", str(serial), "-v", "120", *extra]
        args += ["-c", issuer] if issuer else ["-x"]
        run(args, stdin=stdin)
        return run(["certutil", "-L", "-d", "sql:" + self.ca_db, "-n", nickname, "-r"])

    def _make_ca(self, nickname, subject, issuer, serial):
        # Basic constraints: a CA, no path length limit, critical.
        der = self._certutil_make(nickname, subject, issuer, serial, "CT,C,C", extra=["-2"],
                                  stdin=b"y\n\ny\n")
        pem = self._path(nickname + "-ca.pem")
        with open(pem, "wb") as f:
            f.write(run(["openssl", "x509", "-inform", "DER", "-outform", "PEM"], stdin=der))
        return {"nickname": nickname, "der": der, "pem": pem}

    def _make_user(self, cert):
        hash_name = next(h for h, oid in _HASH_OIDS.items() if oid == cert.signature_oid)
        extra = {"expired": ["-w", "-24", "-v", "12"],
                 "alt-email": ["--extSAN", "email:Alt.Name@Example.com,email:second@example.com"],
                 }.get(cert.key, [])
        cert.der = self._certutil_make(cert.nickname, cert.subject, cert.issuer, cert.serial,
                                       "u,u,u", hash_name, extra=extra)
        self._export_user(cert)
        cert.chain = [cert.der]
        if cert.issuer == "intermediate":
            cert.chain += [self.intermediate["der"], self.root["der"]]
        elif cert.issuer == "root":
            cert.chain += [self.root["der"]]
        return cert

    def make_server(self, *hosts):
        """A TLS server certificate for the host names, issued by the root CA, with PEM files
        of the certificate (cert_pem) and its key (key_pem)."""
        cert = UserCert("server", "server", "CN=" + hosts[0], hosts[0], self._next_serial(),
                        SHA256_WITH_RSA, "root")
        cert.der = self._certutil_make(
            cert.nickname, cert.subject, "root", cert.serial, "u,u,u",
            extra=["--extSAN", ",".join("dns:" + host for host in hosts),
                   "--extKeyUsage", "serverAuth"])
        self._export_user(cert)
        return cert

    def _make_non_der_user(self):
        """A self-signed certificate whose subject and issuer hold one RDN of two values in
        the reverse of DER's SET order: valid BER that a DER re-encoding would change."""
        cert = UserCert("non-der", "user-non-der", "", "Quillmark Unsorted", 0x4242,
                        SHA256_WITH_RSA, None)
        cert.key_pem = self._path("non-der-key.pem")
        template = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        cert.key_pem, "-subj", "/CN=Template", "-days", "3650", "-sha256",
                        "-set_serial", str(cert.serial), "-outform", "DER"])
        certificate, _ = _der_read(template)
        tbs, rest = _der_read(certificate[1])
        algorithm, _ = _der_read(rest)
        fields = _der_members(tbs[1])
        values = sorted(_der(0x30, _der(0x06, oid) + _der(0x0C, text.encode()))
                        for oid, text in [(b"\x55\x04\x03", "Quillmark Unsorted"),
                                          (b"\x55\x04\x0a", "Quillmark Test")])
        name = _der(0x30, _der(0x31, b"".join(reversed(values))))
        fields[3] = fields[5] = name  # issuer and subject
        tbs_der = _der(0x30, b"".join(fields))
        signature = run(["openssl", "dgst", "-sha256", "-sign", cert.key_pem], stdin=tbs_der)
        cert.der = _der(0x30, tbs_der + algorithm[2] + _der(0x03, b"\x00" + signature))
        cert.chain = [cert.der]
        self._export_pem_and_p12(cert)
        return cert

    def _export_user(self, cert):
        """PEM files of the certificate and key, and a PKCS#12 file holding only the two."""
        full_p12 = self._path(cert.key + "-full.p12")
        run(["pk12util", "-o", full_p12, "-n", cert.nickname, "-d", "sql:" + self.ca_db,
             "-W", P12_PASSWORD, "-K", ""])
        cert.key_pem = self._path(cert.key + "-key.pem")
        run(["openssl", "pkcs12", "-in", full_p12, "-nocerts", "-nodes", "-passin",
             "pass:" + P12_PASSWORD, "-out", cert.key_pem])
        os.remove(full_p12)
        self._export_pem_and_p12(cert)

    def _export_pem_and_p12(self, cert):
        """PEM files of the certificate and public key, and the PKCS#12 file, from the DER
        and the key PEM."""
        cert.cert_pem = self._path(cert.key + "-cert.pem")
        with open(cert.cert_pem, "wb") as f:
            f.write(run(["openssl", "x509", "-inform", "DER", "-outform", "PEM"],
                        stdin=cert.der))
        cert.pubkey_pem = self._path(cert.key + "-pub.pem")
        run(["openssl", "x509", "-in", cert.cert_pem, "-pubkey", "-noout", "-out",
             cert.pubkey_pem])
        # Without its issuers: the user database gets the CA certificates on their own.
        cert.p12 = self._path(cert.key + ".p12")
        run(["openssl", "pkcs12", "-export", "-in", cert.cert_pem, "-inkey", cert.key_pem,
             "-name", cert.nickname, "-passout", "pass:" + P12_PASSWORD, "-out", cert.p12])

    def install(self, home, password=None, users=None):
        """Creates home/.pki/nssdb holding the root and intermediate CAs and the given user
        certificates with their keys (all of them by default). With a password the key
        database is protected by it. Returns the database directory."""
        db = nss_database_path(home)
        if os.path.exists(db):
            shutil.rmtree(db)
        self._new_database(db, password)
        certutil_pw = ["-f", db + ".pw"] if password is not None else []
        for ca, trust in ((self.root, "CT,C,C"), (self.intermediate, ",,")):
            run(["certutil", "-A", "-d", "sql:" + db, "-n", ca["nickname"], "-t", trust,
                 "-i", ca["pem"], *certutil_pw])
        for key in users if users is not None else list(self.users):
            self.import_user(home, self.users[key], password)
        return db

    def trust_root(self, database):
        """Makes the NSS database (a browser's) if it does not exist and trusts the root CA in
        it for TLS servers."""
        if not os.path.exists(os.path.join(database, "cert9.db")):
            self._new_database(database)
        run(["certutil", "-A", "-d", "sql:" + database, "-n", "Quillmark Test Root CA",
             "-t", "C,,", "-i", self.root["pem"]])

    def import_user(self, home, cert, password=None):
        """Imports one user certificate and its key into home's NSS database with pk12util."""
        run(["pk12util", "-i", cert.p12, "-d", "sql:" + nss_database_path(home),
             "-W", P12_PASSWORD, "-K", password or ""])

    def add_softhsm_token(self, home, label, pin, users):
        """Makes a SoftHSM token (a stand-in for a USB token) holding the given user
        certificates and keys, and registers it in home's NSS database (install() first).
        Returns the environment the agent needs to find the token's files."""
        softhsm = os.path.join(home, "softhsm")
        os.makedirs(os.path.join(softhsm, "tokens"), exist_ok=True)
        conf = os.path.join(softhsm, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write(f"directories.tokendir = {softhsm}/tokens\nobjectstore.backend = file\n"
                    "log.level = ERROR\n")
        env = dict(os.environ, SOFTHSM2_CONF=conf)
        run(["softhsm2-util", "--init-token", "--free", "--label", label, "--pin", pin,
             "--so-pin", pin + "-so"], env=env)
        db = nss_database_path(home)
        run(["modutil", "-force", "-add", "softhsm", "-libfile", SOFTHSM_MODULE, "-dbdir",
             "sql:" + db], env=env)
        for key in users:
            run(["pk12util", "-i", self.users[key].p12, "-d", "sql:" + db, "-h", label,
                 "-W", P12_PASSWORD, "-K", pin], env=env)
        return {"SOFTHSM2_CONF": conf}

    def add_issued_users(self, home, count, password=None):
        """Adds `count` user certificates issued by the intermediate CA, their keys made in
        the user database itself (for benchmarks on a full store). Returns their serials."""
        db = nss_database_path(home)
        pw_args = ["-f", db + ".pw"] if password is not None else []
        serials = []
        for index in range(count):
            serial = 0x100000 + index
            subject = f"CN=Quillmark Bulk User {index},O=Quillmark Test"
            request = self._path("bulk.req")
            run(["certutil", "-R", "-d", "sql:" + db, "-s", subject, "-k", "rsa", "-g", "2048",
                 "-z", self._noise, "-o", request, *pw_args])
            issued = self._path("bulk.der")
            run(["certutil", "-C", "-d", "sql:" + self.ca_db, "-c", "intermediate", "-i",
                 request, "-o", issued, "-m", str(serial), "-v", "120", "-Z", "SHA256"])
            run(["certutil", "-A", "-d", "sql:" + db, "-n", f"bulk-{index}", "-t", "u,u,u",
                 "-i", issued, *pw_args])
            serials.append(serial)
        return serials

    def remove(self):
        shutil.rmtree(self.directory, ignore_errors=True)


def _der(tag, content):
    """One DER value: tag, minimal length, content."""
    length = len(content)
    if length < 0x80:
        return bytes([tag, length]) + content
    digits = length.to_bytes((length.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(digits)]) + digits + content


def _der_read(data):
    """The first value of data as (tag, content, whole encoding), and the bytes after it."""
    length, start = data[1], 2
    if length & 0x80:
        count = length & 0x7F
        length, start = int.from_bytes(data[2:2 + count], "big"), 2 + count
    end = start + length
    return (data[0], data[start:end], data[:end]), data[end:]


def _der_members(content):
    """The whole encodings of the values in a constructed value's content."""
    members = []
    while content:
        value, content = _der_read(content)
        members.append(value[2])
    return members


_shared = None


def shared_pki():
    """One PKI per test process, made on first use and removed when the process ends."""
    global _shared
    if _shared is None:
        _shared = Pki()
        atexit.register(_shared.remove)
    return _shared


def openssl_verify_signature(cert, data, signature, workdir):
    """True when openssl verifies a raw PKCS#1 v1.5 signature over data with the
    certificate's public key, using the hash the agent must have used."""
    data_path = os.path.join(workdir, "verify-data")
    signature_path = os.path.join(workdir, "verify-signature")
    with open(data_path, "wb") as f:
        f.write(data)
    with open(signature_path, "wb") as f:
        f.write(signature)
    result = subprocess.run(
        ["openssl", "dgst", "-" + cert.hash_name, "-verify", cert.pubkey_pem, "-signature",
         signature_path, data_path], capture_output=True)
    return result.returncode == 0


def openssl_cms_content(message):
    """Verifies a DER CMS signed message's signature with openssl (not its certificate
    chain) and returns the content it carries."""
    return subprocess.run(["openssl", "cms", "-verify", "-noverify", "-inform", "DER"],
                          input=message, capture_output=True, check=True).stdout
