"""Starts the real agent for end-to-end tests and talks to it over real sockets.

The agent gets a temporary HOME of its own, so tests never touch the user's certificate
store or autostart entries. The executable comes from the QUILLMARKD environment variable
(set by ctest). Port 7681 is fixed: tests that use this module must not run in parallel.
"""

import faulthandler
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

PORT = 7681
START_TIMEOUT = 15.0
RESTARTED = '{\n\t"action":\t"restart"\n}'

# A test that hangs prints where each of its threads stands and ends, before ctest's time-out
# kills it without a word. ctest sets the delay; a test run by hand has none.
if os.environ.get("QUILLMARK_TEST_WATCHDOG"):
    faulthandler.dump_traceback_later(float(os.environ["QUILLMARK_TEST_WATCHDOG"]), exit=True)


def executable():
    return os.environ.get("QUILLMARKD", os.path.join(os.getcwd(), "bin", "quillmarkd"))


def pids_of(path):
    """Process ids running this executable."""
    real = os.path.realpath(path)
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/exe") == real:
                    found.append(int(entry))
            except OSError:
                pass
    return found


def wait_for_port(host="127.0.0.1", port=PORT, timeout=START_TIMEOUT, present=True):
    """Waits until the port accepts connections (or, with present=False, refuses them)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=0.5):
                if present:
                    return True
        except OSError:
            if not present:
                return True
        time.sleep(0.05)
    return False


def wait_until_settled(path, quiet=0.005, timeout=2.0):
    """Waits until the file has not grown for `quiet` seconds: the agent writes the log
    entries of a pass of its service loop when the pass ends, just after the replies it sent."""
    deadline = time.monotonic() + timeout
    size = None
    while time.monotonic() < deadline:
        try:
            now = os.path.getsize(path)
        except OSError:
            return
        if now == size:
            return
        size = now
        time.sleep(quiet)


class Agent:
    """One running agent process with its own HOME; use as a context manager."""

    def __init__(self, home=None, env=None, path=None, wrapper=()):
        """`wrapper`: a command the agent is started through (e.g. unshare as another user)."""
        self.path = path or executable()
        self.wrapper = list(wrapper)
        self._own_home = home is None
        self.home = home or tempfile.mkdtemp(prefix="quillmark-home-")
        self.extra_env = env or {}
        self.process = None
        self.stderr_path = os.path.join(self.home, "agent-stderr.txt")
        self.stdout_path = os.path.join(self.home, "agent-stdout.txt")

    def environment(self):
        env = dict(os.environ)
        env["HOME"] = self.home
        env.pop("XDG_CONFIG_HOME", None)
        env.update(self.extra_env)
        return env

    def start(self, wait=True):
        self._stderr = open(self.stderr_path, "wb")
        self._stdout = open(self.stdout_path, "wb")
        self.process = subprocess.Popen(
            self.wrapper + [self.path], env=self.environment(), stdin=subprocess.DEVNULL,
            stdout=self._stdout, stderr=self._stderr)
        if wait and not wait_for_port():
            self.stop()
            raise RuntimeError("agent did not start listening:\n" + self.stderr())
        return self

    def stop(self, timeout=10.0):
        """Ends the agent with SIGTERM and returns its exit status."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self._stderr.close()
        self._stdout.close()
        return code

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def cpu_ticks(self):
        """The CPU time the agent has used so far, in clock ticks (user and system)."""
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    def busy_ticks(self, seconds=2.0):
        """The CPU ticks the agent uses over the next `seconds`."""
        ticks = self.cpu_ticks()
        time.sleep(seconds)
        return self.cpu_ticks() - ticks

    def log_path(self, name="log.txt"):
        return os.path.join(os.path.dirname(os.path.realpath(self.path)), name)

    def log_texts(self, name="log.txt"):
        """The texts of the log's entries, without their time stamps ("Start" first); `name`
        "log.txt.1" reads the previous run's."""
        wait_until_settled(self.log_path(name))
        with open(self.log_path(name), "rb") as f:
            lines = f.read().decode("utf-8", "replace").split("\n")
        texts = []
        for line in lines:
            parts = line.split(" ", 2)
            if len(parts) >= 2 and "/" in parts[0] and ":" in parts[1]:
                texts.append(parts[2] if len(parts) == 3 else "")
            elif line:
                texts.append(line)
        return texts

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        code = self.stop()
        failure = f"agent exited with {code}:\n{self.stderr()}" if code != 0 else None
        if self._own_home:
            shutil.rmtree(self.home, ignore_errors=True)
        if exc[0] is None and failure:
            raise AssertionError(failure)


