"""The router package's shell scripts under busybox ash: what only stand-ins can reach. The init
script's start_service with procd's and UCI's functions replaced by stubs that record their calls
(every value and path the daemon's file and directories can meet), the NTP hook against links,
and the feed's test.sh with the real binary (the uci-defaults script: test_uci_defaults.py). The
package under the real procd, ujail, validate_data and hotplug is tests/openwrt/test_router.py."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

from daemon import install_command

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "..", "..", "packaging", "openwrt", "pelmar")
FILES = os.path.join(PACKAGE, "files")
INIT = os.path.join(FILES, "pelmar.init")
DEFAULTS = os.path.join(FILES, "pelmar.defaults")
HOTPLUG = os.path.join(FILES, "pelmar.hotplug")
BUSYBOX = shutil.which("busybox")

# procd and UCI as the init script sees them: every call recorded one per line, arguments
# separated by "|"; the sections ($SECTIONS, default main) take their options from the environment
# (OPT_section_name, else OPT_name), checked against the rules the script gives as validate_data
# would (numbers in any base), which names each option it refuses.
STUBS = r'''
record() { printf '%s' "$1" >> "$TRACE"; shift; for a in "$@"; do printf '|%s' "$a" >> "$TRACE"; done; echo >> "$TRACE"; }
procd_open_instance() { record open; }
procd_close_instance() { record close; }
procd_set_param() { record "$@"; }
procd_add_jail() { record jail "$@"; }
procd_add_jail_mount() { record mount "$@"; }
procd_add_jail_mount_rw() { record mount_rw "$@"; }
procd_add_reload_trigger() { record reload_trigger "$@"; }
procd_add_validation() { record validation "$@"; }
chown() { record chown "$@"; [ -z "$REAL_CHOWN" ] || command chown "$@"; }
logger() { while [ "${1#-}" != "$1" ]; do [ "$1" != -t ] || shift; shift; done; echo "pelmar: $*" >&2; }
config_load() { :; }
config_foreach() { fn=$1; shift 2; for s in ${SECTIONS:-main}; do $fn "$s" "$@"; done; }
valid() {
	case "$1" in
	bool) case "$2" in 0|1) return 0 ;; esac; return 1 ;;
	string) return 0 ;;
	file) [ -f "$2" ]; return ;;
	maxlength*) n=${1#*(}; [ "${#2}" -le "${n%)}" ]; return ;;
	or*) case "$1" in *"\"$2\""*) return 0 ;; esac; return 1 ;;
	esac
	case "${2#[-+]}" in 0[xX]*[!0-9a-fA-F]* | 0[xX]) return 1 ;; 0[xX]*) ;; 0*[!0-7]* | '' | *[!0-9]*) return 1 ;; esac
	[ "${#2}" -le 10 ] || return 1
	n=$(($2))
	case "$1" in
	uinteger) [ "$n" -ge 0 ] ;;
	range*) r=${1#*(}; r=${r%)}; [ "$n" -ge "${r%,*}" ] && [ "$n" -le "${r#*,}" ] ;;
	esac
}
uci_load_validate() {
	section=$3; callback=$4; shift 4; result=0
	for rule in "$@"; do
		name=${rule%%:*}; rest=${rule#*:}; type=${rest%%:*}; default=""
		case "$rest" in *:*) default=${rest#*:} ;; esac
		eval "value=\${OPT_${section}_$name-\${OPT_$name-\$default}}"
		if [ -n "$value" ] && ! valid "$type" "$value"; then
			echo "pelmar.$section.$name=$value validates as $type with false" >&2; result=1
		fi
		eval "$name=\$value"
	done
	$callback "$section" "$result"
}
'''


def busybox(*args, **kwargs):
    return subprocess.run([BUSYBOX, *args], capture_output=True, text=True, timeout=20, **kwargs)


FULL = {"enabled": "1", "interface": "mon1", "filter": "type mgt", "full_url":
        "https://collector.example/in?k=a;b=c", "report_time": "30", "max_entry_age": "600",
        "upload_timeout": "20", "verify_tls": "0", "spool_max_kb": "512", "max_devices": "5000",
        "mac_privacy": "1", "mac_secret": "s3cr3t text", "mac_rotation": "daily",
        "min_signal": "-80", "skip_random_macs": "1", "backup_max_files": "10",
        "backup_max_kb": "64"}


# A file of the daemon's (with directories {a} and {b}) and which of them it reads for the key, by
# its parser's rules (inih as the router has it): section [pelmar] alone, by its exact name;
# comment lines and inline comments; an indented line going on with the key before it; a BOM;
# the rest of a line past 199 characters dropped.
SECTION_ROWS = [
    ("backup_dir", "[other]\nbackup_dir = {b}\n[pelmar]\nreport_time = 5\n", None),
    ("spool_dir", "[pelmar]\nspool_dir = {a}\n[other]\nspool_dir = {b}\n", "a"),
    ("backup_dir", "backup_dir = {b}\n[pelmar]\n", None),  # before any section
    ("backup_dir", "[ pelmar ]\nbackup_dir = {b}\n[Pelmar]\nbackup_dir = {b}\n", None),
    ("backup_dir", "[pelmar] ; ours\nbackup_dir : {a} ; c\n;backup_dir = {b}\n#backup_dir = {b}\n", "a"),
    ("backup_dir", "[pelmar ;x]\nbackup_dir = {b}\n", None),  # a comment before "]": no section
    ("backup_dir", "[pelmar]tail\n\tbackup_dir = {a}\n", "a"),  # indented, with no key before it
    ("backup_dir", "[pelmar]\nreport_time = 5\n  backup_dir = {b}\n", None),  # report_time's
    ("backup_dir", "[pelmar]\nbackup_dir =\n  {a} ; c\n", "a"),
    ("backup_dir", "\ufeff[pelmar]\nbackup_dir = {a}\n", "a"),
    ("backup_dir", "[pelmar]\nbackup_dir = {a}\nfull_url = " + "h" * 188 + "backup_dir = {b}\n", "a"),
]


def with_busybox_awk(directory):
    """Puts busybox's awk, the router's, first on PATH in `directory`."""
    os.symlink(BUSYBOX, os.path.join(directory, "awk"))
    return directory + ":" + os.environ["PATH"]


@unittest.skipUnless(BUSYBOX, "busybox is not installed")
class InitScript(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="pelmar-init-")
        os.mkdir(os.path.join(self.work, "bin"))
        self.path = with_busybox_awk(os.path.join(self.work, "bin"))
        self.run_conf = os.path.join(self.work, "etc", "pelmar.conf")
        self.spool = os.path.join(self.work, "spool-pelmar")
        self.backups = os.path.join(self.work, "backups-pelmar")
        self.status = os.path.join(self.work, "run", "pelmar", "status.json")
        self.marker = os.path.join(self.work, "run", "pelmar", "clock-synced")

    def tearDown(self):
        shutil.rmtree(self.work)

    def run_service(self, options, **env):
        """start_service and service_triggers: procd's calls, what was said, the result."""
        trace = os.path.join(self.work, "trace")
        if os.path.exists(trace):
            os.unlink(trace)
        overrides = (f"RUN_DIR={self.work}/etc\nRUN_CONF={self.run_conf}\n"
                     "RUN_USER=${TEST_RUN_USER:-$RUN_USER}\nJAIL=${TEST_JAIL:-/absent/ujail}\n"
                     f"JAIL_TMP={self.work}/jail-tmp\nKEEP_LIST={self.work}/keep.d/pelmar\n")
        script = STUBS + f". {INIT}\n{overrides}start_service\nstatus=$?\nservice_triggers\nexit $status\n"
        # Never the router's own run directory on the machine that runs the test.
        options = dict({"backup_dir": self.backups, "status_file": self.status,
                        "clock_synced_file": self.marker}, **options)
        env = dict(os.environ, TRACE=trace, PATH=self.path, **env,
                   **{f"OPT_{k}": v for k, v in options.items()})
        result = busybox("ash", "-c", script, env=env)
        calls = open(trace).read().splitlines() if os.path.exists(trace) else []
        return [c.split("|") for c in calls], result.stderr, result.returncode

    def conf(self):
        with open(self.run_conf) as f:
            return f.read()

    def test_full_settings_make_the_daemons_file(self):
        calls, errors, status = self.run_service(dict(FULL, spool_dir=self.spool))
        self.assertEqual((status, errors), (0, ""))
        self.assertEqual(self.conf(), (
            "; Made from /etc/config/pelmar at each start of /etc/init.d/pelmar: edit that instead.\n"
            "[pelmar]\ncapture_interface=mon1\ncapture_filter=type mgt\n"
            "full_url=https://collector.example/in?k=a;b=c\nreport_time=30\nmax_entry_age=600\n"
            "upload_timeout=20\nverify_tls=0\n"
            f"spool_dir={self.spool}\nspool_max_kb=512\nmax_devices=5000\nmac_privacy=1\n"
            "mac_secret=s3cr3t text\nmac_rotation=daily\nmin_signal=-80\nskip_random_macs=1\n"
            "count_devices=0\ncount_only=0\n"
            f"backup_dir={self.backups}\nbackup_max_files=10\nbackup_max_kb=64\n"
            f"status_file={self.status}\nclock_synced_file={self.marker}\n"
            "status_history=1440\nuser=pelmar\n"))
        self.assertEqual(os.stat(self.run_conf).st_mode & 0o777, 0o600)
        self.assertEqual(os.listdir(os.path.dirname(self.run_conf)), ["pelmar.conf"])
        owned = [c[3] for c in calls if c[:3] == ["chown", "-h", "pelmar:pelmar"]]
        self.assertTrue(owned[2].startswith(self.run_conf + "."))  # before its rename
        self.assertEqual(owned[:2], [os.path.dirname(self.status), self.spool])
        self.assertEqual(os.stat(os.path.dirname(self.status)).st_mode & 0o777, 0o755)
        with open(os.path.join(FILES, "pelmar.json")) as f:
            capabilities = json.load(f)
        self.assertEqual(capabilities, {s: ["CAP_NET_RAW"] for s in
                                        ("bounding", "effective", "inheritable", "permitted",
                                         "ambient")})

    def test_defaults_and_an_unchanged_configuration_give_the_same_file(self):
        calls, _, _ = self.run_service({"enabled": "1"})
        first = self.conf()
        self.assertEqual(first.split("\n", 1)[1], (
            "[pelmar]\ncapture_interface=mon0\nreport_time=60\nmax_entry_age=300\n"
            "upload_timeout=30\nverify_tls=1\nspool_max_kb=1024\nmax_devices=20000\n"
            f"mac_privacy=0\nskip_random_macs=0\ncount_devices=0\ncount_only=0\n"
            f"backup_dir={self.backups}\n"
            "backup_max_files=200\nbackup_max_kb=2048\n"
            f"status_file={self.status}\nclock_synced_file={self.marker}\n"
            "status_history=1440\nuser=pelmar\n"))
        self.run_service({"enabled": "1"})
        self.assertEqual(self.conf(), first)
        self.run_service({"enabled": "1", "report_time": "61"})
        self.assertNotEqual(self.conf(), first)
        self.run_service({"enabled": "1", "clock_synced_file": "none"})  # no clock check
        self.assertEqual(self.conf(), first.replace(f"clock_synced_file={self.marker}\n", ""))
        self.assertFalse([c for c in calls if c[0] in ("netdev", "env") and "mon0" in c])

    def test_disabled_starts_nothing(self):
        calls, _, status = self.run_service({})
        self.assertEqual(status, 0)
        self.assertNotIn(["open"], calls)
        self.assertFalse(os.path.exists(self.run_conf))

    def test_each_invalid_value_is_refused_with_a_line_naming_it(self):
        cases = [("report_time", "abc"), ("report_time", "-1"), ("verify_tls", "2"),
                 ("spool_max_kb", "0"), ("min_signal", "5"), ("mac_rotation", "weekly"),
                 ("interface", "a-name-of-16-chr"), ("backup_max_kb", "2000000"),
                 ("backup_max_files", "x"), ("conf_file", self.work + "/absent.conf"),
                 ("full_url", "http://a/\nb"), ("full_url", " http://a/"),
                 ("full_url", "http://a/\t"), ("full_url", "http://a/ ;x"),
                 ("full_url", "http://a/" + "x" * 182), ("mac_secret", "a\t;b"),
                 ("filter", "type mgt\n"), ("spool_dir", "var/spool/pelmar"),
                 ("backup_dir", "tmp/pelmar"), ("report_time", "0x3c"), ("max_devices", "0x10"),
                 ("spool_max_kb", "010"), ("upload_timeout", "+5"), ("min_signal", "-070"),
                 ("status_file", "run/status.json"), ("clock_synced_file", "clock-synced"),
                 ("report_time", "2147483648"), ("max_devices", "99999999999")]
        for option, value in cases:
            with self.subTest(option=option, value=value):
                if os.path.exists(self.run_conf):
                    os.unlink(self.run_conf)
                calls, errors, status = self.run_service({"enabled": "1", option: value})
                self.assertNotIn(["open"], calls)
                self.assertNotEqual(status, 0)
                self.assertIn(option, errors.splitlines()[0])
                self.assertFalse(os.path.exists(self.run_conf))
        # The longest value that fits the daemon's line, and ";" without white space before it.
        calls, errors, _ = self.run_service({"enabled": "1", "full_url": "http://a/" + "x" * 181,
                                             "mac_secret": "a;b"})
        self.assertEqual(errors, "")
        self.assertIn(["open"], calls)

    def test_directories_are_readied_without_following_links_or_handing_over_others(self):
        def make(path, mode=0o755, owner=-1):
            os.makedirs(path)
            os.chmod(path, mode)
            os.chown(path, owner, owner)
        # Each row: what is there (b: the row's directory, s: a system directory holding "shadow"),
        # the options, the option a refusal names (None: the daemon starts); 65534 needs root.
        rows = [(lambda b, s: os.symlink(s, b + "/bk"), {}, "backup_dir"),
                (lambda b, s: os.symlink(s, b + "/sp"), {"spool_dir": "{b}/sp"}, "spool_dir"),
                (lambda b, s: open(b + "/bk", "w").close(), {}, "backup_dir"),
                (lambda b, s: make(b + "/bk", 0o777), {}, "backup_dir"),  # others could swap the marker
                (lambda b, s: [make(b + "/bk"), os.symlink(s + "/shadow", b + "/bk/writebackup")], {}, "backup_dir"),
                (lambda b, s: make(b + "/open", 0o777), {"backup_dir": "{b}/open/bk"}, "backup_dir"),
                (lambda b, s: os.symlink(s, b + "/st"), {"status_file": "{b}/st/status.json"}, "status_file"),
                (lambda b, s: [make(b + "/tmp", 0o1777), os.symlink(b + "/tmp", b + "/var")],
                 {"backup_dir": "{b}/tmp/bk", "spool_dir": "{b}/var/new/sp"}, None)] + ([
                (lambda b, s: make(b + "/bk", 0o750, 65534), {}, "backup_dir"),
                (lambda b, s: make(b + "/theirs", 0o755, 65534), {"spool_dir": "{b}/theirs/sp"}, "spool_dir")]
                if os.geteuid() == 0 else [])
        for setup, options, refused in rows:
            with self.subTest(options=options, refused=refused):
                b = tempfile.mkdtemp(dir=self.work)
                make(b + "/system")
                open(b + "/system/shadow", "w").close()
                setup(b, b + "/system")
                options = {k: v.format(b=b) for k, v in
                           dict({"enabled": "1", "backup": "1", "backup_dir": "{b}/bk"}, **options).items()}
                dirs = [options[k] for k in ("backup_dir", "spool_dir") if k in options]
                fresh = [d for d in dirs if not os.path.lexists(d)]
                calls, errors, status = self.run_service(options)
                self.assertEqual((os.listdir(b + "/system"), os.stat(b + "/system").st_mode & 0o7777,
                                  ["open"] in calls, status == 0), (["shadow"], 0o755, not refused, not refused))
                self.assertEqual([d for d in dirs if d in [c[-1] for c in calls if c[0] == "chown"]],
                                 [] if refused else fresh)
                self.assertTrue(refused in errors.splitlines()[0] if refused else errors == "", errors)
                if not refused:
                    self.assertTrue(os.path.isfile(options["backup_dir"] + "/writebackup"))
                    self.assertEqual([os.stat(d).st_mode & 0o7777 for d in fresh],
                                     [0o1770 if d == options["backup_dir"] else 0o700 for d in fresh])

    def test_only_the_first_enabled_section_runs(self):
        calls, errors, _ = self.run_service({"enabled": "1", "second_report_time": "5"}, SECTIONS="main second")
        self.assertEqual((calls.count(["open"]), "report_time=60\n" in self.conf()), (1, True))
        self.assertEqual(errors, "pelmar: section second not started: only one pelmar section runs, and main does\n")

    def test_conf_file_is_used_as_it_is_and_kept_across_upgrades(self):
        own = os.path.join(self.work, "own.conf")
        text = (f"[pelmar]\ncapture_interface = mon7 ; here\nspool_dir = {self.spool} ; s\n"
                f"backup_dir={self.work}/old\nbackup_dir = {self.backups}   ; the later one\n")
        with open(own, "w") as f:
            f.write(text)
        # Jailed (ujail there: any executable) the daemon's directories are the jail's.
        for jail, added in [("/bin/sh", ""), ("", "\n[pelmar]\nuser=pelmar\n")]:
            with self.subTest(jail=jail):
                calls, errors, _ = self.run_service({"enabled": "1", "conf_file": own, "backup": "1",
                                                     "interface": "mon1", "full_url": " ignored"},
                                                    TEST_JAIL=jail)
                self.assertEqual(errors, "")
                self.assertEqual(self.conf(), text + added)
                self.assertEqual(os.stat(self.run_conf).st_mode & 0o777, 0o600)
                self.assertIn(["file", self.run_conf], calls)
                self.assertTrue(os.path.isdir(self.spool))
                self.assertTrue(os.path.exists(os.path.join(self.backups, "writebackup")))
                writable = [c[1] for c in calls if c[0] == "mount_rw"]
                # The file names no status_file: the daemon writes none.
                self.assertEqual(writable, [f"{self.work}/jail-tmp", self.spool, self.backups]
                                 if jail else [])
                with open(os.path.join(self.work, "keep.d", "pelmar")) as f:
                    self.assertEqual(f.read(), own + "\n")

    def test_conf_file_directories_are_those_the_daemon_reads(self):
        for key, text, expected in SECTION_ROWS:
            with self.subTest(text=text):
                base = tempfile.mkdtemp(dir=self.work)
                own = os.path.join(base, "own.conf")
                with open(own, "w", encoding="utf-8") as f:
                    f.write(text.format(a=base + "/a", b=base + "/b"))
                _, errors, status = self.run_service({"enabled": "1", "conf_file": own,
                                                      "backup": "1"})
                self.assertEqual((status, errors), (0, ""))
                self.assertEqual([n for n in "ab" if os.path.isdir(os.path.join(base, n))],
                                 [expected] if expected else [])

    def test_backup_on_makes_the_marker_and_off_removes_it(self):
        os.mkdir(self.backups)
        open(os.path.join(self.backups, "1700000000.dat"), "w").close()
        calls, _, _ = self.run_service({"enabled": "1", "backup": "1"})
        self.assertEqual(sorted(os.listdir(self.backups)), ["1700000000.dat", "writebackup"])
        # Root's marker, readable by all; root's directory keeps its owner and mode.
        self.assertEqual(os.stat(os.path.join(self.backups, "writebackup")).st_mode & 0o777, 0o644)
        self.assertEqual([c for c in calls if c[0] == "chown" and self.backups in c[-1]], [])
        self.run_service({"enabled": "1", "backup": "0"})
        self.assertEqual(os.listdir(self.backups), ["1700000000.dat"])
        if os.geteuid() == 0:  # one made for the daemon's user earlier is taken back, sticky
            os.chown(self.backups, 1, 1)
            calls, errors, _ = self.run_service({"enabled": "1", "backup": "1"},
                                                TEST_RUN_USER="daemon", REAL_CHOWN="1")
            self.assertEqual(errors, "")
            status = os.stat(self.backups)
            self.assertEqual((status.st_uid, status.st_gid, status.st_mode & 0o7777), (0, 1, 0o1770))


