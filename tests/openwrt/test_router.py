"""The package on OpenWrt's real service userland (procd, ubus, uci, validate_data, logd, and
ujail where present; rpcd for the status plugin), with the daemon built for this machine, a
radiotap interface in the root's network namespace and an HTTP receiver on its loopback. Each
check runs with /sbin/ujail present and with it removed."""
import json
import os
import re
import shlex
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from frames import probe_request, simple_radio  # noqa: E402
from userland import Userland, missing  # noqa: E402

BINARY = os.environ.get("PELMAR_BINARY", os.path.join(HERE, "..", "..", "build", "pelmar"))
BUILD = os.environ.get("PELMAR_OPENWRT_BUILD",
                       os.path.join(HERE, "..", "..", "build", "openwrt-userland"))
CAP_NET_RAW = 1 << 13
PORT = 8080
# Keeps every POSTed body as a file of its own (named in arrival order) in a host directory.
RECEIVER = r'''
import http.server, os, sys
folder = sys.argv[2]
class Keep(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        body = self.rfile.read(min(max(length, 0), 1 << 20))
        name = os.path.join(folder, "%06d" % len(os.listdir(folder)))
        with open(name + ".part", "wb") as f:
            f.write(body)
        os.rename(name + ".part", name + ".json")
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Keep)
open(os.path.join(folder, "ready"), "w").close()
server.serve_forever()
'''
# The daemon's process: the instance itself, or the one ujail runs.
DAEMON_PID = ('p=$(ubus call service list \'{"name":"pelmar"}\' | jsonfilter -e "@.pelmar.instances'
              '[*].pid"); [ -n "$p" ] || exit 1; [ -x /sbin/ujail ] && '
              'p=$(cat /proc/$p/task/$p/children); echo $p')


def station(n):
    return f"02:00:00:00:00:{n:02x}"


class Router:
    """A booted root with the receiver running: the checks' shared steps."""

    def __init__(self, test, userland, inbox):
        self.test, self.u, self.inbox = test, userland, inbox

    def sh(self, command, expect=0):
        rc, out = self.u.sh(command)
        if expect is not None:
            self.test.assertEqual(rc, expect, f"{command}: {out}")
        return out

    def documents(self):
        found = []
        for name in sorted(os.listdir(self.inbox)):
            if name.endswith(".json"):
                with open(os.path.join(self.inbox, name)) as f:
                    found.append(json.load(f))
        return found

    def daemon_pid(self):
        rc, out = self.u.sh(DAEMON_PID)
        return int(out) if rc == 0 and out.strip().isdigit() else None

    def new_daemon(self, old):
        """The daemon's pid once it differs from `old` and the daemon has written its status."""
        def ready():
            pid = self.daemon_pid()
            return pid if pid and pid != old and self.status().get("pid") else None
        pid = self.u.wait(ready, 20)
        self.test.assertTrue(pid, self.u.logread())
        return pid

    def status(self):
        rc, out = self.u.sh("cat /var/run/pelmar/status.json")
        try:
            return json.loads(out) if rc == 0 else {}
        except ValueError:  # caught between two writes
            return {}

    def proc(self, pid):
        out = self.sh(f"cat /proc/{pid}/status")
        return {k: v.split() for k, v in (line.split(":", 1) for line in out.splitlines())}

    def reload(self, *settings):
        """uci set of each setting, commit, reload_config; waits until the init script ran
        again (it renames a new daemon's file into place each time)."""
        before = self.sh("ls -i /var/etc/pelmar.conf")
        self.sh("".join(f"uci set pelmar.main.{shlex.quote(s)}; " for s in settings) +
                "uci commit pelmar; reload_config")
        return self.u.wait(lambda: self.u.sh("ls -i /var/etc/pelmar.conf")[1] != before, 15)

    def heard(self, mac, radio, lowest=1):
        """Sends probe requests from `mac` until a document has it with `lowest` frames."""
        def counted():
            radio.send(simple_radio(-50) + probe_request(mac))
            return any(r["mac"] == mac and r["count"] >= lowest
                       for d in self.documents() for r in d.get("data", []))
        return self.u.wait(counted, 20, 0.3)


