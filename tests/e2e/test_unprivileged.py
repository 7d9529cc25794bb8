"""The daemon as the router package runs it: an unprivileged user with only the capability to
capture (CAP_NET_RAW, as /etc/capabilities/pelmar.json gives it), or root that becomes its
`user` keeping that capability alone, capturing on an interface that the test makes (a tun
device set to 802.11 with radiotap) and uploading to a local receiver. Needs root, setpriv and /dev/net/tun; skipped while the binary has no native capture."""
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

# As procd starts it with the package's user, capabilities file and no_new_privs.
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
    def capture(self, prefix=(), settings=""):
        """Runs the daemon under `prefix` with `settings` on a test interface until a frame sent
        there is uploaded; its /proc status then, and the capabilities its curl had."""
        receiver = Receiver()
        directory = tempfile.mkdtemp(prefix="pelmar-unprivileged-")
        os.chmod(directory, 0o755)
        name = f"pmon{os.getpid() % 10000}"
        fd = make_interface(name)
        # curl as the daemon runs it, noting the capabilities it was given.
        curl = os.path.join(directory, "curl")
        with open(curl, "w") as f:
            f.write(f"#!/bin/sh\ngrep -E '^Cap(Eff|Amb)' /proc/$$/status > {directory}/caps\n"
                    f"exec {shutil.which('curl')} \"$@\"\n")
        os.chmod(curl, 0o755)
        open(os.path.join(directory, "caps"), "w").close()
        os.chmod(os.path.join(directory, "caps"), 0o666)
        daemon = start(f"[pelmar]\ncapture_interface={name}\nfull_url={receiver.url}\n"
                       f"report_time=1\n{settings}", directory, prefix,
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
            os.close(fd)
            receiver.close()
            shutil.rmtree(directory)

    def test_captures_with_only_the_capture_capability(self):
        status, curl_caps = self.capture(UNPRIVILEGED)
        self.assertEqual(status["Uid"][0], "65534")
        self.assertEqual(int(status["CapEff"][0], 16), CAP_NET_RAW)
        # The capture capability stays with the daemon: its commands get none.
        self.assertEqual(curl_caps, [0, 0])

    def test_root_with_the_user_key_keeps_the_capture_capability_alone(self):
        status, curl_caps = self.capture(settings="user=nobody\n")
        ids = pwd.getpwnam("nobody")
        self.assertEqual((status["Uid"], status["Gid"]),
                         ([str(ids.pw_uid)] * 4, [str(ids.pw_gid)] * 4))
        self.assertEqual({key: int(status[key][0], 16) for key in
                          ("CapPrm", "CapEff", "CapBnd", "CapAmb", "CapInh", "NoNewPrivs")},
                         {"CapPrm": CAP_NET_RAW, "CapEff": CAP_NET_RAW, "CapBnd": 0, "CapAmb": 0,
                          "CapInh": 0, "NoNewPrivs": 1})
        self.assertEqual(curl_caps, [0, 0])

    def test_a_user_that_cannot_be_become_stops_start_up_in_one_line(self):
        nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        uid = pwd.getpwnam("nobody").pw_uid
        cases = [  # under, user, the line (None: it starts)
            ((), "pelmar-no-such-user", "user = pelmar-no-such-user: no such user; not starting."),
            (nobody, "root", f"user = root: running as uid {uid}, not as root: cannot become "
                             "root; not starting."),
            (nobody, "nobody", None),  # already the user: as under a jail
        ]
        for prefix, user, line in cases:
            with self.subTest(user=user), tempfile.TemporaryDirectory() as directory:
                os.chmod(directory, 0o755)
                daemon = start(f"[pelmar]\nuser={user}\nfull_url=http://127.0.0.1:9/\n"
                               "report_time=3600\n", directory, prefix)
                out = os.path.join(directory, "out")
                try:
                    if line is None:
                        self.assertFalse(wait_for(lambda: daemon.poll() is not None, 1))
                        self.assertEqual(proc_status(daemon.pid)["Uid"][0], str(uid))
                    else:
                        self.assertEqual(daemon.wait(10), 255)
                    with open(out) as f:
                        self.assertEqual(f.read(), f"{line}\n" if line else "")
                finally:
                    daemon.kill()
                    daemon.wait()


if __name__ == "__main__":
    unittest.main()
