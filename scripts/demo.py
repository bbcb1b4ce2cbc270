"""The Quillmark demo: a throwaway certificate store, the headless agent on it, and the demo
page served on a loopback port. Run it through scripts/demo.sh, which installs and builds
first.

The demo store lives under BUILD/demo (a demo CA and signers made by the test PKI module); the
agent runs with BUILD/demo/home as its HOME, so the user's own ~/.pki/nssdb is never touched.
With --cli, or when there is no display to run a browser on, the same round trip as the page
(list, sign over HTTP and WebSocket, raw and CMS, plain and secure, verify) also runs here
and prints its results.

The agent replaces any other running quillmarkd (there is one port, 7681); stop the demo with
Ctrl+C (or SIGTERM).
"""

import argparse
import base64
import functools
import http.server
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))

import payload  # noqa: E402
from agent import Agent, post_json  # noqa: E402
from pki import Pki  # noqa: E402
from websocket_client import greeted  # noqa: E402

PAGE_DIR = os.path.join(ROOT, "examples", "demo")
CLIENT_LIBRARY = os.path.join(ROOT, "clients", "js", "quillmark.js")  # the page imports it
DEMO_SIGNERS = ["vietnamese", "sha1"]  # one SHA-256 and one SHA-1 certificate
SHA256_WITH_RSA = "sha256WithRSAEncryption"


def make_demo_store(demo_dir):
    """BUILD/demo/home/.pki/nssdb with the demo CA and signers; made once, then reused."""
    home = os.path.join(demo_dir, "home")
    if not os.path.exists(os.path.join(home, ".pki", "nssdb", "cert9.db")):
        print("Making the demo certificate store (a few seconds)…")
        os.makedirs(home, exist_ok=True)
        Pki(os.path.join(demo_dir, "pki")).install(home, users=DEMO_SIGNERS)
    return home


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def page_config_script(build_dir):
    """config.js for the page, with the agent's key and IV from the build's CMake cache."""
    key, iv = payload.key_and_iv(build_dir)
    return ("window.QUILLMARK_CONFIG = " + json.dumps({
        "httpUrl": "http://127.0.0.1:7681/",
        "payloadKeyHex": key,
        "payloadIvHex": iv,
    }, indent=2) + ";\n").encode()


class PageHandler(http.server.SimpleHTTPRequestHandler):
    """Serves examples/demo, with config.js made for this build and the client library beside
    the page, where the installed demo has it too."""

    def __init__(self, *args, config_script, **kwargs):
        self.scripts = {"/config.js": config_script, "/quillmark.js": read_bytes(CLIENT_LIBRARY)}
        super().__init__(*args, directory=PAGE_DIR, **kwargs)

    def do_GET(self):
        script = self.scripts.get(self.path.split("?")[0])
        if script is None:
            return super().do_GET()
        self.send_response(200)
        self.send_header("Content-Type", "text/javascript; charset=utf-8")
        self.send_header("Content-Length", str(len(script)))
        self.end_headers()
        self.wfile.write(script)

    def log_message(self, *args):
        pass


def serve_page(build_dir, port):
    """Starts the page server on 127.0.0.1 in a thread; returns the server."""
    handler = functools.partial(PageHandler, config_script=page_config_script(build_dir))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


# The command-line round trip: the same requests as the page, checked with openssl.

def openssl(args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True)


def verifies(certificate_der, data, signature):
    """True when the raw signature verifies over the data with the certificate's key,
    hashed as the agent hashes: SHA-256 for sha256WithRSAEncryption, else SHA-1."""
    text = openssl(["x509", "-inform", "DER", "-noout", "-text"], certificate_der).stdout
    hash_name = "sha256" if SHA256_WITH_RSA.encode() in text else "sha1"
    with tempfile.TemporaryDirectory() as scratch:
        paths = {name: os.path.join(scratch, name) for name in ("key", "data", "signature")}
        with open(paths["key"], "wb") as f:
            f.write(openssl(["x509", "-inform", "DER", "-pubkey", "-noout"],
                            certificate_der).stdout)
        for name, content in (("data", data), ("signature", signature)):
            with open(paths[name], "wb") as f:
                f.write(content)
        return openssl(["dgst", "-" + hash_name, "-verify", paths["key"], "-signature",
                        paths["signature"], paths["data"]]).returncode == 0