@unittest.skipIf(missing(), missing())
@unittest.skipUnless(os.path.exists(BINARY), f"no daemon at {BINARY}")
class Package(unittest.TestCase):
    def test_the_service_under_procd(self):
        # With ujail the status plugin is checked under the real rpcd too.
        for ujail in (True, False):
            with self.subTest(ujail=ujail), tempfile.TemporaryDirectory() as inbox, \
                    tempfile.TemporaryDirectory() as overlay:
                # A hook after the package's: each event's line once the package's hook has run.
                hooks = os.path.join(overlay, "etc", "hotplug.d", "ntp")
                os.makedirs(hooks)
                with open(os.path.join(hooks, "99-seen"), "w") as f:
                    f.write('echo "$ACTION $stratum" >> /tmp/ntp-seen\n')
                with Userland(BUILD, BINARY, ujail=ujail, luci=ujail, overlays=[overlay]) as u:
                    server = u.in_net([sys.executable, "-c", RECEIVER, str(PORT), inbox])
                    try:
                        self.assertTrue(u.wait(lambda: os.path.exists(os.path.join(inbox, "ready"))))
                        with u.radio("mon0") as radio:
                            self.check(Router(self, u, inbox), radio, ujail)
                    finally:
                        server.kill()
                        server.wait()

    def check(self, r, radio, jailed):
        self.check_ntp_hook_before_start(r)
        pid = self.check_start(r, radio, jailed)
        pid = self.check_respawn_and_reload(r, pid)
        self.check_clock_marker(r)
        if jailed:
            self.check_status_plugin(r)
        self.check_conf_file(r, pid)
        self.check_stop(r)

    def check_ntp_hook_before_start(self, r):
        # As procd runs hotplug.d/ntp for ntpd's events; the folder is missing at first.
        cases = [("stratum", "16", False), ("periodic", "16", False), ("periodic", "", False),
                 ("step", "2", False), ("periodic", "3", True), ("stratum", "2", True)]
        for action, stratum, made in cases:
            with self.subTest(action=action, stratum=stratum):
                r.sh("rm -rf /var/run/pelmar")
                env = json.dumps({"env": [f"ACTION={action}", f"stratum={stratum}"]})
                r.sh(f"rm -f /tmp/ntp-seen; ubus call hotplug.ntp call '{env}'")
                self.assertTrue(r.u.wait(lambda: r.u.sh("cat /tmp/ntp-seen")[1] ==
                                         f"{action} {stratum}\n"))
                rc, out = r.u.sh("ls -ld /var/run/pelmar /var/run/pelmar/clock-synced")
                self.assertEqual(rc == 0, made, out)
                if made:
                    self.assertRegex(out, r"drwxr-xr-x\s+\d+ pelmar\s+pelmar .*/var/run/pelmar\n")
        r.sh("rm -rf /var/run/pelmar")

    def check_start(self, r, radio, jailed):
        # The resolver's files as OpenWrt lays them out; the endpoint is known by name.
        r.sh("mkdir -p /tmp/resolv.conf.d && echo 'nameserver 127.0.0.1' > "
             "/tmp/resolv.conf.d/resolv.conf.auto && ln -s resolv.conf.d/resolv.conf.auto "
             "/tmp/resolv.conf && ln -s /tmp/resolv.conf /etc/resolv.conf && "
             "echo '127.0.0.1 localhost collector.lan' > /etc/hosts")
        r.sh(f"uci set pelmar.main.enabled=1; uci set pelmar.main.full_url=http://collector.lan:{PORT}/in;"
             " uci set pelmar.main.report_time=1; uci commit pelmar;"
             " /etc/init.d/pelmar enable && /etc/init.d/pelmar start")
        self.assertTrue(r.sh("ls /etc/rc.d").count("S95pelmar"))
        pid = r.new_daemon(None)
        fields = r.proc(pid)
        self.assertEqual({key: fields[key] for key in ("Uid", "Gid", "NoNewPrivs")},
                         {"Uid": [r.sh("id -u pelmar").strip()] * 4,
                          "Gid": [r.sh("id -g pelmar").strip()] * 4, "NoNewPrivs": ["1"]})
        # The capture capability in effect; the ambient set holds that one at most.
        self.assertEqual([int(fields[key][0], 16) for key in ("CapEff", "CapPrm", "CapAmb")],
                         [CAP_NET_RAW, CAP_NET_RAW, int(fields["CapAmb"][0], 16) & CAP_NET_RAW])
        self.assertEqual(bool(r.u.instance().get("jail")), jailed)
        if jailed:  # what curl needs for https is in the daemon's view; the rest of / is not
            seen = f"/proc/{pid}/root"
            r.sh(f"ls {seen}/usr/bin/curl {seen}/bin/sh {seen}/etc/ssl/certs/ca-certificates.crt")
            self.assertEqual(r.sh(f"ls {seen}/etc").split(), sorted(
                ["group", "hosts", "nsswitch.conf", "passwd", "resolv.conf", "ssl"]))
        self.assertTrue(r.heard(station(1), radio, 3), r.u.logread())
        status = r.u.wait(lambda: r.status().get("capture", {}).get("frames") and r.status())
        self.assertEqual(status["capture"]["state"], "capturing")
        self.assertEqual(status["capture"]["source"], "mon0")
        self.assertIn("history", status)  # the day's windows, as the service asks
        # Outside the jail the spool and backups are where the package puts them.
        self.assertEqual(r.sh("ls -ld /var/spool/pelmar").split()[2], "pelmar")
        return pid

    def check_respawn_and_reload(self, r, pid):
        r.sh(f"kill -KILL {pid}")
        pid = r.new_daemon(pid)
        self.assertTrue(r.reload("report_time=2"), r.u.logread())
        pid = r.new_daemon(pid)
        self.assertIn("report_time=2\n", r.sh("cat /var/etc/pelmar.conf"))
        # The daemon's file unchanged: the same process.
        self.assertTrue(r.reload("note=not the daemon's"))
        self.assertEqual(r.daemon_pid(), pid)
        # Refused by validate_data: what runs keeps running, and the log says why.
        r.sh("uci set pelmar.main.report_time=often; uci commit pelmar; reload_config")
        self.assertTrue(r.u.wait(lambda: "invalid settings in /etc/config/pelmar" in r.u.logread()))
        self.assertIn("report_time=often", r.u.logread())
        self.assertEqual(r.daemon_pid(), pid)
        self.assertTrue(r.reload("report_time=1"))
        return r.new_daemon(pid)

    def check_clock_marker(self, r):
        self.assertTrue(r.u.wait(lambda: any(d.get("clockSynced") is False for d in r.documents())))
        r.sh("ubus call hotplug.ntp call '{\"env\":[\"ACTION=stratum\",\"stratum=2\"]}'")
        self.assertTrue(r.u.wait(lambda: r.u.sh("ls /var/run/pelmar/clock-synced")[0] == 0))
        # The next report says nothing of the clock (spooled earlier ones may still come).
        self.assertTrue(r.u.wait(lambda: any("clockSynced" not in d for d in r.documents())))

    def check_status_plugin(self, r):
        answer = json.loads(r.sh("ubus call luci.pelmar getStatus"))
        self.assertTrue(answer["running"])
        self.assertIsInstance(answer["age"], int)
        self.assertEqual(answer["status"]["capture"]["state"], "capturing")
        # Through uhttpd's JSON-RPC: root's session has the app's ACL; one without it is refused.
        user, password = r.u.login
        root = json.loads(r.sh("ubus call session login " + shlex.quote(json.dumps(
            {"username": user, "password": password}))))["ubus_rpc_session"]
        bare = json.loads(r.sh("ubus call session create '{\"timeout\":300}'"))["ubus_rpc_session"]
        r.sh("ubus call session grant " + shlex.quote(json.dumps(
            {"ubus_rpc_session": bare, "scope": "ubus", "objects": [["luci", "getVersion"]]})))
        for session, allowed in [(root, True), (bare, False)]:
            call = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "call",
                               "params": [session, "luci.pelmar", "getStatus", {}]})
            out = r.u.in_net(["curl", "-s", "-d", call, "http://127.0.0.1/ubus"],
                             stdout=-1).communicate(timeout=20)[0]
            reply = json.loads(out)
            if allowed:
                self.assertEqual(reply["result"][0], 0, reply)
                self.assertTrue(reply["result"][1]["running"])
            else:
                self.assertEqual(reply["error"]["code"], -32002, reply)

    def check_conf_file(self, r, pid):
        # The daemon's file as the package writes it, by hand.
        r.sh("grep -v '^;' /var/etc/pelmar.conf | grep -v '^user=' > /etc/own.conf")
        r.sh("uci set pelmar.main.conf_file=/etc/own.conf; uci commit pelmar")
        for owner, mode, why in [("pelmar:root", "600", "belongs to user"),
                                 ("root:pelmar", "620", "is writable by others than root"),
                                 ("root:root", "606", "is writable by others than root")]:
            with self.subTest(owner=owner, mode=mode):
                line = f"option conf_file refused: /etc/own.conf {why}"
                seen = r.u.logread().count(line)
                # What procd runs on a change of the configuration.
                r.sh(f"chown {owner} /etc/own.conf; chmod {mode} /etc/own.conf; "
                     "/etc/init.d/pelmar reload", None)
                self.assertTrue(r.u.wait(lambda: r.u.logread().count(line) > seen), r.u.logread())
                self.assertEqual(r.daemon_pid(), pid)
        r.sh("chown root:root /etc/own.conf; chmod 600 /etc/own.conf; /etc/init.d/pelmar reload")
        self.assertEqual(r.sh("cat /lib/upgrade/keep.d/pelmar"), "/etc/own.conf\n")
        # The package's own settings again.
        r.sh("uci delete pelmar.main.conf_file; uci commit pelmar; /etc/init.d/pelmar reload")
        self.assertFalse(r.u.sh("ls /lib/upgrade/keep.d/pelmar")[0] == 0)

    def check_stop(self, r):
        started = time.monotonic()
        r.sh("/etc/init.d/pelmar stop")
        gone = r.u.wait(lambda: not re.search(r"pelmar|ujail|curl", r.sh("ps w | grep -v grep")), 8)
        self.assertTrue(gone, r.sh("ps w"))
        self.assertLess(time.monotonic() - started, 8)
        self.assertFalse(r.u.instance())


if __name__ == "__main__":
    unittest.main()
