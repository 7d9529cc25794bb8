"""The rpcd plugin luci.pelmar run by ucode, with stand-ins for ubus, uci and the passwd file,
against status files written here: fresh, stale, missing, broken, not the daemon's own (a link,
another owner, outside its folder, oversized), and procd's view of the service."""
import json
import os
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
STANDINS = os.path.join(HERE, "standin")
PLUGIN = os.path.join(HERE, "..", "..", "packaging", "openwrt", "luci-app-pelmar", "root", "usr",
                      "share", "rpcd", "ucode", "luci.pelmar")
UCODE = os.environ.get("PELMAR_UCODE", "")
DAEMON_UID = 4242  # user pelmar in the test's passwd file
STATUS_MAX = 262144  # the plugin's bound
STATUS = {"version": "1.4.0", "updated": "2026-12-08T19:00:05+00:00", "pid": 1234,
          "capture": {"state": "capturing", "source": "mon0", "frames": 10, "dropped": 0}}
FRESH, DIRECTORY, LINK = json.dumps(STATUS), object(), object()
RUNNING = {"main": {"running": True, "pid": 7}}
# The daemon's own file, used instead of the options: the status file's path and the interval.
OWN = ("[other]\nreport_time=1\n[pelmar]\n; status_file=/nowhere\nreport_time = 600\n"
       "status_file={file} ; the page reads it\n")


def widest_history():
    """A status file with the package's cap of history (1440 windows) at the widest figures."""
    window = {"end": "2026-12-08T19:00:00+00:00", "devices": 4294967295, "addresses": 4294967295}
    return json.dumps(dict(STATUS, history=[window] * 1440), separators=(",", ":"))


def plugin_call(work, uci, instances, method="getStatus"):
    """What the plugin's method answers, run as rpcd would with these uci configurations and
    procd's instances of the service (None: the bus cannot be reached)."""
    env = dict(os.environ, PELMAR_TEST_UCI=os.path.join(work, "uci.json"),
               PELMAR_TEST_PASSWD=os.path.join(work, "passwd"))
    with open(env["PELMAR_TEST_UCI"], "w") as f:
        json.dump(uci, f)
    if instances is not None:
        env["PELMAR_TEST_SERVICES"] = os.path.join(work, "services.json")
        with open(env["PELMAR_TEST_SERVICES"], "w") as f:
            json.dump({"pelmar": {"instances": instances}}, f)
    host = os.path.join(work, "host")
    if not os.path.exists(host):  # the real fs module, for the stand-in to wrap
        os.mkdir(host)
        os.symlink(os.path.join(os.path.dirname(UCODE), "fs.so"), os.path.join(host, "hostfs.so"))
    return json.loads(subprocess.run(
        [UCODE, "-L", STANDINS, "-L", host, "-L", os.path.dirname(UCODE),
         os.path.join(STANDINS, "call.uc"), PLUGIN, "luci.pelmar", method],
        env=env, capture_output=True, text=True, timeout=30, check=True).stdout)


