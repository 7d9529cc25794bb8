"""The packaged capture pipeline end to end: the real capture tool with the packaged options
over a recorded radiotap capture, piped into the real binary, uploading through real curl."""
import os
import signal
import subprocess
import tempfile
import time
import unittest

from daemon import BINARY, RUNNER, Receiver, install_command, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURE = os.path.join(HERE, "data", "capture.pcap")
PIPELINE = os.path.join(HERE, "..", "..", "packaging", "openwrt", "pelmar", "files", "pelmar-capture")

# What the file holds (see data/make_capture.py): address -> (count, signal). Acknowledgements,
# the clear-to-send and the power-save poll are control frames, which the filter drops; so are
# data frames from the distribution system (the AP's own at -41, and the wired host's that the
# AP forwards) and the four-address frame: their " SA:" is not the transmitter.
EXPECTED = {
    "3c:22:fb:11:20:01": (1, -39),  # beacon -40
    "a4:83:e7:5d:02:9c": (3, -60),  # probe burst -60 -62 -61: mean -61, plus 0.5, truncated
    "da:a1:19:6e:3b:55": (1, -80),  # one probe at -81
    "b8:27:eb:04:c2:10": (8, -53),  # eight frames in a second: the -90 outlier is filtered out
    "f0:18:98:aa:41:07": (3, -69),  # data burst -50 -52, then -70 alone nine seconds later
    "6c:40:08:9a:7e:21": (1, -66),  # -67 dBm; the radio's relative 30 dB is not the reading
}


def children(pid):
    result = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True)
    return [int(p) for p in result.stdout.split()]


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def is_daemon(pid):
    """Whether `pid` runs the binary: itself, or the runner with the binary's path."""
    if RUNNER:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return os.path.abspath(BINARY).encode() in f.read().split(b"\0")
    return os.path.basename(os.readlink(f"/proc/{pid}/exe")) == "pelmar"


def end(wrapper):
    """Ends the wrapper and whatever it started, however the test went."""
    for pid in children(wrapper.pid):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if wrapper.poll() is None:
        wrapper.kill()
    wrapper.wait()


class Pipeline(unittest.TestCase):
    def setUp(self):
        self.receiver = Receiver()
        self.dir = tempfile.TemporaryDirectory(prefix="pelmar-pipeline-")
        install_command(self.dir.name)
        config = os.path.join(self.dir.name, "pelmar.conf")
        with open(config, "w") as f:
            f.write(f"[pelmar]\nreport_time=1\nfull_url={self.receiver.url}\n")
        self.env = dict(os.environ, PELMAR_CONFIG=config, PELMAR_CAPTURE_FILE=CAPTURE,
                        PATH=self.dir.name + ":" + os.environ["PATH"])

    def tearDown(self):
        self.receiver.close()
        self.dir.cleanup()

    def test_packaged_capture_command_yields_exactly_the_expected_devices(self):
        wrapper = subprocess.Popen(["sh", PIPELINE, "mon0"], env=self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            docs = wait_for(lambda: [d for d in self.receiver.documents()
                                     if len(d["data"]) == len(EXPECTED)], 15)
            self.assertTrue(docs, self.receiver.documents())
            got = {e["mac"]: (e["count"], e["signalDB"]) for e in docs[-1]["data"]}
            self.assertEqual(got, EXPECTED)
            self.assertEqual([e["mac"] for e in docs[-1]["data"]][:2],
                             ["3c:22:fb:11:20:01", "a4:83:e7:5d:02:9c"])

            # procd stops the service with TERM to the wrapper alone: both sides must end.
            pids = children(wrapper.pid)
            self.assertTrue(pids)
            wrapper.send_signal(signal.SIGTERM)
            self.assertEqual(wrapper.wait(10), 0)
            self.assertTrue(wait_for(lambda: not any(alive(p) for p in pids), 5))
        finally:
            end(wrapper)
            wrapper.stdout.close()

    def test_pipeline_ends_when_the_daemon_dies(self):
        wrapper = subprocess.Popen(["sh", PIPELINE, "mon0"], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_for(lambda: self.receiver.bodies, 10))
            daemon = [p for p in children(wrapper.pid) if is_daemon(p)]
            self.assertEqual(len(daemon), 1)
            os.kill(daemon[0], signal.SIGKILL)
            # Ends with a failure status, so that procd starts it afresh.
            self.assertEqual(wrapper.wait(10), 1)
        finally:
            end(wrapper)


if __name__ == "__main__":
    unittest.main()
