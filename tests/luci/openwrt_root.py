"""OpenWrt's real procd, rpcd, uhttpd and LuCI booted in a throwaway root by the scripts in
../shared/openwrt-userland, with the pelmar package and the LuCI app laid out as OpenWrt
installs them and the daemon built for this machine (and curl, which it runs for uploads)."""
import os
import shutil
import subprocess

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
USERLAND = os.environ.get("PELMAR_SHARED_USERLAND") or os.path.join(
    os.path.dirname(REPO), "shared", "openwrt-userland")
PACKAGE = os.path.join(REPO, "packaging", "openwrt", "pelmar", "files")
APP = os.path.join(REPO, "packaging", "openwrt", "luci-app-pelmar")
ROOT_PASSWORD = "pelmar-root"
VIEWER = ("viewer", "viewer-pw")  # may read everything, write nothing


def libraries(binary):
    """The host's shared libraries `binary` needs."""
    found = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    return [line.split("=>")[1].split()[0] for line in found.splitlines()
            if "=>" in line and "/" in line.split("=>")[1]]


class Root:
    """The booted root; `run()` a command inside it, `close()` ends it."""

    def __init__(self, out, daemon, uci_pelmar, files=None):
        """`uci_pelmar`: the options of /etc/config/pelmar; `files`: {path in the root: text}."""
        self.out = os.path.abspath(out)
        os.makedirs(self.out, exist_ok=True)
        self.script("build-luci.sh", self.out)
        overlay = self.lay_out(daemon, uci_pelmar, files or {})
        env = dict(os.environ, LUCI_ROOT_PASSWORD=ROOT_PASSWORD)
        # procd lives on in the background: its output goes to a file, not to a pipe never ended.
        with open(os.path.join(self.out, "run-luci.log"), "w") as log:
            subprocess.run(["sh", os.path.join(USERLAND, "run-luci.sh"), self.out, overlay],
                           env=env, check=True, stdout=log, stderr=subprocess.STDOUT, timeout=120)
        with open(os.path.join(self.out, "run", "procd.pid")) as f:
            self.pid = f.read().strip()
        # The package's user, and a login that reads but does not write.
        self.run("sh", "-c", "echo 'pelmar:x:1001:1001::/var/run/pelmar:/bin/false' >>/etc/passwd;"
                 " echo 'pelmar:x:1001:' >>/etc/group")
        hashed = subprocess.run(["openssl", "passwd", "-5", VIEWER[1]], capture_output=True,
                                text=True, check=True).stdout.strip()
        self.run("sh", "-c", "uci add rpcd login >/dev/null; uci set rpcd.@login[-1].username=%s;"
                 " uci set rpcd.@login[-1].password='%s'; uci add_list rpcd.@login[-1].read='*';"
                 " uci commit rpcd" % (VIEWER[0], hashed))
        self.run("/etc/init.d/pelmar", "start")

    def script(self, name, *args):
        with open(os.path.join(self.out, name + ".log"), "w") as log:
            subprocess.run(["sh", os.path.join(USERLAND, name), *args], check=True, stdout=log,
                           stderr=subprocess.STDOUT, timeout=900)

    def lay_out(self, daemon, uci_pelmar, files):
        """The overlay: the package as its Makefile installs it, the app as luci.mk does."""
        overlay = os.path.join(self.out, "pelmar-overlay")
        shutil.rmtree(overlay, ignore_errors=True)
        for folder in ("usr/sbin", "usr/bin", "lib", "etc/init.d", "etc/config", "etc/rc.d",
                       "etc/capabilities", "etc/hotplug.d/ntp", "www"):
            os.makedirs(os.path.join(overlay, folder))
        put = lambda source, target, mode=0o644: (
            shutil.copy(source, os.path.join(overlay, target)),
            os.chmod(os.path.join(overlay, target), mode))
        put(daemon, "usr/sbin/pelmar", 0o755)
        put(shutil.which("curl"), "usr/bin/curl", 0o755)
        for library in set(libraries(daemon) + libraries(shutil.which("curl"))):
            shutil.copy(library, os.path.join(overlay, "lib"))
        put(os.path.join(PACKAGE, "pelmar.init"), "etc/init.d/pelmar", 0o755)
        put(os.path.join(PACKAGE, "pelmar.json"), "etc/capabilities/pelmar.json")
        put(os.path.join(PACKAGE, "pelmar.hotplug"), "etc/hotplug.d/ntp/50-pelmar")
        with open(os.path.join(overlay, "etc/config/pelmar"), "w") as f:
            f.write("config pelmar 'main'\n" + "".join(
                "\toption %s '%s'\n" % item for item in uci_pelmar.items()))
        for path, text in files.items():
            with open(os.path.join(overlay, path), "w") as f:
                f.write(text)
        shutil.copytree(os.path.join(APP, "root"), overlay, dirs_exist_ok=True)
        shutil.copytree(os.path.join(APP, "htdocs"), os.path.join(overlay, "www"),
                        dirs_exist_ok=True)
        return overlay

    def run(self, *command, check=True):
        """A command inside the root: its standard output."""
        return subprocess.run(["sh", os.path.join(USERLAND, "in-root.sh"), self.out, *command],
                              capture_output=True, text=True, check=check, timeout=120).stdout

    def net(self):
        """The command prefix that runs a program in the root's network namespace."""
        return ["nsenter", "--target", self.pid, "--net", "--"]

    def close(self):
        self.script("stop-procd.sh", self.out)
