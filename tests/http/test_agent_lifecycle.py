"""Start, stop, restart and copies of the real quillmarkd."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from agent import (PORT, RESTARTED, Agent, executable, pids_of, post_json, restart_twice,
                   wait_for_port)
from pki import shared_pki

START_FAILED = "Không thể khởi động ứng dụng."

# Runs a program ("$2"...) with /etc a copy of the real one whose folders the policies use are
# those under "$1"/etc, "$1"/var/lib/quillmark in place of /var/lib/quillmark, and the folders
# browsers are installed in (in /usr/lib, /usr/lib64, /opt and /snap) those under "$1". Each
# folder's copy is made aside, then mounted over it in one step: the commands that make it need
# the libraries in /usr/lib.
PRIVATE_POLICY_FOLDERS = r"""set -e
copy_folder() {
    root=$1 folder=$2 && shift 2
    [ -d "$folder" ] || return 0
    stage=$root/stage$folder
    mkdir -p "$stage" && mount -t tmpfs stage "$stage"
    for entry in "$folder"/* "$root$folder"/*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        name=${entry##*/}
        if [ "$entry" = "$folder/$name" ]; then
            for theirs; do [ "$name" != "$theirs" ] || continue 2; done
        fi
        if [ -L "$entry" ]; then cp -P "$entry" "$stage/"
        elif [ -d "$entry" ]; then mkdir "$stage/$name" && mount --rbind "$entry" "$stage/$name"
        else touch "$stage/$name" && mount --bind "$entry" "$stage/$name"; fi
    done
    mount --rbind "$stage" "$folder"
}
copy_folder "$1" /etc chromium opt firefox quillmark
copy_folder "$1" /usr/lib chromium firefox firefox-esr
copy_folder "$1" /usr/lib64 chromium-browser firefox
copy_folder "$1" /opt google firefox
copy_folder "$1" /snap firefox
mount -t tmpfs lib /var/lib && mkdir /var/lib/quillmark
mount --bind "$1/var/lib/quillmark" /var/lib/quillmark
shift && exec "$@"
"""

# The programs by which the agent tells each browser is installed, one of each.
BROWSER_PROGRAMS = {"Chromium": "usr/lib/chromium/chromium", "Chrome": "opt/google/chrome/chrome",
                    "Firefox": "usr/lib/firefox-esr/firefox-esr"}


def listening_addresses(port=PORT):
    output = subprocess.run(["ss", "-Hltn", f"sport = :{port}"], capture_output=True,
                            text=True, check=True).stdout
    return sorted(line.split()[3].rsplit(":", 1)[0] for line in output.splitlines())


def children_of(pid):
    """(pid, state) of each process whose parent is pid."""
    children = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                children.append((int(entry), fields[0]))
    return children


def wait_until(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def replace_file(path, source=None, text=None):
    """Replaces the file as a package upgrade does: a new file renamed over the old one."""
    new_path = path + ".new"
    if source:
        shutil.copy2(source, new_path)
    else:
        with open(new_path, "w") as f:
            f.write(text)
        os.chmod(new_path, 0o755)
    os.rename(new_path, path)


class LifecycleTest(unittest.TestCase):
    def test_listens_on_loopback_only(self):
        with Agent():
            self.assertEqual(listening_addresses(), ["[::1]", "[::ffff:127.0.0.1]"])

    def test_sigint_and_sigterm_stop_in_order(self):
        for signal_number in (2, 15):
            agent = Agent().start()
            agent.process.send_signal(signal_number)
            self.assertEqual(agent.process.wait(10), 0)
            agent.stop()
            self.assertIn("libwebsockets-test-server exited cleanly", agent.stderr())
            self.assertTrue(wait_for_port(present=False, timeout=5))

    def test_port_taken_fails_at_once(self):
        # Another program on either loopback would get the requests meant for the agent.
        for family, address in [(socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")]:
            with self.subTest(address), socket.socket(family) as blocker:
                blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                blocker.bind((address, PORT))
                blocker.listen()
                agent = Agent()
                self.addCleanup(shutil.rmtree, agent.home, ignore_errors=True)
                # The copy that holds the port may be writing the logs: they stay as they are.
                logs = {name: f"{name} of the running copy\n" for name in ("log.txt", "log.txt.1")}
                for name, text in logs.items():
                    with open(agent.log_path(name), "w") as f:
                        f.write(text)
                started = time.monotonic()
                agent.start(wait=False)
                code = agent.process.wait(10)
                agent.stop()
                self.assertLess(time.monotonic() - started, 4.5)
                self.assertNotEqual(code, 0)
                self.assertIn("vhost creation failed", agent.stderr())
                self.assertIn(START_FAILED, agent.stderr())
                for name, text in logs.items():
                    with open(agent.log_path(name)) as f:
                        self.assertEqual(f.read(), text)

    def test_serves_ipv4_loopback_on_a_host_without_ipv6(self):
        # A network namespace of its own whose loopback has IPv6 turned off.
        script = (
            "import subprocess, sys\n"
            "for key in ('all', 'lo'):\n"
            "    subprocess.run(['sysctl', '-qw', f'net.ipv6.conf.{key}.disable_ipv6=1'], check=True)\n"
            "subprocess.run(['ip', 'link', 'set', 'lo', 'up'], check=True)\n"
            "from agent import Agent, post_json\n"
            "with Agent() as agent:\n"
            "    print(post_json('{\"action\":\"getVersion\"}'))\n"
            "    print(agent.stderr())\n")
        result = subprocess.run(["unshare", "-n", sys.executable, "-c", script],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('"version":\t"v1.00.04"', result.stdout)
        self.assertEqual(result.stdout.count("IPv6 loopback (::1) unavailable"), 1, result.stdout)

    def test_new_copy_closes_the_old_one(self):
        first = Agent().start()
        with Agent() as second:
            self.assertEqual(first.process.wait(10), 0)
            self.assertEqual(pids_of(executable()), [second.process.pid])
            # The port answered for the first copy: the second binds it once the first is gone.
            self.assertTrue(wait_for_port())
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))
        first.stop()

    def test_copies_started_together_leave_the_last_serving(self):
        for _ in range(3):
            copies = [Agent().start(wait=False) for _ in range(2)]
            for copy in copies:
                self.addCleanup(shutil.rmtree, copy.home, ignore_errors=True)
                self.addCleanup(copy.stop)
            # The newer copy closes the older one (at once while it is still starting), never
            # the other way round.
            self.assertIn(copies[0].process.wait(15), (0, -signal.SIGTERM))
            self.assertTrue(wait_for_port())
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))
            self.assertEqual(pids_of(executable()), [copies[1].process.pid])
            self.assertEqual(copies[1].stop(), 0)

    def test_another_users_copy_is_left_alone(self):
        other = Agent(wrapper=["setpriv", "--reuid", "65534", "--regid", "65534",
                               "--clear-groups"])
        os.chmod(other.home, 0o777)  # its log goes there
        with other:
            ours = Agent()
            self.addCleanup(shutil.rmtree, ours.home, ignore_errors=True)
            ours.start(wait=False)
            # The other user's copy keeps the port, so this one cannot start.
            self.assertTrue(wait_until(lambda: ours.process.poll() is not None))
            ours.stop()
            self.assertIsNone(other.process.poll())
            # It still holds the port (and serves only its own user).
            self.assertTrue(wait_for_port())

    def test_restart_hands_the_port_to_a_new_copy(self):
        with Agent() as old:
            # The second restart, asked while the first is under way, starts no further copy.
            self.assertEqual(restart_twice(), [RESTARTED] * 2)
            self.assertEqual(old.process.wait(10), 0)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and not pids_of(executable()):
                time.sleep(0.05)
            new_pids = pids_of(executable())
            self.assertEqual(len(new_pids), 1)
            self.assertNotEqual(new_pids[0], old.process.pid)
            self.assertTrue(wait_for_port())
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))
            # The new copy keeps the old one's log, to its last line, beside its own.
            self.assertIn("do restart", old.log_texts("log.txt.1"))
            self.assertEqual(old.log_texts()[0], "Start")
            os.kill(new_pids[0], 15)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and pids_of(executable()):
                time.sleep(0.05)
            self.assertEqual(pids_of(executable()), [])


    def test_requests_accepted_before_a_stop_are_answered_and_new_ones_refused(self):
        # Each body is half sent when the agent is told to stop (as a restart's new copy does).
        body = b'{"action":"getVersion"}'
        with Agent() as agent:
            clients = [socket.create_connection(("127.0.0.1", PORT), timeout=10) for _ in range(5)]
            for client in clients:
                client.sendall(b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n%s"
                               % (len(body), body[:10]))
            time.sleep(0.3)
            agent.process.send_signal(signal.SIGTERM)
            time.sleep(0.3)
            # A stopping agent no longer listens: a new client is refused, not taken and dropped.
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", PORT), timeout=10)
            for client in clients:
                client.sendall(body[10:])
                self.assertIn(b'"version":\t"v1.00.04"', client.recv(4096))
                client.close()
            self.assertEqual(agent.process.wait(10), 0)

    def test_restart_as_a_service_exits_for_the_service_manager(self):
        # systemd would end a new copy with this one's control group: the copy ends instead,
        # with the status on which the unit starts it again.
        agent = Agent(env={"INVOCATION_ID": "0123456789abcdef0123456789abcdef"}).start()
        try:
            self.assertEqual(restart_twice(), [RESTARTED] * 2)
            self.assertEqual(agent.process.wait(10), 75)
            self.assertIn("do restart", agent.log_texts())
            self.assertEqual(pids_of(executable()), [])
        finally:
            agent.stop()
            shutil.rmtree(agent.home, ignore_errors=True)

    def own_copy(self):
        """A copy of the agent in a directory of its own, so the test may replace it."""
        directory = tempfile.mkdtemp(prefix="quillmark-upgrade-")
        self.addCleanup(shutil.rmtree, directory, ignore_errors=True)
        path = os.path.join(directory, "quillmarkd")
        shutil.copy2(executable(), path)
        return path

    def test_restart_after_an_upgrade_starts_the_new_file(self):
        path = self.own_copy()
        with Agent(path=path) as old:
            replace_file(path, source=executable())
            self.assertEqual(os.readlink(f"/proc/{old.process.pid}/exe"), path + " (deleted)")
            self.assertEqual(post_json('{"action":"restart"}'), '{\n\t"action":\t"restart"\n}')
            self.assertEqual(old.process.wait(10), 0)
            self.assertTrue(wait_until(lambda: pids_of(path)))
            [new_pid] = pids_of(path)
            self.assertEqual(os.stat(f"/proc/{new_pid}/exe").st_ino, os.stat(path).st_ino)
            self.assertTrue(wait_for_port())
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))
            os.kill(new_pid, 15)
            self.assertTrue(wait_until(lambda: not pids_of(path)))

    def test_new_copy_that_ends_at_once_leaves_no_zombie(self):
        path = self.own_copy()
        with Agent(path=path) as old:
            replace_file(path, text='#!/bin/sh\ntouch "$0.ran"\nexit 3\n')
            post_json('{"action":"restart"}')
            self.assertTrue(wait_until(lambda: os.path.exists(path + ".ran")))
            self.assertTrue(wait_until(lambda: children_of(old.process.pid) == []),
                            children_of(old.process.pid))
            # Nothing closed this copy: it still serves.
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))

    def test_restart_under_way_starts_no_further_copy(self):
        path = self.own_copy()
        with Agent(path=path) as old:
            # A new copy that never closes the old one: its restart stays under way.
            replace_file(path, text="#!/bin/sh\nexec sleep 60\n")
            self.assertEqual(restart_twice(), [RESTARTED] * 2)
            # Served after the restarts' work, on the same thread.
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))
            children = children_of(old.process.pid)
            for child, _ in children:
                os.kill(child, signal.SIGKILL)
            self.assertEqual(len(children), 1, children)



class CommandLineTest(unittest.TestCase):
    """--help and --version answer without touching the running agent, its log or HOME;
    anything else is a usage error."""

    def run_program(self, path, *arguments, unset=()):
        home = tempfile.mkdtemp(prefix="quillmark-home-")
        try:
            env = dict(os.environ, HOME=home)
            for name in unset:
                env.pop(name, None)
            result = subprocess.run([path, *arguments], env=env, capture_output=True,
                                    text=True, timeout=30)
            self.assertEqual(os.listdir(home), [], f"{path} {arguments} wrote into HOME")
            return result
        finally:
            shutil.rmtree(home, ignore_errors=True)

    def test_help_and_version_leave_everything_alone(self):
        programs = [executable()] + [p for p in [os.environ.get("QUILLMARKXP")] if p]
        with Agent() as running:
            log_before = running.log_texts()
            for path in programs:
                name = os.path.basename(path)
                with self.subTest(name):
                    result = self.run_program(path, "--version")
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (0, f"{name} v1.00.04\n", ""))
                    result = self.run_program(path, "--help")
                    self.assertEqual((result.returncode, result.stderr), (0, ""))
                    self.assertTrue(result.stdout.startswith(f"Usage: {name} [--help | --version"))
                    for arguments in (["--frobnicate"], ["-h"], ["serve"], ["--help", "x\ny"],
                                      ["--history", "x"]):
                        result = self.run_program(path, *arguments)
                        self.assertEqual(result.returncode, 64, arguments)
                        self.assertEqual(result.stdout, "")
                        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                        self.assertIn("--help", result.stderr)
            self.assertIsNone(running.process.poll(), "the running agent was stopped")
            self.assertEqual(running.log_texts(), log_before)
            self.assertIn("getVersion", post_json('{"action":"getVersion"}'))

    def test_check_without_agent_or_display_says_what_to_do(self):
        result = self.run_program(executable(), "--check", unset=("DISPLAY", "WAYLAND_DISPLAY"))
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn(f"Port {PORT}: held by nobody\n", result.stdout)
        self.assertRegex(result.stdout, r"Certificate store: \S+/\.pki/nssdb: not there\n")
        problems = [line for line in result.stdout.splitlines() if line.startswith("Problem: ")]
        self.assertEqual(len(problems), 3, result.stdout)
        for words in ("start quillmarkd", "pk12util", "import-environment DISPLAY"):
            self.assertTrue(any(words in line for line in problems), words)

    def test_check_with_a_store_and_the_agent_running_is_ready(self):
        pki = shared_pki()
        home = tempfile.mkdtemp(prefix="quillmark-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        pki.install(home, users=[next(iter(pki.users))])
        with Agent(home=home) as running:
            store = os.path.join(home, ".pki", "nssdb")
            before = {name: os.stat(os.path.join(store, name)).st_mtime_ns
                      for name in os.listdir(store)}
            result = subprocess.run([executable(), "--check"], capture_output=True, text=True,
                                    env=dict(running.environment(), DISPLAY=":0"), timeout=60)
            self.assertEqual(result.returncode, 0, result.stdout)
            self.assertIn(f"Port {PORT}: held by the agent (quillmarkd)\n", result.stdout)
            self.assertIn(f"{store}: 3 certificates, 1 key, no password\n", result.stdout)
            self.assertIn("Certificates you can sign with: 1\n", result.stdout)
            self.assertNotIn("Problem: ", result.stdout)
            self.assertEqual({name: os.stat(os.path.join(store, name)).st_mtime_ns
                              for name in os.listdir(store)}, before)
            self.assertEqual(sorted(os.listdir(home)),
                             [".pki", "agent-stderr.txt", "agent-stdout.txt"])

    def policy_root(self, installed):
        """A folder of the test holding the browsers' and the agent's policy folders and the
        browsers `installed`, and `run(*arguments)`, `read(path)`, `write(path, text)` and
        `install(browser, present)` on it: the real program sees these folders in place of
        the machine's, in a mount namespace of its own."""
        root = tempfile.mkdtemp(prefix="quillmark-root-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        for folder in ("etc/quillmark", "etc/firefox/policies", "etc/chromium", "etc/opt",
                       "var/lib/quillmark"):
            os.makedirs(os.path.join(root, folder))

        def run(*arguments):
            unshare = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-Urm"]
            return self.run_program(*unshare, "sh", "-c", PRIVATE_POLICY_FOLDERS, "sh", root,
                                    executable(), *arguments)

        def read(path):
            if os.path.exists(os.path.join(root, path)):
                with open(os.path.join(root, path)) as f:
                    return f.read()

        def write(path, text):
            with open(os.path.join(root, path), "w") as f:
                f.write(text)

        def install(browser, present=True):
            program = os.path.join(root, BROWSER_PROGRAMS[browser])
            if present:
                os.makedirs(os.path.dirname(program), exist_ok=True)
                write(program, "#!/bin/sh\n")
                os.chmod(program, 0o755)
            elif os.path.exists(program):
                os.unlink(program)

        for browser in installed:
            install(browser)
        return root, run, read, write, install

    def test_browser_policies_follow_the_administrators_list(self):
        """The real program writes the policies in folders of the test, mounted over the
        browsers' and the agent's in a mount namespace of its own."""
        root, run, read, write, _ = self.policy_root(BROWSER_PROGRAMS)

        firefox, sites = "etc/firefox/policies/policies.json", "etc/quillmark/allowed-sites"
        chromium = [f"etc/{name}/policies/managed/quillmark.json" for name in
                    ("chromium", "opt/chrome")]
        files = [*chromium, firefox, "var/lib/quillmark/firefox-skip-domains"]
        theirs = {"DisableTelemetry": True, "LocalNetworkAccess": {
            "Enabled": True, "SkipDomains": ["intranet.example"]}, "Proxy": {"Mode": "system"}}
        write(firefox, json.dumps({"policies": theirs}))
        portal, sign = "https://portal.example.vn", "https://sign.example.vn:8443"
        write(sites, f"{portal}\n{sign}\n")
        self.assertIn(f"Browser policies for {sign}: Chromium missing, Chrome missing, "
                      "Firefox missing\nAdvice: ", run("--check").stdout)
        before = [read(path) for path in files]
        dry = run("--browser-policies", "--dry-run")
        self.assertEqual((dry.returncode, [read(path) for path in files]), (0, before))
        self.assertIn("Would write /etc/firefox/policies/policies.json:\n", dry.stdout)
        self.assertEqual(run("--browser-policies").stdout.count("Wrote "), 4)
        self.assertIn("nothing to change", run("--browser-policies").stdout)
        for path in chromium:
            self.assertEqual(json.loads(read(path)), {
                "LocalNetworkAccessAllowedForUrls": [portal, sign],
                "LoopbackNetworkAllowedForUrls": [portal, sign]})
        check = run("--check").stdout
        self.assertIn(f"{sign}: Chromium found, Chrome found, Firefox found\n", check)
        self.assertNotIn("Advice: ", check)

        # A site no longer allowed leaves the files; the administrator's own entry stays.
        write(sites, f"{sign}\n")
        run("--browser-policies")
        ours = dict(theirs, LocalNetworkAccess={
            "Enabled": True, "SkipDomains": ["intranet.example", "sign.example.vn"]})
        self.assertEqual(list(json.loads(read(firefox))["policies"].items()), list(ours.items()))
        self.assertEqual(json.loads(read(chromium[1]))["LoopbackNetworkAllowedForUrls"], [sign])

        write(sites, "")
        write(firefox, read(firefox).replace("[", "{", 1))
        before = [read(path) for path in files]
        refused = run("--browser-policies")
        self.assertEqual((refused.returncode, [read(path) for path in files]), (65, before))
        self.assertEqual(refused.stderr, "quillmarkd: /etc/firefox/policies/policies.json: it "
                         "is not JSON; nothing was changed\n")
        write(firefox, json.dumps({"policies": ours}))
        run("--browser-policies")
        self.assertEqual([read(path) for path in files[:2] + files[3:]], [None] * 3)
        self.assertEqual(list(json.loads(read(firefox))["policies"].items()),
                         list(theirs.items()))

        # A FIFO in place of any file they read holds up neither command; a huge file is told
        # as such. Nothing is changed.
        write(sites, f"{sign}\n")
        for path in (firefox, chromium[0], files[3]):
            fifo = os.path.join(root, path)
            if os.path.exists(fifo):
                os.unlink(fifo)
            os.mkfifo(fifo)
            refused = run("--browser-policies")
            self.assertEqual(refused.returncode, 65, path)
            self.assertIn(f"/{path.removeprefix('etc/')}: is not a regular file", refused.stderr)
            self.assertIn("Browser policies for", run("--check").stdout)
            os.unlink(fifo)
        write(firefox, json.dumps({"policies": theirs}))
        with open(os.path.join(root, firefox), "a") as f:
            f.write(" " * (4 << 20))
        refused = run("--browser-policies")
        self.assertEqual(refused.stderr, "quillmarkd: /etc/firefox/policies/policies.json: is "
                         "larger than 4 MiB, more than policies take; nothing was changed\n")

    def test_browser_policies_leave_out_the_browsers_not_installed(self):
        root, run, read, write, install = self.policy_root(["Chromium", "Firefox"])
        firefox = "etc/firefox/policies/policies.json"
        record = "var/lib/quillmark/firefox-skip-domains"
        chromium = "etc/chromium/policies/managed/quillmark.json"
        chrome = "etc/opt/chrome/policies/managed/quillmark.json"
        portal = "https://portal.example.vn"
        write("etc/quillmark/allowed-sites", f"{portal}\n")
        self.assertIn(f"Browser policies for {portal}: Chromium missing, Chrome not installed, "
                      "Firefox missing\nAdvice: ", run("--check").stdout)
        dry = run("--browser-policies", "--dry-run").stdout
        self.assertTrue(dry.startswith("Would skip Chrome, which is not installed.\nWould write "),
                        dry)
        self.assertNotIn("/etc/opt", dry)
        wrote = run("--browser-policies")
        self.assertEqual(wrote.returncode, 0, wrote.stderr)
        self.assertEqual(wrote.stdout.splitlines(), [
            "Skipped Chrome, which is not installed.", f"Wrote /{chromium}",
            f"Wrote /{firefox}", f"Wrote /{record}"])
        # Not even Chrome's folder is made.
        self.assertEqual(os.listdir(os.path.join(root, "etc/opt")), [])
        check = run("--check").stdout
        self.assertIn(f"{portal}: Chromium found, Chrome not installed, Firefox found\n", check)
        self.assertNotIn("Advice: ", check)

        # Chrome installed later gets its file; nothing else changes.
        install("Chrome")
        self.assertEqual(run("--browser-policies").stdout, f"Wrote /{chrome}\n")

        # The files of a browser removed since are left as they are, even when out of date.
        install("Firefox", present=False)
        write("etc/quillmark/allowed-sites", "")
        kept = [read(firefox), read(record)]
        self.assertEqual(run("--browser-policies").stdout.splitlines(), [
            "Skipped Firefox, which is not installed.", f"Removed /{chromium}",
            f"Removed /{chrome}"])
        self.assertEqual([read(firefox), read(record)], kept)

        # Without any of the three, nothing is read or written, and the command still succeeds.
        install("Chromium", present=False)
        install("Chrome", present=False)
        write(firefox, "not JSON")
        none = run("--browser-policies")
        self.assertEqual((none.returncode, none.stderr), (0, ""))
        self.assertEqual(none.stdout, "".join(
            f"Skipped {name}, which is not installed.\n" for name in BROWSER_PROGRAMS) +
            "Chromium, Chrome and Firefox are not installed: nothing to write.\n")


if __name__ == "__main__":
    unittest.main()
