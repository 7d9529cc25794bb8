"""The daemon's own side of running unprivileged, outside any supervisor: started with only the
capability to capture (CAP_NET_RAW) in every set, ambient too, as a supervisor may hand it over,
or as root that becomes its `user` keeping that capability alone, capturing on an interface
that the test makes (a tun device set to 802.11 with radiotap) and uploading to a local
receiver; its commands get no capability either way; and a capture refused to a user without
it, which the daemon waits out. How the router's procd starts it (a jail, or root and `user`)
is tests/openwrt/test_router.py, on OpenWrt's own procd. Needs root, setpriv and
/dev/net/tun; skipped while the binary has no native capture."""
import json
import os
import pwd
import shutil
import subprocess
import tempfile
import time
import unittest

from daemon import BINARY, NO_LIVE_CAPTURE, Receiver, wait_for
from frames import probe_request, simple_radio
from test_native import make_interface, send

# The capture capability in every set, ambient too, and no_new_privs: the most a supervisor
# may hand over (procd hands it over only through ujail, which leaves the ambient set empty).
UNPRIVILEGED = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                "--inh-caps=-all,+net_raw", "--ambient-caps=-all,+net_raw",
                "--bounding-set=-all,+net_raw", "--no-new-privs"]
CAP_NET_RAW = 1 << 13


def start(config_text, directory, prefix=(), path=None):
    """The binary (under `prefix`) on `config_text`, output in a file; its Popen."""
    config = os.path.join(directory, "pelmar.conf")
    with open(config, "w") as f:
        f.write(config_text)
    with open(os.path.join(directory, "out"), "wb") as out:
        return subprocess.Popen([*prefix, os.path.abspath(BINARY)], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, cwd=directory,
                                env=dict(os.environ, PELMAR_CONFIG=config,
                                         PATH=path or os.environ["PATH"]))


def captures_natively():
    """False when a probe run names capture_interface as a line it did not take."""
    with tempfile.TemporaryDirectory(prefix="pelmar-probe-") as directory:
        probe = start("[pelmar]\ncapture_interface=pelmarprobe0\n", directory)
        out = os.path.join(directory, "out")
        wait_for(lambda: os.path.getsize(out) > 0, 3)
        probe.kill()
        probe.wait()
        with open(out, "rb") as f:
            return b"Line 2 of" not in f.read()


def can_run():
    if NO_LIVE_CAPTURE:
        return False
    if os.geteuid() != 0 or not shutil.which("setpriv") or not os.path.exists("/dev/net/tun"):
        return False
    return captures_natively()


def proc_status(pid):
    with open(f"/proc/{pid}/status") as f:
        return {key: value.split() for key, value in (line.split(":", 1) for line in f)}


