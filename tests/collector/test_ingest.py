"""The real daemon posting through real curl to the real collector: every document stored once,
a resend not duplicated, a collector stopped mid-run or out of connections for the router's
address losing nothing, and refused bodies storing nothing."""
import json
import os
import sqlite3
import subprocess
import tempfile
import time
import unittest

import postgres
from collector import Collector, add_token, post, stored
from daemon import Daemon, capture_line, wait_for
from frames import pcap, probe_request, simple_radio
from test_attacks import connect, queued, trickling


def documents_in(folder):
    """The documents the daemon backed up, by their "systemDateTime"."""
    found = {}
    for name in os.listdir(folder):
        if name.endswith(".dat"):
            with open(os.path.join(folder, name), "rb") as f:
                text = f.read()
            found[json.loads(text)["systemDateTime"]] = text
    return found


def recording(path, windows):
    """Probe requests over `windows` minutes, window k heard from 40 + 400 * (k % 3) phones: some
    documents go on curl's command line, the longer ones through its standard input."""
    frames = []
    for k in range(windows):
        for i in range(40 + 400 * (k % 3)):
            source = f"02:{k:02x}:00:00:{i >> 8:02x}:{i & 255:02x}"
            frames.append((1700000000 + 60 * k + i * 0.1, simple_radio(-50 - i % 30) +
                           probe_request(source), None))
    with open(path, "wb") as f:
        f.write(pcap(frames))


class Work(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="pelmar-collector-e2e-")
        self.addCleanup(self.work.cleanup)
        self.db = os.path.join(self.work.name, "collector.db")
        self.backups = os.path.join(self.work.name, "backups")
        os.mkdir(self.backups)
        open(os.path.join(self.backups, "writebackup"), "w").close()
        self.token = add_token(self.db, "north")
        self.fed = 0

    def feed_until(self, daemon, predicate):
        """Feeds the daemon a new device a step until `predicate` holds."""
        def step():
            self.fed += 1
            daemon.feed(capture_line(f"02:00:00:00:{self.fed >> 8:02x}:{self.fed & 255:02x}"))
            return predicate()
        self.assertTrue(wait_for(step, timeout=30, step=0.1), daemon.output())

    def spooled(self):
        spool = os.path.join(self.work.name, "spool")
        if not os.path.isdir(spool):  # made on the first failure
            return []
        return [n for n in os.listdir(spool) if n.endswith(".json")]

    def settings(self, collector, **more):
        return dict({"full_url": f"{collector.url}/ingest?token={self.token}",
                     "spool_dir": os.path.join(self.work.name, "spool"),
                     "backup_dir": self.backups, "count_devices": 1, "exit_at_end": 1}, **more)

    def assert_all_stored_once(self, contents=True):
        """Every backed-up document stored once; with `contents`, each with its counts (not on
        a real clock: the last document may share its second, and so its backup, with the one
        before)."""
        sent = documents_in(self.backups)
        with sqlite3.connect(self.db) as connection:  # by their own times, as the backups are
            rows = sorted(connection.execute(
                "SELECT router, hostname, COALESCE(clock_time, time), devices, records"
                " FROM documents").fetchall(), key=lambda row: row[2])
        self.assertEqual([r[2] for r in rows], sorted(sent))
        for row in rows if contents else []:
            document = json.loads(sent[row[2]])
            self.assertEqual(row, ("north", document["hostname"], row[2], document["devices"],
                                   len(document["data"])))
        return sent


