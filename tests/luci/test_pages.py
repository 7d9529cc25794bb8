"""The status page in headless Chromium against a stand-in router that serves LuCI's files with
the app's over them and decides access from the app's menu and ACL files: it shows a status
file's figures, follows it without a reload and says why when something is missing. A
screenshot is kept. (The settings page is tested on the real LuCI: test_settings_page.py.)"""
import json
import os
import tempfile
import time
import unittest

from browser import CHROMIUM, Browser
from router import Router

UCODE = os.environ.get("PELMAR_UCODE", "")
SHARED_LUCI = os.environ.get("PELMAR_SHARED_LUCI", "")
SHOTS = os.environ.get("PELMAR_SCREENSHOT_DIR", "")
STATUS, SETTINGS = "admin/status/pelmar", "admin/services/pelmar"
OPTIONS = {"enabled": "1", "interface": "mon0", "full_url": "https://collector.example/p",
           "report_time": "60", "verify_tls": "1", "spool_max_kb": "1024", "mac_rotation": "none"}
T0, T10 = "2026-12-08T19:00:00+00:00", "2026-12-08T19:00:10+00:00"


def status(frames=123456, updated=T0, **parts):
    """A status file's object; `parts` replace its top-level parts."""
    return dict({"version": "1.4.0", "updated": updated, "started": "2026-12-08T07:12:00+00:00",
                 "pid": 1234, "capture": {"state": "capturing", "source": "mon0",
                                          "frames": frames, "dropped": 3},
                 "window": {"end": updated, "devices": 7, "addresses": 130},
                 "table": {"records": 412}, "upload": {"last": updated, "ok": True, "status": 200,
                                                       "error": None, "failures": 0},
                 "spool": {"files": 0, "bytes": 0}, "clock": {"synced": True}}, **parts)


