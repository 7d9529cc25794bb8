"""The app's pages in headless Chromium against a stand-in router that serves LuCI's files with
the app's over them and decides access from the app's menu and ACL files: the status page shows
a status file's figures, follows it without a reload and says why when something is missing;
the settings page saves typed values through Save & Apply, refuses what the init script would
refuse, and changes nothing for a read-only login. A screenshot of each page is kept."""
import json
import os
import tempfile
import time
import unittest
from datetime import datetime, timedelta, timezone

from browser import CHROMIUM, Browser
from router import Router

UCODE = os.environ.get("PELMAR_UCODE", "")
SHARED_LUCI = os.environ.get("PELMAR_SHARED_LUCI", "")
SHOTS = os.environ.get("PELMAR_SCREENSHOT_DIR", "")
READY = ("!window.oldPage && "
         "!!document.querySelector('#view [data-figure=\"running\"], #view .cbi-page-actions')")


def stamp(when):
    return when.strftime("%Y-%m-%dT%H:%M:%S+00:00")


def status(frames, updated, devices=7, upload=None, spool=(0, 0), synced=True,
           state="capturing"):
    return {"version": "1.4.0", "updated": stamp(updated),
            "started": "2026-12-08T07:12:00+00:00", "pid": 1234,
            "capture": {"state": state, "source": "mon0", "frames": frames, "dropped": 3},
            "window": {"end": stamp(updated), "devices": devices, "addresses": 130},
            "table": {"records": 412},
            "upload": upload or {"last": stamp(updated), "ok": True, "status": 200,
                                 "error": None, "failures": 0},
            "spool": {"files": spool[0], "bytes": spool[1]},
            "clock": {"synced": synced}}


def field(name):
    return '[id="widget.cbid.pelmar.main.%s"]' % name


