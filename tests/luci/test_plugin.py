"""The rpcd plugin luci.pelmar run by ucode, with stand-ins for ubus and uci, against status
files written here: fresh, stale, missing, broken, and the daemon stopped."""
import json
import os
import tempfile
import time
import unittest

from router import plugin_answer

UCODE = os.environ.get("PELMAR_UCODE", "")
STATUS = {"version": "1.4.0", "updated": "2026-12-08T19:00:05+00:00", "pid": 1234,
          "capture": {"state": "capturing", "source": "mon0", "frames": 10, "dropped": 0}}
FRESH, DIRECTORY = json.dumps(STATUS), object()
STUCK, NOT_JSON = "status is {age} s old: the daemon may be stuck", \
    "{file} is not JSON: a half-written or foreign file"
# The daemon's own file, used instead of the options: the status file's path and the interval.
OWN = ("[other]\nreport_time=1\n[pelmar]\n; status_file=/nowhere\nreport_time = 600\n"
       "status_file={file} ; the page reads it\n")


@unittest.skipUnless(os.access(UCODE, os.X_OK), "PELMAR_UCODE names no ucode interpreter")
class GetStatus(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory(prefix="pelmar-plugin-")
        self.addCleanup(work.cleanup)
        self.work, self.status = work.name, os.path.join(work.name, "status.json")

    def test_answers(self):
        # (case, file text, its age, uci options, procd running it (None: no bus), fields expected)
        cases = [
            ("fresh", FRESH, 0, {"report_time": "60"}, True,
             {"running": True, "status": STATUS, "error": None}),
            ("within two intervals", FRESH, 100, {"report_time": "60"}, True,
             {"status": STATUS, "error": None}),
            ("stale by two intervals", FRESH, 130, {"report_time": "60"}, True,
             {"running": True, "status": STATUS, "error": STUCK}),
            ("stale by the package's default", FRESH, 125, {}, True, {"error": STUCK}),
            ("short interval", FRESH, 25, {"report_time": "10"}, True, {"error": STUCK}),
            ("every second", FRESH, 3, {"report_time": "0"}, True, {"error": STUCK}),
            ("missing", None, 0, {}, True,
             {"running": True, "age": None, "status": None, "error": "no status yet"}),
            ("half written", FRESH[:20], 0, {}, True, {"status": None, "error": NOT_JSON}),
            ("not an object", "[1, 2]", 0, {}, True, {"status": None, "error": NOT_JSON}),
            ("empty", "", 0, {}, True, {"status": None, "error": NOT_JSON}),
            ("a directory", DIRECTORY, 0, {}, True, {"error": "{file} is not a file"}),
            ("too large", "{" + " " * 70000 + "}", 0, {}, True,
             {"error": "{file} is over 65536 bytes: not pelmar's status"}),
            ("daemon stopped, last status kept", FRESH, 500, {}, False,
             {"running": False, "status": STATUS, "error": "pelmar is not running"}),
            ("daemon stopped, no status", None, 0, {}, False,
             {"running": False, "status": None, "error": "pelmar is not running"}),
            ("no bus", FRESH, 0, {}, None, {"running": False, "error": "pelmar is not running"}),
            ("own file", FRESH, 1000, {"conf_file": OWN, "report_time": "60",
                                       "status_file": "/nowhere"}, True,
             {"status": STATUS, "error": None}),
            ("own file, stale by its interval", FRESH, 1300, {"conf_file": OWN}, True,
             {"error": STUCK}),
            ("own file without status_file", FRESH, 0, {"conf_file": "[pelmar]\nreport_time=600"},
             True, {"error": "no status_file in {own} (conf_file): the daemon writes no status"}),
        ]
        own = os.path.join(self.work, "pelmar.conf")
        for case, text, age, uci, running, expected in cases:
            with self.subTest(case):
                if os.path.isdir(self.status):
                    os.rmdir(self.status)
                elif os.path.exists(self.status):
                    os.remove(self.status)
                if text is DIRECTORY:
                    os.mkdir(self.status)
                elif text is not None:
                    with open(self.status, "w") as f:
                        f.write(text)
                    os.utime(self.status, (time.time() - age,) * 2)
                options = dict({"status_file": self.status}, **uci)
                if "conf_file" in uci:
                    with open(own, "w") as f:
                        f.write(uci["conf_file"].format(file=self.status))
                    options["conf_file"] = own
                reply = plugin_answer(UCODE, self.work, {"pelmar": {"main": options}},
                                      None if running is None else {"i1": {"running": running}})
                self.assertEqual(set(reply), {"running", "age", "status", "error"})
                if reply["status"] is not None:  # a second may pass between writing and the call
                    self.assertIn(reply["age"], (age, age + 1))
                for key, value in expected.items():
                    if isinstance(value, str):
                        value = value.format(age=reply["age"], file=self.status, own=own)
                    self.assertEqual(reply[key], value, key)


if __name__ == "__main__":
    unittest.main()
