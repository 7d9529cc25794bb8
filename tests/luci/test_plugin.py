"""The rpcd plugin luci.pelmar run by ucode, with stand-ins for ubus and uci, against status
files written here: fresh, stale, missing, broken, and the daemon stopped."""
import json
import os
import subprocess
import tempfile
import time
import unittest

from router import PLUGIN, STANDINS

UCODE = os.environ.get("PELMAR_UCODE", "")
STATUS = {"version": "1.4.0", "updated": "2026-12-08T19:00:05+00:00", "pid": 1234,
          "capture": {"state": "capturing", "source": "mon0", "frames": 10, "dropped": 0}}


@unittest.skipUnless(os.access(UCODE, os.X_OK), "PELMAR_UCODE names no ucode interpreter")
class GetStatus(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="pelmar-plugin-")
        self.addCleanup(self.work.cleanup)
        self.status = os.path.join(self.work.name, "status.json")

    def call(self, uci, running=True, bus=True):
        """getStatus as rpcd would answer it with these uci options and procd state."""
        uci_file = os.path.join(self.work.name, "uci.json")
        services = os.path.join(self.work.name, "services.json")
        with open(uci_file, "w") as f:
            json.dump({"pelmar": {"main": uci}}, f)
        instances = {"instance1": {"running": running, "pid": 77}}
        with open(services, "w") as f:
            json.dump({"pelmar": {"instances": instances}}, f)
        env = dict(os.environ, PELMAR_TEST_UCI=uci_file)
        if bus:
            env["PELMAR_TEST_SERVICES"] = services
        out = subprocess.run([UCODE, "-L", os.path.dirname(UCODE), "-L", STANDINS,
                              os.path.join(STANDINS, "call.uc"), PLUGIN, "luci.pelmar",
                              "getStatus"], env=env, capture_output=True, text=True,
                             timeout=30, check=True).stdout
        return json.loads(out)

    def write(self, text, age=0):
        with open(self.status, "w") as f:
            f.write(text)
        then = time.time() - age
        os.utime(self.status, (then, then))

    def test_answers(self):
        fresh = json.dumps(STATUS)
        # (case, file text or None, its age, uci options, procd running, expected fields)
        cases = [
            ("fresh", fresh, 0, {"report_time": "60"}, True,
             {"running": True, "status": STATUS, "error": None}),
            ("within two intervals", fresh, 100, {"report_time": "60"}, True,
             {"running": True, "status": STATUS, "error": None}),
            ("stale by two intervals", fresh, 130, {"report_time": "60"}, True,
             {"running": True, "status": STATUS,
              "error": "status is {age} s old: the daemon may be stuck"}),
            ("stale by the package's default interval", fresh, 125, {}, True,
             {"status": STATUS, "error": "status is {age} s old: the daemon may be stuck"}),
            ("short interval", fresh, 25, {"report_time": "10"}, True,
             {"error": "status is {age} s old: the daemon may be stuck"}),
            ("every second", fresh, 3, {"report_time": "0"}, True,
             {"error": "status is {age} s old: the daemon may be stuck"}),
            ("missing", None, 0, {}, True,
             {"running": True, "age": None, "status": None, "error": "no status yet"}),
            ("half written", fresh[:20], 0, {}, True,
             {"status": None, "error": self.status + " is not JSON: a half-written or foreign file"}),
            ("not an object", "[1, 2]", 0, {}, True,
             {"status": None, "error": self.status + " is not JSON: a half-written or foreign file"}),
            ("empty", "", 0, {}, True,
             {"status": None, "error": self.status + " is not JSON: a half-written or foreign file"}),
            ("daemon stopped, last status kept", fresh, 500, {}, False,
             {"running": False, "status": STATUS, "error": "pelmar is not running"}),
            ("daemon stopped, no status", None, 0, {}, False,
             {"running": False, "status": None, "error": "pelmar is not running"}),
        ]
        for case, text, age, uci, running, expected in cases:
            with self.subTest(case):
                if os.path.exists(self.status):
                    os.remove(self.status)
                if text is not None:
                    self.write(text, age)
                reply = self.call(dict(uci, status_file=self.status), running)
                self.assertEqual(set(reply), {"running", "age", "status", "error"})
                if text is not None and reply["status"] is not None:
                    # A second may pass between writing the file and the call.
                    self.assertIn(reply["age"], (age, age + 1))
                for key, value in expected.items():
                    if isinstance(value, str):
                        value = value.format(age=reply["age"])
                    self.assertEqual(reply[key], value, key)

    def test_what_is_not_the_daemons_status(self):
        os.mkdir(self.status)
        self.assertEqual(self.call({"status_file": self.status})["error"],
                         self.status + " is not a file")
        os.rmdir(self.status)
        self.write("{" + " " * 70000 + "}")
        self.assertRegex(self.call({"status_file": self.status})["error"], "over 65536 bytes")

    def test_no_bus_means_not_running(self):
        self.write(json.dumps(STATUS))
        reply = self.call({"status_file": self.status}, bus=False)
        self.assertEqual((reply["running"], reply["error"]), (False, "pelmar is not running"))

    def test_own_daemon_file_gives_path_and_interval(self):
        own = os.path.join(self.work.name, "pelmar.conf")
        with open(own, "w") as f:
            f.write("[other]\nreport_time=1\n[pelmar]\n; status_file=/nowhere\nreport_time = 600\n"
                    "status_file=%s ; the page reads it\n" % self.status)
        self.write(json.dumps(STATUS), age=1000)
        reply = self.call({"conf_file": own, "report_time": "60", "status_file": "/nowhere"})
        self.assertEqual((reply["status"], reply["error"]), (STATUS, None))
        self.write(json.dumps(STATUS), age=1300)
        self.assertRegex(self.call({"conf_file": own})["error"],
                         r"^status is 130[01] s old: the daemon may be stuck$")
        with open(own, "w") as f:
            f.write("[pelmar]\nreport_time=600\n")
        self.assertEqual(self.call({"conf_file": own, "status_file": self.status})["error"],
                         "no status_file in %s (conf_file): the daemon writes no status" % own)


if __name__ == "__main__":
    unittest.main()