@unittest.skipUnless(CHROMIUM, "Chromium is not installed")
@unittest.skipUnless(os.access(UCODE, os.X_OK), "PELMAR_UCODE names no ucode interpreter")
@unittest.skipUnless(os.path.isdir(SHARED_LUCI), "PELMAR_SHARED_LUCI names no LuCI files")
class Pages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = Browser()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()

    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="pelmar-luci-")
        self.addCleanup(self.work.cleanup)
        self.status_file = os.path.join(self.work.name, "status.json")
        self.router = Router(SHARED_LUCI, UCODE, self.work.name).__enter__()
        self.addCleanup(self.router.__exit__)
        self.router.uci["pelmar"]["main"].update({
            "enabled": "1", "interface": "mon0", "full_url": "https://collector.example/p",
            "report_time": "60", "verify_tls": "1", "spool_max_kb": "1024",
            "mac_rotation": "none", "status_file": self.status_file})

    def write_text(self, text, age=0):
        temporary = self.status_file + ".new"
        with open(temporary, "w") as f:
            f.write(text)
        then = time.time() - age
        os.utime(temporary, (then, then))
        os.replace(temporary, self.status_file)

    def write_status(self, document, age=0):
        self.write_text(json.dumps(document), age)

    def open(self, path, session="admin"):
        self.browser.open(self.router.page(path, session))
        self.browser.wait(READY, timeout=30, what="the view")

    def shot(self, name):
        if SHOTS:
            self.browser.screenshot(os.path.join(SHOTS, name))

    def figure(self, key):
        """The text of a status figure and its reason, "value | why"."""
        return self.browser.evaluate(
            "(() => { const r = document.querySelector('[data-figure=\"%s\"]'); if (!r) return "
            "null; const w = r.querySelector('[data-why]'); return r.querySelector("
            "'[data-value]').textContent + (w ? ' | ' + w.textContent : ''); })()" % key)

    def banner(self):
        return self.browser.evaluate(
            "(document.querySelector('[data-figure=\"banner\"]') || {}).textContent || ''")

    def assert_no_bare_rpc_error(self):
        text = self.browser.evaluate("document.body.innerText")
        self.assertNotIn("RPCError", text)
        self.assertNotIn("-32", text)

    # -- the status page --

    def test_status_shows_the_file_and_follows_it(self):
        start = datetime(2026, 12, 8, 19, 0, 0, tzinfo=timezone.utc)
        self.write_status(status(123456, start))
        self.open("admin/status/pelmar")
        expected = {
            "running": "running", "capture": "capturing from mon0",
            "frames": "123456", "dropped": "3", "devices": "7", "addresses": "130",
            "records": "412", "upload": "delivered at 2026-12-08T19:00:00+00:00 (HTTP 200)",
            "clock": "synchronised", "version": "1.4.0, pid 1234, started 2026-12-08T07:12:00+00:00"}
        for key, value in expected.items():
            self.assertEqual(self.figure(key), value, key)
        self.assertRegex(self.figure("rate"), r"^— \| measuring")
        self.assertRegex(self.figure("spool"), r"^0 files, 0 bytes \| no spool: spool_dir is not set")
        # Seconds since the file was written: a slow start of the page may take a few.
        self.assertRegex(self.figure("age"), r"^[0-9] s$")
        self.assertEqual(self.banner(), "")

        # A later status: the page takes it at its next poll, without a reload.
        self.browser.evaluate("window.notReloaded = true")
        upload = {"last": stamp(start + timedelta(seconds=10)), "ok": False, "status": 503,
                  "error": "Uploads failing: HTTP 503", "failures": 2}
        self.write_status(status(124456, start + timedelta(seconds=10), devices=0,
                                 upload=upload, spool=(2, 3072), synced=False))
        self.browser.wait("document.querySelector('[data-figure=\"frames\"] [data-value]')"
                          ".textContent == '124456'", timeout=15, what="the new status")
        self.assertTrue(self.browser.evaluate("window.notReloaded === true"))
        self.assertEqual(self.figure("rate"), "100.0")
        self.assertEqual(self.figure("upload"),
                         "failed at 2026-12-08T19:00:10+00:00: Uploads failing: HTTP 503 | HTTP 503")
        self.assertEqual(self.figure("failures"), "2")
        self.assertEqual(self.figure("spool"), "2 files, 3.0 KiB")
        self.assertRegex(self.figure("devices"), r"^0 \| no device heard in that window")
        self.assertRegex(self.figure("clock"), r"^not synchronised \| NTP has not answered")
        self.shot("luci-status.png")
        self.assertEqual(self.browser.page_errors(), [])

    def test_status_says_why_figures_are_missing(self):
        now = datetime.now(timezone.utc)
        # (case, set-up, banner expected, figures expected)
        cases = [
            ("daemon down, enabled", lambda: setattr(self.router, "running", False),
             r"^pelmar is not running\. It is enabled but procd runs no instance",
             {"running": r"^not running \| pelmar is not running: procd has no running instance",
              "rate": r"\| pelmar is not running"}),
            ("daemon down, disabled", lambda: (setattr(self.router, "running", False),
                                               self.router.uci["pelmar"]["main"].update(enabled="0")),
             r"^pelmar is not running: it is not enabled\. Enable it under Services",
             {"devices": r"^— \| pelmar is not running: it is not enabled"}),
            ("file missing", lambda: None,
             r"^No status yet: pelmar runs but has not written its status file",
             {"frames": r"^— \| the daemon has written no status yet",
              "upload": r"^— \| the daemon has written no status yet"}),
            ("stale", lambda: self.write_status(status(5, now), age=300),
             r"^The status cannot be trusted: status is 30[01] s old: the daemon may be stuck\.$",
             {"age": r"^30[01] s \| status is 30[01] s old"}),
            ("broken", lambda: self.write_text('{"version": "1.'),
             r"^The status cannot be trusted: .*status\.json is not JSON",
             {}),
            ("waiting, no upload URL, no clock check", lambda: (
                self.router.uci["pelmar"]["main"].pop("full_url"),
                self.write_status(dict(status(0, now, state="waiting"),
                                       upload={"last": None, "ok": None, "status": None,
                                               "error": None, "failures": 0},
                                       clock={"synced": None}))),
             r"^$",
             {"capture": r"^waiting for mon0 \| waiting for mon0: the interface is missing or down",
              "frames": r"^0 \| waiting for mon0",
              "upload": r"^— \| uploads are off: no full_url is set",
              "clock": r"^— \| not checked: clock_synced_file is not set"}),
        ]
        for case, prepare, banner, figures in cases:
            with self.subTest(case):
                self.router.running = True
                self.router.uci["pelmar"]["main"].update(enabled="1",
                                                         full_url="https://collector.example/p")
                if os.path.exists(self.status_file):
                    os.remove(self.status_file)
                prepare()
                self.open("admin/status/pelmar")
                self.assertRegex(self.banner(), banner)
                for key, pattern in figures.items():
                    self.assertRegex(self.figure(key), pattern, key)
                self.assert_no_bare_rpc_error()
                if case == "stale":
                    self.shot("luci-status-stale.png")

    def test_failing_call_says_what_is_missing(self):
        # (case, how the router fails the call, words expected)
        cases = [
            ("no plugin", lambda obj: obj != "luci.pelmar",
             "rpcd does not know the object luci.pelmar"),
        ]
        for case, known, words in cases:
            with self.subTest(case):
                original = self.router.call
                self.router.call = lambda sid, obj, m, a: original(sid, obj, m, a) if known(obj) else None
                self.addCleanup(setattr, self.router, "call", original)
                self.open("admin/status/pelmar")
                self.assertIn(words, self.banner())
                self.assertEqual(self.figure("running"),
                                 "— | unknown: the status could not be read (see above)")
                self.assert_no_bare_rpc_error()
        # A login whose ACL lost the group after the page was served.
        self.open("admin/status/pelmar")
        self.router.sessions["admin"].read = ("luci-base", "unauthenticated")
        self.browser.wait("(document.querySelector('[data-figure=\"banner\"]') || {})"
                          ".textContent.includes('lacks the access group luci-app-pelmar')",
                          timeout=15, what="the words for a refused call")
        self.assert_no_bare_rpc_error()

    # -- the settings page --

    def set_calls(self):
        return [args for sid, obj, method, args in self.router.calls
                if obj == "uci" and method in ("set", "delete", "add", "rename")]

    def tab(self, name):
        self.browser.click('.cbi-tabmenu li[data-tab="%s"] a' % name)
        self.browser.wait("document.querySelector('.cbi-tabmenu li[data-tab=\"%s\"]')"
                          ".classList.contains('cbi-tab')" % name)

    def save_and_apply(self):
        self.browser.click('.cbi-page-actions .cbi-dropdown li[display="0"]')

    def test_save_and_apply_writes_typed_values(self):
        self.open("admin/services/pelmar")
        typed = {"capture": {"interface": "mon1", "min_signal": "-75", "max_devices": "5000"},
                 "reporting": {"full_url": "https://c.example/in?token=abc", "report_time": "120",
                               "upload_timeout": "0"},
                 "counting": {"mac_secret": "s3cret"},
                 "storage": {"spool_dir": "/var/spool/pelmar", "spool_max_kb": "2048",
                             "status_file": "/var/run/pelmar/status.json",
                             "clock_synced_file": "/var/run/pelmar/clock-synced"}}
        for tab, values in typed.items():
            self.tab(tab)
            for name, value in values.items():
                self.browser.type(field(name), value)
            if tab == "counting":
                self.browser.click('[data-field="cbid.pelmar.main.count_devices"] label')
                self.browser.evaluate(
                    "(() => { const s = document.querySelector('%s'); s.value = 'daily'; "
                    "s.dispatchEvent(new Event('change', {bubbles: true})); return 1; })()"
                    % field("mac_rotation"))
        self.shot("luci-settings.png")
        self.save_and_apply()
        deadline = time.monotonic() + 20
        while self.router.applied == 0 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.router.applied, 1)
        saved = {}
        for args in self.set_calls():
            self.assertEqual(args["config"], "pelmar")
            saved.update(args.get("values", {}))
        expected = {k: v for values in typed.values() for k, v in values.items()}
        expected.update(count_devices="1", mac_rotation="daily")
        for key, value in expected.items():
            self.assertEqual(saved.get(key), value, key)
        options = self.router.uci["pelmar"]["main"]
        for key, value in expected.items():
            self.assertEqual(options.get(key), value, key)
        # Checkboxes equal to their default keep their value instead of being removed.
        self.assertEqual((options.get("verify_tls"), options.get("enabled"),
                          options.get("backup")), ("1", "1", "0"))
        self.assertNotIn("delete", [m for _, o, m, _ in self.router.calls if o == "uci"])
        self.assertEqual(self.browser.page_errors(), [])

    def test_values_the_init_script_refuses_are_refused(self):
        self.open("admin/services/pelmar")
        # (tab, option, value, words of the refusal)
        cases = [
            ("reporting", "report_time", "060", "not a decimal number"),
            ("reporting", "report_time", "+5", "not a decimal number"),
            ("reporting", "report_time", "-5", "below 0"),
            ("reporting", "report_time", "0x3c", "not a decimal number"),
            ("reporting", "report_time", "2147483648", "above 2147483647"),
            ("capture", "min_signal", "-0", "not a decimal number"),
            ("capture", "min_signal", "-151", "below -150"),
            ("capture", "min_signal", "5", "above 0"),
            ("storage", "spool_max_kb", "0", "below 1"),
            ("storage", "backup_max_files", "100001", "above 100000"),
            ("reporting", "full_url", "https://c.example/" + "a" * 173, "longer than 190 characters"),
            ("counting", "mac_secret", "a" * 189, "longer than 188 characters"),
            ("capture", "filter", " type mgt", "starts or ends with white space"),
            ("counting", "mac_secret", "abc ;def", "would start a comment"),
            ("capture", "interface", "mon0-with-a-long", "longer than 15 characters"),
            ("storage", "spool_dir", "var/spool", "not an absolute path"),
            ("storage", "status_file", "status.json", "not an absolute path"),
        ]
        for tab, name, value, words in cases:
            with self.subTest(option=name, value=value):
                self.tab(tab)
                self.browser.type(field(name), value)
                state = self.browser.evaluate(
                    "(() => { const e = document.querySelector('%s'); return [e.classList"
                    ".contains('cbi-input-invalid'), e.getAttribute('data-tooltip') || '']; })()"
                    % field(name))
                self.assertTrue(state[0], "not marked invalid")
                self.assertIn(words, state[1])
                self.assertTrue(state[1].startswith("Refused: "), state[1])
                self.browser.type(field(name), self.router.uci["pelmar"]["main"].get(name, ""))
        # The longest lines the daemon reads whole pass.
        for tab, name, value in [("reporting", "full_url", "https://c.example/" + "a" * 172),
                                 ("counting", "mac_secret", "a" * 188), ("reporting", "report_time", "0"),
                                 ("capture", "min_signal", "-150")]:
            self.tab(tab)
            self.browser.type(field(name), value)
            self.assertFalse(self.browser.evaluate(
                "document.querySelector('%s').classList.contains('cbi-input-invalid')" % field(name)),
                name)
        # One refused value left: nothing is saved.
        self.tab("reporting")
        self.browser.type(field("report_time"), "060")
        self.save_and_apply()
        self.browser.wait("!!document.querySelector('.modal')", timeout=10,
                          what="the page saying why it did not save")
        self.assertRegex(self.browser.evaluate("document.querySelector('.modal').textContent"),
                         r'Option "Report interval \(s\)" contains an invalid input value\. '
                         r"Refused: not a decimal number")
        time.sleep(0.5)
        self.assertEqual(self.set_calls(), [])
        self.assertEqual(self.router.applied, 0)
        self.assertEqual(self.router.uci["pelmar"]["main"]["report_time"], "60")
        self.shot("luci-settings-refused.png")

    def test_read_only_login_cannot_change_anything(self):
        self.write_status(status(10, datetime.now(timezone.utc)))
        self.open("admin/status/pelmar", "viewer")
        self.assertEqual(self.figure("running"), "running")
        self.open("admin/services/pelmar", "viewer")
        disabled = self.browser.evaluate(
            "[...document.querySelectorAll('#view input:not([type=hidden]), #view select')].every(e => e.disabled)"
            " && document.querySelector('.cbi-page-actions .cbi-dropdown').hasAttribute('disabled')"
            " && document.querySelector('.cbi-button-save').disabled")
        self.assertTrue(disabled)
        self.save_and_apply()
        self.browser.click(".cbi-button-save")
        # Past the page: the bus itself refuses the write.
        answer = self.browser.evaluate(
            "L.require('rpc').then(rpc => rpc.declare({object: 'uci', method: 'set', params: "
            "['config', 'section', 'values']})('pelmar', 'main', {report_time: '5'}))"
            ".then(r => 'granted ' + JSON.stringify(r), e => String(e.message))")
        self.assertIn("Access denied", answer)
        time.sleep(0.5)
        self.assertEqual(self.set_calls(), [])
        self.assertEqual(self.router.applied, 0)
        self.assertEqual(self.router.uci["pelmar"]["main"]["report_time"], "60")
        self.shot("luci-settings-read-only.png")
        # A login without the app's group is not shown the pages at all.
        for path in ("admin/status/pelmar", "admin/services/pelmar"):
            self.browser.open(self.router.page(path, "stranger"))
            self.browser.wait("!window.oldPage && document.body && "
                              "document.body.innerText.includes('Access denied')")


if __name__ == "__main__":
    unittest.main()