def allow_sites(home, *origins):
    """Writes the user's list of allowed sites in this HOME, as the user would allow them: the
    sites' requests are then served without a consent dialog."""
    folder = os.path.join(home, ".config", "quillmark")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "allowed-sites"), "w") as f:
        f.write("".join(origin + "\n" for origin in origins))


def stand_in_pinentry(folder, name="pinentry"):
    """Puts a copy of the test pinentry (tests/nss/pinentry_stub.py) into the folder under that
    name; put first on the agent's PATH, it answers the agent's dialogs as a test tells it."""
    program = os.path.join(folder, name)
    shutil.copy(os.path.join(os.path.dirname(__file__), "..", "nss", "pinentry_stub.py"), program)
    os.chmod(program, 0o755)


def post(body, path="/", host="127.0.0.1", timeout=10.0, headers=None):
    """POSTs a body (str or bytes), with any extra request headers, and returns
    (status, headers dict, body bytes)."""
    connection = http.client.HTTPConnection(host, PORT, timeout=timeout)
    try:
        data = body.encode() if isinstance(body, str) else body
        connection.request("POST", path, body=data,
                           headers={"Content-Type": "text/plain", **(headers or {})})
        response = connection.getresponse()
        headers = {k.lower(): v for k, v in response.getheaders()}
        return response.status, headers, response.read()
    finally:
        connection.close()


def restart_twice():
    """Two restarts back to back, on connections the agent takes before either can stop it;
    returns both replies."""
    connections = [http.client.HTTPConnection("127.0.0.1", PORT, timeout=10) for _ in range(2)]
    for connection in connections:
        connection.connect()
    for connection in connections:
        connection.request("POST", "/", body='{"action":"restart"}')
    replies = [connection.getresponse().read().decode() for connection in connections]
    for connection in connections:
        connection.close()
    return replies


def post_json(body, **kwargs):
    """POSTs a request and returns the reply body as text."""
    status, _, data = post(body, **kwargs)
    if status != 200:
        raise AssertionError(f"status {status}")
    return data.decode("utf-8")


def no_response(body, wait=1.5, method="POST"):
    """True when the agent writes nothing back for this request within `wait` seconds."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=wait) as s:
        data = body.encode() if isinstance(body, str) else body
        s.sendall(f"{method} / HTTP/1.1\r\nHost: localhost\r\nContent-Length: {len(data)}\r\n\r\n".encode()
                  + data)
        try:
            return s.recv(1) == b""
        except socket.timeout:
            return True


def call(request, **kwargs):
    """POSTs a request (a dict is sent as compact JSON, a str as it is) and returns the parsed
    reply; its members keep the agent's order."""
    body = request if isinstance(request, str) else json.dumps(
        request, separators=(",", ":"), ensure_ascii=False)
    return json.loads(post_json(body, **kwargs))


class AgentTestCase(unittest.TestCase):
    """Tests that share one agent with a temporary HOME, started before the first test and
    required to exit cleanly (exit code 0, so no sanitizer report) after the last."""

    @classmethod
    def prepare_home(cls, home):
        """Fills the agent's HOME before it starts (a certificate store, for instance)."""

    @classmethod
    def setUpClass(cls):
        cls.agent = Agent()
        cls.prepare_home(cls.agent.home)
        cls.agent.start()

    @classmethod
    def tearDownClass(cls):
        code = cls.agent.stop()
        stderr = cls.agent.stderr()
        shutil.rmtree(cls.agent.home, ignore_errors=True)
        assert code == 0, f"agent exited with {code}:\n{stderr}"
