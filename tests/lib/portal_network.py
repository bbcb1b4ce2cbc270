"""A network of the test's own, where a portal page really is a public site to the browsers:
the test re-runs itself in new network and mount namespaces that hold a public (documentation)
address on a veth pair, a name for it in a test /etc/hosts and the agent's 127.0.0.1:7681,
apart from any other agent on the machine.

    if __name__ == "__main__":
        portal_network.enter()   # re-executes the script inside the namespaces
        unittest.main()

/etc is the test's own there (the machine's entries bound into a tmpfs), and so is /var/lib,
so the test may write /etc/hosts, the administrator's allowed sites and the browsers' policies
without touching the machine's."""

import os
import shutil
import subprocess
import sys
import tempfile

PORTAL_NAME = "portal.example.vn"
PORTAL_ADDRESS = "198.51.100.10"
PORTAL_ORIGIN = f"https://{PORTAL_NAME}"
# A second site on the same address, for cases that need a site of their own.
OTHER_NAME = "other.example.vn"
OTHER_ORIGIN = f"https://{OTHER_NAME}"
_INSIDE = "QUILLMARK_TEST_PORTAL_NETWORK"


def enter():
    """Re-executes this script in its own namespaces (as root, or as the root of a new user
    namespace otherwise), then, once inside, builds the network and the test /etc. A process
    namespace too: the agent, which ends older copies of itself when it starts, then sees only
    this test's."""
    if os.environ.get(_INSIDE) != "1":
        flags = ["-n", "-m", "-p", "--fork", "--mount-proc", "--kill-child"]
        if os.geteuid() != 0:
            flags = ["-U", "-r", *flags]
        os.environ[_INSIDE] = "1"
        os.execvp("unshare", ["unshare", *flags, "--", sys.executable, *sys.argv])
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "link", "add", "portal0", "type", "veth", "peer", "name", "portal1"],
                    ["ip", "addr", "add", PORTAL_ADDRESS + "/24", "dev", "portal0"],
                    ["ip", "link", "set", "portal0", "up"],
                    ["ip", "link", "set", "portal1", "up"]):
        subprocess.run(command, check=True)
    _own_etc()


def _own_etc():
    """Puts a new /etc in place, with its own hosts and its own folders for the agent's and the
    browsers' policies, and a new /var/lib with its own folder for the agent's record of the
    policies it wrote."""
    etc = _own_folder("/etc", ("hosts", "chromium", "firefox", "quillmark", "opt"))
    if os.path.isdir("/etc/chromium"):
        shutil.copytree("/etc/chromium", os.path.join(etc, "chromium"), symlinks=True)
    with open(os.path.join(etc, "hosts"), "w") as f:
        f.write(f"127.0.0.1 localhost\n::1 localhost\n{PORTAL_ADDRESS} {PORTAL_NAME} {OTHER_NAME}\n")
    _put_in_place(etc, "/etc")
    _put_in_place(_own_folder("/var/lib", ("quillmark",)), "/var/lib")


def _own_folder(folder, own_names):
    """A tmpfs holding the folder's entries, the machine's bound in, but for `own_names`, which
    are left for the test to make. (An overlay would not do as a user namespace's root, which
    may not copy up files of the real root.)"""
    stage = tempfile.mkdtemp(prefix="quillmark-own-")
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", stage], check=True)
    for name in os.listdir(folder):
        source, target = os.path.join(folder, name), os.path.join(stage, name)
        if name in own_names:
            continue
        if os.path.islink(source):
            os.symlink(os.readlink(source), target)
            continue
        if os.path.isdir(source):
            os.mkdir(target)
        else:
            open(target, "w").close()
        subprocess.run(["mount", "--rbind", source, target], check=True)
    return stage


def _put_in_place(stage, folder):
    subprocess.run(["mount", "--rbind", stage, folder], check=True)
    # The folder keeps the tmpfs: the one that staged it goes from the machine's /tmp.
    subprocess.run(["umount", "-l", stage], check=True)
    os.rmdir(stage)