# `uci` on PATH for the uci-defaults script: options kept in a JSON file.
@unittest.skipUnless(BUSYBOX, "busybox is not installed")
class NtpHook(unittest.TestCase):
    def source_hook(self, run, action, stratum):
        """Sources the hook as hotplug-call does; what chown was asked (the daemon's user is the
        router's, so nothing is handed over here)."""
        trace = run + ".trace"
        script = f'chown() {{ echo "$*" >> {trace}; }}\n. {HOTPLUG}\necho on\n'
        env = dict(os.environ, ACTION=action, stratum=stratum, PELMAR_RUN_DIR=run)
        result = busybox("ash", "-c", script, env=env)
        self.assertEqual((result.stdout, result.stderr), ("on\n", ""))  # no exit: the next hook runs
        return open(trace).read() if os.path.exists(trace) else ""

    def test_a_link_in_its_place_is_neither_followed_nor_truncated(self):
        with tempfile.TemporaryDirectory() as work:
            run = os.path.join(work, "pelmar")
            os.mkdir(run)
            kept = os.path.join(work, "kept")
            with open(kept, "w") as f:
                f.write("keep")
            for target in (kept, os.path.join(work, "absent")):
                os.symlink(target, os.path.join(run, "clock-synced"))
                self.assertEqual(self.source_hook(run, "stratum", "3"), "")
                os.unlink(os.path.join(run, "clock-synced"))
            self.assertEqual(sorted(os.listdir(work)), ["kept", "pelmar"])
            self.assertEqual(open(kept).read(), "keep")
            self.source_hook(run, "stratum", "3")
            self.assertTrue(os.path.isfile(os.path.join(run, "clock-synced")))


class FeedTest(unittest.TestCase):
    """test.sh is what the packages feed's own checks run on the installed package, on OpenWrt
    itself: kept, and run here under busybox as they would run it."""

    def test_feed_checks_pass_under_busybox_and_say_what_they_check(self):
        with tempfile.TemporaryDirectory(prefix="pelmar-feed-") as work:
            install_command(work)
            env = dict(os.environ, PATH=work + ":" + os.environ["PATH"])
            result = busybox("ash", os.path.join(PACKAGE, "test.sh"), "pelmar", "0.1.0-r1",
                             env=env)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout.splitlines(), [
            "check: 'pelmar --version' prints 'pelmar 0.1.0' and succeeds",
            "check: 'pelmar -V' prints 'pelmar 0.1.0' and succeeds",
            "check: with an empty configuration pelmar says that uploads are off and keeps running",
            "all checks passed"])


if __name__ == "__main__":
    unittest.main()
