"""The router package's shell scripts under busybox ash, as on the router: the init script's
start_service with procd's and UCI's functions replaced by stubs that record their calls, and
the capture wrapper with a fake capture tool and a fake daemon on PATH."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from daemon import wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = os.path.join(HERE, "..", "..", "packaging", "openwrt", "pelmar", "files")
INIT = os.path.join(FILES, "pelmar.init")
WRAPPER = os.path.join(FILES, "pelmar-capture")
BUSYBOX = shutil.which("busybox")
DEFAULT_FILTER = "type mgt or (type data and (dir nods or dir tods))"

# procd and UCI as the init script sees them: every call recorded one per line, arguments
# separated by "|"; the section's options come from the environment (OPT_name), as the real
# uci_load_validate would set them, with the defaults of the rules it is given.
STUBS = r'''
record() { printf '%s' "$1" >> "$TRACE"; shift; for a in "$@"; do printf '|%s' "$a" >> "$TRACE"; done; echo >> "$TRACE"; }
procd_open_instance() { record open; }
procd_close_instance() { record close; }
procd_set_param() { record "$@"; }
procd_add_reload_trigger() { record reload_trigger "$@"; }
procd_add_validation() { record validation "$@"; }
config_load() { :; }
config_foreach() { fn=$1; shift; shift; $fn capture "$@"; }
uci_load_validate() {
	callback=$4; shift 4
	for rule in "$@"; do
		name=${rule%%:*}; rest=${rule#*:}; default=""
		case "$rest" in *:*) default=${rest#*:} ;; esac
		eval "value=\${OPT_$name-\$default}"
		eval "$name=\$value"
	done
	$callback capture "${STATUS:-0}"
}
'''


def busybox(*args, **kwargs):
    return subprocess.run([BUSYBOX, *args], capture_output=True, text=True, timeout=20, **kwargs)


@unittest.skipUnless(BUSYBOX, "busybox is not installed")
class InitScript(unittest.TestCase):
    def run_service(self, options, status=0, own_conf=False):
        with tempfile.TemporaryDirectory(prefix="pelmar-init-") as work:
            trace = os.path.join(work, "trace")
            conf = os.path.join(work, "pelmar.conf")
            with open(conf, "w") as f:
                f.write(f"[pelmar]\nbackup_dir = {work}/backups ; kept in RAM\n")
            override = f"CONF={conf}\n" if own_conf else ""
            script = STUBS + f". {INIT}\n{override}start_service\nservice_triggers\n"
            env = dict(os.environ, TRACE=trace, STATUS=str(status),
                       **{f"OPT_{k}": v for k, v in options.items()})
            result = busybox("ash", "-c", script, env=env)
            self.assertEqual(result.returncode, 0 if status == 0 else result.returncode)
            calls = open(trace).read().splitlines() if os.path.exists(trace) else []
            marked = os.path.exists(os.path.join(work, "backups", "writebackup"))
            return [c.split("|") for c in calls], result.stderr, marked

    def test_disabled_by_default_starts_nothing(self):
        calls, _, _ = self.run_service({})
        self.assertNotIn(["open"], calls)
        self.assertIn(["reload_trigger", "pelmar"], calls)
        self.assertIn(["validation", "validate_pelmar_section"], calls)

    def test_enabled_instance_retries_for_ever_and_watches_its_file_and_interface(self):
        calls, _, marked = self.run_service({"enabled": "1"})
        self.assertEqual(calls[0], ["open"])
        self.assertIn(["command", "/usr/sbin/pelmar-capture", "mon0", DEFAULT_FILTER], calls)
        self.assertIn(["respawn", "3600", "5", "0"], calls)
        self.assertIn(["file", "/etc/pelmar.conf"], calls)
        self.assertIn(["netdev", "mon0"], calls)
        self.assertIn(["env", "PELMAR_BACKUP_MAX_FILES=200", "PELMAR_BACKUP_MAX_DAYS=7"], calls)
        self.assertIn(["stdout", "1"], calls)
        self.assertIn(["close"], calls)
        self.assertFalse(marked)

    def test_interface_and_filter_pass_as_single_arguments(self):
        calls, _, _ = self.run_service({"enabled": "1", "interface": "mon1",
                                        "filter": "-w /tmp/x or 'type mgt'"})
        self.assertIn(["command", "/usr/sbin/pelmar-capture", "mon1", "-w /tmp/x or 'type mgt'"],
                      calls)
        self.assertIn(["netdev", "mon1"], calls)

    def test_backup_option_puts_the_marker_back(self):
        _, _, marked = self.run_service({"enabled": "1", "backup": "1"}, own_conf=True)
        self.assertTrue(marked)

    def test_invalid_settings_start_nothing_and_say_so(self):
        calls, errors, _ = self.run_service({"enabled": "1"}, status=1)
        self.assertNotIn(["open"], calls)
        self.assertIn("invalid settings", errors)


FAKE_TCPDUMP = """#!/bin/sh
for a in "$@"; do printf '%s\\n' "$a"; done > "$WORK/tcpdump.args"
echo "10:00:00.1 -60dBm signal SA:aa:bb:cc:dd:ee:01 Probe Request"
exec sleep 1000
"""
FAKE_PELMAR = """#!/bin/sh
echo $$ > "$WORK/pelmar.pid"
exec cat > "$WORK/pelmar.in"
"""


@unittest.skipUnless(BUSYBOX, "busybox is not installed")
class Wrapper(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="pelmar-wrapper-")
        self.net = os.path.join(self.work, "net")
        os.mkdir(self.net)
        bin_dir = os.path.join(self.work, "bin")
        os.mkdir(bin_dir)
        for name, text in (("tcpdump", FAKE_TCPDUMP), ("pelmar", FAKE_PELMAR)):
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        self.conf = os.path.join(self.work, "pelmar.conf")
        with open(self.conf, "w") as f:
            f.write("[pelmar]\nreport_time = 60\n")
        self.env = dict(os.environ, WORK=self.work, PELMAR_NET_DIR=self.net, TMPDIR=self.work,
                        PELMAR_CONFIG=self.conf, PATH=bin_dir + ":" + os.environ["PATH"])
        self.wrapper = None

    def tearDown(self):
        if self.wrapper and self.wrapper.poll() is None:
            self.wrapper.kill()
            self.wrapper.wait()
        subprocess.run(["pkill", "-f", "sleep 1000"], capture_output=True)
        shutil.rmtree(self.work)

    def start(self, *args, **env):
        self.wrapper = subprocess.Popen([BUSYBOX, "ash", WRAPPER, *args], env=dict(self.env, **env),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def args(self):
        """The fake capture tool's arguments, once it has written them all."""
        path = os.path.join(self.work, "tcpdump.args")
        lines = open(path).read().splitlines() if os.path.exists(path) else []
        return lines if "--" in lines[:-1] else None

    def test_waits_for_a_missing_interface_and_starts_when_it_appears(self):
        self.start("mon0")
        time.sleep(2.5)
        self.assertIsNone(self.args())
        self.assertIsNone(self.wrapper.poll())
        os.mkdir(os.path.join(self.net, "mon0"))
        self.assertTrue(wait_for(self.args, 6))
        self.assertEqual(self.args(), ["-i", "mon0", "-l", "-e", "-n", "-q", "--", DEFAULT_FILTER])
        self.assertTrue(wait_for(lambda: b"SA:aa" in open(os.path.join(self.work, "pelmar.in"), "rb").read()
                                 if os.path.exists(os.path.join(self.work, "pelmar.in")) else False))

    def test_term_is_passed_on_and_nothing_is_left(self):
        os.mkdir(os.path.join(self.net, "mon0"))
        self.start("mon0")
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.work, "pelmar.pid"))))
        daemon = int(open(os.path.join(self.work, "pelmar.pid")).read())
        self.wrapper.send_signal(signal.SIGTERM)
        self.assertEqual(self.wrapper.wait(5), 0)
        self.assertTrue(wait_for(lambda: not os.path.exists(f"/proc/{daemon}"), 5))
        self.assertFalse(subprocess.run(["pgrep", "-f", "sleep 1000"], capture_output=True).stdout)
        self.assertEqual([n for n in os.listdir(self.work) if n.startswith("pelmar-capture.")], [])

    def test_term_while_waiting_for_the_interface_ends_at_once(self):
        self.start("mon9")
        time.sleep(0.5)
        self.wrapper.send_signal(signal.SIGTERM)
        self.assertEqual(self.wrapper.wait(3), 0)
        self.assertIsNone(self.args())

    def test_no_option_is_taken_from_the_filter(self):
        os.mkdir(os.path.join(self.net, "mon0"))
        for filter_text in ["-w /tmp/pelmar-owned", "--help", "ether host 'a' and (type mgt)"]:
            self.start("mon0", filter_text)
            self.assertTrue(wait_for(self.args, 5))
            self.assertEqual(self.args()[-2:], ["--", filter_text])
            self.wrapper.send_signal(signal.SIGTERM)
            self.wrapper.wait(5)
            os.unlink(os.path.join(self.work, "tcpdump.args"))

    def test_backups_are_kept_within_their_limits(self):
        backups = os.path.join(self.work, "backups")
        os.mkdir(backups)
        now = int(time.time())
        names = [f"{now - i * 60}.dat" for i in range(6)] + ["writebackup", "notes.txt"]
        for name in names:
            open(os.path.join(backups, name), "w").close()
        old = os.path.join(backups, f"{now - 5 * 60}.dat")
        os.utime(old, (now - 3 * 86400, now - 3 * 86400))
        with open(self.conf, "a") as f:
            f.write(f"backup_dir = {backups} ; here\n")
        os.mkdir(os.path.join(self.net, "mon0"))
        self.start("mon0", PELMAR_BACKUP_MAX_FILES="3", PELMAR_BACKUP_MAX_DAYS="2")
        expected = sorted([f"{now - i * 60}.dat" for i in range(3)] + ["writebackup", "notes.txt"])
        self.assertTrue(wait_for(lambda: sorted(os.listdir(backups)) == expected, 6),
                        sorted(os.listdir(backups)))


if __name__ == "__main__":
    unittest.main()
