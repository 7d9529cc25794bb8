"""Calibration through the real collector, on SQLite and PostgreSQL: the edge cases in one table
(too few counts, one day, counts outside every window, a router without records, a refit, a
clear), by `calibrate` and by POST /api/calibration, and the people then on the series."""
import calendar
import json
import os
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import postgres
from collector import BINARY, Collector, add_token, post
from test_attacks import connect, status_of

DAY = 86400
FIRST = 1765180800 + 8 * 3600  # 2025-12-08T08:00:00Z
WINDOW = 300
DAYS, WINDOWS = 3, 25  # per day, from 08:00


def stamp(at):
    return time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(at))


def window_times():
    return [FIRST + d * DAY + k * WINDOW for d in range(DAYS) for k in range(WINDOWS)]


def room(at):
    """(near, between, far) devices of the window ending at `at`: heard at -60, -73 and -80 dB,
    varying apart, so that only a floor of -70 dB counts the near ones alone."""
    k = at // WINDOW
    return k % 7, (k * 3) % 5, (k * 5) % 11


def document(at, counting=True, records=True):
    near, between, far = room(at)
    data = []
    for n, (count, signal) in enumerate(((near, -60), (between, -73), (far, -80))):
        for i in range(count):
            mac = f"02:00:00:{n:02x}:{at % 256:02x}:{i:02x}"
            record = {"mac": mac, "count": 3, "firstSeen": at - 200, "lastSeen": at - 10,
                      "signalDB": signal}
            if counting:
                record["device"] = mac
            data.append(record)
    # An address heard in an earlier window only: no recount may count it.
    data.append({"mac": "02:ff:00:00:00:01", "count": 1, "firstSeen": at - 3000,
                 "lastSeen": at - 2000, "signalDB": -40, **({"device": "x"} if counting else {})})
    if counting and near:  # none counts more: a weaker record of a near device, a record of
        # no device, and one stamped after the document
        data += [dict(data[0], mac="02:fe:00:00:00:01", signalDB=-85),
                 {"mac": "02:fe:00:00:00:02", "count": 1, "firstSeen": at - 9, "lastSeen": at - 9,
                  "signalDB": -40},
                 dict(data[0], mac="02:fe:00:00:00:03", device="later", lastSeen=at + 1)]
    body = {"hostname": "r", "systemDateTime": stamp(at)}
    if counting:
        body["devices"] = near + between + far if records else near
    body["data"] = data if records else []
    return json.dumps(body)


def people(at, a=0.5, b=1.0):
    return a * room(at)[0] + b