@unittest.skipIf(NO_LIVE_CAPTURE, NO_LIVE_CAPTURE)
@unittest.skipUnless(can_run(), "needs root, setpriv, /dev/net/tun and native capture")
class Unprivileged(unittest.TestCase):
    def scene(self, prefix, mode):
        """A receiver, a test interface named `prefix` and this pid, a directory with `mode`,
        all ended with the test; the settings naming them."""
        receiver = Receiver()
        self.addCleanup(receiver.close)
        name = f"{prefix}{os.getpid() % 10000}"
        fd = make_interface(name)
        self.addCleanup(os.close, fd)
        directory = tempfile.mkdtemp(prefix="pelmar-unprivileged-")
        self.addCleanup(shutil.rmtree, directory)
        os.chmod(directory, mode)
        return (receiver, name, fd, directory,
                f"[pelmar]\ncapture_interface={name}\nfull_url={receiver.url}\nreport_time=1\n")

    def test_captures_with_only_the_capture_capability(self):
        nobody = pwd.getpwnam("nobody")
        # Each row: prefix, settings, its ids (the real one, or all four), its capabilities.
        rows = [("pmon", UNPRIVILEGED, "", {"Uid": ["65534"]}, {"CapEff": CAP_NET_RAW}),
                ("puser", (), "user=nobody\n",  # root that becomes `user`
                 {"Uid": [str(nobody.pw_uid)] * 4, "Gid": [str(nobody.pw_gid)] * 4},
                 {"CapPrm": CAP_NET_RAW, "CapEff": CAP_NET_RAW, "CapBnd": 0, "CapAmb": 0,
                  "CapInh": 0, "NoNewPrivs": 1})]
        for interface, prefix, settings, ids, caps in rows:
            with self.subTest(interface=interface):
                status, curl_caps = self.capture(interface, prefix, settings)
                self.assertEqual({key: status[key][:len(ids[key])] for key in ids}, ids)
                self.assertEqual({key: int(status[key][0], 16) for key in caps}, caps)
                # The capture capability stays with the daemon: its commands get none.
                self.assertEqual(curl_caps, [0, 0])

    def capture(self, interface, prefix, settings):
        """Runs the daemon under `prefix` with `settings` on a test interface until a frame sent
        there is uploaded; its /proc status then, and the capabilities its curl had."""
        receiver, name, fd, directory, config = self.scene(interface, 0o755)
        # curl as the daemon runs it, noting the capabilities it was given.
        curl = os.path.join(directory, "curl")
        with open(curl, "w") as f:
            f.write(f"#!/bin/sh\ngrep -E '^Cap(Eff|Amb)' /proc/$$/status > {directory}/caps\n"
                    f"exec {shutil.which('curl')} \"$@\"\n")
        os.chmod(curl, 0o755)
        open(os.path.join(directory, "caps"), "w").close()
        os.chmod(os.path.join(directory, "caps"), 0o666)
        daemon = start(config + settings, directory, prefix,
                       path=directory + ":" + os.environ["PATH"])
        try:
            binary = os.path.realpath(BINARY)
            self.assertTrue(wait_for(lambda: os.path.realpath(f"/proc/{daemon.pid}/exe") == binary))
            heard = lambda: any(d.get("mac") == "aa:bb:cc:dd:ee:01"
                                for document in receiver.documents()
                                for d in document["data"])
            for _ in range(50):
                send(fd, simple_radio(-48) + probe_request("aa:bb:cc:dd:ee:01"))
                if heard():
                    break
                time.sleep(0.2)
            self.assertTrue(wait_for(heard, 5))
            self.assertIsNone(daemon.poll())
            status = proc_status(daemon.pid)
            with open(os.path.join(directory, "caps")) as f:
                return status, [int(line.split()[1], 16) for line in f]
        finally:
            daemon.kill()
            daemon.wait()

    def test_a_refused_capture_is_said_once_and_the_daemon_stays_up(self):
        receiver, name, _, directory, config = self.scene("pref", 0o777)
        status_path = os.path.join(directory, "status.json")
        # No capability at all: libpcap is refused its socket.
        daemon = start(config + f"status_file={status_path}\nstatus_history=3\n",
                       directory, UNPRIVILEGED[:4] + ["--inh-caps=-all", "--bounding-set=-all"])
        try:
            # Five windows: two tries of the capture at least, and a history that is full.
            self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 5, 20))
            self.assertIsNone(daemon.poll())
            self.assertEqual([doc["data"] for doc in receiver.documents()], [[]] * 5)
            with open(status_path) as f:
                status = json.load(f)
            capture = status["capture"]
            self.assertEqual((capture["state"], capture["source"], capture["frames"]),
                             ("refused", name, 0))
            self.assertIn("Operation not permitted", capture["error"])
            self.assertLessEqual(capture["since"], status["updated"])
            self.assertEqual(len(status["history"]), 3)
            self.assertEqual([(w["devices"], w["addresses"]) for w in status["history"]],
                             [(None, 0)] * 3)
            self.assertLess(status["history"][0]["end"], status["history"][2]["end"])
            self.assertEqual(status["history"][2]["end"], status["window"]["end"])
            daemon.terminate()
            self.assertEqual(daemon.wait(5), -15)
            with open(os.path.join(directory, "out")) as f:
                lines = f.read().splitlines()
            self.assertEqual(lines, [f"Capture on {name} is refused: {capture['error']}; trying "
                                     "again every 2 s"])
        finally:
            daemon.kill()
            daemon.wait()


if __name__ == "__main__":
    unittest.main()
