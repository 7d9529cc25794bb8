"""Reporting through the real binary: curl uploads, the exact command, backups, the console."""
import json
import os
import re
import signal
import socket
import stat
import tempfile
import time
import unittest

from daemon import Daemon, Receiver, capture_line, sizes, wait_for

PREFIX = ["curl", "-k", "--max-time", "60", "-X", "POST", "-H", "Content-Type:application/json", "-d"]


class FakeCurl:
    """A `curl` first on PATH that records its argument vector, one file per run."""

    def __init__(self, prints=""):
        self.dir = tempfile.TemporaryDirectory(prefix="pelmar-curl-")
        self.log = os.path.join(self.dir.name, "log")
        os.mkdir(self.log)
        script = os.path.join(self.dir.name, "curl")
        with open(script, "w") as f:
            f.write("#!/bin/sh\n"
                    f"tmp=$(mktemp {self.dir.name}/part.XXXXXX)\n"
                    "printf '%s\\0' \"${0##*/}\" \"$@\" > \"$tmp\"\n"
                    f"mv \"$tmp\" {self.log}/\"${{tmp##*/}}\"\n"
                    f"printf '{prints}'\n")
        os.chmod(script, stat.S_IRWXU)
        self.env = {"PATH": self.dir.name + ":" + os.environ["PATH"]}

    def runs(self):
        result = []
        for name in sorted(os.listdir(self.log), key=lambda n: os.stat(os.path.join(self.log, n)).st_mtime_ns):
            with open(os.path.join(self.log, name), "rb") as f:
                result.append(f.read().split(b"\0")[:-1])
        return result

    def close(self):
        self.dir.cleanup()


