"""Headless firefox-esr (Debian's) driven over WebDriver BiDi by puppeteer-core, through
tests/browser/firefox/driver.mjs (its modules installed there with `npm ci`):

    with Firefox(profile_dir) as browser:
        browser.open("https://portal.example.vn/")
        browser.evaluate("document.title")
"""

import json
import os
import subprocess

DRIVER_DIR = os.path.join(os.path.dirname(__file__), "..", "browser", "firefox")


class FirefoxError(Exception):
    pass


class Firefox:
    """One Firefox process with the profile in profile_dir (made beforehand, e.g. with its
    certificate database, or left to be made), and one page."""

    def __init__(self, profile_dir):
        os.makedirs(profile_dir, exist_ok=True)
        self.log_path = os.path.join(os.path.dirname(profile_dir), "firefox-stderr.txt")
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            ["node", os.path.join(DRIVER_DIR, "driver.mjs"), profile_dir],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log, text=True)

    def _perform(self, command):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise FirefoxError("the driver ended: " + self.stderr())
        reply = json.loads(line)
        if "error" in reply:
            raise FirefoxError(f"{command}: {reply['error']}")
        return reply["value"]

    def open(self, url):
        """Navigates and waits for the page's load event."""
        self._perform({"open": url})

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (promises are awaited)."""
        return self._perform({"evaluate": expression})

    def set_permission(self, name, state, origin):
        """Answers a permission for an origin as the user would: "granted" or "denied"."""
        self._perform({"permission": name, "state": state, "origin": origin})

    def stderr(self):
        self._log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")[-4000:]

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self._log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