def cms_content(message):
    """The encapsulated content of a DER SignedData message, read with openssl."""
    with tempfile.NamedTemporaryFile() as f:
        f.write(message)
        f.flush()
        return openssl(["cms", "-verify", "-noverify", "-inform", "DER", "-in", f.name,
                        "-binary"]).stdout


def sign(send, certificate, data, cms, secure):
    """One sign request through send(); returns the deciphered signedData bytes."""
    data_base64 = base64.b64encode(payload.encrypt(data) if secure else data).decode()
    request = (f'{{"action":"sign","serialNumber":"{certificate["serialNumber"]}",'
               f'"secure":{str(secure).lower()},"dataBase64":"{data_base64}",'
               f'"cms":{str(cms).lower()}}}')
    reply = json.loads(send(request))
    if "signedData" not in reply:
        raise RuntimeError(f"no signature: {reply}")
    signed = base64.b64decode(reply["signedData"])
    return payload.decrypt(signed) if secure else signed


def round_trip(text):
    """Lists the certificates and signs the text with the first over every transport and
    mode; prints one line per check. Returns True when everything verified."""
    data = text.encode()
    all_ok = True

    def report(check, ok, details=""):
        nonlocal all_ok
        all_ok = all_ok and ok
        print(f"  {'verified' if ok else 'FAILED  '}  {check}  {details}")

    certificates = json.loads(post_json('{"action":"getCerts"}'))["certs"]
    with greeted() as connection:
        listed_over_websocket = json.loads(connection.request('{"action":"getCerts"}'))["certs"]
        report("getCerts over HTTP and WebSocket agree",
               bool(certificates) and certificates == listed_over_websocket,
               f"{len(certificates)} certificate(s): "
               + ", ".join(c.get("name", "?") for c in certificates))
        if not certificates:
            return False
        certificate = certificates[0]
        der = base64.b64decode(certificate["certChains"][0])
        transports = [("HTTP", post_json, False), ("HTTP", post_json, True),
                      ("WebSocket", connection.request, True)]
        for name, send, secure in transports:
            for cms in (False, True):
                check = f"sign over {name}, {'CMS' if cms else 'raw'}, " \
                        f"{'secure' if secure else 'plain'}"
                try:
                    signed = sign(send, certificate, data, cms, secure)
                    signature = cms_content(signed) if cms else signed
                    report(check, verifies(der, data, signature),
                           f"({len(signed)} bytes, signer {certificate.get('name')})")
                except (RuntimeError, ValueError) as error:
                    report(check, False, str(error))
    return all_ok


def has_display():
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def stop_on_terminate(signal_number, frame):
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, stop_on_terminate)
    sys.stdout.reconfigure(line_buffering=True)  # the address shows at once, even in a pipe
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"))
    parser.add_argument("--port", type=int, default=8480, help="port of the demo page")
    parser.add_argument("--cli", action="store_true",
                        help="run the round trip from the command line, then stop")
    parser.add_argument("--text", default="Hợp đồng mua bán số 2026/42 — signed with Quillmark.")
    options = parser.parse_args()

    demo_dir = os.path.join(options.build_dir, "demo")
    home = make_demo_store(demo_dir)
    agent = Agent(home=home, path=os.path.join(options.build_dir, "bin", "quillmarkd")).start()
    try:
        server = serve_page(options.build_dir, options.port)
        address = f"http://127.0.0.1:{server.server_address[1]}/?run=all"
        print(f"Agent on 127.0.0.1:7681 (HOME={home}, log: {options.build_dir}/bin/log.txt)")
        print(f"Demo page: {address}")
        if options.cli or not has_display():
            print("Round trip from the command line:")
            ok = round_trip(options.text)
            print("Every signature verified." if ok else "Some checks FAILED.")
            if options.cli:
                return 0 if ok else 1
        print("Open the demo page in a browser on this machine; Ctrl+C stops the demo.")
        threading.Event().wait()
    except KeyboardInterrupt:
        return 0
    finally:
        agent.stop()


if __name__ == "__main__":
    sys.exit(main())