class Upload(unittest.TestCase):
    def setUp(self):
        self.receiver = Receiver()

    def tearDown(self):
        self.receiver.close()

    def test_real_curl_posts_the_table(self):
        with Daemon({"report_time": 1, "full_url": self.receiver.url}) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01", "-60") * 3)
            d.feed(capture_line("aa:bb:cc:dd:ee:02", "-40", unit="dB"))
            docs = wait_for(lambda: [x for x in self.receiver.documents() if len(x["data"]) == 2])
            self.assertTrue(docs)
            doc = docs[0]
            self.assertEqual(self.receiver.bodies[0][0], "application/json")
            self.assertEqual(doc["hostname"], socket.gethostname())
            self.assertRegex(doc["systemDateTime"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00$")
            first, second = doc["data"]
            self.assertEqual((first["mac"], first["count"], first["signalDB"]), ("aa:bb:cc:dd:ee:01", 3, -59))
            self.assertEqual((second["mac"], second["count"], second["signalDB"]), ("aa:bb:cc:dd:ee:02", 1, -39))
            self.assertLessEqual(abs(first["firstSeen"] - time.time()), 10)
            self.assertEqual(list(first), ["mac", "count", "firstSeen", "lastSeen", "signalDB"])

    def test_five_thousand_devices_arrive_in_one_upload(self):
        lines = "".join(capture_line(f"02:00:00:00:{i // 100:02d}:{i % 100:02d}", str(-30 - i % 60))
                        for i in range(5000))
        scratch = tempfile.TemporaryDirectory(prefix="pelmar-tmp-")
        with scratch, Daemon({"report_time": 2, "full_url": self.receiver.url},
                             env={"TMPDIR": scratch.name}) as d:
            d.feed(lines)
            docs = wait_for(lambda: [x for x in self.receiver.documents() if len(x["data"]) == 5000], 20)
            self.assertTrue(docs)
            macs = [e["mac"] for e in docs[0]["data"]]
            self.assertEqual(macs, [f"02:00:00:00:{i // 100:02d}:{i % 100:02d}" for i in range(5000)])
            self.assertEqual(docs[0]["data"][61]["signalDB"], -30 - 1 + 1)
            # The temporary file that carried the document is gone (the next report's may come).
            self.assertTrue(wait_for(lambda: os.listdir(scratch.name) == [], 5))

    def test_hostile_addresses_run_nothing_and_stay_valid_json(self):
        canary = os.path.join(tempfile.mkdtemp(prefix="pelmar-canary-"), "canary")
        hostile = ["'$(touch " + canary + ")'"[:17], "';touch " + canary[-8:] + ";'",
                   "`touch canary`", "a\\\"b\\\\c'd\"e", "\x01\x02\t\x1b[2J", "$(reboot)",
                   "'\"'\"'", "\xc3(\xfe\x80"]
        with Daemon({"report_time": 1, "full_url": self.receiver.url}) as d:
            os.chdir(os.path.dirname(canary))
            for mac in hostile:
                d.feed(b"00:00:00 -50dB signal SA:" + mac.encode("latin-1") + b"\n")
            d.feed(capture_line("aa:bb:cc:dd:ee:ff"))
            docs = wait_for(lambda: [x for x in self.receiver.documents() if len(x["data"]) == len(hostile) + 1])
            self.assertTrue(docs)
            expected = [m.encode("latin-1")[:17].decode("latin-1") for m in hostile]
            self.assertEqual([e["mac"] for e in docs[0]["data"]][:-1], expected)
            self.assertFalse(os.path.exists(canary))
            self.assertFalse(os.path.exists(os.path.join(os.path.dirname(canary), "canary")))

    def test_slow_endpoint_does_not_stall_the_capture_loop(self):
        self.receiver.delay = 5
        with Daemon({"report_time": 1, "debug": 3, "full_url": self.receiver.url}) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01"))
            self.assertTrue(wait_for(lambda: self.receiver.bodies))  # an upload is now held
            started = time.monotonic()
            for i in range(3):
                d.feed(capture_line(f"aa:bb:cc:dd:ee:1{i}"))
                self.assertTrue(wait_for(lambda: f"Readed MAC: aa:bb:cc:dd:ee:1{i}".encode() in d.output(), 2))
            self.assertLess(time.monotonic() - started, 4)
            self.assertEqual(len(self.receiver.bodies), 1)  # still inside the first upload


class Command(unittest.TestCase):
    def setUp(self):
        self.curl = FakeCurl(prints="ANSWER")

    def tearDown(self):
        self.curl.close()

    def test_exact_argument_vector(self):
        url = "http://127.0.0.1:9/in?a=1&b='2'"
        with Daemon({"report_time": 1, "full_url": url}, env=self.curl.env) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01"))
            runs = wait_for(lambda: [r for r in self.curl.runs() if b"aa:bb" in r[9]])
            argv = [a.decode() for a in runs[0]]
            self.assertEqual(argv[:9], PREFIX)
            self.assertEqual(argv[10], url)
            self.assertEqual(len(argv), 11)
            self.assertRegex(argv[9], r'^\{"hostname":"[^"]*","systemDateTime":"[^"]+\+00:00","data":\['
                                      r'\{"mac":"aa:bb:cc:dd:ee:01","count":1,"firstSeen":\d+,'
                                      r'"lastSeen":\d+,"signalDB":-66\}\]\}$')
            self.assertNotIn(b"ANSWER", d.output())  # silenced

    def test_show_curl_prints_the_command_and_lets_output_through(self):
        with Daemon({"report_time": 1, "show_curl": 1, "full_url": "http://h/x"}, env=self.curl.env) as d:
            self.assertTrue(wait_for(lambda: b"ANSWER" in d.output()))
            first = d.output().split(b"\n")[0].decode()
            self.assertRegex(first, r"^curl -k --max-time 60 -X POST -H \"Content-Type:application/json\" -d "
                                    r"'\{\"hostname\":\"[^\"]*\",\"systemDateTime\":\"[^\"]+\",\"data\":\[\]\}' "
                                    r"'http://h/x'$")

    def test_without_full_url_warns_and_runs_no_curl_but_backs_up(self):
        backups = tempfile.TemporaryDirectory(prefix="pelmar-bk-")
        open(os.path.join(backups.name, "writebackup"), "w").close()
        with Daemon({"report_time": 1, "backup_dir": backups.name}, env=self.curl.env) as d:
            self.assertTrue(wait_for(lambda: len(os.listdir(backups.name)) >= 2))
            self.assertEqual(d.output().count(b"uploads are off.\n"), 1)
            self.assertEqual(d.errors(), b"")
            self.assertEqual(self.curl.runs(), [])
        backups.cleanup()


class Backups(unittest.TestCase):
    def test_marker_turns_backups_on_and_off(self):
        receiver = Receiver()
        backups = tempfile.TemporaryDirectory(prefix="pelmar-bk-")
        marker = os.path.join(backups.name, "writebackup")
        dat = lambda: sorted(n for n in os.listdir(backups.name) if n != "writebackup")
        with Daemon({"report_time": 1, "full_url": receiver.url, "backup_dir": backups.name + "/"}) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01"))
            wait_for(lambda: len(receiver.bodies) >= 2)
            self.assertEqual(dat(), [])
            open(marker, "w").close()
            self.assertTrue(wait_for(lambda: len(dat()) >= 2))
            os.unlink(marker)
            time.sleep(1.5)
            written = dat()
            time.sleep(2.5)
            self.assertEqual(dat(), written)
            for name in written:
                self.assertRegex(name, r"^\d{10}\.dat$")
                with open(os.path.join(backups.name, name), "rb") as f:
                    content = f.read()
                self.assertTrue(content.endswith(b"}\n") and not content.endswith(b"\n\n"))
                self.assertEqual(json.loads(content)["data"][0]["mac"], "aa:bb:cc:dd:ee:01")
        receiver.close()
        backups.cleanup()

    def test_caps_hold_under_a_flood(self):
        backups = tempfile.TemporaryDirectory(prefix="pelmar-bk-")
        for name in ("writebackup", "notes.txt", "100.dat"):
            with open(os.path.join(backups.name, name), "w") as f:
                f.write("x" * 3000 if name == "100.dat" else "")
        dat = lambda: sizes(backups.name, ".dat")
        seen = set()
        settings = {"report_time": 0, "backup_dir": backups.name, "backup_max_files": 3,
                    "backup_max_kb": 5}
        with Daemon(settings) as d:
            d.feed("".join(capture_line(f"aa:bb:cc:dd:{i // 256:02x}:{i % 256:02x}")
                           for i in range(20)))
            wait_for(lambda: seen.update(dat()) or len(seen) >= 5, 12)
            d.process.send_signal(signal.SIGTERM)
            d.process.wait(10)
            kept = dat()
        self.assertGreaterEqual(len(seen), 5)
        self.assertTrue(1 <= len(kept) <= 3, kept)
        self.assertLessEqual(sum(kept.values()), 5 * 1024)
        self.assertNotIn("100.dat", kept)
        self.assertEqual(sorted(kept), sorted(seen - {"100.dat"})[-len(kept):])
        self.assertTrue(os.path.exists(os.path.join(backups.name, "notes.txt")))
        backups.cleanup()


class ConsoleTable(unittest.TestCase):
    def test_show_stats_prints_the_table(self):
        with Daemon({"display_time": 1, "report_time": 1000, "show_stats": 1}) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01", "-60") * 2)
            self.assertTrue(wait_for(lambda: re.search(rb"aa:bb:cc:dd:ee:01 \t-59 \t2 \t", d.output())))
            out = d.output().decode()
            rule = "=" * 90
            self.assertIn(f"{rule}\nHostname: {socket.gethostname()}\nReport Date: ", out)
            self.assertIn("\nBSSID \t\t\tSignal \tCount \tFirst Seen \t\tLast Seen \n" + rule + "\n", out)
            self.assertRegex(out, r"aa:bb:cc:dd:ee:01 \t-59 \t2 \t\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \t"
                                  r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \n")

    def test_without_show_stats_no_table(self):
        with Daemon({"display_time": 1, "report_time": 1000}) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01"))
            time.sleep(2.5)
            self.assertNotIn(b"Hostname", d.output())

    def test_trace_level_four_prints_after_every_reading(self):
        with Daemon({"debug": 4, "report_time": 1000, "display_time": 1000}) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01") + capture_line("aa:bb:cc:dd:ee:02"))
            self.assertTrue(wait_for(lambda: d.output().count(b"Hostname: ") >= 2))

    def test_trace_level_four_counts_on_when_the_output_cannot_be_written(self):
        receiver = Receiver()
        lines = "".join(capture_line(f"aa:bb:cc:dd:ee:0{i % 3}") for i in range(30))
        with open("/dev/full", "wb") as full, \
                Daemon({"debug": 4, "report_time": 1000, "full_url": receiver.url,
                        "exit_at_end": 1}, stdout=full) as d:
            d.feed(lines)
            d.close_input()
            self.assertEqual(d.process.wait(timeout=30), 0)
        receiver.close()
        self.assertEqual([(r["mac"], r["count"]) for r in receiver.documents()[-1]["data"]],
                         [(f"aa:bb:cc:dd:ee:0{i}", 10) for i in range(3)])


if __name__ == "__main__":
    unittest.main()
