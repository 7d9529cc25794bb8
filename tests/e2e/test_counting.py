"""Device counting seen from outside: what the documents carry with each setting, through real
curl to a local receiver, from the bundled recording and from standard input."""
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from datetime import datetime

from daemon import Daemon, Receiver, capture_line, wait_for
from frames import beacon, management, pcap, probe_request, simple_radio

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import count_eval  # noqa: E402

RECORDING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "capture.pcap")
ADDRESS = re.compile(r"[0-9a-f]{2}(?::[0-9a-f]{2}){5}")


def recorded_addresses():
    """Every address in the recording, as the capture tool prints it."""
    out = subprocess.run(["tcpdump", "-r", RECORDING, "-e", "-n"], capture_output=True,
                         text=True).stdout
    return set(ADDRESS.findall(out))


def stamp_and_devices(path):
    with open(path) as f:
        document = json.load(f)
    return int(datetime.fromisoformat(document["systemDateTime"]).timestamp()), document["devices"]


class Documents(unittest.TestCase):
    def run_recording(self, settings):
        receiver = Receiver()
        self.addCleanup(receiver.close)
        with Daemon(dict(settings, capture_file=RECORDING, exit_at_end=1, full_url=receiver.url,
                         report_time=3600), stdin=subprocess.DEVNULL) as daemon:
            self.assertEqual(daemon.process.wait(timeout=30), 0, daemon.output())
            return receiver.documents(), daemon.output().decode()

    def test_each_setting_gives_its_shape(self):
        raw = recorded_addresses()
        cases = [  # settings, top-level keys, record keys (None: no record), device names raw
            ({}, ["hostname", "systemDateTime", "data"], "signalDB", None),
            ({"count_devices": 1, "debug": 4}, ["hostname", "systemDateTime", "devices", "data"],
             "device", True),
            ({"count_devices": 1, "mac_privacy": 1, "mac_secret": "s"},
             ["hostname", "systemDateTime", "devices", "data"], "device", False),
            ({"count_devices": 1, "count_only": 1, "debug": 4},  # traces name no address
             ["hostname", "systemDateTime", "devices", "data"], None, None),
            ({"count_only": 1},  # asking that no address leave turns counting on
             ["hostname", "systemDateTime", "devices", "data"], None, None),
        ]
        for settings, keys, last, raw_names in cases:
            with self.subTest(settings=settings):
                documents, output = self.run_recording(settings)
                self.assertEqual(len(documents), 1)
                document = documents[0]
                self.assertEqual(list(document), keys)
                if last is None:
                    self.assertEqual(document["data"], [])
                    self.assertFalse(raw & set(ADDRESS.findall(json.dumps(document) + output)))
                    continue
                self.assertTrue(document["data"])
                if settings.get("debug"):  # the table after each reading has the device column
                    self.assertIn("Devices this report window", output)
                if raw_names is None:
                    self.assertEqual({list(r)[-1] for r in document["data"]}, {last})
                    continue
                # Only records of counted devices name them: not the access points heard.
                counted = [r for r in document["data"] if "device" in r]
                self.assertEqual({list(r)[-1] for r in counted}, {last})
                self.assertLess(len(counted), len(document["data"]))
                names = {r["device"] for r in counted}
                self.assertEqual(document["devices"], len(names))
                self.assertEqual(names <= raw, raw_names)

    def test_a_recording_ends_with_one_document_of_what_came_since_on_its_own_day(self):
        start, midnight = 1700000000, 1700006400  # a UTC midnight
        rotating = {"exit_at_end": 1, "mac_privacy": 1, "mac_secret": "s", "mac_rotation": "daily"}
        unspooled = {"spool_dir": None, "upload_timeout": 1}
        cases = [  # settings, frame times, uploads unanswered, (time, devices) received and spooled
            ({}, [start, start + 1, start + 2], 0,
             [(start + 1, 1), (start + 2, 1), (start + 3, 1)], []),
            (rotating, [midnight - 2, midnight - 1], 0, [(midnight - 1, 1), (midnight - 1, 1)], []),
            ({}, [start], 1, [], [(start + 1, 1)]),  # a stop cuts the last upload short
            (unspooled, [start], 1, [(start + 1, 1)], []),  # a lost last one is made again
        ]
        for settings, times, hang, expected, spooled in cases:
            with self.subTest(settings=settings, hang=hang), tempfile.TemporaryDirectory() as work:
                recording = os.path.join(work, "r.pcap")
                with open(recording, "wb") as f:
                    f.write(pcap([(t, simple_radio(-50) + probe_request(f"00:00:00:00:00:{i:02x}"),
                                   None) for i, t in enumerate(times)]))
                receiver = Receiver(hang=hang)
                self.addCleanup(receiver.close)
                spool = os.path.join(work, "spool")
                settings = {k: v for k, v in dict(dict(spool_dir=spool), **settings).items()
                            if v is not None}
                with Daemon(dict(settings, capture_file=recording, count_devices=1, report_time=1,
                                 full_url=receiver.url), stdin=subprocess.DEVNULL) as daemon:
                    wait_for(lambda: receiver.requests >= len(expected) + hang)
                    time.sleep(1.5)  # a document more would come at once
                    if daemon.running():  # a stop keeps what was not delivered, nothing more
                        daemon.process.terminate()
                    daemon.process.wait(timeout=30)
                kept = sorted(n for n in os.listdir(spool) if n.endswith(".json")) \
                    if os.path.isdir(spool) else []
                self.assertEqual([stamp_and_devices(os.path.join(spool, n)) for n in kept], spooled)
                got = [(int(datetime.fromisoformat(d["systemDateTime"]).timestamp()), d["devices"])
                       for d in receiver.documents()]
                self.assertEqual(got, expected)

    def test_records_name_only_counted_devices_and_recount_to_the_count(self):
        start = 1700000000
        access_point, own = "00:11:22:33:44:55", "00:aa:bb:cc:dd:01"
        first, second, later = "02:00:00:00:01:01", "02:00:00:00:01:02", "02:00:00:00:02:01"
        passing = "02:00:00:00:03:01"  # other elements, two frames: never counted
        other_kind = management(4, passing, body=b"\x00\x00\x01\x01\x8c")
        frames = ([(1, beacon(access_point)), (2, probe_request(own)), (61, beacon(access_point))]
                  + [(3 + i / 20, probe_request(first)) for i in range(3)]
                  + [(10 + i / 20, probe_request(second)) for i in range(3)]
                  + [(20 + i / 20, other_kind) for i in range(2)]
                  + [(70 + i / 20, probe_request(later)) for i in range(2)])
        cases = [  # settings, devices and named records of each document
            ({}, [(2, {own, first, second}), (1, {own, first, second, later})]),
            ({"mac_privacy": 1, "mac_secret": "s"}, [(2, None), (1, None)]),
        ]
        for settings, expected in cases:
            with self.subTest(settings=settings), tempfile.TemporaryDirectory() as work:
                recording = os.path.join(work, "r.pcap")
                with open(recording, "wb") as f:
                    f.write(pcap(sorted((start + t, simple_radio(-50) + frame, None)
                                        for t, frame in frames)))
                receiver = Receiver()
                self.addCleanup(receiver.close)
                with Daemon(dict(settings, capture_file=recording, count_devices=1,
                                 report_time=60, exit_at_end=1, full_url=receiver.url),
                            stdin=subprocess.DEVNULL) as daemon:
                    self.assertEqual(daemon.process.wait(timeout=30), 0, daemon.output())
                documents = receiver.documents()
                self.assertEqual([d["devices"] for d in documents], [n for n, _ in expected])
                self.assertEqual([(n, r) for _, n, r in count_eval.recounts(documents)],
                                 [(n, n) for n, _ in expected])
                for document, (_, named) in zip(documents, expected):
                    got = {r["mac"] for r in document["data"] if "device" in r}
                    if named:
                        self.assertEqual(got, named)
                    else:  # pseudonyms: the same records, the device named as they are
                        self.assertEqual(len(got), len(document["data"]) - 2)

    def test_standard_input_counts_each_address_and_says_so(self):
        receiver = Receiver()
        self.addCleanup(receiver.close)
        macs = ["02:00:00:00:00:01", "02:00:00:00:00:02", "02:00:00:00:00:01"]
        with Daemon({"count_devices": 1, "exit_at_end": 1, "full_url": receiver.url,
                     "report_time": 3600}) as daemon:
            daemon.feed("".join(capture_line(mac) for mac in macs))
            daemon.close_input()
            self.assertEqual(daemon.process.wait(timeout=30), 0)
            self.assertIn("count_devices: linking addresses needs native capture",
                          daemon.output().decode())
        self.assertEqual(wait_for(receiver.documents)[0]["devices"], 2)


if __name__ == "__main__":
    unittest.main()
