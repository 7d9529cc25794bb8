"""Hostile input to the real binary, one daemon per case: whatever arrives on standard input
or in the configuration, the process keeps running, runs nothing it should not, uploads only
valid JSON, and leaves the records of the other devices exactly as they were."""
import concurrent.futures
import os
import random
import unittest

from daemon import Daemon, Receiver, wait_for

REFERENCE = (b"10:00:00.1 -60dBm signal SA:aa:bb:cc:dd:ee:01 Probe Request\n"
             b"10:00:00.2 -60dBm signal SA:aa:bb:cc:dd:ee:01 Probe Request\n"
             b"10:00:01.0 -70dB signal RA:aa:bb:cc:dd:ee:02 Acknowledgment\n"
             b"10:00:02.0 -50dBm signal DA:ff BSSID:ff SA:aa:bb:cc:dd:ee:03 Data\n")
EXPECTED = [("aa:bb:cc:dd:ee:01", 2, -59), ("aa:bb:cc:dd:ee:02", 1, -69),
            ("aa:bb:cc:dd:ee:03", 1, -49)]
SENTINEL_MAC = "5e:47:13:e1:00:00"
SENTINEL = f"10:00:09 -1dB signal SA:{SENTINEL_MAC}\n".encode()


def random_bytes(size, seed, keep_line_ends=False):
    rng = random.Random(seed)
    data = bytes(rng.randrange(256) for _ in range(size))
    if not keep_line_ends:  # each line without an address costs a second: keep them few
        data = data.translate(bytes.maketrans(b"\n\r\xff", b"abc"))
    return data + b"\n"


def line(mac, before=b"00:00:00 -42dB signal "):
    return before + b"SA:" + mac + b"\n"


# name, bytes on standard input, extra configuration, whether uploads reach the receiver
CASES = [
    ("random_bytes", random_bytes(4096, 1), "", True),
    ("random_bytes_with_markers", b" SA:".join(random_bytes(512, s) for s in range(4)), "", True),
    ("random_bytes_few_line_ends", random_bytes(3000, 2, keep_line_ends=True)[:600] + b"\n", "", True),
    ("nul_bytes", b"\0" * 1000 + b"\n", "", True),
    ("nul_inside_capture_line", b"00:00:00 -5dB signal SA:cc:00\0:00:00:00:01 rest\n", "", True),
    ("ff_bytes", b"\xff\xff", "", True),
    ("one_megabyte_line", b"x" * (1 << 20) + b"\n", "", True),
    ("one_megabyte_line_marker_at_end", b"y" * (1 << 20) + b" SA:cc:00:00:00:00:02\n", "", True),
    ("shorter_than_time_stamp", b"1 SA:\n", "", True),
    ("sa_marker_at_line_end", b"00:00:00 -5dB signal SA:\n", "", True),
    ("ra_marker_at_line_end", b"00:00:00 RA:\n", "", True),
    ("db_signal_at_line_start", b"dB signal SA:cc:00:00:00:00:03\n", "", True),
    ("dbm_signal_at_line_start", b"dBm signal SA:cc:00:00:00:00:04\n", "", True),
    ("thirty_digit_token", b"00:00:00 -" + b"9" * 29 + b"dB signal SA:cc:00:00:00:00:05\n", "", True),
    ("thirty_letter_token", b"00:00:00 " + b"q" * 30 + b"dBm signal SA:cc:00:00:00:00:06\n", "", True),
    ("token_reaching_line_start", b"-" * 30 + b"dB signal SA:cc:00:00:00:00:07\n", "", True),
    ("command_substitution", line(b"$(touch canary)"), "", True),
    ("backticks", line(b"`touch canary`"), "", True),
    ("single_quotes", line(b"'; touch canary #"), "", True),
    ("quote_escape_attempt", line(b"'\\''$(touch canary)"), "", True),
    ("double_quotes_backslashes", line(b"\"\\\"\\\\\"x"), "", True),
    ("control_characters", line(b"\x01\x02\x1b[2J\x07\x08\t\x0b\x0c"), "", True),
    ("invalid_utf8", line(b"\xc3\x28\xfe\x80\xed\xa0\x80"), "", True),
    ("printf_directives", line(b"%s%n%x%d%s%s%n%p"), "", True),
    ("json_injection", line(b"\",\"count\":1}],\"x"), "", True),
    ("upper_case_twin_of_a_reference", line(b"AA:BB:CC:DD:EE:01"), "", True),
    ("huge_time_pairs", b"99:99:99 SA:cc:00:00:00:00:08\n", "", True),
    ("signed_time_pairs", b"-9:+9: 9 SA:cc:00:00:00:00:09\n", "", True),
    ("carriage_returns_only", b"".join(line(b"cc:00:00:00:00:10")[:-1] + b"\r" for _ in range(5)), "", True),
    ("marker_repeated", b" SA:" * 20000 + b"\n", "", True),
    ("unit_repeated", b"-1dB signal " * 5000 + b"SA:cc:00:00:00:00:11\n", "", True),
    ("two_thousand_devices", b"".join(line(b"%017d" % i) for i in range(2000)), "", True),
    ("spaces_only", b" " * 10000 + b"\n", "", True),
    ("config_binary_junk", b"", "\x01\x02\xfe\xff junk = \x7f\n[\x00]\n=\n[pelmar]\n", True),
    ("config_huge_numbers", b"", "display_time=99999999999\nshow_stats=-99999999999\n"
                                "debug=-5\nmax_entry_age=0\nreport_time=1\n", True),
    ("config_duplicate_keys", b"", "url='$(touch canary)'\nbackup_dir=`touch canary`\n", True),
    ("config_ten_kilobyte_values", b"", "url=" + "u" * 10240 + "\nbackup_dir=" + "b" * 10240 +
                                       "\ndisplay_time=" + "9" * 10240 + "\n", True),
    ("config_hostile_url_only", b"", "full_url=http://127.0.0.1:9/'$(touch canary)'`touch canary`\n",
     False),
]


