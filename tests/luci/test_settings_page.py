"""Services > pelmar on OpenWrt's real LuCI (uhttpd, rpcd, the ucode dispatcher) after a real
login in headless Chromium, with the daemon under the real procd: Save & Apply restarts it with
the new value; a read-only login saves nothing; a monitor interface is made on a radio; the
dependent options show and hide and keep their values; values the init script refuses are
refused here, a name over the interface's byte limit too. No radio exists here: `wifi` is a
stand-in that records its call, and /etc/config/wireless is the test's."""
import json
import os
import re
import sys
import tempfile
import unittest

from browser import CHROMIUM, Browser, add_viewer, in_net

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "openwrt"))
from userland import Userland, missing  # noqa: E402

DAEMON = os.environ.get("PELMAR_DAEMON", "")
BUILD = os.environ.get("PELMAR_USERLAND_BUILD", "")
SHOTS = os.environ.get("PELMAR_SCREENSHOT_DIR", "")
BASE = "http://127.0.0.1/cgi-bin/luci"
VIEWER_PASSWORD = "viewer-pw"
SETTINGS = BASE + "/admin/services/pelmar"
FIELD = '[id="widget.cbid.pelmar.main.%s"]'
INTERFACE = '[id="cbid.pelmar.main.interface"]'
# Records each call, as `wifi reload` would be made on a router.
WIFI = "#!/bin/sh\necho \"$*\" >>/tmp/wifi-calls\n"
# Two radios, the second disabled; an access point whose interface is called mon0, and a
# section called mon1.
WIRELESS = """config wifi-device 'radio0'
	option type 'mac80211'
	option band '2g'
	option channel '6'

config wifi-device 'radio1'
	option type 'mac80211'
	option band '5g'
	option channel '36'
	option disabled '1'

config wifi-iface 'default_radio0'
	option device 'radio0'
	option mode 'ap'
	option ssid 'OpenWrt'
	option ifname 'mon0'

config wifi-iface 'mon1'
	option device 'radio0'
	option mode 'sta'
	option disabled '1'
"""
MONITOR = "\nconfig wifi-iface 'watch'\n\toption device 'radio0'\n\toption mode 'monitor'\n" \
          "\toption ifname 'mon5'\n"


