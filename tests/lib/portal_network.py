"""A network of the test's own, where a portal page really is a public site to the browsers:
the test re-runs itself in new network and mount namespaces that hold a public (documentation)
address on a veth pair, a name for it in a test /etc/hosts and the agent's 127.0.0.1:7681,
apart from any other agent on the machine.

    if __name__ == "__main__":
        portal_network.enter()   # re-executes the script inside the namespaces
        unittest.main()

/etc is an overlay there, so the test may write /etc/hosts and the browsers' policy folders
without touching the machine's own."""

import os
import subprocess
import sys
import tempfile

PORTAL_NAME = "portal.example.vn"
PORTAL_ADDRESS = "198.51.100.10"
PORTAL_ORIGIN = f"https://{PORTAL_NAME}"
# A second site on the same address, for cases that need a site of their own.
OTHER_NAME = "other.example.vn"
OTHER_ORIGIN = f"https://{OTHER_NAME}"
CHROMIUM_POLICIES = "/etc/chromium/policies/managed"
FIREFOX_POLICIES = "/etc/firefox/policies"
_INSIDE = "QUILLMARK_TEST_PORTAL_NETWORK"


def enter():
    """Re-executes this script in its own namespaces (as root, or as the root of a new user
    namespace otherwise), then, once inside, builds the network and the test /etc."""
    if os.environ.get(_INSIDE) != str(os.getpid()):
        flags = ["-n", "-m"] if os.geteuid() == 0 else ["-U", "-r", "-n", "-m"]
        # exec keeps the pid, which tells the re-executed script it is inside.
        os.environ[_INSIDE] = str(os.getpid())
        os.execvp("unshare", ["unshare", *flags, "--", sys.executable, *sys.argv])
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "link", "add", "portal0", "type", "veth", "peer", "name", "portal1"],
                    ["ip", "addr", "add", PORTAL_ADDRESS + "/24", "dev", "portal0"],
                    ["ip", "link", "set", "portal0", "up"],
                    ["ip", "link", "set", "portal1", "up"]):
        subprocess.run(command, check=True)
    layers = tempfile.mkdtemp(prefix="quillmark-etc-")
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", layers], check=True)
    os.makedirs(os.path.join(layers, "upper"))
    os.makedirs(os.path.join(layers, "work"))
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    f"lowerdir=/etc,upperdir={layers}/upper,workdir={layers}/work", "/etc"],
                   check=True)
    # The overlay keeps its layers: the folder that held them goes from the machine's /tmp.
    subprocess.run(["umount", "-l", layers], check=True)
    os.rmdir(layers)
    with open("/etc/hosts", "w") as f:
        f.write(f"127.0.0.1 localhost\n::1 localhost\n{PORTAL_ADDRESS} {PORTAL_NAME} {OTHER_NAME}\n")
