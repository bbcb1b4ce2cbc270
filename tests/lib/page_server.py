"""Serves the pages of a browser test over HTTP or HTTPS, from a thread."""

import http.server
import mimetypes
import ssl
import threading


class PageServer:
    """Serves pages on `port` (a free one by default) of `address`: `page(path, port)` gives the
    bytes at that path, typed by its extension (HTML without one). With `certificate` (a PEM
    certificate and key file pair) it speaks HTTPS."""

    def __init__(self, page, address="127.0.0.1", port=0, certificate=None):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = page(self.path, self.server.server_address[1])
                kind = mimetypes.guess_type(self.path.split("?")[0])[0] or "text/html"
                self.send_response(200)
                self.send_header("Content-Type", kind + "; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer((address, port), Handler)
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
