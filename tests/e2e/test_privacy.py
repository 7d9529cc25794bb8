"""Privacy and counting settings through the real binary: pseudonymous addresses (checked
against an independent computation), their daily rotation across a UTC midnight, the signal
floor, the randomised-address filter, and curl verifying the endpoint's certificate."""
import hashlib
import hmac
import os
import re
import subprocess
import tempfile
import time
import unittest

from daemon import Daemon, Receiver, capture_line, wait_for
from test_report import FakeCurl

SECRET = "correct horse"
DEVICES = ["aa:bb:cc:dd:ee:01", "AA:BB:CC:DD:EE:02"]


def expected_pseudonym(address, day=None):
    key = SECRET.encode()
    if day:
        key = hmac.new(key, day.encode(), hashlib.sha256).digest()
    digest = hmac.new(key, address.encode(), hashlib.sha256).digest()
    return ":".join("%02x" % b for b in bytes([(digest[0] & 0xFE) | 0x02]) + digest[1:6])


def macs(doc):
    return [record["mac"] for record in doc["data"]]


class Pseudonyms(unittest.TestCase):
    def setUp(self):
        self.receiver = Receiver()

    def tearDown(self):
        self.receiver.close()

    def test_every_address_in_uploads_and_the_console_is_its_pseudonym(self):
        settings = {"report_time": 1, "display_time": 1, "show_stats": 1, "debug": 3,
                    "full_url": self.receiver.url, "mac_privacy": 1, "mac_secret": SECRET}
        with Daemon(settings) as d:
            d.feed("".join(capture_line(m) for m in DEVICES))
            docs = wait_for(lambda: [x for x in self.receiver.documents() if len(x["data"]) == 2])
            self.assertEqual(macs(docs[0]), [expected_pseudonym(m) for m in DEVICES])
            self.assertTrue(wait_for(lambda: expected_pseudonym(DEVICES[1]).encode() + b" \t"
                                     in d.output()))
            output = d.output()
            self.assertIn(b"Readed MAC: " + DEVICES[0].encode(), output)  # traces stay raw
            self.assertNotIn(DEVICES[0].encode() + b" \t", output)  # the console table does not
        body = b"".join(b for _, b in self.receiver.bodies)
        self.assertNotIn(DEVICES[0].encode(), body)

    def test_daily_rotation_changes_the_pseudonyms_and_starts_a_new_day_at_utc_midnight(self):
        settings = {"report_time": 1, "full_url": self.receiver.url, "mac_privacy": 1,
                    "mac_secret": SECRET, "mac_rotation": "daily"}
        clock = {"FAKETIME": "@2026-12-07 23:59:56", "TZ": "UTC",
                 "LD_PRELOAD": "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                 "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        if not os.path.exists(clock["LD_PRELOAD"]) or "tsan" in os.environ.get("TSAN_OPTIONS", ""):
            self.skipTest("libfaketime is not usable here")
        days = lambda: {x["systemDateTime"][:10] for x in self.receiver.documents() if x["data"]}
        with Daemon(settings, env=clock) as d:
            for _ in range(40):  # a reading every quarter second, across midnight
                d.feed(capture_line(DEVICES[0]))
                if {"2026-12-07", "2026-12-08"} <= days() and len(self.receiver.documents()) > 8:
                    break
                time.sleep(0.25)
        docs = self.receiver.documents()
        self.assertLessEqual({"2026-12-07", "2026-12-08"}, days())
        # The old day's last document, under its key, and then the new day from nothing.
        closing = [x for x in docs if x["systemDateTime"] < "2026-12-08"]
        self.assertEqual(closing[-1]["systemDateTime"], "2026-12-07T23:59:59+00:00")
        midnight = 1796688000  # 2026-12-08T00:00:00Z
        for doc in docs:
            day = doc["systemDateTime"][:10]
            start = midnight - (86400 if day == "2026-12-07" else 0)
            for record in doc["data"]:
                self.assertEqual(record["mac"], expected_pseudonym(DEVICES[0], day))
                self.assertGreaterEqual(record["firstSeen"], start, doc)
        after = [x for x in docs if x["data"] and x["systemDateTime"] >= "2026-12-08"]
        self.assertLess(after[0]["data"][0]["count"], closing[-1]["data"][0]["count"])
        self.assertLess(after[0]["data"][0]["count"], after[-1]["data"][0]["count"])
        self.assertNotEqual(expected_pseudonym(DEVICES[0], "2026-12-07"),
                            expected_pseudonym(DEVICES[0], "2026-12-08"))

    def test_without_a_secret_each_run_has_its_own_and_says_so(self):
        seen = []
        for secret in [None, ""]:  # an empty secret counts as none
            settings = {"report_time": 1, "full_url": self.receiver.url, "mac_privacy": 1}
            if secret is not None:
                settings["mac_secret"] = secret
            with Daemon(settings) as d:
                d.feed(capture_line(DEVICES[0]))
                self.assertTrue(wait_for(lambda: len(self.receiver.documents()) > len(seen) and
                                         self.receiver.documents()[-1]["data"]))
                self.assertEqual(d.output().count(b"a random secret for this run"), 1)
                seen.append(macs(self.receiver.documents()[-1])[0])
        self.assertNotEqual(seen[0], seen[1])
        self.assertRegex(seen[0], r"^[0-9a-f][26ae](:[0-9a-f]{2}){5}$")


class Counting(unittest.TestCase):
    def test_the_floor_and_the_random_address_filter_ignore_readings_entirely(self):
        receiver = Receiver()
        lines = [capture_line("00:11:22:33:44:01", "-60"),   # kept
                 capture_line("00:11:22:33:44:02", "-81"),   # below the floor
                 capture_line("02:11:22:33:44:03", "-60"),   # locally administered
                 capture_line("DA:11:22:33:44:04", "-60"),   # locally administered
                 capture_line("00:11:22:33:44:05", "0"),     # no signal: kept
                 capture_line("00:11:22:33:44:01", "-90")]   # below: not counted
        try:
            with Daemon({"report_time": 1, "full_url": receiver.url, "min_signal": -80,
                         "skip_random_macs": 1}) as d:
                d.feed("".join(lines))
                docs = wait_for(lambda: [x for x in receiver.documents() if len(x["data"]) == 2])
                self.assertEqual([(r["mac"], r["count"]) for r in docs[0]["data"]],
                                 [("00:11:22:33:44:01", 1), ("00:11:22:33:44:05", 1)])
                # Ignored readings are still capture lines: no one-second pause each.
                self.assertLess(docs[0]["data"][0]["lastSeen"] - docs[0]["data"][0]["firstSeen"], 2)
        finally:
            receiver.close()


class Tls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="pelmar-tls-")
        cls.cert = os.path.join(cls.dir.name, "cert.pem")
        cls.key = os.path.join(cls.dir.name, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", cls.key, "-out", cls.cert, "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_the_command_leaves_out_k(self):
        curl = FakeCurl()
        try:
            with Daemon({"report_time": 1, "full_url": "https://h/x", "verify_tls": 1},
                        env=curl.env) as d:
                self.assertTrue(wait_for(lambda: curl.runs()))
                self.assertEqual(curl.runs()[0][:4], [b"curl", b"--max-time", b"60", b"-X"])
        finally:
            curl.close()

    def test_a_trusted_certificate_is_accepted_and_an_unknown_one_refused(self):
        receiver = Receiver(tls=(self.cert, self.key))
        try:
            with Daemon({"report_time": 1, "full_url": receiver.url, "verify_tls": 1},
                        env={"CURL_CA_BUNDLE": self.cert}) as d:
                d.feed(capture_line(DEVICES[0]))
                self.assertTrue(wait_for(lambda: [x for x in receiver.documents() if x["data"]]))
                self.assertNotIn(b"Uploads failing", d.output())
            count = len(receiver.bodies)
            with Daemon({"report_time": 1, "full_url": receiver.url, "verify_tls": 1},
                        env={"CURL_CA_BUNDLE": "/etc/ssl/certs/ca-certificates.crt"}) as d:
                self.assertTrue(wait_for(lambda: b"Uploads failing: curl exit status 60\n" in d.output()))
            self.assertEqual(len(receiver.bodies), count)
        finally:
            receiver.close()


if __name__ == "__main__":
    unittest.main()
