"""Native capture of the real binary: the capture tool's text path is the oracle for recordings
of every frame kind and radiotap layout; start-up errors; a live radiotap interface that the
test makes (a tun device), removed and made again mid-run."""
import fcntl
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from datetime import datetime

from daemon import COMMAND, NO_LIVE_CAPTURE, Daemon, Receiver, wait_for
from frames import (ANTENNA, AMPDU, BAD_FCS_FLAG, CHANNEL, DATAPAD_FLAG, DBM, FCS_FLAG, FLAGS,
                    MCS, RX_FLAGS, TSFT, VHT, XCHANNEL, beacon, control, data, management, pcap, pcapng,
                    probe_request, radiotap, simple_radio)

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDING = os.path.join(HERE, "data", "capture.pcap")
DEFAULT_FILTER = "type mgt or (type data and (dir nods or dir tods))"
TCPDUMP = shutil.which("tcpdump")


def station(n):
    return f"02:00:00:00:00:{n:02x}"


def chains(first, *others, word0=None):
    """Per-chain signals after a first word (with the combined signal `first`, or none)."""
    base = dict(word0 or {TSFT: 0, FLAGS: 0, CHANNEL: 0x00A0096C, RX_FLAGS: 0})
    if first is not None:
        base[DBM] = first
    return radiotap(base, *({DBM: s, ANTENNA: i} for i, s in enumerate(others)))


# (radiotap header, what follows the frame): one per layout.
LAYOUTS = [
    (simple_radio(-40), b""),
    (chains(-55, -57, -53), b""),  # TSFT with three presence words
    (radiotap({TSFT: 0, DBM: -48}, {DBM: -49}), b""),  # two words: TSFT padded to 8 bytes
    (chains(None, -71, -75), b""),  # no combined signal: the first chain's
    (chains(None, -66, word0={TSFT: 0, FLAGS: 0, XCHANNEL: 0, MCS: 0, AMPDU: 0, VHT: 0}), b""),
    (radiotap({FLAGS: 0, CHANNEL: 0}, {DBM: -63}, vendor=(1, b"\x01\x02\x03")), b""),
    (simple_radio(db=40), b""),  # relative dB only
    (simple_radio(-67, db=30), b""),  # dBm wins over dB
    (simple_radio(), b""),  # no signal
    (simple_radio(-45, flags=FCS_FLAG), b"\xde\xad\xbe\xef"),  # trailing checksum
]

KINDS = [
    beacon, lambda s: probe_request(s, b"lab"), lambda s: management(5, s, station(99)),
    lambda s: management(11, s, station(99)), lambda s: management(13, s, station(99)),
    lambda s: data("nods", s, station(98), station(97)),
    lambda s: data("tods", s, station(98), station(97), qos=True),
    lambda s: data("fromds", station(96), s, station(97)),
    lambda s: data("wds", station(95), station(94), station(93), s),
    lambda s: control(11, s, station(92)), lambda s: control(12, s),  # RTS, CTS
    lambda s: control(13, s), lambda s: control(9, s, station(91)),  # ACK, block ack
    lambda s: control(8, s, station(91)) + b"\x04\x00\x10\x00",  # block ack request
    lambda s: control(14, s, station(90)),  # CF-End
]


def generated_packets():
    """Every frame kind under every layout, three of each, then frames that give nothing."""
    packets, t = [], 1700000000.0
    for n, ((radio, trailer), kind) in enumerate((l, k) for l in LAYOUTS for k in KINDS):
        for _ in range(3):
            packets.append((t, radio + kind(station(n)) + trailer, None))
            t += 0.3
    probe = simple_radio(-50) + probe_request(station(200))
    qos = data("nods", station(201), station(98), station(97), qos=True)
    padded = simple_radio(-50, flags=DATAPAD_FLAG)
    return packets + [(t + i / 10, frame, length) for i, (frame, length) in enumerate([
        (probe[:-40], len(probe)),  # cut inside the 802.11 header
        (padded + qos[:26] + b"\0\0" + qos[26:], None), (padded + qos[:26], None),  # pad cut
        (simple_radio(-50, flags=FCS_FLAG) + control(13, station(202))[:8] + bytes(4), None),
        (b"\x00\x00\xff\x00" + probe[4:], None),  # radiotap longer than the frame
        (simple_radio(-50) + b"\x0c\x00" + bytes(30), None),  # reserved frame type
        (simple_radio(-50) + b"\x74\x00" + bytes(30), None),  # control wrapper
        (simple_radio(-50) + control(10, station(89), station(88)), None),  # PS-Poll
        # Failed checksums: the text path's oracle drops their lines (the tool marks them bad-fcs).
        (simple_radio(-50, flags=BAD_FCS_FLAG) + probe_request(station(87)), None),
        (simple_radio(-50, flags=FCS_FLAG | BAD_FCS_FLAG) + beacon(station(86)) + bytes(4), None),
    ])]


