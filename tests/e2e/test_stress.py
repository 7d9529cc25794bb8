"""The capture loop at full speed over 10,000 devices with pruning on, while the report
thread uploads and prints the console table every second. Run under ThreadSanitizer by the
test command; PELMAR_STRESS_SECONDS sets the length (20 by default)."""
import json
import os
import random
import threading
import time
import unittest

from daemon import Daemon, Receiver

SECONDS = float(os.environ.get("PELMAR_STRESS_SECONDS", "20"))


def capture_block(rng, lines=2000):
    out = []
    for _ in range(lines):
        device = rng.randrange(10000)
        clock = rng.randrange(86400)
        out.append("%02d:%02d:%02d.%06d 1.0 Mb/s 2412 MHz 11b %d%s signal antenna 1 "
                   "SA:02:00:00:00:%02x:%02x Probe Request ()\n"
                   % (clock // 3600, clock % 3600 // 60, clock % 60, rng.randrange(10**6),
                      -rng.randrange(30, 90), rng.choice(["dB", "dBm"]), device >> 8, device & 255))
    return "".join(out).encode()


def run(settings, seconds, keep_output=False):
    """Feeds the daemon for `seconds`; returns (documents, uploads seen, still running)."""
    receiver = Receiver()
    rng = random.Random(7)
    blocks = [capture_block(rng) for _ in range(20)]
    with Daemon(dict(settings, full_url=receiver.url), keep_output=keep_output) as daemon:
        deadline = time.monotonic() + seconds
        written = 0
        while time.monotonic() < deadline:
            daemon.feed(blocks[written % len(blocks)])
            written += 1
        time.sleep(1.5)
        running = daemon.running()
        errors = daemon.errors()
    bodies = list(receiver.bodies)
    receiver.close()
    return bodies, written, running, errors


class Stress(unittest.TestCase):
    def check(self, bodies, running, errors):
        self.assertTrue(running)
        self.assertNotIn(b"ThreadSanitizer", errors)
        self.assertGreater(len(bodies), 0)
        for content_type, body in bodies:
            document = json.loads(body)  # complete and valid, or this raises
            self.assertEqual(content_type, "application/json")
            for entry in document["data"]:
                self.assertEqual(list(entry), ["mac", "count", "firstSeen", "lastSeen", "signalDB"])

    def test_full_speed_with_pruning_uploads_and_console(self):
        bodies, written, running, errors = run(
            {"report_time": 1, "display_time": 1, "show_stats": 1, "max_entry_age": 2},
            SECONDS * 0.75)
        self.check(bodies, running, errors)
        self.assertGreater(written, 10)
        self.assertTrue(any(len(json.loads(b)["data"]) > 1000 for _, b in bodies))

    def test_trace_level_four_prints_the_table_after_each_reading(self):
        bodies, _, running, errors = run(
            {"report_time": 1, "display_time": 1, "show_stats": 1, "max_entry_age": 2,
             "debug": 4}, SECONDS * 0.25)
        self.check(bodies, running, errors)


if __name__ == "__main__":
    unittest.main()
