"""The Debian package as a user gets it: built by scripts/package.sh, checked by lintian,
installed with apt-get, used, and purged without a trace. Runs as root, inside its own PID and
network namespace (set up by ctest), and leaves the machine's packages as it found them."""

import glob
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

from agent import Agent, call, wait_until_settled

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGE_DIR = os.environ.get("QUILLMARK_PACKAGE_DIR", os.path.join(ROOT, "build-package"))
APT = ["apt-get", "-y", "-q", "--no-install-recommends", "-o", "DPkg::Lock::Timeout=300"]
ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")

# Installed files the package must hold.
EXPECTED = [
    "/usr/bin/QuillmarkXp",
    "/usr/bin/quillmarkd",
    "/usr/libexec/quillmark/quillmark-consent",
    "/usr/lib/systemd/user/quillmarkd.service",
    "/usr/share/applications/quillmark.desktop",
    "/usr/share/icons/hicolor/scalable/apps/quillmark.svg",
    "/usr/share/icons/hicolor/48x48/apps/quillmark.png",
    "/usr/share/man/man1/QuillmarkXp.1.gz",
    "/usr/share/man/man1/quillmarkd.1.gz",
    "/usr/share/doc/quillmark/README.md.gz",
    "/usr/share/doc/quillmark/copyright",
    "/usr/share/doc/quillmark/demo/index.html",
    "/usr/share/doc/quillmark/demo/quillmark.js",
    "/usr/share/doc/quillmark/e-invoice/index.html",
    "/usr/share/doc/quillmark/e-invoice/quillmark.js",
    "/usr/share/quillmark/js/quillmark.js",
    "/etc/quillmark/allowed-sites",
]


def run(command, env=ENV, **kwargs):
    return subprocess.run(command, env=env, capture_output=True, text=True, **kwargs)


def installed_packages():
    out = run(["dpkg-query", "-W", "-f", "${Package}:${Architecture} ${db:Status-Abbrev}\n"])
    return {line.split()[0] for line in out.stdout.splitlines() if line.split()[1:2] == ["ii"]}


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            print("not root: the package is not installed", file=sys.stderr)
            sys.exit(77)
        if "quillmark" in {p.split(":")[0] for p in installed_packages()}:
            raise unittest.SkipTest("quillmark is already installed on this machine")
        built = run([os.path.join(ROOT, "scripts", "package.sh"), PACKAGE_DIR])
        assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
        cls.deb = built.stdout.split()[-1]
        cls.before = installed_packages()
        cls.files = []

    @classmethod
    def tearDownClass(cls):
        # Purge the package and whatever its installation pulled in, whatever failed above.
        added = sorted(installed_packages() - getattr(cls, "before", installed_packages()))
        if added:
            run(APT + ["purge"] + added)

    def test_package(self):
        self.check_lintian()
        self.install()
        self.check_installed_agent()
        self.check_unit_and_entries()
        self.check_man_pages()
        self.purge()

    def check_lintian(self):
        lint = run(["lintian", "--fail-on", "error", "--no-tag-display-limit", self.deb])
        print(lint.stdout, file=sys.stderr)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)

    def install(self):
        done = run(APT + ["install", os.path.abspath(self.deb)], cwd=os.path.dirname(self.deb))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        listing = run(["dpkg", "-L", "quillmark"]).stdout.splitlines()
        type(self).files = [p for p in listing if os.path.isfile(p) or os.path.islink(p)]
        for path in EXPECTED:
            self.assertIn(path, self.files)
        # The page library a portal serves says which agent release it came with.
        version = run(["dpkg-query", "-W", "-f", "${Version}", "quillmark"]).stdout
        with open("/usr/share/quillmark/js/quillmark.js") as f:
            self.assertIn(f'export const VERSION = "{version.split("-")[0]}";', f.read())

    def check_installed_agent(self):
        with Agent(path="/usr/bin/quillmarkd", env={"XDG_STATE_HOME": ""}) as agent:
            self.assertEqual(call({"action": "getVersion"})["action"], "getVersion")
            state = os.path.join(agent.home, ".local", "state", "quillmark")
            log = os.path.join(state, "log.txt")
            wait_until_settled(log)
            with open(log) as f:
                text = f.read()
            self.assertTrue(text.startswith("Start\n"), text)
            self.assertIn("getVersion", text)
            self.assertEqual(stat.S_IMODE(os.stat(state).st_mode), 0o700)
            self.assertEqual(stat.S_IMODE(os.stat(log).st_mode), 0o600)
        self.assertFalse(os.path.exists("/usr/bin/log.txt"))

    def check_unit_and_entries(self):
        verify = run(["systemd-analyze", "verify", "/usr/lib/systemd/user/quillmarkd.service"])
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

        autostart = self.autostart_entry_of_installed_desktop_agent()
        for entry in ("/usr/share/applications/quillmark.desktop", autostart):
            valid = run(["desktop-file-validate", entry])
            self.assertEqual(valid.returncode, 0, valid.stdout + valid.stderr)
            self.assertNotIn("error", valid.stdout.lower(), valid.stdout)

    def autostart_entry_of_installed_desktop_agent(self):
        """Starts the installed QuillmarkXp on a virtual display of its own until it has
        written its autostart entry, and returns the entry's path."""
        config = tempfile.mkdtemp(prefix="quillmark-config-")
        self.addCleanup(shutil.rmtree, config, ignore_errors=True)
        entry = os.path.join(config, "autostart", "Quillmark.desktop")
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"],
                                pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        os.close(write_end)
        try:
            with os.fdopen(read_end) as f:
                display = ":" + f.readline().strip()
            # Its exit status is not examined: SIGTERM may arrive before it handles it.
            agent = Agent(path="/usr/bin/QuillmarkXp", home=config,
                          env={"DISPLAY": display, "XDG_CONFIG_HOME": config})
            agent.start()
            agent.stop()
            self.assertTrue(os.path.exists(entry))
        finally:
            xvfb.terminate()
            xvfb.wait()
        return entry

    def check_man_pages(self):
        for page in ("quillmarkd", "QuillmarkXp"):
            shown = run(["man", "--warnings", "-l", f"/usr/share/man/man1/{page}.1.gz"],
                        env=dict(ENV, MANPAGER="cat", MANWIDTH="80"))
            self.assertEqual(shown.returncode, 0, shown.stderr)
            self.assertEqual(shown.stderr, "", shown.stderr)
            self.assertIn("LOCAL NETWORK ACCESS", shown.stdout)
            self.assertIn("log.txt", shown.stdout)

    def purge(self):
        done = run(APT + ["purge", "quillmark"])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        left = [p for p in self.files if os.path.lexists(p)]
        self.assertEqual(left, [])
        self.assertEqual(glob.glob("/usr/share/doc/quillmark*"), [])


if __name__ == "__main__":
    unittest.main()
