"""The capture tool piped into the daemon by hand, as docs/router.md's "The capture tool on a
router" shows: the real tool with those options over a recorded radiotap capture, into the real
binary, uploading through real curl."""
import os
import shutil
import subprocess
import tempfile
import unittest

from daemon import COMMAND, Receiver

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURE = os.path.join(HERE, "data", "capture.pcap")
FILTER = "type mgt or (type data and (dir nods or dir tods))"
TCPDUMP = shutil.which("tcpdump")

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


@unittest.skipUnless(TCPDUMP, "the capture tool is not installed")
class Pipeline(unittest.TestCase):
    def test_the_capture_tool_piped_by_hand_yields_exactly_the_expected_devices(self):
        receiver = Receiver()
        with tempfile.TemporaryDirectory(prefix="pelmar-pipeline-") as work:
            config = os.path.join(work, "pelmar.conf")
            with open(config, "w") as f:
                f.write(f"[pelmar]\nreport_time=3600\nexit_at_end=1\nfull_url={receiver.url}\n")
            tool = subprocess.Popen([TCPDUMP, "-r", CAPTURE, "-l", "-e", "-n", "-q", "--", FILTER],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            daemon = subprocess.run(COMMAND, stdin=tool.stdout, stdout=subprocess.DEVNULL,
                                    env=dict(os.environ, PELMAR_CONFIG=config), timeout=60)
            tool.stdout.close()
            tool.wait()
        receiver.close()
        self.assertEqual(daemon.returncode, 0)
        data = receiver.documents()[-1]["data"]
        self.assertEqual({e["mac"]: (e["count"], e["signalDB"]) for e in data}, EXPECTED)
        self.assertEqual([e["mac"] for e in data][:2], ["3c:22:fb:11:20:01", "a4:83:e7:5d:02:9c"])


if __name__ == "__main__":
    unittest.main()
