"""OpenWrt's real service userland booted around the pelmar package, for tests.

Path: tests/openwrt/userland.py. The userland (procd as PID 1 of its own namespaces, ubusd, uci,
validate_data, logd, ujail; with `luci=True` also rpcd and uhttpd with LuCI) is built from the
sources in ../shared/openwrt-userland by its own scripts, once per build directory (their stamps
keep it between the tests of a run), and each boot gets a fresh root of its own, so boots may
run side by side. Needs root, namespaces and /dev/net/tun.

    from userland import Userland
    with Userland(build_dir, daemon="/path/to/pelmar", ujail=True, luci=False,
                  overlays=[extra_dir]) as router:
        rc, out = router.sh("uci set pelmar.main.enabled=1; uci commit pelmar")
        server = router.in_net(["python3", "-m", "http.server", "8000"])  # a Popen
        with router.radio("mon0") as radio:  # tun interface with radiotap, in the root's netns
            radio.send(radiotap_header + frame)
        router.login                          # ("root", password) for rpcd / LuCI
        router.logread(); router.service("pelmar"); router.path("/etc/passwd")
    # leaving the block (or stop()) shuts procd down and removes the root

The package is laid out as its Makefiles install it: packaging/openwrt/pelmar/Makefile's
Package/pelmar/install is read and done (the daemon given stands for the built one, at
/usr/sbin/pelmar), the user and group come from the package's USERID through OpenWrt's own
add_group_and_user, and the uci-defaults run once as at first boot. With `luci=True` the LuCI
app's htdocs/ go to /www and its root/ to /, as luci.mk installs them. The daemon's and curl's
host libraries go flat into /lib (where ujail finds them); curl and the CA bundle are there as
the package's dependencies put them. `ujail=False` removes /sbin/ujail before boot. Each extra
overlay directory is copied over the root last.

Environment: PELMAR_SHARED (the shared folder; else ../shared beside the repository or beside
the checkout a clone came from), PELMAR_KEEP_ROOT=1 keeps each root after its stop.
"""
import ctypes
import fcntl
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.normpath(os.path.join(HERE, "..", ".."))
PACKAGING = os.path.join(REPOSITORY, "packaging", "openwrt")
ROOT_PASSWORD = "pelmar-test-root"
# Where OpenWrt's curl and ca-bundle packages put them.
CURL = "/usr/bin/curl"
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def _git(*arguments):
    return subprocess.run(["git", "-C", REPOSITORY, *arguments], capture_output=True,
                          text=True).stdout.strip()


def shared_dir():
    """The shared folder: $PELMAR_SHARED, ../shared beside the repository, beside the checkout
    that this one was cloned from, or beside the main checkout of this worktree; None when there
    is none."""
    candidates = [os.environ.get("PELMAR_SHARED"), os.path.join(REPOSITORY, "..", "shared")]
    origin = _git("config", "--get", "remote.origin.url")
    if origin and os.path.isdir(origin):
        candidates.append(os.path.join(origin, "..", "shared"))
    common = _git("rev-parse", "--path-format=absolute", "--git-common-dir")
    if common:
        candidates.append(os.path.join(os.path.dirname(common), "..", "shared"))
    for candidate in candidates:
        if candidate and os.path.isdir(os.path.join(candidate, "openwrt-userland")):
            return os.path.abspath(candidate)
    return None


def missing():
    """Why the userland cannot run here; empty when it can."""
    if os.geteuid() != 0:
        return "the OpenWrt userland needs root"
    if shared_dir() is None:
        return "no openwrt-userland in the shared folder beside the repository"
    for tool in ("unshare", "nsenter", "busybox", "cmake", "gcc", "curl"):
        if not shutil.which(tool) and not os.path.exists("/bin/" + tool):
            return f"{tool} is not installed"
    if not os.path.exists("/dev/net/tun"):
        return "no /dev/net/tun"
    return ""


def _makefile_define(makefile, name):
    """The lines of `define NAME` ... `endef` in `makefile`, continuations joined."""
    with open(makefile) as f:
        text = f.read().replace("\\\n", " ")
    match = re.search(rf"^define {re.escape(name)}\n(.*?)^endef", text, re.M | re.S)
    if not match:
        raise ValueError(f"no define {name} in {makefile}")
    return [line.strip() for line in match.group(1).splitlines() if line.strip()]


