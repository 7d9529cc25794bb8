"""OpenWrt's real procd, rpcd, uhttpd and LuCI booted in a throwaway root (the userland scripts
beside the repository), with the package pelmar and luci-app-pelmar laid out as their Makefiles
install them and the daemon built here. The test process joins the root's network namespace,
where uhttpd listens on 127.0.0.1:80, so that the browser it starts reaches it."""
import ctypes
import os
import shutil
import subprocess
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = os.path.join(REPO, "packaging", "openwrt", "pelmar", "files")
APP = os.path.join(REPO, "packaging", "openwrt", "luci-app-pelmar")
BASE = "http://127.0.0.1/cgi-bin/luci"
ROOT_PASSWORD, VIEWER_PASSWORD = "root-pw", "viewer-pw"
CLONE_NEWNET = 0x40000000


class LuciRoot:
    """One booted root in `out`; `run` runs a command inside it."""

    def __init__(self, userland, daemon, out, extra=()):
        self.userland, self.out = userland, out
        os.makedirs(out, exist_ok=True)
        self.script("build-luci.sh", out, log="build-luci.log")
        overlay = os.path.join(out, "pelmar-overlay")
        shutil.rmtree(overlay, ignore_errors=True)
        lay_out(overlay, daemon)
        for relative, (text, mode) in dict(extra).items():
            put(os.path.join(overlay, relative), text, mode)
        env = dict(os.environ, LUCI_ROOT_PASSWORD=ROOT_PASSWORD)
        self.script("run-luci.sh", out, overlay, log="run-luci.log", env=env)
        # procd starts the daemon as the package's user without the capability its capabilities
        # file names (only a jail applies it), and opening a packet socket then fails: until the
        # package's service gets it so, the binary carries it as a file capability.
        subprocess.run(["setcap", "cap_net_raw+ep", os.path.join(out, "root/usr/sbin/pelmar")],
                       check=True)
        self.pid = int(open(os.path.join(out, "run", "procd.pid")).read())
        # The package's users (its Makefile's USERID) and a login that may read, not write.
        self.run("sh", "-c", "echo 'pelmar:*:1001:1001:pelmar:/var:/bin/false' >>/etc/passwd; "
                 "echo 'pelmar:x:1001:' >>/etc/group; uci add rpcd login >/dev/null; "
                 "uci set rpcd.@login[-1].username=viewer; "
                 "uci set rpcd.@login[-1].password='%s'; "
                 "uci add_list rpcd.@login[-1].read='*'; uci commit rpcd"
                 % subprocess.check_output(["openssl", "passwd", "-5", VIEWER_PASSWORD],
                                           text=True).strip())

    def script(self, name, *args, log, env=None):
        with open(os.path.join(self.out, log), "w") as f:
            done = subprocess.run(["sh", os.path.join(self.userland, name), *args], stdout=f,
                                  stderr=subprocess.STDOUT, env=env)
        if done.returncode:
            raise RuntimeError("%s failed: see %s" % (name, os.path.join(self.out, log)))

    def run(self, *command, check=True, stdin=""):
        """A command inside the root, given `stdin`: its standard output."""
        done = subprocess.run(["sh", os.path.join(self.userland, "in-root.sh"), self.out,
                               *command], capture_output=True, text=True, input=stdin)
        if check and done.returncode:
            raise RuntimeError("%s: %s" % (command, done.stderr))
        return done.stdout

    def read(self, path):
        return self.run("cat", path, check=False)

    def write(self, path, text):
        self.run("sh", "-c", 'cat >"$0"', path, stdin=text)

    def join_network(self):
        """Moves this process into the root's network namespace (before any thread starts)."""
        libc = ctypes.CDLL(None, use_errno=True)
        with open("/proc/%d/ns/net" % self.pid) as ns:
            if libc.setns(ns.fileno(), CLONE_NEWNET):
                raise OSError(ctypes.get_errno(), "setns")

    def service_pid(self, name):
        """The pid of the service's running instance, or None."""
        out = self.run("sh", "-c", "ubus call service list '{\"name\":\"%s\"}' | "
                       "jsonfilter -e '@.%s.instances.*.pid'" % (name, name), check=False)
        return int(out.split()[0]) if out.split() else None

    def wait_for(self, condition, timeout=20, what="a condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = condition()
            if value:
                return value
            time.sleep(0.2)
        raise AssertionError("waited %d s for %s" % (timeout, what))

    def close(self):
        subprocess.run(["sh", os.path.join(self.userland, "stop-procd.sh"), self.out],
                       capture_output=True)


def put(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def lay_out(overlay, daemon):
    """The two packages as their Makefiles install them, the daemon's host libraries beside."""
    files = {"etc/init.d/pelmar": ("pelmar.init", 0o755), "etc/config/pelmar": ("pelmar.uci", 0o600),
             "etc/capabilities/pelmar.json": ("pelmar.json", 0o644),
             "etc/hotplug.d/ntp/50-pelmar": ("pelmar.hotplug", 0o644)}
    for relative, (name, mode) in files.items():
        put(os.path.join(overlay, relative), open(os.path.join(PACKAGE, name)).read(), mode)
    os.makedirs(os.path.join(overlay, "usr", "sbin"))
    shutil.copy(daemon, os.path.join(overlay, "usr", "sbin", "pelmar"))
    os.makedirs(os.path.join(overlay, "lib"))
    for line in subprocess.check_output(["ldd", daemon], text=True).splitlines():
        parts = line.split()
        if "=>" in parts and parts[2].startswith("/"):
            shutil.copy(parts[2], os.path.join(overlay, "lib", os.path.basename(parts[2])))
    shutil.copytree(os.path.join(APP, "root"), overlay, dirs_exist_ok=True)
    shutil.copytree(os.path.join(APP, "htdocs"), os.path.join(overlay, "www"), dirs_exist_ok=True)
