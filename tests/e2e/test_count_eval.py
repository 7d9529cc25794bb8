"""The counting evaluation (bench/count_eval.py): its pcap and radiotap reading on hand-made
files, its scores on hand-made documents, and a whole run of the real binary on a small
labelled set made here."""
import argparse
import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest

from daemon import BINARY
from frames import CHANNEL, FLAGS, RATE, TSFT, pcap, probe_request, radiotap

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench")
sys.path.insert(0, BENCH)
import count_eval  # noqa: E402
import pcaps  # noqa: E402

ORIGIN = count_eval.EPOCH


def channel(frequency):
    return frequency | 0x00A0 << 16


def raw_pcap(order, magic, records):
    """A pcap file in the given byte order and time units of (seconds, fraction, data)."""
    out = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, 65535, 127)
    for seconds, fraction, data in records:
        out += struct.pack(order + "IIII", seconds, fraction, len(data), len(data)) + data
    return out


class Reading(unittest.TestCase):
    def test_byte_orders_and_time_units(self):
        cases = [("<", 0xA1B2C3D4, 250000), (">", 0xA1B2C3D4, 250000),
                 ("<", 0xA1B23C4D, 250000000), (">", 0xA1B23C4D, 250000000)]
        frame = radiotap({CHANNEL: channel(2437)}) + probe_request("02:00:00:00:00:01")
        for order, magic, fraction in cases:
            with self.subTest(order=order, magic=hex(magic)), tempfile.TemporaryDirectory() as d:
                path = os.path.join(d, "a.pcap")
                with open(path, "wb") as f:  # the second record is cut short
                    f.write(raw_pcap(order, magic, [(10, fraction, frame), (11, 0, frame)])[:-3])
                link, packets, cut = pcaps.read_pcap(path)
                self.assertEqual((link, cut), (127, 16 + len(frame) - 3))
                self.assertEqual([(p.time, p.data) for p in packets], [(10_250_000, frame)])

    def test_channel_field_placed_by_alignment(self):
        cases = [({CHANNEL: channel(2412)}, 1),
                 ({FLAGS: 0, RATE: 2, CHANNEL: channel(2437)}, 6),
                 ({TSFT: 7, FLAGS: 0, CHANNEL: channel(2462)}, 11),
                 ({FLAGS: 0, CHANNEL: channel(2484)}, 14),
                 ({TSFT: 7, CHANNEL: channel(5180)}, 36),
                 ({FLAGS: 0, RATE: 2}, None)]
        for fields, number in cases:
            for header in (radiotap(fields), radiotap(fields, {FLAGS: 0})):  # + a second word
                with self.subTest(fields=fields, words=header[4:12].hex()):
                    frequency = pcaps.channel_frequency(header + probe_request("02:00:00:00:00:01"))
                    self.assertEqual(frequency and pcaps.channel_number(frequency), number)
        cut = radiotap({TSFT: 7, CHANNEL: channel(2412)})
        self.assertIsNone(pcaps.channel_frequency(cut[:2] + struct.pack("<H", 18) + cut[4:18]))

    def test_transmitter_made_local_unicast(self):
        frame = radiotap({FLAGS: 0}) + probe_request("01:22:33:44:55:66")
        made = pcaps.with_transmitter(frame, pcaps.local_unicast(pcaps.transmitter(frame)))
        self.assertEqual(pcaps.mac_text(pcaps.transmitter(made)), "02:22:33:44:55:66")
        self.assertEqual(len(made), len(frame))


def heard(*frames):
    """(seconds after the origin, label, address) -> the scene's (time, label, packet)."""
    return [(ORIGIN + int(s * 1e6), label,
             pcaps.Packet(0, radiotap({FLAGS: 0}) + probe_request(mac), 0))
            for s, label, mac in frames]


def document(*records, devices=None):
    doc = {"data": [dict({"mac": mac}, **({"device": g} if g else {})) for mac, g in records]}
    return dict(doc, devices=devices) if devices is not None else doc