def run_case(case):
    name, data, extra, uploads = case
    receiver = Receiver()
    settings = f"[pelmar]\nreport_time=1\nfull_url={receiver.url}\n{extra}"
    if name == "config_duplicate_keys":
        settings = ("[pelmar]\nfull_url=http://x/'$(touch canary)'\nreport_time=1000\n"
                    + extra + f"report_time=1\nfull_url={receiver.url}\n")
    problems = []
    with Daemon({}, config_text=settings) as daemon:
        daemon.feed(REFERENCE)
        daemon.feed(data)
        daemon.feed(SENTINEL)
        if uploads:
            def sentinel_uploaded():
                try:
                    return [d for d in receiver.documents()
                            if any(e["mac"] == SENTINEL_MAC for e in d["data"])]
                except ValueError as error:  # not JSON: stop waiting and report it
                    problems.append(f"invalid JSON upload: {error}")
                    return True
            if not wait_for(sentinel_uploaded, 60):
                problems.append("no upload after the input")
            else:
                for document in receiver.documents():
                    got = [(e["mac"], e["count"], e["signalDB"]) for e in document["data"][:3]]
                    if got != EXPECTED[:len(got)] or (len(got) < 3 and len(document["data"]) > len(got)):
                        problems.append(f"reference records changed: {got}")
                        break
        else:
            wait_for(lambda: False, 3)
        if not daemon.running():
            problems.append(f"process ended with status {daemon.process.returncode}")
        for root, _, files in os.walk(daemon.dir.name):
            if "canary" in files:
                problems.append("a command from the input ran")
    receiver.close()
    return name, problems


class Hostile(unittest.TestCase):
    def test_every_case(self):
        self.assertGreaterEqual(len(CASES), 30)
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            results = list(pool.map(run_case, CASES))
        for name, problems in results:
            with self.subTest(name):
                self.assertEqual(problems, [])


if __name__ == "__main__":
    unittest.main()


class EndlessLine(unittest.TestCase):
    def test_a_line_past_the_cap_is_cut_and_the_rest_dropped_to_its_end(self):
        receiver = Receiver()
        try:
            with Daemon({"report_time": 1, "full_url": receiver.url}) as d:
                head = b"10:00:00.1 -60dBm signal SA:aa:bb:cc:dd:ee:01 "
                def resident():
                    with open(f"/proc/{d.process.pid}/status") as f:
                        return [int(l.split()[1]) for l in f if l.startswith("VmRSS:")][0]
                before = resident()
                d.feed(head)
                grown = 0
                for _ in range(128):  # 128 MiB of one line, far past the 4 MiB kept
                    d.feed(b"x" * (1024 * 1024))
                    grown = max(grown, resident() - before)
                d.feed(b" SA:ff:ff:ff:ff:ff:ff tail\n" + line(b"aa:bb:cc:dd:ee:02"))
                docs = wait_for(lambda: [x for x in receiver.documents() if len(x["data"]) == 2], 15)
                self.assertTrue(docs)
                self.assertEqual([r["mac"] for r in docs[-1]["data"]],
                                 ["aa:bb:cc:dd:ee:01", "aa:bb:cc:dd:ee:02"])
                self.assertLess(grown, 64 * 1024)  # kB: the dropped rest is never held
                self.assertTrue(d.running())
        finally:
            receiver.close()