def records(path):
    with open(path) as f:
        return [(r["mac"], r["count"], r["signalDB"]) for r in json.load(f)["data"]]


class Oracle(unittest.TestCase):
    """The capture tool's text piped into the daemon and the daemon reading the same file
    itself give the same records: address, count, signal and order."""

    def run_daemon(self, work, settings, stdin=subprocess.DEVNULL):
        backups = tempfile.mkdtemp(dir=work)
        open(os.path.join(backups, "writebackup"), "w").close()
        conf = os.path.join(work, "pelmar.conf")
        with open(conf, "w") as f:
            f.write("[pelmar]\nreport_time=3600\nexit_at_end=1\n"
                    f"backup_dir={backups}\n" + "".join(f"{k}={v}\n" for k, v in settings.items()))
        result = subprocess.run(COMMAND, stdin=stdin, stdout=subprocess.DEVNULL, timeout=120,
                                env=dict(os.environ, PELMAR_CONFIG=conf))
        self.assertEqual(result.returncode, 0)
        (backup,) = [n for n in os.listdir(backups) if n.endswith(".dat")]
        return records(os.path.join(backups, backup))

    def agree(self, path, filter_text):
        with tempfile.TemporaryDirectory(prefix="pelmar-oracle-") as work:
            arguments = ["--", filter_text] if filter_text else []
            printed = subprocess.run([TCPDUMP, "-r", path, "-l", "-e", "-n", "-q", *arguments],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
            with tempfile.TemporaryFile() as text_file:
                # Native capture skips frames that failed their checksum.
                text_file.write(b"".join(line for line in printed.splitlines(keepends=True)
                                         if b" bad-fcs " not in line))
                text_file.seek(0)
                text = self.run_daemon(work, {}, stdin=text_file)
            native = self.run_daemon(work, {"capture_file": path, "capture_filter": filter_text})
        self.assertEqual(native, text)
        return native

    @unittest.skipUnless(TCPDUMP, "the capture tool is not installed")
    def test_recordings_agree_with_the_text_path(self):
        with tempfile.TemporaryDirectory(prefix="pelmar-frames-") as work:
            for name, writer in [("generated.pcap", pcap), ("generated.pcapng", pcapng)]:
                path = os.path.join(work, name)
                with open(path, "wb") as f:
                    f.write(writer(generated_packets()))
                for filter_text in [DEFAULT_FILTER, ""]:
                    with self.subTest(name=name, filter=filter_text):
                        native = self.agree(path, filter_text)
                        self.assertGreater(len(native), 60 if filter_text else 40)
            with self.subTest(name="bundled recording"):
                self.assertEqual(len(self.agree(RECORDING, DEFAULT_FILTER)), 6)


class StartUp(unittest.TestCase):
    def test_settings_that_cannot_work_stop_start_up_with_one_line(self):
        with tempfile.TemporaryDirectory(prefix="pelmar-native-") as work:
            ethernet = os.path.join(work, "ethernet.pcap")
            with open(ethernet, "wb") as f:
                f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
            cases = [
                ({"capture_interface": "mon0", "capture_file": RECORDING},
                 b"capture_interface and capture_file are both set\n"),
                ({"capture_file": os.path.join(work, "absent.pcap")},
                 b"Cannot open capture_file " + os.path.join(work, "absent.pcap").encode()),
                ({"capture_file": ethernet}, b"has link type EN10MB (Ethernet)"),
                ({"capture_file": RECORDING, "capture_filter": "type nonsense"},
                 b"capture_filter \"type nonsense\" does not compile: "),
                ({"capture_interface": "pelmar-none0", "capture_filter": "dir sideways"},
                 b"capture_filter \"dir sideways\" does not compile: "),
            ]
            for settings, message in cases:
                with self.subTest(settings=settings), Daemon(settings, stdin=subprocess.DEVNULL) as d:
                    self.assertEqual(d.process.wait(10), 255)
                    out = d.traces()
                    self.assertIn(message, out)
                    self.assertEqual(out.count(b"\n"), 1, out)


    @unittest.skipIf(NO_LIVE_CAPTURE, NO_LIVE_CAPTURE)
    def test_a_stop_acts_at_once_while_the_interface_is_awaited(self):
        with Daemon({"capture_interface": "pelmar-none0"}, stdin=subprocess.DEVNULL) as d:
            self.assertTrue(wait_for(lambda: b"is not there" in d.output()))
            time.sleep(0.3)
            started = time.monotonic()
            d.process.terminate()
            self.assertEqual(d.process.wait(5), -15)
            self.assertLess(time.monotonic() - started, 0.5)


def damaged_recordings():
    """(name, bytes, byte where reading stops or None, libpcap's words): four probe requests,
    damaged after the second."""
    packets = [(1700000000 + i, simple_radio(-50) + probe_request(station(i)), None)
               for i in range(4)]
    whole, cut = pcap(packets), 24 + 2 * (16 + len(packets[0][1])) + 20
    bogus = whole[:cut - 12] + struct.pack("<I", 0xFFFFFFF0) + whole[cut - 8:]  # captured length
    first, later = pcapng(packets[:2]), pcapng(packets[2:])[len(pcapng([])):]
    ethernet = struct.pack("<IIHHII", 1, 20, 1, 0, 65535, 20)  # an interface block
    return [("whole.pcap", whole, None, b""),
            ("cut.pcap", whole[:cut], cut, b"truncated dump file"),
            ("bogus.pcap", bogus, cut - 4, b"invalid packet capture length"),
            ("ethernet.pcapng", first + ethernet + later, len(first) + 20, b"an interface has a type 1")]


class Damaged(unittest.TestCase):
    def test_a_read_error_is_one_line_saying_where_and_fails_the_run_after_the_last_report(self):
        for name, content, offset, words in damaged_recordings():
            with self.subTest(name=name), tempfile.TemporaryDirectory(prefix="pelmar-bad-") as work:
                path = os.path.join(work, name)
                with open(path, "wb") as f:
                    f.write(content)
                open(os.path.join(work, "writebackup"), "w").close()
                with Daemon({"capture_file": path, "exit_at_end": 1, "report_time": 3600,
                             "backup_dir": work}, stdin=subprocess.DEVNULL) as d:
                    self.assertEqual(d.process.wait(20), 0 if offset is None else 2)
                    out = d.traces()
                self.assertEqual(out.count(b"\n"), 1 if offset else 0, out)
                self.assertIn(f"capture_file {path}: cannot be read past byte {offset}: ".encode()
                              + words if offset else b"", out)
                (backup,) = [n for n in os.listdir(work) if n.endswith(".dat")]
                self.assertEqual(len(records(os.path.join(work, backup))), 2 if offset else 4)


def stamps(receiver):
    return [int(datetime.fromisoformat(d["systemDateTime"]).timestamp())
            for d in receiver.documents()]


START, MIDNIGHT, DAY = 1700000000, 1700006400, 86400  # MIDNIGHT: a UTC one
ROTATING = {"mac_privacy": 1, "mac_secret": "s", "mac_rotation": "daily"}


class RecordedTime(unittest.TestCase):
    """A recording's own clock: a stretch without frames makes one report however many windows
    fall due in it, times past 2^32 s keep their reports, frames past the year 9999 are skipped
    with one line, and a closing document that cannot be made neither spins nor holds off a
    stop."""

    def test_stretches_without_frames_make_one_report(self):
        year = 365 * DAY
        cases = [  # name, frame times, if_tsoffset, settings, documents' stamps (None: one, empty)
            ("a year", [START, START + 1, START + year], None, {}, [START + 60, START + year + 1]),
            ("one window", [START, START + 70, START + 130], None, {},
             [START + 60, START + 120, START + 130]),
            ("past 2^32 s", [0, 1, 70], 1 << 32, {}, [(1 << 32) + 60, (1 << 32) + 70]),
            ("three midnights", [MIDNIGHT - 10, MIDNIGHT + 3 * DAY], None, ROTATING,
             [MIDNIGHT - 1, MIDNIGHT + 3 * DAY + 1]),
            ("past the year 9999", [0, 1], 1 << 62, {"count_devices": 1}, None),
        ]
        for name, times, offset, settings, expected in cases:
            with self.subTest(name), tempfile.TemporaryDirectory(prefix="pelmar-time-") as work:
                path = os.path.join(work, "r.pcapng")
                with open(path, "wb") as f:
                    f.write(pcapng([(t, simple_radio(-50) + beacon(station(i)), None)
                                    for i, t in enumerate(times)], offset))
                receiver = Receiver()
                self.addCleanup(receiver.close)
                with Daemon(dict(settings, capture_file=path, exit_at_end=1, report_time=60,
                                 full_url=receiver.url), stdin=subprocess.DEVNULL) as d:
                    self.assertEqual(d.process.wait(30), 0)
                    out = d.traces().decode()
                if expected is None:
                    self.assertEqual([doc["data"] for doc in receiver.documents()], [[]])
                    self.assertEqual(out, "Frames stamped before 1970 or after the year 9999 are "
                                     f"skipped (the first: {offset} s)\n")
                else:
                    self.assertEqual(stamps(receiver), expected)

    def test_a_closing_that_cannot_be_made_is_tried_again_slowly_and_a_stop_ends_it(self):
        # Over 64 KiB of records with no temporary file to hold them: the day cannot be closed.
        frames = [(MIDNIGHT - 100, simple_radio(-50) + beacon(f"00:00:00:00:{i >> 8:02x}:{i & 255:02x}"),
                   None) for i in range(1000)]
        frames += [(MIDNIGHT + i, simple_radio(-50) + beacon(station(1)), None) for i in range(50)]
        with tempfile.TemporaryDirectory(prefix="pelmar-closing-") as work:
            path = os.path.join(work, "r.pcap")
            with open(path, "wb") as f:
                f.write(pcap(frames))
            open(os.path.join(work, "writebackup"), "w").close()
            with Daemon(dict(ROTATING, capture_file=path, report_time=1, backup_dir=work),
                        env={"TMPDIR": os.path.join(work, "absent")},
                        stdin=subprocess.DEVNULL) as d:
                self.assertTrue(wait_for(lambda: b"Reports failing: no temporary file" in d.output()))
                time.sleep(1)  # a try or two more
                with open(f"/proc/{d.process.pid}/stat") as f:
                    cpu = sum(int(v) for v in f.read().rsplit(")", 1)[1].split()[11:13])
                self.assertLess(cpu / os.sysconf("SC_CLK_TCK"), 1.0)
                d.process.terminate()
                self.assertEqual(d.process.wait(5), -15)
                self.assertEqual(d.traces().decode().count("Reports failing"), 1)
            self.assertFalse([n for n in os.listdir(work) if n.endswith(".dat")])


TUNSETIFF, TUNSETLINK, IFF_TUN = 0x400454CA, 0x400454CD, 0x0001
RADIOTAP_LINK = 803


def make_interface(name, radiotap_link=True):
    """A tun interface `name`, up; with radiotap as its link type it stands in for a monitor
    interface. Closing the descriptor removes it."""
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN))
    if radiotap_link:
        fcntl.ioctl(fd, TUNSETLINK, RADIOTAP_LINK)
    subprocess.run(["ip", "link", "set", name, "up"], check=True)
    return fd