INSTALL_MODES = {"INSTALL_BIN": 0o755, "INSTALL_CONF": 0o600, "INSTALL_DATA": 0o644}


def install_package(makefile, destination, built):
    """Does what `define Package/NAME/install` in `makefile` does, into `destination`: $(1) is
    the destination, ./ the package's directory, $(PKG_INSTALL_DIR) the built tree `built`
    (where usr/bin/pelmar is the daemon). Knows INSTALL_DIR/BIN/CONF/DATA, CP and LN."""
    package_dir = os.path.dirname(makefile)
    name = os.path.basename(package_dir)

    def path(word):
        word = word.replace("$(1)", destination).replace("$(PKG_INSTALL_DIR)", built)
        return word if os.path.isabs(word) else os.path.join(package_dir, word)

    for line in _makefile_define(makefile, f"Package/{name}/install"):
        command, *words = line.split()
        command = command.strip("$()")
        paths = [path(w) for w in words]
        if command == "INSTALL_DIR":
            for p in paths:
                os.makedirs(p, 0o755, exist_ok=True)
        elif command in INSTALL_MODES or command == "CP":
            *sources, target = paths
            for source in sources:
                into = os.path.join(target, os.path.basename(source)) if os.path.isdir(target) else target
                if os.path.isdir(source):
                    shutil.copytree(source, into, symlinks=True, dirs_exist_ok=True)
                else:
                    shutil.copy2(source, into)
                    if command != "CP":
                        os.chmod(into, INSTALL_MODES[command])
        elif command == "LN":
            os.symlink(words[-2], paths[-1])
        else:
            raise ValueError(f"{makefile}: install step not understood: {line}")


def package_user(makefile):
    """The USERID of the package in `makefile` ("user:group"), or None."""
    with open(makefile) as f:
        match = re.search(r"^\s*USERID:=(\S+)", f.read(), re.M)
    return match.group(1) if match else None


def host_libraries(*programs):
    """The shared libraries (real files) that `programs` load on this host."""
    found = set()
    for program in programs:
        listing = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
        found.update(re.findall(r"=> (/\S+)", listing))
    return sorted(found)


