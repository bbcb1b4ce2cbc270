"""Headless Chromium (Debian's /usr/bin/chromium) driven through its own remote debugging
protocol over a WebSocket, so browser tests need nothing beyond python3-websockets.

    with Browser(profile_dir) as browser:
        browser.open("http://127.0.0.1:8480/")
        browser.evaluate("document.title")
        browser.screenshot("page.png")
"""

import base64
import json
import os
import subprocess
import time
import urllib.request

from websocket_client import Connection

CHROMIUM = "/usr/bin/chromium"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]
START_TIMEOUT = 60.0


class BrowserError(Exception):
    pass


class Browser:
    """One Chromium process with a new, empty profile in profile_dir, and one page."""

    def __init__(self, profile_dir, width=1100, height=1500, flags=()):
        """`flags`: further command-line switches, e.g. host resolver rules."""
        os.makedirs(profile_dir, exist_ok=True)
        if os.listdir(profile_dir):
            raise BrowserError(f"profile directory {profile_dir} is not empty")
        self.profile_dir = profile_dir
        self.log_path = os.path.join(os.path.dirname(profile_dir), "chromium-stderr.txt")
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            [CHROMIUM, *FLAGS, *flags, f"--user-data-dir={profile_dir}",
             "--remote-debugging-port=0",
             f"--window-size={width},{height}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log)
        self.events = []  # every protocol event received, for diagnostics
        self._next_id = 0
        self.page = Connection(subprotocol=None, compression=None, url=self._page_url())
        self.call("Page.enable")
        self.call("Runtime.enable")

    def _page_url(self):
        """The debugging WebSocket of the first page, once Chromium has announced its port."""
        port_file = os.path.join(self.profile_dir, "DevToolsActivePort")
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise BrowserError(f"chromium exited with {self.process.returncode}: "
                                   + self.stderr())
            try:
                with open(port_file) as f:
                    port = int(f.readline())
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list") as reply:
                    pages = [t for t in json.load(reply) if t["type"] == "page"]
                if pages:
                    return pages[0]["webSocketDebuggerUrl"]
            except (OSError, ValueError):
                pass
            time.sleep(0.1)
        raise BrowserError("chromium did not open its debugging port: " + self.stderr())

    def call(self, method, timeout=60.0, **params):
        """Sends one protocol command and returns its result; events are kept meanwhile."""
        self._next_id += 1
        self.page.send(json.dumps({"id": self._next_id, "method": method, "params": params}))
        deadline = time.monotonic() + timeout
        while True:
            message = self.page.receive(timeout=max(0.0, deadline - time.monotonic()))
            if message is None:
                raise BrowserError(f"{method}: no answer within {timeout} s")
            message = json.loads(message)
            if message.get("id") == self._next_id:
                if "error" in message:
                    raise BrowserError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def open(self, url, timeout=30.0):
        """Navigates and waits for the page's load event."""
        self.events.clear()
        self.call("Page.navigate", url=url)
        deadline = time.monotonic() + timeout
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            if time.monotonic() > deadline:
                raise BrowserError(f"{url} did not load")
            self.evaluate("1")  # waits a round trip, collecting events

    def evaluate(self, expression, timeout=60.0):
        """The value of a JavaScript expression in the page (promises are awaited)."""
        result = self.call("Runtime.evaluate", timeout=timeout, expression=expression,
                           awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=60.0):
        """Waits until the expression is true in the page."""
        deadline = time.monotonic() + timeout
        while not self.evaluate(expression):
            if time.monotonic() > deadline:
                raise BrowserError(f"still false after {timeout} s: {expression}")
            time.sleep(0.1)

    def console_messages(self):
        """The page's console output and uncaught exceptions so far."""
        lines = []
        for event in self.events:
            if event.get("method") == "Runtime.consoleAPICalled":
                lines.append(" ".join(str(a.get("value", a.get("description", "")))
                                      for a in event["params"]["args"]))
            elif event.get("method") == "Runtime.exceptionThrown":
                lines.append(str(event["params"]["exceptionDetails"]))
        return lines

    def screenshot(self, path):
        """Saves a PNG of the whole page."""
        data = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data["data"]))

    def stderr(self):
        self._log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")[-4000:]

    def close(self):
        self.page.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
