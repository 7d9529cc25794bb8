"""The page in headless Chromium: the chart's canvas drawn, the table showing the seeded routers
with their last times and counts, and a hostile host name staying text. A screenshot is kept."""
import json
import os
import re
import shutil
import sqlite3
import subprocess
import tempfile
import time
import unittest
import urllib.request
from datetime import datetime, timezone

from collector import Collector, add_token, post
from test_attacks import MEMORY_BOUND, rss

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
HOSTILE = '<img src=x onerror="document.title=1">'


def stamp(seconds):
    return datetime.fromtimestamp(seconds, timezone.utc).strftime("%Y-%m-%dT%H:%M:%S+00:00")


def document(host, seconds, devices):
    return (f'{{"hostname":"{host}","systemDateTime":"{stamp(seconds)}","devices":{devices},'
            f'"data":[]}}').replace('"document.title=1"', '\\"document.title=1\\"')


def chromium(profile, *action):
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
               "--no-first-run", "--disable-background-networking", "--disable-component-update",
               "--disable-sync", f"--user-data-dir={profile}", "--virtual-time-budget=10000",
               "--window-size=1200,800", *action]
    return subprocess.run(command, capture_output=True, text=True, timeout=120).stdout


@unittest.skipUnless(CHROMIUM, "Chromium is not installed")
class Page(unittest.TestCase):
    def test_chart_drawn_table_right_and_markup_shown_as_text(self):
        work = tempfile.TemporaryDirectory(prefix="pelmar-page-")
        self.addCleanup(work.cleanup)
        db = os.path.join(work.name, "collector.db")
        tokens = {name: add_token(db, name) for name in ("north", "south", "west")}
        now = int(time.time()) // 60 * 60
        seeded = {"north": [(now - 3600 + 60 * k, 10 + k % 7) for k in range(60)],
                  "south": [(now - 1800 + 120 * k, 3 + k % 2) for k in range(15)]}
        with Collector(db) as collector:
            for router, points in seeded.items():
                host = HOSTILE if router == "south" else "north-ap"
                for seconds, devices in points:
                    body = document(host, seconds, devices)
                    self.assertEqual(post(f"{collector.url}/ingest?token={tokens[router]}", body,
                                          inline=True), 200)
            dom = chromium(os.path.join(work.name, "profile"), "--dump-dom", collector.url + "/")
            shot = os.path.join(os.environ.get("PELMAR_SCREENSHOT_DIR", work.name),
                                "collector-page.png")
            chromium(os.path.join(work.name, "profile2"), f"--screenshot={shot}",
                     collector.url + "/")
        self.assertRegex(dom, r'<body data-points="75" data-drawn="yes" data-lines="2"[^>]*>')
        rows = re.findall(r"<tr><td>(.*?)</td><td>(.*?)</td><td>(.*?)</td><td>(.*?)</td>"
                          r'<td(?: class="late")?>(.*?)</td></tr>', dom)
        self.assertEqual(rows, [
            ("north", "north-ap", stamp(seeded["north"][-1][0]), str(seeded["north"][-1][1]),
             "reporting"),
            ("south", HOSTILE.replace("<", "&lt;").replace(">", "&gt;"),
             stamp(seeded["south"][-1][0]), str(seeded["south"][-1][1]), "reporting"),
            ("west", "", "none yet", "", "late")])
        self.assertNotIn("<img", dom)
        self.assertGreater(os.path.getsize(shot), 10000)

    def fresh(self):
        """A new collector's database, in a folder of its own."""
        work = tempfile.TemporaryDirectory(prefix="pelmar-page-")
        self.addCleanup(work.cleanup)
        self.work = work.name
        return os.path.join(work.name, "collector.db")

    def dom(self, url):
        return chromium(tempfile.mkdtemp(dir=self.work), "--dump-dom", url)

    def screenshot(self, url, name):
        shot = os.path.join(os.environ.get("PELMAR_SCREENSHOT_DIR", self.work), name)
        chromium(tempfile.mkdtemp(dir=self.work), f"--screenshot={shot}", url)
        self.assertGreater(os.path.getsize(shot), 10000)

    def test_a_fleet_of_2000_routers_with_unaligned_clocks_stays_usable(self):
        """An hour of minute documents from each, every router's clock at its own second: the
        sum, 8 lines and a page of the table, drawn in seconds (the former sum took minutes
        from 50 routers)."""
        db = self.fresh()
        add_token(db, "r0000")
        now = int(time.time()) // 60 * 60
        latest = {}
        with sqlite3.connect(db) as c:
            c.execute("DELETE FROM tokens")
            for r in range(2000):
                name = f"r{r:04d}"
                c.execute("INSERT INTO tokens(hash, router) VALUES(?, ?)", (f"h{r}", name))
                for k in range(60):
                    at = now - 3600 + 60 * k + r % 60
                    latest[name] = (k + r) % 40
                    c.execute("INSERT INTO documents(router, hostname, time, at, received,"
                              " devices, records) VALUES(?, ?, ?, ?, ?, ?, 0)",
                              (name, "ap", stamp(at), at, at, latest[name]))
        with Collector(db) as collector:
            with urllib.request.urlopen(f"{collector.url}/api/total?from={now - 3600}&step=3") as r:
                self.assertEqual(json.load(r)[-1]["devices"], sum(latest.values()))
            idle = rss(collector.process.pid)
            dom = self.dom(collector.url + "/?range=3600")
            filtered = self.dom(collector.url + "/?range=3600&filter=r19")
            self.assertLess(rss(collector.process.pid) - idle, MEMORY_BOUND)
        took = re.search(r'<body data-points="(\d+)" data-drawn="yes" data-lines="8"'
                         r' data-took="(\d+)">', dom)
        self.assertTrue(took, dom[:600])
        self.assertIn(int(took.group(1)), range(8 * 58, 8 * 60 + 1))  # the hour's edge moves
        self.assertLess(int(took.group(2)), 20000)
        self.assertEqual(dom.count("<tr><td>r"), 50)
        self.assertIn("routers 1-50 of 2000", dom)
        self.assertIn("routers 1-50 of 100", filtered)
        self.assertIn("<tr><td>r1900</td>", filtered)

    def test_a_document_of_an_untrusted_clock_is_placed_at_its_arrival_and_marked(self):
        db = self.fresh()
        now = int(time.time()) // 60 * 60
        booted = 1600000000  # the clock a router boots with, years off
        unsynced = document("ap", booted, 9).replace('"devices"', '"clockSynced":false,"devices"')
        with Collector(db) as collector:
            url = f"{collector.url}/ingest?token={add_token(db, 'north')}"
            # Two synced, then the unsynced one and its resend, stored once (placed at their
            # arrival: test_calibration.py).
            for body in (document("ap", now - 600, 4), document("ap", now - 300, 5), unsynced,
                         unsynced):
                self.assertEqual(post(url, body, inline=True), 200)
            dom = self.dom(collector.url + "/")
            self.screenshot(collector.url + "/", "collector-page-unsynced.png")
        self.assertRegex(dom, r'<body data-points="3" data-drawn="yes"[^>]*>')
        self.assertRegex(dom, r'<p id="unsynced">')

    def test_a_calibrated_router_shows_people_its_calibration_and_devices_a_click_away(self):
        db = self.fresh()
        token = add_token(db, "north")
        now = int(time.time()) // 300 * 300
        windows = [(now - 300 * k, 4 + k % 5) for k in range(12 * 30, -1, -1)]  # 30 hours
        counts = "time,people\n" + "".join(f"{t - 150},{0.5 * n + 1}\n" for t, n in windows)
        with Collector(db) as collector:
            for seconds, devices in windows:
                self.assertEqual(post(f"{collector.url}/ingest?token={token}",
                                      document("north-ap", seconds, devices), inline=True), 200)
            self.assertEqual(post(f"{collector.url}/api/calibration?router=north", counts), 200)
            people, devices = (self.dom(collector.url + q) for q in ("/", "/?show=devices"))
            self.screenshot(collector.url + "/", "collector-page-people.png")
            # People who never varied: a flat line, and no correlation to show.
            flat = "time,people\n" + "".join(f"{t - 150},3\n" for t, _ in windows)
            self.assertEqual(post(f"{collector.url}/api/calibration?router=north", flat), 200)
            self.assertIn(', r undefined (the people never varied), error 0.00 people</div>',
                          self.dom(collector.url + "/"))
        self.assertIn('data-drawn="yes" data-lines="1" data-people="yes" data-took=', people)
        self.assertIn('data-drawn="yes" data-lines="1" data-took=', devices)
        today = time.strftime("%Y-%m-%d", time.gmtime())
        self.assertIn(f'<div class="calibration">people calibrated {today}: the router\'s own'
                      f' floor, r 1.000, error 0.00 people</div>', people)
        self.assertIn('<label id="show">', people)


if __name__ == "__main__":
    unittest.main()
