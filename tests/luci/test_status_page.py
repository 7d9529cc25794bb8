"""The status page through the real uhttpd, rpcd and LuCI after a real login, in headless
Chromium, with the real daemon under the real procd (tests/openwrt/userland.py): the banner
names failing uploads without a spool and clears once one is delivered, gives the clock's
reason, names a stopped daemon, a crash loop and a daemon waiting for its interface; the
figures are the running daemon's; the chart has a point per window it made; the log shows its
own lines; the restart button gives a new pid, and a read-only login cannot restart. The daemon
reads standard input (procd gives it /dev/null): there is no radio here to capture from."""
import json
import os
import shlex
import subprocess
import sys
import time
import unittest

from browser import CHROMIUM, Browser, add_viewer, in_net

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "openwrt"))
from userland import Userland, missing  # noqa: E402

DAEMON = os.environ.get("PELMAR_DAEMON", "")
SHOTS = os.environ.get("PELMAR_SCREENSHOT_DIR", "")
BUILD = os.environ.get("PELMAR_USERLAND_BUILD") or os.path.join(SHOTS or "/tmp", "userland")
VIEWER = ("viewer", "viewer-pw")  # may read everything, write nothing
BASE = "http://127.0.0.1/cgi-bin/luci"
PORT = 8088
# The daemon's own file: uploads to the test's collector, a report every second, no spool.
OWN = ("[pelmar]\nfull_url=http://127.0.0.1:%d/p\nreport_time=1\nupload_timeout=3\n"
       "status_history=1440\nstatus_file=/var/run/pelmar/status.json\n"
       "clock_synced_file=/var/run/pelmar/clock-synced\n"
       % PORT)
# Refused at start-up (two inputs at once): the daemon ends with status 255, again and again.
BROKEN = OWN + "capture_interface=mon0\ncapture_file=/dev/null\n"
# An interface that is not there: the daemon waits for it.
WAITING = OWN + "capture_interface=mon9\n"
# Takes every POST (204). Until it runs, uploads fail: nothing listens on the port.
COLLECTOR = """
import http.server, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers.get('Content-Length', 0)))
        self.send_response(204)
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.HTTPServer(('127.0.0.1', int(sys.argv[1])), Handler).serve_forever()
"""


class Root:
    """The booted userland with LuCI: the daemon runs from its own file OWN."""

    def __init__(self):
        os.makedirs(BUILD, exist_ok=True)
        extra = os.path.join(BUILD, "status-page-files")
        os.makedirs(os.path.join(extra, "etc"), exist_ok=True)
        for name, text in (("pelmar-test.conf", OWN), ("pelmar-broken.conf", BROKEN),
                           ("pelmar-waiting.conf", WAITING)):
            with open(os.path.join(extra, "etc", name), "w") as f:
                f.write(text)
        self.userland = Userland(BUILD, DAEMON, luci=True, overlays=[extra]).start()
        add_viewer(self.userland, *VIEWER)
        self.run("sh", "-c", "uci set pelmar.main.enabled=1; uci set pelmar.main.conf_file="
                 "/etc/pelmar-test.conf; uci commit pelmar; /etc/init.d/pelmar start")

    def run(self, *command, check=True):
        """A command inside the root: its output."""
        status, out = self.userland.sh(" ".join(shlex.quote(word) for word in command))
        if check and status != 0:
            raise RuntimeError("%s: status %d: %s" % (command, status, out))
        return out


def ready():
    return CHROMIUM and os.access(DAEMON, os.X_OK) and not missing()


@unittest.skipUnless(ready(), "needs Chromium, PELMAR_DAEMON and the OpenWrt userland: %s"
                     % (missing() or "-"))
class StatusPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Root()
        cls.addClassCleanup(cls.root.userland.stop)
        cls.browser = Browser(in_net(cls.root.userland.pid))
        cls.addClassCleanup(cls.browser.close)
        cls.login(*cls.root.userland.login)

    @classmethod
    def login(cls, user, password):
        # The form posts to the page it is on: not the logout's.
        cls.browser.log_in(user, password, [BASE + "/admin/logout", BASE + "/"], 30)
        cls.browser.wait("!!(window.L && L.env && L.env.sessionid) && document.readyState =="
                         " 'complete' && !document.querySelector('#view .spinning')", 30)

    def open_page(self):
        self.browser.open(BASE + "/admin/status/pelmar")
        self.browser.wait("!window.oldPage && !!document.querySelector('#pelmar-figures tr')", 30)

    def pid(self):
        """procd's pid of the running daemon, or None."""
        instance = self.root.userland.instance()
        return instance.get("pid") if instance.get("running") else None

    def wait_running(self, other_than=None, before=None):
        """procd's pid of a running daemon (other than `other_than`) once it has written its
        status (started other than `before`: a jailed daemon's own pid is not procd's)."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            pid, status = self.pid(), self.status_file(check=False)
            if pid and pid != other_than and status.get("started") not in (None, before):
                return pid
            time.sleep(0.2)
        self.fail("the daemon did not start (other than pid %s)" % other_than)

    def problem(self, key):
        """The banner's line `key`, or None."""
        return self.browser.evaluate(
            "(document.querySelector('#pelmar-banner [data-problem=\"%s\"]') || {}).textContent"
            " || null" % key)

    def wait_problem(self, key, words, present=True):
        """Waits for the banner's line `key` with `words` (not present: for none)."""
        self.wait_page(("(t => %s ? t && t.includes(%s) : !t)(%s)"
                           % (json.dumps(present), json.dumps(words),
                              "(document.querySelector('#pelmar-banner [data-problem=\"%s\"]')"
                              " || {}).textContent" % key)), 40)

    def wait_page(self, expression, timeout=20):
        """Waits for `expression`; failing, with what the page shows."""
        try:
            self.browser.wait(expression, timeout)
        except RuntimeError as e:
            self.fail("%s\n%s\n%s" % (e, self.browser.evaluate("document.body.innerText"),
                                        self.root.run("cat", "/var/run/pelmar/status.json")))

    def status_file(self, check=True):
        text = self.root.run("cat", "/var/run/pelmar/status.json", check=check)
        try:
            return json.loads(text)
        except ValueError:
            if check:
                raise
            return {}

    def shoot(self, name):
        """Screenshots at desktop and phone widths; at the phone's, nothing scrolls sideways."""
        self.browser.shoot(name, SHOTS, lambda width: self.wait_page(
            "document.documentElement.scrollWidth <= innerWidth + 0", 10))

    def test_figures_chart_and_uploads(self):
        pid = self.wait_running()
        self.open_page()
        self.browser.evaluate("window.sameDocument = true")
        # Failing uploads without a spool: documents are lost, said once in the banner.
        self.wait_problem("upload", "Without a spool the documents are being lost")
        self.assertIn(self.status_file()["upload"]["error"], self.problem("upload"))
        self.wait_page("document.querySelector('[data-figure=\"running\"] [data-value]')"
                          ".textContent == 'running (pid %d)'" % pid)
        self.assertIn(self.status_file()["version"] + ", started", self.browser.evaluate(
            "document.querySelector('[data-figure=\"version\"] [data-value]').textContent"))
        headline = self.browser.evaluate("document.querySelector('#pelmar-headline').textContent")
        self.assertRegex(headline, r"^\d+ address(es)? in the last window$")
        texts = self.browser.evaluate(
            "[...document.querySelectorAll('#pelmar-banner [data-problem], [data-why]')]"
            ".map(e => e.textContent)")
        self.assertEqual(len(texts), len(set(texts)), "a reason said twice")
        self.assertEqual(self.browser.evaluate("window.pageErrors"), [])
        self.shoot("status-failing")
        # The chart: a point per window the daemon made, following new ones without a reload.
        made = len(self.status_file()["history"])
        self.wait_page("+document.querySelector('[data-chart]').dataset.points > %d" % made)
        points, drawn, last = self.browser.evaluate(
            "(c => [+c.dataset.points, c.querySelector('polyline').points.numberOfItems,"
            " c.dataset.last])(document.querySelector('[data-chart]'))")
        history = self.status_file()["history"]
        self.assertEqual(points, drawn)
        self.assertEqual(points, len([w for w in history if w["end"] <= last]))
        # The clock's reason: NTP not answered yet, or turned off in the system settings.
        self.wait_problem("clock", "NTP has not answered yet")
        self.root.run("sh", "-c", "touch /etc/config/system; uci set system.ntp=timeserver;"
                      " uci set system.ntp.enabled=0; uci commit system")
        self.addCleanup(self.root.run, "sh", "-c", "uci delete system.ntp; uci commit system")
        self.wait_problem("clock", "NTP is disabled in the system settings")
        # A delivered upload clears the line, a synchronised clock its own: nothing is shown.
        collector = subprocess.Popen(in_net(self.root.userland.pid)
                                     + ["python3", "-c", COLLECTOR, str(PORT)])
        self.addCleanup(lambda: (collector.kill(), collector.wait()))
        self.root.run("touch", "/var/run/pelmar/clock-synced")
        self.addCleanup(self.root.run, "rm", "-f", "/var/run/pelmar/clock-synced")
        self.wait_problem("upload", "", present=False)
        self.wait_page("!document.querySelector('#pelmar-banner').children.length")
        self.assertTrue(self.browser.evaluate("window.sameDocument"))
        self.shoot("status-delivered")

    def test_stopped_and_crash_loop(self):
        # (case, commands inside the root, banner line, its words)
        cases = [
            ("stopped", [["/etc/init.d/pelmar", "stop"]], "stopped",
             "pelmar is not running: procd runs no instance of it"),
            ("crash loop", [["uci", "set", "pelmar.main.conf_file=/etc/pelmar-broken.conf"],
                            ["uci", "commit", "pelmar"], ["/etc/init.d/pelmar", "restart"]],
             "crash", "pelmar keeps stopping (exit status 255): procd starts it again every 5 s"),
            ("waiting", [["uci", "set", "pelmar.main.conf_file=/etc/pelmar-waiting.conf"],
                         ["uci", "commit", "pelmar"], ["/etc/init.d/pelmar", "restart"]],
             "waiting", "Waiting for the interface mon9 since "),
            ("stuck", [["sh", "-c", "kill -STOP $(pidof pelmar)"]], "stale",
             "though the daemon writes it every 1 s: it may be stuck"),
        ]
        self.open_page()
        for case, commands, key, words in cases:
            with self.subTest(case):
                self.wait_running()
                for command in commands:
                    self.root.run(*command)
                self.wait_problem(key, words)
                self.assertEqual(self.browser.evaluate(
                    "document.querySelectorAll('#pelmar-banner [data-problem]')[0].dataset"
                    ".problem"), key, "the most serious line comes first")
                self.shoot("status-" + key)
                self.root.run("sh", "-c", "kill -CONT $(pidof pelmar) 2>/dev/null; true")
                self.root.run("uci", "set", "pelmar.main.conf_file=/etc/pelmar-test.conf")
                self.root.run("uci", "commit", "pelmar")
                self.root.run("/etc/init.d/pelmar", "restart")
                self.wait_problem(key, "", present=False)

    def test_log_restart_and_read_only(self):
        pid = self.wait_running()
        self.root.run("logger", "-t", "other", "pelmar[1]: a line of another program")
        self.open_page()
        own = "pelmar[%d]: " % pid
        self.wait_page("document.querySelector('#pelmar-log-lines').textContent.includes(%s)"
                          % json.dumps(own), 20)
        lines = self.browser.evaluate(
            "document.querySelector('#pelmar-log-lines').textContent.split('\\n')")
        self.assertTrue(all(" pelmar[" in line for line in lines), lines)
        self.assertFalse(any("another program" in line or ": jail: " in line for line in lines))
        # Restart: procd runs a new daemon.
        started = self.status_file()["started"]
        self.browser.click("#pelmar-restart")
        self.wait_running(other_than=pid, before=started)
        # A read-only login: the button is disabled and rpcd refuses the call.
        self.login(*VIEWER)
        try:
            pid = self.wait_running()
            self.open_page()
            self.assertTrue(self.browser.evaluate(
                "document.querySelector('#pelmar-restart').disabled"))
            reply = self.browser.evaluate(
                "fetch('/ubus/', {method: 'POST', body: JSON.stringify({jsonrpc: '2.0', id: 1,"
                " method: 'call', params: [L.env.sessionid, 'luci.pelmar', 'restart', {}]})})"
                ".then(r => r.json())")
            self.assertEqual(reply.get("error", {}).get("code"), -32002, reply)
            self.assertEqual(self.pid(), pid)
            self.shoot("status-read-only")
        finally:
            self.login(*self.root.userland.login)


if __name__ == "__main__":
    unittest.main()