class Radio:
    """A tun interface with radiotap as its link type (a stand-in for a monitor interface) made
    inside a network namespace; `send(frame)` puts one radiotap frame on it; `close()` removes
    it (a "wifi reload")."""

    TUNSETIFF, TUNSETLINK, IFF_TUN, RADIOTAP_LINK = 0x400454CA, 0x400454CD, 0x0001, 803

    def __init__(self, name, procd_pid):
        self.name = name
        self.fd = None
        error = []
        # setns changes the calling thread alone, and the tun device belongs to the namespace of
        # whoever opens it: a thread of its own opens it there and ends.
        thread = threading.Thread(target=self._open, args=(procd_pid, error))
        thread.start()
        thread.join()
        if error:
            raise error[0]
        subprocess.run(["nsenter", "--target", str(procd_pid), "--net", "--", "ip", "link", "set",
                        name, "up"], check=True)

    def _open(self, procd_pid, error):
        try:
            with open(f"/proc/{procd_pid}/ns/net") as ns:
                if hasattr(os, "setns"):
                    os.setns(ns.fileno(), os.CLONE_NEWNET)
                elif ctypes.CDLL(None, use_errno=True).setns(ns.fileno(), 0x40000000) != 0:
                    raise OSError(ctypes.get_errno(), "setns")
            fd = os.open("/dev/net/tun", os.O_RDWR)
            try:
                fcntl.ioctl(fd, self.TUNSETIFF, struct.pack("16sH", self.name.encode(), self.IFF_TUN))
                fcntl.ioctl(fd, self.TUNSETLINK, self.RADIOTAP_LINK)
            except OSError:
                os.close(fd)
                raise
            self.fd = fd
        except OSError as e:
            error.append(e)

    def send(self, frame):
        """One radiotap frame (header included), behind tun's packet information."""
        os.write(self.fd, struct.pack(">HH", 0, 0x0019) + frame)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Userland:
    """One boot of the userland with the package laid out; see the module's docstring."""

    def __init__(self, build_dir, daemon, ujail=True, luci=False, overlays=()):
        self.shared = shared_dir()
        if self.shared is None:
            raise RuntimeError(missing() or "no shared folder")
        self.scripts = os.path.join(self.shared, "openwrt-userland")
        self.build_dir = os.path.abspath(build_dir)
        self.daemon = os.path.abspath(daemon)
        self.ujail = ujail
        self.luci = luci
        self.overlays = [os.path.abspath(o) for o in overlays]
        self.login = ("root", ROOT_PASSWORD)
        self.boot_dir = None
        self.pid = None

    # -- boot and stop

    def start(self):
        self._build()
        os.makedirs(self.build_dir, exist_ok=True)
        self.boot_dir = tempfile.mkdtemp(prefix="boot-", dir=self.build_dir)
        # The scripts keep the root and the run files beside the build: each boot gets its own
        # directory that shares the one build.
        os.symlink(os.path.join(self.build_dir, "stage"), os.path.join(self.boot_dir, "stage"))
        package = self._package_overlay()
        # Copies whose top is 0755: `cp -a` gives the root's / the mode of each overlay's top (a
        # temporary directory's 0700 would shut ubusd and logd out).
        overlays = []
        for number, overlay in enumerate(self.overlays):
            copy = os.path.join(self.boot_dir, f"overlay-{number}")
            shutil.copytree(overlay, copy, symlinks=True)
            os.chmod(copy, 0o755)
            overlays.append(copy)
        late = os.path.join(self.boot_dir, "late")
        os.makedirs(late)
        run = "run-luci.sh" if self.luci else "run-procd.sh"
        environment = dict(os.environ, LUCI_ROOT_PASSWORD=ROOT_PASSWORD)
        # Into a file: the root's processes inherit the script's output and keep it open.
        log = os.path.join(self.boot_dir, "boot.log")
        with open(log, "w") as out:
            status = subprocess.run(["sh", os.path.join(self.scripts, run), self.boot_dir, package,
                                     *overlays], stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, env=environment, timeout=180).returncode
        try:
            with open(os.path.join(self.boot_dir, "run", "procd.pid")) as f:
                self.pid = int(f.read())
        except (OSError, ValueError):
            self.pid = None
        if status != 0:
            with open(log) as f:
                text = f.read()
            self.stop()
            raise RuntimeError(f"{run} failed:\n{text}")
        try:
            self._after_boot()
        except BaseException:
            self.stop()
            raise
        return self

    def _build(self):
        script = "build-luci.sh" if self.luci else "build.sh"
        os.makedirs(self.build_dir, exist_ok=True)
        lock = os.path.join(self.build_dir, "build.lock")
        with open(lock, "w") as held:  # boots starting together wait for one build
            fcntl.flock(held, fcntl.LOCK_EX)
            result = subprocess.run(["sh", os.path.join(self.scripts, script), self.build_dir],
                                    capture_output=True, text=True, timeout=900)
        if result.returncode != 0:
            raise RuntimeError(f"{script} failed:\n{result.stdout}{result.stderr}")

    def _package_overlay(self):
        """The package (and with luci the app) as installed, plus what it depends on."""
        overlay = os.path.join(self.boot_dir, "package")
        built = os.path.join(self.boot_dir, "built")
        os.makedirs(os.path.join(built, "usr", "bin"))
        shutil.copy2(self.daemon, os.path.join(built, "usr", "bin", "pelmar"))
        os.makedirs(overlay)
        install_package(os.path.join(PACKAGING, "pelmar", "Makefile"), overlay, built)
        if self.luci:
            app = os.path.join(PACKAGING, "luci-app-pelmar")
            shutil.copytree(os.path.join(app, "root"), overlay, dirs_exist_ok=True)
            shutil.copytree(os.path.join(app, "htdocs"), os.path.join(overlay, "www"),
                            dirs_exist_ok=True)
        # Dependencies: curl, the CA bundle, and the host's libraries flat in /lib.
        for source, target in [(shutil.which("curl"), CURL), ("/etc/ssl/certs/ca-certificates.crt",
                                                             CA_BUNDLE)]:
            if source and os.path.exists(source):
                os.makedirs(os.path.dirname(overlay + target), exist_ok=True)
                shutil.copy(source, overlay + target)
        libs = os.path.join(overlay, "lib")
        os.makedirs(libs, exist_ok=True)
        for library in host_libraries(self.daemon, overlay + CURL):
            shutil.copy(library, os.path.join(libs, os.path.basename(library)))
        # The package's control file, read by add_group_and_user after boot.
        user = package_user(os.path.join(PACKAGING, "pelmar", "Makefile"))
        info = os.path.join(overlay, "usr", "lib", "opkg", "info")
        os.makedirs(info)
        with open(os.path.join(info, "pelmar.control"), "w") as f:
            f.write("Package: pelmar\n" + (f"Require-User: {user}\n" if user else ""))
        return overlay

    def _after_boot(self):
        """What installing the package does once the root runs: its user and group (OpenWrt's
        add_group_and_user, as at image build), its uci-defaults (when no boot script ran them),
        and /sbin/ujail gone where asked; reload_config takes the first snapshot of the
        configuration."""
        steps = ["IPKG_INSTROOT=/ . /lib/functions.sh && IPKG_INSTROOT=/ add_group_and_user pelmar"]
        if not self.ujail:
            steps.append("rm -f /sbin/ujail")
        steps.append("cd /etc/uci-defaults 2>/dev/null && for f in *; do [ -f \"$f\" ] && "
                     "( . \"./$f\" ) && rm -f \"$f\"; done; true")
        steps.append("reload_config")
        for step in steps:
            rc, out = self.sh(step)
            if rc != 0:
                raise RuntimeError(f"{step}: status {rc}: {out}")

    def stop(self):
        if self.boot_dir is None:
            return
        subprocess.run(["sh", os.path.join(self.scripts, "stop-procd.sh"), self.boot_dir],
                       capture_output=True, timeout=60)
        if not os.environ.get("PELMAR_KEEP_ROOT"):
            shutil.rmtree(self.boot_dir, ignore_errors=True)
        self.boot_dir = None
        self.pid = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- inside the root

    def sh(self, command, input=None, timeout=60):
        """Runs `command` with the root's /bin/sh as root inside it: (status, stdout + stderr)."""
        result = subprocess.run(["sh", os.path.join(self.scripts, "in-root.sh"), self.boot_dir,
                                 "/bin/sh", "-c", command], input=input, capture_output=True,
                                text=True, timeout=timeout)
        return result.returncode, result.stdout + result.stderr

    def in_net(self, argv, **popen):
        """Starts the host's program `argv` in the root's network namespace (only `lo`, where
        uhttpd and the root's servers listen): a Popen, for the caller to end."""
        return subprocess.Popen(["nsenter", "--target", str(self.pid), "--net", "--", *argv], **popen)

    def radio(self, name="mon0"):
        """A Radio (tun + radiotap) named `name` inside the root's network namespace."""
        return Radio(name, self.pid)

    def path(self, inside):
        """The host's path of `inside` in the root's file tree (its /tmp is a tmpfs of the
        namespace: read that through sh)."""
        return os.path.join(self.boot_dir, "root", inside.lstrip("/"))

    def logread(self):
        return self.sh("logread")[1]

    def console(self):
        """procd's own messages."""
        with open(os.path.join(self.boot_dir, "run", "console.log"), errors="replace") as f:
            return f.read()

    def service(self, name="pelmar"):
        """procd's view of service `name` (`ubus call service list`): {} when it has none."""
        rc, out = self.sh(f"ubus call service list '{{\"name\":\"{name}\"}}'")
        return json.loads(out).get(name, {}) if rc == 0 and out.strip() else {}

    def instance(self, name="pelmar", instance=None):
        """The running instance of service `name` (the first, or `instance`), or {}."""
        instances = self.service(name).get("instances", {})
        if instance is not None:
            return instances.get(instance, {})
        return next(iter(instances.values()), {})

    def wait(self, predicate, timeout=15.0, step=0.2):
        """Polls `predicate` until it gives a true value or `timeout` passes; its last value."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value or time.monotonic() >= deadline:
                return value
            time.sleep(step)
