"""The package's uci-defaults script under busybox ash with a stand-in `uci`: the secret made
once, an earlier version's settings imported once and as the daemon read them."""
import json
import os
import shutil
import sys
import tempfile
import unittest

from test_package import BUSYBOX, DEFAULTS, SECTION_ROWS, busybox, with_busybox_awk

FAKE_UCI = r'''#!PYTHON
import json, os, sys
store = os.environ["UCI_STORE"]
data = json.load(open(store))
args = [a for a in sys.argv[1:] if a != "-q"]
if args[0] == "get":
    if args[1] not in data:
        sys.exit(1)
    print(data[args[1]])
elif args[0] == "set":
    key, value = args[1].split("=", 1)
    data[key] = value
elif args[0] == "delete":
    data = {k: v for k, v in data.items() if k != args[1] and not k.startswith(args[1] + ".")}
elif args[0] == "commit":
    data["committed"] = "1"
json.dump(data, open(store, "w"))
'''.replace("PYTHON", sys.executable)


@unittest.skipUnless(BUSYBOX, "busybox is not installed")
class UciDefaults(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="pelmar-defaults-")
        os.mkdir(os.path.join(self.work, "bin"))
        uci = os.path.join(self.work, "bin", "uci")
        with open(uci, "w") as f:
            f.write(FAKE_UCI)
        os.chmod(uci, 0o755)
        self.path = with_busybox_awk(os.path.join(self.work, "bin"))
        self.store = os.path.join(self.work, "store.json")
        self.old = os.path.join(self.work, "pelmar.conf")

    def tearDown(self):
        shutil.rmtree(self.work)

    def run_defaults(self, options):
        with open(self.store, "w") as f:
            json.dump(options, f)
        env = dict(os.environ, UCI_STORE=self.store, PELMAR_OLD_CONF=self.old,
                   PATH=self.path)
        result = busybox("ash", DEFAULTS, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.said = result.stdout
        with open(self.store) as f:
            return json.load(f)

    def test_a_random_secret_is_made_once_and_kept(self):
        options = self.run_defaults({"pelmar.main": "pelmar"})
        secret = options["pelmar.main.mac_secret"]
        self.assertRegex(secret, r"^[A-Za-z0-9]{40}$")
        self.assertEqual(options["committed"], "1")
        self.assertEqual(self.run_defaults(options)["pelmar.main.mac_secret"], secret)
        self.assertNotEqual(self.run_defaults({})["pelmar.main.mac_secret"], secret)

    def test_an_earlier_versions_settings_are_imported_once(self):
        with open(self.old, "w") as f:
            f.write("; old\n[pelmar]\nreport_time = 60\ndebug = 3\nshow_stats = 1\n"
                    "full_url = https://c.example/p?a=1 ; the collector\nbackup_dir = /tmp/x\n"
                    "report_time=90\nmac_secret = kept secret\n")
        options = self.run_defaults({"pelmar.capture": "capture", "pelmar.capture.enabled": "1",
                                     "pelmar.capture.interface": "mon1",
                                     "pelmar.capture.backup": "1",
                                     "pelmar.capture.backup_max_days": "7"})
        self.assertEqual({k: v for k, v in options.items() if k.startswith("pelmar.")}, {
            "pelmar.main": "pelmar", "pelmar.main.enabled": "1", "pelmar.main.interface": "mon1",
            "pelmar.main.backup": "1", "pelmar.main.full_url": "https://c.example/p?a=1",
            "pelmar.main.report_time": "90", "pelmar.main.backup_dir": "/tmp/x",
            "pelmar.main.mac_secret": "kept secret"})
        self.assertFalse(os.path.exists(self.old))
        self.assertTrue(os.path.exists(self.old + ".imported"))
        again = self.run_defaults(dict(options, **{"pelmar.main.report_time": "5"}))
        self.assertEqual(again["pelmar.main.report_time"], "5")

    def test_earlier_values_are_imported_as_the_daemon_read_them_or_dropped(self):
        # Each row: key, earlier value, the option imported (None: dropped); a line for each change.
        rows = [("report_time", "60s", "60"), ("report_time", "0x3c", "0"), ("max_entry_age", "007", "7"),
                ("upload_timeout", "-1", None), ("spool_max_kb", "0", None), ("spool_max_kb", "+20kb", "20"),
                ("max_devices", "12345678901", None), ("min_signal", "-80dBm", "-80"),
                ("min_signal", "-151", None), ("verify_tls", "yes", "0"), ("mac_privacy", "2", "1"),
                ("mac_rotation", "weekly", "none"), ("mac_rotation", "daily", "daily"),
                ("spool_dir", "var/spool", None), ("full_url", "http://a/" + "x" * 182, None)]
        for key, old, new in rows:
            with self.subTest(key=key, old=old):
                with open(self.old, "w") as f:
                    f.write(f"[pelmar]\n{key} = {old}\n")
                self.assertEqual(self.run_defaults({}).get("pelmar.main." + key), new)
                self.assertEqual(len([x for x in self.said.splitlines() if key in x]), int(new != old))

    def test_only_what_the_daemon_read_is_imported(self):
        for key, text, expected in SECTION_ROWS:
            with self.subTest(text=text):
                with open(self.old, "w", encoding="utf-8") as f:
                    f.write(text.format(a="/a", b="/b"))
                options = self.run_defaults({})
                self.assertEqual(options.get("pelmar.main." + key), expected and "/" + expected)

    def test_an_operators_own_file_is_left_alone(self):
        with open(self.old, "w") as f:
            f.write("[pelmar]\nreport_time = 90\n")
        options = self.run_defaults({"pelmar.main": "pelmar",
                                     "pelmar.main.conf_file": self.old})
        self.assertNotIn("pelmar.main.report_time", options)
        self.assertTrue(os.path.exists(self.old))


if __name__ == "__main__":
    unittest.main()