A1, A2, B1 = "02:00:00:00:00:a1", "02:00:00:00:00:a2", "02:00:00:00:00:b1"
SCENE = heard((0, "A", A1), (5, "B", B1), (12, "A", A2))  # windows of 10 s: {A, B}, {A}
APART = 1 - 2 / 3 * math.log(2) / math.log(3)  # completeness with every address its own group
APART_V = 2 * APART / (1 + APART)


class Scores(unittest.TestCase):
    def test_documents_against_the_windows(self):
        cases = [  # documents, the whole run's, (window error %, whole count, whole error %, V)
            ([document((A1, "g1"), (B1, "g2"), devices=2), document((A2, "g1"), devices=1)],
             [document(devices=2)], (0.0, 2, 0.0, 1.0)),
            ([document((A1, "g1"), (B1, "g1"), devices=1), document((A2, "g1"), devices=1)],
             [document(devices=1)], (100 / 3, 1, -50.0, 0.0)),
            ([document((A1, None), (B1, None)), document((A2, None))],  # without counting
             [document((A1, None), (B1, None), (A2, None))], (0.0, 3, 50.0, APART_V)),
            ([document((A1, None), (B1, None), (A2, None))],
             [document((A1, None), (B1, None), (A2, None))], (50.0, 3, 50.0, APART_V)),
        ]
        for docs, whole_docs, (window, whole, whole_error, v) in cases:
            with self.subTest(docs=docs):
                figures = count_eval.score(SCENE, docs, whole_docs, 10)
                self.assertAlmostEqual(figures["window"], window)
                self.assertEqual((figures["whole"], figures["addresses"]), (whole, 3))
                self.assertAlmostEqual(figures["whole_error"], whole_error)
                self.assertAlmostEqual(figures["hcv"][2], v)

    def test_an_address_keeps_the_group_a_document_last_named(self):
        docs = [document((A1, "g1"), (B1, None)), document((A1, None), (B1, None), (A2, "g1"))]
        self.assertEqual(count_eval.groups(docs), {A1: "g1", B1: B1, A2: "g1"})

    def test_records_recounted_in_their_windows(self):
        at = lambda t: f"2023-11-14T22:13:{20 + t:02d}+00:00"  # t seconds after the origin
        doc = lambda t, devices, *records: {
            "systemDateTime": at(t), "devices": devices,
            "data": [dict({"mac": m, "lastSeen": ORIGIN // 1_000_000 + s}, **({"device": g} if g else {}))
                     for m, s, g in records]}
        first = doc(10, 2, (A1, 3, "g1"), (B1, 9, "g2"), (A2, 10, None))
        second = doc(20, 1, (A1, 3, "g1"), (B1, 10, "g2"), (A2, 20, None))  # from 10 to 20
        cases = [([first, second], [2, 1], []),
                 ([first, doc(20, 2, (B1, 12, "g2"))], [2, 1], ["devices 2, its records name 1"])]
        for docs, recounted, misses in cases:
            with self.subTest(docs=docs):
                self.assertEqual([r for _, _, r in count_eval.recounts(docs)], recounted)
                self.assertEqual([m.split(": ", 1)[1] for m in count_eval.recount_misses(docs)],
                                 misses)
        for bad in (doc(10, 3, (A1, 3, "g1")), doc(10, 0, (A1, 3, "g1")), doc(10, None)):
            with self.subTest(bad=bad), self.assertRaises(count_eval.Failure):
                count_eval.recount_misses([bad])

    def test_documents_that_do_not_match_fail(self):
        for docs in ([document((A1, "g"), devices=1)], [document()] * 3):
            with self.subTest(docs=docs), self.assertRaises(count_eval.Failure):
                count_eval.score(SCENE, docs, docs, 10)

    def test_v_measure(self):
        cases = [("AABB", "xxyy", (1.0, 1.0, 1.0)), ("AABB", "xxxx", (0.0, 1.0, 0.0)),
                 ("AABB", "xxyz", (1.0, 2 / 3, 0.8)), ("AAAA", "xyzw", (1.0, 0.0, 0.0))]
        for classes, clusters, expected in cases:
            with self.subTest(classes=classes, clusters=clusters):
                for got, want in zip(count_eval.v_measure(list(zip(classes, clusters))), expected):
                    self.assertAlmostEqual(got, want)


class Thresholds(unittest.TestCase):
    def test_table_and_command_line_the_tighter_wins(self):
        table = "# scene channel window whole V\ntoday 6 12.5 20 0.7  # a\nstate 1 30 100 0.5\n"
        given = lambda window=None, whole=None, v=None: argparse.Namespace(
            max_window_error=window, max_whole_error=whole, min_v=v)
        cases = [(given(), "today", 6, (12.5, 20.0, 0.7)), (given(), "today", 1, (None,) * 3),
                 (given(10, 40, 0.6), "today", 6, (10, 20.0, 0.7)),
                 (given(None, 5, 0.8), "state", 1, (30.0, 5, 0.8))]
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "limits")
            with open(path, "w") as f:
                f.write(table)
            limits = count_eval.read_thresholds(path)
            for args, name, number, expected in cases:
                with self.subTest(args=args, name=name, channel=number):
                    self.assertEqual(count_eval.limits_for(args, limits, name, number), expected)
            for bad in ("today 6 12.5 20\n", "sunday 6 1 2 0.5\n", "today six 1 2 0.5\n"):
                with self.subTest(bad=bad), self.assertRaises(count_eval.Failure):
                    with open(path, "w") as f:
                        f.write(bad)
                    count_eval.read_thresholds(path)


class WholeRun(unittest.TestCase):
    """The real binary on two phones' files, one frame of them without a channel field."""

    def run_eval(self, directory, *extra):
        done = subprocess.run([sys.executable, os.path.join(BENCH, "count_eval.py"), BINARY,
                               directory, "--channel", "6", "--channel", "1", "--set-local",
                               "--report-time", "60", *extra], capture_output=True, text=True,
                              timeout=600)
        return done.returncode, done.stdout

    def test_set_scored_thresholds_and_absence(self):
        radio = lambda mhz: radiotap({FLAGS: 0, CHANNEL: channel(mhz)})
        phones = {"PhoneA_x.pcap": [(100.0, radio(2437), "01:00:00:00:00:a1"),
                                    (5100.0, radio(2437), "01:00:00:00:00:a2"),  # pause cut
                                    (5101.0, radio(2412), "01:00:00:00:00:a2")],
                  "PhoneB_y.pcap": [(7.0, radio(2437), "02:00:00:00:00:b1"),
                                    (8.0, radiotap({FLAGS: 0}), "02:00:00:00:00:b1")]}
        with tempfile.TemporaryDirectory() as d:
            for name, frames in phones.items():
                with open(os.path.join(d, name), "wb") as f:
                    f.write(pcap([(t, r + probe_request(mac), None) for t, r, mac in frames]))
            status, out = self.run_eval(d)
            self.assertEqual(status, 0, out)
            self.assertIn("5 of 5 (100.0 %) fit in 256 bytes", out)
            self.assertIn("1 frames without a radiotap channel field left out", out)
            self.assertRegex(out, r"channel 6: \d+ windows?, window error [\d.]+ % \([\d.]+"
                                  r" devices\), whole count \d+ of 2 \([+-][\d.]+ %\), 3 addresses:"
                                  r" homogeneity [\d.]+, completeness [\d.]+, V [\d.]+\n")
            # One frame of a random address: not yet a device.
            self.assertRegex(out, r"channel 1: .*whole count 0 of 1 \(-100.0 %\), 1 addresses")
            status, out = self.run_eval(d, "--min-v", "1.01", "--max-whole-error", "1000")
            self.assertEqual(status, 1, out)
            self.assertIn("regressed: today channel 6: V-measure", out)
            self.assertEqual(self.run_eval(os.path.join(d, "absent"))[0], 77)


if __name__ == "__main__":
    unittest.main()
