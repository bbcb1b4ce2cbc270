"""Serves the pages of a browser test over plain HTTP, from a thread."""

import http.server
import threading


class PageServer:
    """Serves HTML on a free port of `address`: `page(path, port)` gives the bytes of the page
    at that path."""

    def __init__(self, page, address="127.0.0.1"):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = page(self.path, self.server.server_address[1])
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer((address, 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