def counts(days=range(DAYS), per_day=WINDOWS, a=0.5, b=1.0):
    """A count in the middle of each window but the day's first (which began the day before)."""
    return [(at - WINDOW // 2, max(0, people(at, a, b))) for at in window_times()
            if (at - FIRST) // DAY in days and 0 < (at - FIRST) % DAY // WINDOW < per_day]


def csv(rows, iso=False):
    lines = ["time,people"] + [f"{stamp(t) if iso else t},{p}" for t, p in rows]
    return "\n".join(lines) + "\n"


# Before the first document, in the long windows that begin a day (the router was away), after
# the last document.
OUTSIDE = [(FIRST - 3600, 1), (FIRST + DAY - 100, 2), (FIRST + 2 * DAY + WINDOWS * WINDOW, 1),
           (FIRST + DAY - 10, 0), (FIRST + 2 * DAY, 0)]

CLEAR = None  # the counts of a row that clears
# name, router, how (cli or http), counts, expected status, words of the answer, calibration
# then stored (a, b, floor) or None. A row named "..." goes on from the row before; any other
# starts with no router calibrated.
CASES = [
    ("too few counts", "north", "cli", counts(per_day=8)[:19], 1,
     "north: not calibrated, too few counts: 19 fall", None),
    ("one day", "north", "http", counts(days=[1]), 422,
     "all counts fall on one day", None),
    ("all outside every window", "north", "cli", OUTSIDE * 5, 1,
     "too few counts: 0 fall in the router's windows", None),
    ("outside every window", "north", "http", counts() + OUTSIDE, 200,
     "72 counts used, 5 outside every window", (0.5, 1.0, -70)),
    ("ISO 8601 times", "north", "cli", counts(), 0, "floor -70 dB", (0.5, 1.0, -70)),
    ("...a refit replaces it", "north", "http", counts(a=0.2, b=2), 200,
     "people = 0.2 * devices + 2,", (0.2, 2.0, -70)),
    ("...a clear removes it", "north", "cli", CLEAR, 0, "north: calibration removed", None),
    ("...and then finds none", "north", "cli", CLEAR, 0, "north: was not calibrated", None),
    ("without records", "south", "cli", counts(), 0, "floor the router's own", (0.5, 1.0, "router")),
    ("addresses when not counting", "west", "http", counts(), 200, "floor -70 dB",
     (0.5, 1.0, -70)),
    ("a malformed line", "north", "http", [("yesterday", 3)] * 30, 400, "line 2 is not", None),
    # Refused before any of the router's records is read.
    ("counts over years", "north", "http", counts() + [(0, 1), (999999999999, 1)], 422,
     "north: not calibrated, the counts span 11574075 days: counts of at most 92 days", None),
    ("counts over 93 days", "north", "cli", counts() + [(FIRST + 93 * DAY, 1)], 1,
     "the counts span 93 days", None),
    ("an unknown router", "nowhere", "cli", counts(), 1, "nowhere: no such router", None),
]


class Calibration(unittest.TestCase):
    engine = "sqlite"

    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="pelmar-calibration-")
        self.addCleanup(self.work.cleanup)
        if self.engine == "postgres":
            cluster = postgres.Cluster()
            self.addCleanup(cluster.stop)
            self.db = cluster.create_database("calibration")
        else:
            self.db = os.path.join(self.work.name, "collector.db")
        self.collector = Collector(self.db)
        self.addCleanup(self.collector.stop)
        for router, options in (("north", {}), ("south", {"records": False}),
                                ("west", {"counting": False})):
            url = f"{self.collector.url}/ingest?token={add_token(self.db, router)}"
            for at in window_times():
                self.assertEqual(post(url, document(at, **options)), 200)

    def calibrate(self, router, how, rows=None, clear=False, iso=False):
        """(exit status or HTTP status, the answer's line)."""
        if how == "http":
            request = urllib.request.Request(
                f"{self.collector.url}/api/calibration?router={router}", data=csv(rows).encode(),
                headers={"Content-Type": "text/csv"})
            try:
                with urllib.request.urlopen(request) as answer:
                    return answer.status, answer.read().decode().strip()
            except urllib.error.HTTPError as error:
                return error.code, error.read().decode().strip()
        path = os.path.join(self.work.name, "counts.csv")
        with open(path, "w") as f:
            f.write(csv(rows, iso) if rows is not None else "")
        extra = ["--clear"] if clear else ["--people", path]
        done = subprocess.run([BINARY, "calibrate", router, "--db", self.db, *extra],
                              capture_output=True, text=True)
        return done.returncode, done.stdout.strip()

    def get(self, path):
        with urllib.request.urlopen(self.collector.url + path) as answer:
            return answer.read().decode()

    def stored(self, router):
        """The router's calibration as /api/routers gives it, or None."""
        for state in json.loads(self.get("/api/routers")):
            if state["router"] == router:
                return state.get("calibration")
        return None

    def assert_people(self, router, a, b):
        """Every point of `router` estimates people = a * near + b, never below 0."""
        points = json.loads(self.get(f"/api/series?router={router}"))
        self.assertEqual(len(points), DAYS * WINDOWS)
        for p in points:
            at = calendar.timegm(time.strptime(p["time"], "%Y-%m-%dT%H:%M:%S+00:00"))
            # A day's first window runs from the day before: it holds the earlier address too.
            heard = room(at)[0] + ((at - FIRST) % DAY == 0 and router != "south")
            self.assertEqual(p["people"], round(max(0.0, a * heard + b), 1), p)

    def test_edge_cases(self):
        for name, router, how, rows, status, words, expected in CASES:
            with self.subTest(name):
                if not name.startswith("..."):
                    for each in ("north", "south", "west"):
                        self.calibrate(each, "cli", clear=True)
                got, line = self.calibrate(router, how, rows, clear=rows is CLEAR,
                                           iso=name == "ISO 8601 times")
                self.assertEqual(got, status, line)
                self.assertIn(words, line)
                calibration = self.stored(router)
                # Only a calibrated router's points carry people; the CSV's column is then
                # empty for the others.
                lines = self.get("/api/series.csv").splitlines()
                self.assertEqual(lines[0], "router,time,devices" + (",people" if expected else ""))
                if expected is None:
                    self.assertIsNone(calibration)
                    points = json.loads(self.get(f"/api/series?router={router}"))
                    self.assertTrue(all("people" not in p for p in points))
                    continue
                self.assertTrue(all(line.endswith(",") for line in lines[1:]
                                    if not line.startswith(router + ",")))
                a, b, floor = expected
                self.assertEqual(calibration["floor"], floor)
                for key, value in (("a", a), ("b", b), ("r", 1.0), ("error", 0.0)):
                    self.assertAlmostEqual(calibration[key], value, places=6, msg=key)
                self.assertEqual(calibration["counts"], 72)
                self.assert_people(router, a, b)

    def test_an_estimate_below_zero_is_zero(self):
        self.assertEqual(self.calibrate("north", "cli", counts(a=1, b=-3))[0], 0)
        fitted = self.stored("north")
        self.assertLess(fitted["b"], -0.5)
        self.assert_people("north", fitted["a"], fitted["b"])

    def test_an_unsynced_documents_recount_runs_on_its_own_clock(self):
        """Placed at its arrival, its records on the clock the router booted with: the window
        is the document's own, back to the router's first records as that clock went back."""
        self.assertEqual(self.calibrate("north", "cli", counts())[0], 0)
        booted = 1600000200  # six near devices then
        body = json.loads(document(booted))
        body["clockSynced"] = False
        url = f"{self.collector.url}/ingest?token={add_token(self.db, 'north')}"
        for _ in range(2):  # its resend is stored once
            self.assertEqual(post(url, json.dumps(body)), 200)
        points = json.loads(self.get("/api/series?router=north"))
        self.assertEqual(len(points), DAYS * WINDOWS + 1)
        last = points[-1]
        self.assertEqual(last["clockTime"], stamp(booted))  # placed at its arrival
        self.assertGreater(last["time"], stamp(FIRST + DAYS * DAY))
        # The near six and the earlier address, both above the -70 dB floor.
        self.assertEqual(last["people"], 0.5 * (room(booted)[0] + 1) + 1.0)

    def test_the_route_is_bounded_as_ingest_is(self):
        """A body declared over --max-body-kb, or one naming no router, is refused from its
        head alone: nothing of the body is sent."""
        with Collector(self.db, extra=["--max-body-kb", "64"]) as small:
            for target, length, status in (("/api/calibration", 10, 400),
                                           ("/api/calibration?router=north", 65537, 413)):
                with self.subTest(target=target, length=length):
                    s = connect(small.port)
                    s.sendall(f"POST {target} HTTP/1.1\r\nHost: x\r\nContent-Length: {length}"
                              "\r\n\r\n".encode())
                    self.assertEqual(status_of(s), status)
                    s.close()
            status = post(f"{small.url}/api/calibration?router=north", csv(counts()))
            self.assertEqual(status, 200)


@unittest.skipUnless(postgres.binaries(), "PostgreSQL is not installed")
class CalibrationOnPostgres(Calibration):
    engine = "postgres"


if __name__ == "__main__":
    unittest.main()