class Daemon2Collector(Work):
    def test_a_recording_arrives_whole_and_a_resend_is_stored_once(self):
        path = os.path.join(self.work.name, "r.pcap")
        recording(path, 6)
        with Collector(self.db) as collector:
            with Daemon(self.settings(collector, capture_file=path, report_time=60),
                        stdin=subprocess.DEVNULL) as daemon:
                self.assertEqual(daemon.process.wait(timeout=60), 0, daemon.output())
            sent = self.assert_all_stored_once()
            self.assertGreaterEqual(len(sent), 6)  # one a minute, and the last at the end
            sizes = sorted(len(text) for text in sent.values())
            self.assertLess(sizes[0], 65536)
            self.assertGreater(sizes[-1], 65536)
            for text in sent.values():
                self.assertEqual(post(f"{collector.url}/ingest?token={self.token}", text), 200)
            self.assertEqual(len(stored(self.db)), len(sent))
            self.assertNotIn("HTTP", collector.log())

    def test_a_collector_stopped_mid_run_loses_nothing(self):
        self.stop_collector_mid_run()

    def test_a_spool_of_an_untrusted_clock_sent_back_to_back_loses_nothing(self):
        """Its documents are all placed at the second they arrive in: each is stored still."""
        marker = os.path.join(self.work.name, "clock-synced")  # never made
        self.stop_collector_mid_run(clock_synced_file=marker)

    def stop_collector_mid_run(self, **more):
        """The collector stopped while the daemon reports every second, then started again once
        the daemon has spooled three documents: every document is stored once."""
        collector = Collector(self.db)
        port = collector.port
        with Daemon(self.settings(collector, report_time=1, **more)) as daemon:
            try:
                self.feed_until(daemon, lambda: len(stored(self.db)) >= 2)
                collector.stop()
                self.feed_until(daemon, lambda: len(self.spooled()) >= 3)
                collector = Collector(self.db, port=port)
                self.feed_until(daemon, lambda: not self.spooled())
                daemon.close_input()
                self.assertEqual(daemon.process.wait(timeout=30), 0, daemon.output())
                self.assertIn(b"Uploads failing", daemon.output())
            finally:
                collector.stop()
        self.assertGreaterEqual(len(self.assert_all_stored_once(contents=False)), 6)

    def test_a_document_of_an_untrusted_clock_is_stored_at_its_arrival_beside_its_own_time(self):
        marker = os.path.join(self.work.name, "clock-synced")  # never made: an untrusted clock
        with Collector(self.db) as collector:
            settings = self.settings(collector, clock_synced_file=marker, report_time=60)
            with Daemon(settings) as daemon:
                daemon.feed(capture_line("02:00:00:00:00:01"))
                daemon.close_input()
                self.assertEqual(daemon.process.wait(timeout=30), 0, daemon.output())
        sent = documents_in(self.backups)
        self.assertEqual(len(sent), 1)
        own, text = next(iter(sent.items()))
        self.assertIn(b'"clockSynced":false', text)
        with sqlite3.connect(self.db) as connection:
            rows = connection.execute(
                "SELECT time, at, received, clock_time FROM documents").fetchall()
        self.assertEqual(len(rows), 1)
        time_text, at, received, clock_time = rows[0]
        self.assertEqual((clock_time, at), (own, received))
        self.assertEqual(time_text, time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(received)))


class SharedAddress(Work):
    def test_a_router_over_its_addresss_connections_sends_its_documents_later(self):
        # Routers behind one address share its connections: here the others hold them all.
        collector = Collector(self.db, extra=["--max-connections-per-address", "4"])
        self.addCleanup(collector.stop)
        held = [connect(collector.port) for _ in range(4)]  # from the daemon's own address
        wait_for(lambda: queued(collector.port, "0A") == 0)  # accepted before the daemon's
        for s in held:
            s.sendall(b"POST /ingest HTTP/1.1\r\n")
        with Daemon(self.settings(collector, report_time=1)) as daemon:
            with trickling(held, b"X: y\r\n", 1):  # a head that never ends, never silent
                self.feed_until(daemon, lambda: len(self.spooled()) >= 2)
            for s in held:
                s.close()
            self.feed_until(daemon, lambda: not self.spooled() and len(stored(self.db)) >= 3)
            daemon.close_input()
            self.assertEqual(daemon.process.wait(timeout=30), 0, daemon.output())
            self.assertIn(b"Uploads failing", daemon.output())
        self.assertGreaterEqual(len(self.assert_all_stored_once(contents=False)), 3)