@unittest.skipUnless(CHROMIUM, "Chromium is not installed")
@unittest.skipUnless(os.access(UCODE, os.X_OK), "PELMAR_UCODE names no ucode interpreter")
@unittest.skipUnless(os.path.isdir(SHARED_LUCI), "PELMAR_SHARED_LUCI names no LuCI files")
class Pages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = Browser()
        cls.addClassCleanup(cls.browser.close)

    def setUp(self):
        work = tempfile.TemporaryDirectory(prefix="pelmar-luci-")
        self.addCleanup(work.cleanup)
        self.file = os.path.join(work.name, "status.json")
        self.router = Router(SHARED_LUCI, UCODE, work.name)
        self.addCleanup(self.router.close)
        self.options = self.router.uci["pelmar"]["main"]
        self.options.update(OPTIONS, status_file=self.file)

    def write(self, document, age=0):
        """Replaces the status file as the daemon does, `age` seconds old."""
        with open(self.file + ".new", "w") as f:
            f.write(document if isinstance(document, str) else json.dumps(document))
        os.utime(self.file + ".new", (time.time() - age,) * 2)
        os.replace(self.file + ".new", self.file)

    def open(self, path, session="admin"):
        self.browser.open(self.router.page(path, session))
        self.browser.wait("!window.oldPage && !!document.querySelector("
                          "'#view [data-figure=\"running\"], #view .cbi-page-actions')", 30)

    def assert_clean(self, shot=None):
        """The page shows no raw RPC error; with a screenshot kept as `shot`, it threw none."""
        text = self.browser.evaluate("document.body.innerText")
        self.assertNotIn("RPCError", text)
        self.assertNotIn("-32", text)
        if shot:
            self.assertEqual(self.browser.evaluate("window.pageErrors"), [])
            if SHOTS:
                self.browser.screenshot(os.path.join(SHOTS, shot))

    def figure(self, key):
        """The text of a status figure and its reason, "value | why" (the banner's text)."""
        return self.browser.evaluate(
            "{ const r = document.querySelector('[data-figure=\"%s\"]') || {}, v = r.querySelector"
            " && r.querySelector('[data-value]'), w = v && r.querySelector('[data-why]'); "
            "v ? v.textContent + (w ? ' | ' + w.textContent : '') : r.textContent || ''; }" % key)

    def assert_figures(self, patterns):
        for key, pattern in patterns.items():
            self.assertRegex(self.figure(key), pattern, key)

    def test_status_shows_the_file_and_follows_it(self):
        self.write(status())
        self.open(STATUS)
        self.assertEqual(self.figure("banner"), "")
        self.assert_figures({
            "running": "^running$", "capture": "^capturing from mon0$", "frames": "^123456$",
            "dropped": "^3$", "devices": "^7$", "addresses": "^130$", "records": "^412$",
            "upload": r"^delivered at 2026-12-08T19:00:00\+00:00 \(HTTP 200\)$",
            "clock": "^synchronised$", "rate": r"^— \| measuring",
            "version": r"^1\.4\.0, pid 1234, started 2026-12-08T07:12:00\+00:00$",
            "spool": r"^0 files, 0 bytes \| no spool: spool_dir is not set",
            "age": "^[0-9] s$"})  # a slow start of the page may take a few seconds
        # A later status: the page takes it at its next poll, without a reload.
        self.browser.evaluate("window.notReloaded = true")
        self.write(status(124456, T10, window={"end": T10, "devices": 0, "addresses": 130},
                          upload={"last": T10, "ok": False, "status": 503, "failures": 2,
                                  "error": "Uploads failing: HTTP 503"},
                          spool={"files": 2, "bytes": 3072}, clock={"synced": False}))
        self.browser.wait("document.querySelector('[data-figure=\"frames\"] [data-value]')"
                          ".textContent == '124456'", 15)
        self.assertTrue(self.browser.evaluate("window.notReloaded === true"))
        self.assert_figures({
            "rate": r"^100\.0$", "failures": "^2$", "spool": r"^2 files, 3\.0 KiB$",
            "upload": r"^failed at 2026-12-08T19:00:10\+00:00: Uploads failing: HTTP 503 \| "
                      r"HTTP 503$",
            "devices": r"^0 \| no device heard in that window",
            "clock": r"^not synchronised \| NTP has not answered"})
        self.assert_clean("luci-status.png")

    def test_status_says_why_figures_are_missing(self):
        nothing = {"last": None, "ok": None, "status": None, "error": None, "failures": 0}
        # (case, set-up, banner expected, figures expected)
        cases = [
            ("daemon down, enabled", lambda: setattr(self.router, "running", False),
             r"^pelmar is not running\. It is enabled but procd runs no instance",
             {"running": r"^not running \| pelmar is not running: procd has no running instance",
              "rate": r"\| pelmar is not running"}),
            ("daemon down, disabled", lambda: (setattr(self.router, "running", False),
                                               self.options.update(enabled="0")),
             r"^pelmar is not running: it is not enabled\. Enable it under Services",
             {"devices": r"^— \| pelmar is not running: it is not enabled"}),
            ("file missing", lambda: None,
             r"^No status yet: pelmar runs but has not written its status file",
             {"frames": r"^— \| the daemon has written no status yet",
              "upload": r"^— \| the daemon has written no status yet"}),
            ("stale", lambda: self.write(status(5), age=300),
             r"^The status cannot be trusted: status is 30[01] s old: the daemon may be stuck\.$",
             {"age": r"^30[01] s \| status is 30[01] s old"}),
            ("broken", lambda: self.write('{"version": "1.'),
             r"^The status cannot be trusted: .*status\.json is not JSON", {}),
            ("waiting, no upload URL, no clock check", lambda: (
                self.options.pop("full_url"),
                self.write(status(0, capture={"state": "waiting", "source": "mon0", "frames": 0,
                                              "dropped": 3},
                                  upload=nothing, clock={"synced": None}))),
             r"^$",
             {"capture": r"^waiting for mon0 \| waiting for mon0: the interface is missing or down",
              "frames": r"^0 \| waiting for mon0",
              "upload": r"^— \| uploads are off: no full_url is set",
              "clock": r"^— \| not checked: clock_synced_file is not set"}),
            ("no plugin", lambda: setattr(self.router, "plugin", False),
             "rpcd does not know the object luci.pelmar",
             {"running": "^— \\| unknown: the status could not be read \\(see above\\)$"}),
        ]
        for case, prepare, banner, figures in cases:
            with self.subTest(case):
                self.router.running = self.router.plugin = True
                self.options.update(OPTIONS)
                if os.path.exists(self.file):
                    os.remove(self.file)
                prepare()
                self.open(STATUS)
                self.assertRegex(self.figure("banner"), banner)
                self.assert_figures(figures)
                self.assert_clean("luci-status-stale.png" if case == "stale" else None)
        # A login whose ACL lost the group after the page was served.
        self.router.sessions["admin"] = (["luci-base", "unauthenticated"], [])
        self.browser.wait("document.querySelector('[data-figure=\"banner\"]').textContent"
                          ".includes('lacks the access group luci-app-pelmar')", 15)
        self.assert_clean()

    def test_read_only_login_sees_the_status(self):
        self.write(status())
        self.open(STATUS, "viewer")
        self.assertEqual(self.figure("running"), "running")
        # A login without the app's group is not shown the pages at all.
        for path in (STATUS, SETTINGS):
            self.browser.open(self.router.page(path, "stranger"))
            self.browser.wait("!window.oldPage && document.body && "
                              "document.body.innerText.includes('Access denied')")


if __name__ == "__main__":
    unittest.main()
