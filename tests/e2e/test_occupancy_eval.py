"""The occupancy evaluation (bench/occupancy_eval.py): people over a window, the windows of the
documents, the figures; and a whole run of the real binary on days made here."""
import os
import subprocess
import sys
import tempfile
import unittest

from daemon import BINARY
from frames import pcap, probe_request, simple_radio

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench")
sys.path.insert(0, BENCH)
import occupancy_eval  # noqa: E402

TABLE = ([100.0, 400.0, 460.0], [2, 8, 0])


class Figures(unittest.TestCase):
    def test_people_at_the_window_middle(self):
        cases = [((100, 400), 2), ((250, 550), 8), ((300, 620), 0), ((-100, 298), None),
                 ((0, 198), None), ((0, 200), 2)]  # before the first line: left out
        for (start, end), people in cases:
            with self.subTest(start=start, end=end):
                got = occupancy_eval.labelled([(start, end, 5, 6)], TABLE)
                self.assertEqual(got, [] if people is None else [(start, end, 5, 6, people)])

    def test_windows_follow_the_documents(self):
        record = lambda last: {"mac": "x", "lastSeen": last}
        docs = [{"devices": 2, "data": [record(10), record(299)]},
                {"devices": 1, "data": [record(10), record(299), record(300), record(599)]},
                {"devices": 0, "data": [record(10)]}]
        self.assertEqual(occupancy_eval.windows(docs, [300, 600, 700], 0),
                         [(0, 300, 2, 2), (300, 600, 1, 2), (600, 700, 0, 0)])
        with self.assertRaises(occupancy_eval.Failure):
            occupancy_eval.windows([{"data": []}], [300], 0)

    def test_correlation_and_held_out_error(self):
        line = lambda devices, people: (0, 300, devices, devices, people)
        cases = [  # {day: windows}, (r, MAE)
            ({"d1": [line(1, 3), line(3, 7), line(0, 1)], "d2": [line(2, 5), line(4, 9)]},
             (1.0, 0.0)),
            ({"d1": [line(0, 0), line(4, 4)], "d2": [line(2, 3), line(0, 1), line(2, 0)]},
             (0.757, 4 / 3)),  # the room empty at d2's third window: not in the error
        ]
        for days, (r, mae) in cases:
            with self.subTest(days=days):
                got = occupancy_eval.figures(days, 2)
                self.assertAlmostEqual(got[0], r, places=3)
                self.assertAlmostEqual(got[1], mae)
        with self.assertRaises(occupancy_eval.Failure):
            occupancy_eval.figures({"d1": [line(1, 0)], "d2": [line(2, 0)]}, 2)


def day(start, people, weak=0):
    """A day of 5-minute stretches (the daemon's windows, from its first frame): in each, as many
    phones (global addresses, a device each from their first frame) as people present, heard at
    -50 dBm, and `weak` more at -80."""
    frames, table = [], ["time,people"]
    for n, count in enumerate(people):
        t = start + 300 * n
        table.append(f"{t + 10},{count}")
        for i in range(count + weak):
            source = f"00:1b:00:{n:02x}:{i:02x}:01"
            frames.append((t + 10 + i, simple_radio(-50 if i < count else -80), source))
    return (pcap([(t, radio + probe_request(mac), None) for t, radio, mac in frames]),
            "\n".join(table) + "\n")


class WholeRun(unittest.TestCase):
    def run_eval(self, directory, *extra):
        done = subprocess.run([sys.executable, os.path.join(BENCH, "occupancy_eval.py"), BINARY,
                               directory, *extra], capture_output=True, text=True, timeout=600,
                              env=dict(os.environ, PELMAR_RUNNER=os.environ.get("PELMAR_RUNNER",
                                                                                "")))
        return done.returncode, done.stdout

    def test_days_scored_floors_limits_and_absence(self):
        with tempfile.TemporaryDirectory() as d:
            for name, start, people in [("2024-01-01", 1_704_100_000, [2, 5, 1, 4]),
                                        ("2024-01-02", 1_704_200_000, [3, 0, 6, 2]),
                                        ("2024-01-03", 1_704_300_000, [1, 4, 0, 5])]:
                recording, table = day(start, people, weak=3 if name.endswith("2") else 0)
                with open(os.path.join(d, name + ".pcap"), "wb") as f:
                    f.write(recording)
                with open(os.path.join(d, name + ".people.csv"), "w") as f:
                    f.write(table)
            with open(os.path.join(d, "2024-01-04.people.csv"), "w") as f:  # no recording
                f.write("time,people\n1,1\n")
            limits = os.path.join(d, "limits.txt")
            with open(limits, "w") as f:
                f.write("# floor r mae\nnone 0.5 9\n-70 1.0 0.0\n")
            status, out = self.run_eval(d, "--limits", limits)
            self.assertEqual(status, 0, out)
            self.assertIn("3 days, windows of 300 s", out)
            # Weak phones on the held-out day: counted without a floor, not under -70 dB.
            self.assertRegex(out, r"\n +none \| +0\.\d{3} [1-9]\.\d\d \|.*\| 12, 10\n")
            self.assertRegex(out, r"\n +-70 \| +1\.000 0\.00 \| +1\.000 0\.00 \| 12, 10\n")
            with open(limits, "w") as f:
                f.write("none 0.99 0.5\n")
            status, out = self.run_eval(d, "--limits", limits, "--floor", "none")
            self.assertEqual(status, 1, out)
            self.assertRegex(out, r"regressed: floor none: r 0\.\d+ under 0\.99\n"
                                  r"regressed: floor none: MAE \d\.\d\d over 0\.5\n")
            self.assertEqual(self.run_eval(os.path.join(d, "absent"))[0], 77)


if __name__ == "__main__":
    unittest.main()