class Refused(Work):
    def test_refused_bodies_store_nothing_and_say_why(self):
        good = ('{"hostname":"r","systemDateTime":"2026-12-08T10:00:00+00:00","devices":1,'
                '"data":[]}')
        cases = [  # name, query, body, status, log line
            ("no token", "", good, 401, "HTTP 401 no token"),
            ("unknown token", "?token=x" + self.token, good, 401, "HTTP 401 unknown token"),
            ("not JSON", "?token=" + self.token, good[:-1], 400, "HTTP 400 north: not JSON"),
            ("old daemon's unescaped host name", "?token=" + self.token,
             good.replace('"r"', '"a"b"'), 400, "HTTP 400 north: not JSON"),
            ("wrong shape", "?token=" + self.token, good.replace("data", "date"), 400,
             "HTTP 400 north: not an object of the document's fields"),
            ("too large", "?token=" + self.token,
             good.replace('"r"', '"' + "r" * 70000 + '"'), 413,
             "HTTP 413 body larger than the limit"),
        ]
        with Collector(self.db, extra=["--max-body-kb", "64"]) as collector:
            for name, query, body, status, line in cases:
                with self.subTest(name):
                    self.assertEqual(post(f"{collector.url}/ingest{query}", body,
                                          inline=len(body) < 1000), status)
                    self.assertTrue(wait_for(lambda: line in collector.log(), 5), collector.log())
            self.assertEqual(stored(self.db), [])
            self.assertNotIn(self.token, collector.log())


class Retention(Work):
    def test_keep_days_removes_the_older_days_at_start(self):
        body = '{"hostname":"r","systemDateTime":"%s","data":[]}'
        recent = time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime())
        with Collector(self.db) as collector:
            for when in ("2020-01-01T00:00:00+00:00", recent):
                self.assertEqual(post(f"{collector.url}/ingest?token={self.token}", body % when,
                                      inline=True), 200)
        with Collector(self.db, extra=["--keep-days", "2"]):
            self.assertTrue(wait_for(lambda: [r[2] for r in stored(self.db)] == [recent]))


@unittest.skipUnless(postgres.binaries(), "PostgreSQL is not installed")
class DatabaseDown(unittest.TestCase):
    def test_503_while_the_database_is_down_and_nothing_lost_when_it_is_back(self):
        cluster = postgres.Cluster()
        self.addCleanup(cluster.stop)
        db = cluster.create_database("outage")
        url = f"/ingest?token={add_token(db, 'north')}"
        body = ('{"hostname":"r","systemDateTime":"2026-12-08T10:0%d:00+00:00","data":[%s]}')
        record = '{"mac":"m","count":1,"firstSeen":1,"lastSeen":2,"signalDB":-50}'
        with Collector(db) as collector:
            self.assertEqual(post(collector.url + url, body % (1, record)), 200)
            cluster.halt()
            self.assertEqual(post(collector.url + url, body % (2, record)), 503)
            self.assertTrue(wait_for(lambda: "HTTP 503 database unavailable" in collector.log(),
                                     5))
            self.assertIn("PostgreSQL: ", collector.log())
            cluster.start()
            self.assertEqual(post(collector.url + url, body % (2, record)), 200)
            self.assertEqual(post(collector.url + url, body % (2, record)), 200)
        self.assertEqual(cluster.query(db, "SELECT string_agg(time || ' ' || records, ',' ORDER BY"
                                           " at) FROM documents"),
                         "2026-12-08T10:01:00+00:00 1,2026-12-08T10:02:00+00:00 1")
        self.assertEqual(cluster.query(db, "SELECT count(*) FROM records"), "2")


if __name__ == "__main__":
    unittest.main()