@unittest.skipUnless(os.access(UCODE, os.X_OK), "PELMAR_UCODE names no ucode interpreter")
@unittest.skipUnless(os.geteuid() == 0, "files of the daemon's user need root to make")
class GetStatus(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory(prefix="pelmar-plugin-")
        self.addCleanup(work.cleanup)
        self.work = work.name
        self.folder = os.path.join(self.work, "run")
        self.status = os.path.join(self.folder, "status.json")
        with open(os.path.join(self.work, "passwd"), "w") as f:
            f.write("root:x:0:0:root:/root:/bin/sh\npelmar:x:%d:%d::/var/run/pelmar:/bin/false\n"
                    % (DAEMON_UID, DAEMON_UID))

    def lay_out(self, text, age, owner=DAEMON_UID, folder_owner=DAEMON_UID, folder_mode=0o755):
        """The daemon's folder and its status file (`text`; None: none), `age` seconds old."""
        subprocess.run(["rm", "-rf", self.folder], check=True)
        os.mkdir(self.folder)
        os.chown(self.folder, folder_owner, folder_owner)
        os.chmod(self.folder, folder_mode)
        if text is DIRECTORY:
            os.mkdir(self.status)
        elif text is LINK:  # to a file of the daemon's user beside it
            with open(self.status + ".real", "w") as f:
                f.write(FRESH)
            os.chown(self.status + ".real", DAEMON_UID, DAEMON_UID)
            os.symlink(self.status + ".real", self.status)
        elif text is not None:
            with open(self.status, "w") as f:
                f.write(text)
            os.chown(self.status, owner, owner)
            os.utime(self.status, (time.time() - age,) * 2)

    def test_answers(self):
        own = os.path.join(self.work, "pelmar.conf")
        # (case, file text, its age, uci options, procd's instances (None: no bus), how the file
        # is laid out, fields expected)
        cases = [
            ("fresh", FRESH, 0, {"report_time": "60"}, RUNNING, {},
             {"running": True, "status": STATUS, "error": None, "interval": 60,
              "service": {"state": "running", "pid": 7}, "spool": False}),
            ("a spool", FRESH, 0, {"spool_dir": "/tmp/spool"}, RUNNING, {}, {"spool": True}),
            ("within two intervals", FRESH, 100, {"report_time": "60"}, RUNNING, {},
             {"status": STATUS, "error": None}),
            ("stale by two intervals", FRESH, 130, {"report_time": "60"}, RUNNING, {},
             {"running": True, "status": STATUS, "error": "stale"}),
            ("stale by the package's default", FRESH, 125, {}, RUNNING, {}, {"error": "stale"}),
            ("short interval", FRESH, 25, {"report_time": "10"}, RUNNING, {}, {"error": "stale"}),
            ("every second", FRESH, 3, {"report_time": "0"}, RUNNING, {},
             {"error": "stale", "interval": 1}),
            ("missing", None, 0, {}, RUNNING, {},
             {"running": True, "age": None, "status": None, "error": "missing"}),
            ("half written", FRESH[:20], 0, {}, RUNNING, {}, {"status": None, "error": "not-json"}),
            ("not an object", "[1, 2]", 0, {}, RUNNING, {}, {"error": "not-json"}),
            ("empty", "", 0, {}, RUNNING, {}, {"error": "not-json"}),
            ("a directory", DIRECTORY, 0, {}, RUNNING, {}, {"error": "not-file"}),
            ("a link", LINK, 0, {}, RUNNING, {}, {"status": None, "error": "link"}),
            ("another owner", FRESH, 0, {}, RUNNING, {"owner": 0},
             {"status": None, "error": "owner"}),
            ("outside the folder: root's", FRESH, 0, {}, RUNNING, {"folder_owner": 0},
             {"status": None, "error": "folder"}),
            ("outside the folder: others may write", FRESH, 0, {}, RUNNING,
             {"folder_mode": 0o775}, {"error": "folder"}),
            ("outside the folder: relative", FRESH, 0, {"status_file": "run/status.json"},
             RUNNING, {}, {"error": "folder"}),
            ("outside the folder: dot-dot", FRESH, 0,
             {"status_file": "/etc/../" + self.status.lstrip("/")}, RUNNING, {},
             {"error": "folder"}),
            ("oversized", "{" + " " * STATUS_MAX + "}", 0, {}, RUNNING, {},
             {"status": None, "error": "too-large"}),
            ("a day of history at the cap", widest_history(), 0, {}, RUNNING, {},
             {"error": None}),
            ("daemon stopped, last status kept", FRESH, 500, {}, {}, {},
             {"running": False, "status": STATUS, "error": "not-running",
              "service": {"state": "stopped"}}),
            ("daemon stopped, no status", None, 0, {}, {}, {},
             {"running": False, "status": None, "error": "not-running"}),
            ("crash loop", FRESH, 0, {}, {"main": {
                "running": False, "exit_code": 1, "term_timeout": 10,
                "respawn": {"threshold": 3600, "timeout": 5, "retry": 0}}}, {},
             {"running": False, "error": "not-running", "service": {
                 "state": "respawning", "exit_code": 1, "respawn_timeout": 5}}),
            ("given up", FRESH, 0, {}, {"main": {"running": False, "exit_code": 139}}, {},
             {"service": {"state": "exited", "exit_code": 139}}),
            ("no bus", FRESH, 0, {}, None, {}, {"running": False, "error": "not-running"}),
            ("own file", FRESH, 1000, {"conf_file": OWN, "report_time": "60",
                                       "status_file": "/nowhere"}, RUNNING, {},
             {"status": STATUS, "error": None, "interval": 600, "spool": False}),
            ("own file with a spool", FRESH, 0, {"conf_file": OWN + "spool_dir=/tmp/s\n"},
             RUNNING, {}, {"spool": True}),
            ("own file, stale by its interval", FRESH, 1300, {"conf_file": OWN}, RUNNING, {},
             {"error": "stale"}),
            ("own file without status_file", FRESH, 0, {"conf_file": "[pelmar]\nreport_time=600"},
             RUNNING, {}, {"error": "no-status-file"}),
            ("NTP off", FRESH, 0, {"ntp": "0"}, RUNNING, {}, {"ntp": False}),
            ("NTP on", FRESH, 0, {"ntp": "1"}, RUNNING, {}, {"ntp": True}),
            ("NTP not set", FRESH, 0, {}, RUNNING, {}, {"ntp": None}),
        ]
        for case, text, age, uci, instances, layout, expected in cases:
            with self.subTest(case):
                self.lay_out(text, age, **layout)
                options = dict({"status_file": self.status}, **uci)
                system = {"ntp": {"enabled": options.pop("ntp")}} if "ntp" in uci else {}
                if "conf_file" in uci:
                    with open(own, "w") as f:
                        f.write(uci["conf_file"].format(file=self.status))
                    options["conf_file"] = own
                reply = plugin_call(self.work, {"pelmar": {"main": options}, "system": system},
                                    instances)
                self.assertEqual(set(reply), {"running", "service", "age", "status", "error",
                                              "interval", "spool", "ntp"})
                if reply["status"] is not None and "history" not in reply["status"]:
                    self.assertIn(reply["age"], (age, age + 1))  # a second may pass meanwhile
                for key, value in expected.items():
                    self.assertEqual(reply[key], value, key)
                if case == "a day of history at the cap":
                    self.assertEqual(len(reply["status"]["history"]), 1440)
                    self.assertLessEqual(2 * os.path.getsize(self.status), STATUS_MAX)


if __name__ == "__main__":
    unittest.main()