@unittest.skipUnless(CHROMIUM, "Chromium is not installed")
@unittest.skipIf(missing(), missing())
@unittest.skipUnless(os.access(DAEMON, os.X_OK), "PELMAR_DAEMON names no daemon")
class SettingsPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        overlay = tempfile.TemporaryDirectory(prefix="pelmar-wifi-")
        cls.addClassCleanup(overlay.cleanup)
        os.makedirs(os.path.join(overlay.name, "sbin"))
        with open(os.path.join(overlay.name, "sbin", "wifi"), "w") as f:
            f.write(WIFI)
        os.chmod(os.path.join(overlay.name, "sbin", "wifi"), 0o755)
        cls.router = Userland(BUILD or os.path.join(tempfile.gettempdir(), "pelmar-userland"),
                              DAEMON, luci=True, overlays=[overlay.name]).start()
        cls.addClassCleanup(cls.router.stop)
        cls.root_password = cls.router.login[1]
        add_viewer(cls.router, "viewer", VIEWER_PASSWORD)
        # The package's settings, kept.
        status, out = cls.router.sh("cp /etc/config/pelmar /etc/config/pelmar.packaged")
        if status:
            raise RuntimeError(out)
        cls.browser = Browser(in_net(cls.router.pid))  # uhttpd listens on the root's 127.0.0.1
        cls.addClassCleanup(cls.browser.close)
        cls.user = None

    def sh(self, command, stdin=None):
        """A command inside the root; its output, or a failure of the test."""
        rc, out = self.router.sh(command, input=stdin)
        if rc:
            raise AssertionError("%s: status %d: %s" % (command, rc, out))
        return out

    def read(self, path):
        return self.router.sh("cat " + path)[1]

    def pid(self):
        """The daemon's pid while procd runs it, else None."""
        instance = self.router.instance()
        return instance.get("pid") if instance.get("running") else None

    def setUp(self):
        # The package's own settings, enabled: the daemon waits for its absent interface.
        self.sh("cp /etc/config/pelmar.packaged /etc/config/pelmar; uci set pelmar.main.enabled=1;"
                " uci commit pelmar; /etc/init.d/pelmar enable; /etc/init.d/pelmar start; "
                "rm -f /tmp/wifi-calls")
        self.sh("cat >/etc/config/wireless", WIRELESS)
        self.assertTrue(self.router.wait(self.pid), "the daemon does not run:\n"
                        + self.router.logread())

    # -- the browser --

    def open(self, user="root"):
        """The settings page, logged in as `user` (the login form posts to the page)."""
        if self.user == user:
            self.browser.open(SETTINGS)
        else:
            self.browser.command("Network.clearBrowserCookies")
            self.browser.log_in(user, self.root_password if user == "root" else VIEWER_PASSWORD,
                                [SETTINGS])
            type(self).user = user
        try:
            self.browser.wait("!window.oldPage && !!document.querySelector('#view "
                              ".cbi-page-actions') && !document.querySelector('#view .spinning')",
                              30)
        except RuntimeError as e:
            raise AssertionError("%s\n%s\n%s" % (e, self.browser.evaluate(
                "document.body.innerText"), self.browser.evaluate("window.pageErrors")))
        self.tab("capture")  # LuCI reopens the tab last shown

    def tab(self, name):
        self.click('.cbi-tabmenu li[data-tab="%s"] a' % name)
        self.browser.wait("document.querySelector('.cbi-tabmenu li[data-tab=\"%s\"]')"
                          ".classList.contains('cbi-tab')" % name)

    def shown(self, name):
        return self.browser.evaluate(
            "!document.querySelector('[data-field=\"cbid.pelmar.main.%s\"]')"
            ".classList.contains('hidden')" % name)

    def click(self, selector):
        self.browser.evaluate("document.querySelector(%s).scrollIntoView({block: 'center'})"
                              % json.dumps(selector))
        self.browser.click(selector)

    def check(self, name):
        self.click('[data-field="cbid.pelmar.main.%s"] label' % name)

    def interface(self):
        return self.browser.evaluate(
            "L.dom.findClassInstance(document.querySelector('%s')).getValue()" % INTERFACE)

    def init_refuses(self, option, value):
        """Whether the init script refuses to start the service with `value` for `option`."""
        said = self.sh("cp /etc/config/pelmar.packaged /etc/config/pelmar; value=$(cat); "
                       "uci set pelmar.main.enabled=1; uci set \"pelmar.main.%s=$value\"; "
                       "uci commit pelmar; /etc/init.d/pelmar start 2>&1 || true" % option, value)
        return bool(re.search("refused|invalid settings", said))

    def labels(self):
        """The interface's choices as listed (without the entry for a name of one's own)."""
        return self.browser.evaluate(
            "[...document.querySelectorAll('%s li[data-value]')].filter(e => e.dataset.value != "
            "'-').map(e => e.innerText)" % INTERFACE)

    def type_interface(self, name):
        """Types a name into the interface's own entry and presses Enter."""
        entry = INTERFACE + " .create-item-input"
        if not self.browser.evaluate("document.querySelector('%s').hasAttribute('open')"
                                     % INTERFACE):
            self.click(INTERFACE)  # the list opens, with the entry at its end
        self.browser.wait("document.querySelector('%s').getClientRects().length > 0" % entry)
        self.browser.type(entry, name)
        self.browser.evaluate("document.querySelector('%s').focus()" % entry)
        for kind in ("keyDown", "keyUp"):
            self.browser.command("Input.dispatchKeyEvent", type=kind, key="Enter", code="Enter",
                                 windowsVirtualKeyCode=13)
        return self.browser.evaluate(
            "{ const e = document.querySelector('%s'); [e.classList.contains('cbi-input-invalid')"
            ", e.getAttribute('data-tooltip') || '']; }" % entry)

    def save_and_apply(self):
        self.click('.cbi-page-actions .cbi-dropdown li[display="0"]')
        self.browser.wait("/Configuration changes (have been )?applied/"
                          ".test(document.body.innerText)", 40)

    def rpc(self, obj, method, args):
        """A call through uhttpd's /ubus/ with the page's session: its error's message or
        'granted <result>'."""
        return self.browser.evaluate(
            "L.require('rpc').then(rpc => rpc.declare({object: %s, method: %s, params: %s})"
            "(...%s)).then(r => 'granted ' + JSON.stringify(r), e => String(e.message))"
            % (json.dumps(obj), json.dumps(method), json.dumps(list(args)),
               json.dumps(list(args.values()))))

    def assert_clean(self):
        self.assertEqual(self.browser.evaluate("window.pageErrors"), [])
        self.assertNotIn("RPCError", self.browser.evaluate("document.body.innerText"))

    def shoot(self, name):
        """Screenshots at desktop and phone widths; the phone's shows no horizontal scroll."""
        self.browser.shoot(name, SHOTS, lambda width: self.assertLessEqual(*self.browser.evaluate(
            "[document.documentElement.scrollWidth, innerWidth]"), (name, width)))

    # -- the tests --

    def test_save_and_apply_restarts_the_daemon(self):
        # Hidden options (backups are off) keep what the file holds through a save.
        self.sh("uci set pelmar.main.backup_dir=/tmp/kept; uci set pelmar.main.mac_secret=s3cret;"
                " uci commit pelmar")
        before = self.router.wait(lambda: self.pid() and "mac_secret=s3cret\n" in self.read(
            "/var/etc/pelmar.conf") and self.pid())
        self.open()
        self.tab("reporting")
        self.browser.type(FIELD % "report_time", "120")
        self.save_and_apply()
        config = self.read("/etc/config/pelmar")
        self.assertIn("option report_time '120'", config)
        self.assertIn("option backup_dir '/tmp/kept'", config)
        self.assertIn("option mac_secret 's3cret'", config)
        self.assertEqual(self.sh("uci changes pelmar"), "")
        after = self.router.wait(lambda: self.pid() not in (None, before) and "report_time=120\n"
                                 in self.read("/var/etc/pelmar.conf") and self.pid())
        self.assertTrue(after, "procd did not restart the daemon:\n" + self.router.logread())
        self.assert_clean()

    def test_read_only_login_saves_nothing(self):
        self.open("viewer")
        self.assertEqual(self.browser.evaluate(
            "[...document.querySelectorAll('#view input:not([type=hidden]), #view select, "
            "#view button:not([aria-label=\"Reveal/hide password\"]), #view .cbi-dropdown')]"
            ".filter(e => !e.disabled && !e.hasAttribute("
            "'disabled') && !e.closest('.cbi-dropdown[disabled]')).map(e => e.outerHTML)"), [])
        self.shoot("luci-settings-read-only")
        # Past the page: rpcd itself refuses the writes.
        denied = "failed with error -32002: Access denied"
        self.assertIn(denied, self.rpc("uci", "set", {"config": "pelmar", "section": "main",
                                                      "values": {"report_time": "5"}}))
        self.assertIn(denied, self.rpc("luci.pelmar", "createMonitor", {"radio": "radio0"}))
        self.assertIn("option report_time '60'", self.read("/etc/config/pelmar"))
        self.assertEqual(self.read("/etc/config/wireless"), WIRELESS)
        self.assert_clean()

    def test_monitor_interface_is_made_on_a_chosen_radio(self):
        self.open()
        self.assertIn("may stop serving its wireless clients",
                      self.browser.evaluate("document.querySelector('#view').innerText"))
        self.shoot("luci-settings-no-monitor")
        self.browser.evaluate("{ const s = document.querySelector('#pelmar-monitor-radio select');"
                              " s.value = 'radio1'; s.dispatchEvent(new Event('change')); }")
        self.click('[data-monitor="offer"] button')
        self.browser.wait("!!document.querySelector('[data-monitor=\"answer\"] .alert-message')")
        self.assertRegex(self.browser.evaluate(
            "document.querySelector('[data-monitor=\"answer\"]').innerText"),
            "^Monitor interface mon2 was written on radio radio1 and selected above.* The radio "
            "radio1 was disabled and is now enabled")
        self.assertEqual(self.interface(), "mon2")  # mon0 and mon1 are taken
        self.assertEqual(self.labels(), ["mon0 (no monitor interface of /etc/config/wireless)",
                                         "mon2 (radio1, 5 GHz, channel 36)"])
        self.assertEqual(self.read("/tmp/wifi-calls"), "reload\n")
        uci = self.sh("uci show wireless")
        for line in ("wireless.mon2=wifi-iface", "wireless.mon2.device='radio1'",
                     "wireless.mon2.mode='monitor'", "wireless.mon2.ifname='mon2'"):
            self.assertIn(line + "\n", uci)
        self.assertNotIn("wireless.radio1.disabled", uci)
        self.save_and_apply()
        self.assertEqual(self.sh("uci get pelmar.main.interface"), "mon2\n")
        # The next visit lists it with its radio, band and channel, and offers nothing more.
        self.open()
        self.assertEqual(self.labels(), ["mon2 (radio1, 5 GHz, channel 36)"])
        self.assertFalse(self.browser.evaluate("!!document.querySelector('[data-monitor]')"))
        # The plugin checks the radio it is sent: no wifi-device, nothing written or run.
        for radio in ("default_radio0", "radio0; reboot", "", "radio9"):
            self.assertEqual(self.rpc("luci.pelmar", "createMonitor", {"radio": radio}),
                             'granted {"error":"radio"}', radio)
        self.assertEqual(self.read("/tmp/wifi-calls"), "reload\n")
        self.assert_clean()

    def test_existing_monitor_interfaces_are_offered(self):
        # One named, one not (netifd names it on a router; here nothing runs it).
        self.sh("cat >/etc/config/wireless", WIRELESS + MONITOR +
                "\nconfig wifi-iface 'spare'\n\toption device 'radio1'\n\toption mode 'monitor'\n")
        self.open()
        self.assertEqual(self.labels(), ["mon5 (radio0, 2.4 GHz, channel 6)",
                                         "mon0 (no monitor interface of /etc/config/wireless)"])
        self.assertFalse(self.browser.evaluate("!!document.querySelector('[data-monitor]')"))
        self.assertIn("has no interface name yet (section spare)",
                      self.browser.evaluate("document.querySelector('#view').innerText"))
        # Without a radio there is nothing to offer, and the page says why.
        self.sh("echo >/etc/config/wireless")
        self.open()
        self.assertIn("no radio to make one on: capture needs a wireless radio",
                      self.browser.evaluate("document.querySelector('#view').innerText"))

    def test_dependent_options_show_and_hide(self):
        self.open()
        # (tab, what turns them on, the options shown only then)
        cases = [("storage", "backup", ["backup_dir", "backup_max_files", "backup_max_kb"]),
                 ("counting", "mac_privacy", ["mac_secret", "mac_rotation"])]
        for tab, switch, options in cases:
            self.tab(tab)
            self.assertEqual([self.shown(o) for o in options], [False] * len(options), switch)
            self.check(switch)
            self.assertEqual([self.shown(o) for o in options], [True] * len(options), switch)
        # The package's spool is in RAM: shown with its limit, which goes with an empty path.
        self.tab("storage")
        self.assertEqual(self.browser.evaluate("document.querySelector('%s').value"
                                               % (FIELD % "spool_dir")), "/var/spool/pelmar")
        self.assertTrue(self.shown("spool_max_kb"))
        for spool, shown in (("", False), ("/tmp/spool", True)):
            self.browser.type(FIELD % "spool_dir", spool)
            self.assertEqual(self.shown("spool_max_kb"), shown, spool)
        self.shoot("luci-settings")
        self.check("backup")
        self.assertFalse(self.shown("backup_dir"))
        self.assert_clean()

    def test_values_the_init_script_refuses_are_refused(self):
        self.open()
        long_url = "https://c.example/" + "a" * 172  # the longest lines the daemon reads whole
        # (tab, option, {value: words of its refusal, or None where it passes})
        cases = [
            ("reporting", "report_time", {"060": "not a decimal number", "+5": "not a decimal "
                                          "number", "0x3c": "not a decimal number", "-5": "no "
                                          "minus", "-0": "no minus", "2147483648": "above "
                                          "2147483647", "0": None}),
            ("capture", "min_signal", {"-00": "not a decimal number", "-151": "below -150",
                                       "5": "above 0", "-150": None, "-0": None}),
            ("storage", "backup_max_files", {"-0": None, "-1": "below 0"}),
            ("reporting", "full_url", {long_url + "a": "longer than 190 bytes",
                                       long_url[:-1] + "é": "longer than 190 bytes",
                                       long_url: None}),
            ("capture", "filter", {" type mgt": "starts or ends with white space",
                                   "type mgt\u00a0": None, "a\t;b": "would start a comment"}),
            ("storage", "status_file", {"status.json": "not an absolute path"}),
            ("storage", "clock_synced_file", {"clock": "not an absolute path", "none": None}),
        ]
        self.tab("storage")
        self.check("backup")  # its limits show
        for tab, name, values in cases:
            self.tab(tab)
            for value, words in values.items():
                with self.subTest(option=name, value=value):
                    self.browser.type(FIELD % name, value)
                    invalid, why = self.browser.evaluate(
                        "{ const e = document.querySelector('%s'); [e.classList.contains("
                        "'cbi-input-invalid'), e.getAttribute('data-tooltip') || '']; }"
                        % (FIELD % name))
                    self.assertEqual(invalid, words is not None)
                    self.assertRegex(why, "^Refused: .*" + words if words else "^(?!Refused)")
                    self.assertEqual(self.init_refuses(name, value), invalid)
        # The interface's name in bytes, as the kernel and the init script count it: 15
        # characters, 17 bytes.
        self.tab("capture")
        for name, why, kept in (("überwachung-mön", "Refused: longer than 15 bytes (UTF-8): it "
                                 "has 17", "mon0"), ("überwachung-m", "", "überwachung-m")):
            self.assertEqual(self.type_interface(name), [bool(why), why])
            self.assertEqual(self.interface(), kept)
            self.assertEqual(self.init_refuses("interface", name), bool(why))
        self.shoot("luci-settings-refused")
        self.assert_clean()


if __name__ == "__main__":
    unittest.main()