def send(fd, frame):
    os.write(fd, struct.pack(">HH", 0, 0x0019) + frame)


# A `curl` that writes its descriptors ("3 -> socket:[123]" a line) to the file SEEN.
NOTE_DESCRIPTORS = r'''#!PYTHON
import os
listed = f"/proc/{os.getpid()}/fd"
lines = []
for name in os.listdir(listed):
    try:
        target = os.readlink(f"{listed}/{name}")
    except OSError:
        continue
    if target != listed:  # the listing's own
        lines.append(f"{name} -> {target}\n")
with open("SEEN.new", "w") as f:
    f.writelines(lines)
os.rename("SEEN.new", "SEEN")
'''


def can_make_interfaces():
    try:
        os.close(make_interface("pelmar-probe0"))
        return True
    except (OSError, subprocess.CalledProcessError):
        return False


@unittest.skipIf(NO_LIVE_CAPTURE, NO_LIVE_CAPTURE)
@unittest.skipUnless(can_make_interfaces(), "no tun device or no right to make interfaces")
class Live(unittest.TestCase):
    def test_interface_missing_at_start_then_gone_and_back_keeps_the_table(self):
        name = f"pmon{os.getpid() % 10000}"
        receiver = Receiver()
        settings = {"capture_interface": name, "report_time": 1, "full_url": receiver.url}
        fd = None
        try:
            with Daemon(settings, stdin=subprocess.DEVNULL) as d:
                self.assertTrue(wait_for(lambda: b"is not there" in d.output()))
                fd = make_interface(name)
                self.assertTrue(wait_for(lambda: b"Capturing on " + name.encode() in d.output()))
                counted = lambda mac, n: any((r["mac"], r["count"]) == (mac, n)
                                             for doc in receiver.documents() for r in doc["data"])
                for _ in range(3):
                    send(fd, simple_radio(-50) + probe_request(station(1)))
                send(fd, simple_radio(-50) + control(10, station(9), station(8)))  # filtered out
                self.assertTrue(wait_for(lambda: counted(station(1), 3), 15), receiver.documents())

                os.close(fd)  # the "wifi reload"
                fd = None
                self.assertTrue(wait_for(lambda: b"went away" in d.output()))
                fd = make_interface(name)
                self.assertTrue(wait_for(lambda: d.output().count(b"Capturing on ") == 2, 10))
                send(fd, simple_radio(-50) + probe_request(station(1)))
                send(fd, simple_radio(-60) + beacon(station(2)))
                self.assertTrue(wait_for(lambda: counted(station(1), 4) and counted(station(2), 1),
                                         15), receiver.documents())
                self.assertFalse(any(r["mac"] == station(8) for doc in receiver.documents()
                                     for r in doc["data"]))
                self.assertTrue(d.running())
                lines = d.output().decode().splitlines()
                self.assertEqual(sum("is not there" in line for line in lines), 1)
        finally:
            if fd is not None:
                os.close(fd)
            receiver.close()

    def test_commands_hold_no_descriptor_but_the_standard_three(self):
        name = f"pcur{os.getpid() % 10000}"
        fd = make_interface(name)
        inherited, writer = os.pipe()  # a descriptor the daemon holds from its start
        os.close(writer)
        with tempfile.TemporaryDirectory() as bin_dir:
            seen = os.path.join(bin_dir, "descriptors")
            curl = os.path.join(bin_dir, "curl")
            with open(curl, "w") as f:  # notes what it was handed (a shell would add its own)
                f.write(NOTE_DESCRIPTORS.replace("PYTHON", sys.executable).replace("SEEN", seen))
            os.chmod(curl, 0o755)
            settings = {"capture_interface": name, "report_time": 1, "full_url": "http://127.0.0.1:9/"}
            try:
                with Daemon(settings, env={"PATH": bin_dir + ":" + os.environ["PATH"]},
                            stdin=subprocess.DEVNULL, pass_fds=(inherited,)) as d:
                    self.assertTrue(wait_for(lambda: b"Capturing on" in d.output()))
                    time.sleep(1)  # a run that began before capture is over
                    if os.path.exists(seen):
                        os.unlink(seen)
                    self.assertTrue(wait_for(lambda: os.path.exists(seen)))
                    with open("/proc/net/packet") as f:
                        packets = {line.split()[-1] for line in f.readlines()[1:]}
            finally:
                os.close(fd)
                os.close(inherited)
            with open(seen) as f:
                listing = f.read()
        handed = set(re.findall(r"socket:\[(\d+)\]", listing))
        self.assertTrue(packets)
        self.assertFalse(packets & handed)
        self.assertEqual(set(re.findall(r"^(\d+) ->", listing, re.M)), {"0", "1", "2"}, listing)

    def test_an_interface_without_radiotap_is_refused_by_name(self):
        name = f"ptun{os.getpid() % 10000}"
        fd = make_interface(name, radiotap_link=False)
        try:
            with Daemon({"capture_interface": name}, stdin=subprocess.DEVNULL) as d:
                self.assertEqual(d.process.wait(10), 255)
                self.assertRegex(d.traces().decode(), f"^Capture interface {name} has link type "
                                 r"\S+ \(.*\): a monitor interface \(802.11 with radiotap\) is "
                                 "needed\n$")
        finally:
            os.close(fd)


if __name__ == "__main__":
    unittest.main()
