"""What the people who run the collector use, against the real collector on both engines: the
version, tokens listed (never themselves) and revoked while it runs, and reading behind a reader
secret sent as a header, a cookie or the link that sets the cookie, with ingest left to tokens."""
import hashlib
import http.client
import itertools
import os
import re
import subprocess
import tempfile
import time
import unittest

import postgres
from collector import BINARY, Collector, add_token, post
from test_attacks import connect, stamp, status_of
from test_page import CHROMIUM, chromium

SECRET = "reader-Secret_0123.~x"
DOCUMENT = '{"hostname":"ap","systemDateTime":"%s","devices":%d,"data":[]}'
READING = ["/", "/chart.js", "/api/routers", "/api/series?router=north", "/api/series.csv",
           "/api/total?from=0"]


def project_version():
    with open(os.path.join(os.path.dirname(__file__), "../../CMakeLists.txt")) as f:
        return re.search(r"project\(pelmar .*VERSION ([0-9.]+)\)", f.read()).group(1)


def request(port, path, method="GET", headers=None, body=None):
    """(status, headers, body text) of one request."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, answer.headers, answer.read().decode(errors="replace")
    finally:
        connection.close()


def token_command(db, *args):
    result = subprocess.run([BINARY, "token", *args, "--db", db], capture_output=True, text=True)
    return result.returncode, result.stdout


class Engines(unittest.TestCase):
    """Each test runs once per engine at hand, on a fresh database."""

    @classmethod
    def setUpClass(cls):
        cls.cluster = postgres.Cluster() if postgres.binaries() else None

    @classmethod
    def tearDownClass(cls):
        if cls.cluster:
            cls.cluster.stop()

    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="pelmar-operator-")
        self.addCleanup(self.work.cleanup)
        self.chart = os.path.join(self.work.name, "chart.js")
        with open(self.chart, "w") as f:
            f.write("window.Chart = undefined;\n")
        self.secret_file = os.path.join(self.work.name, "reader-secret")
        with open(self.secret_file, "w") as f:
            f.write(SECRET + "\n")

    def databases(self):
        engines = [("sqlite", lambda n: os.path.join(self.work.name, n + ".db"))]
        if self.cluster:
            engines.append(("postgres", self.cluster.create_database))
        for engine, make in engines:
            with self.subTest(engine=engine):
                yield make(f"{self._testMethodName[5:20]}_{int(time.time() * 1e6) % 10**9}")


class Version(unittest.TestCase):
    def test_both_programs_print_the_projects_version(self):
        daemon = os.environ.get("PELMAR_BINARY",
                                os.path.join(os.path.dirname(BINARY), "../../pelmar"))
        for (program, name), flag in itertools.product(
                ((BINARY, "pelmar-collector"), (daemon, "pelmar")), ("--version", "-V")):
            with self.subTest(program=name, flag=flag):
                result = subprocess.run([program, flag], capture_output=True, text=True,
                                        timeout=10)
                self.assertEqual((result.returncode, result.stdout),
                                 (0, f"{name} {project_version()}\n"))


class Tokens(Engines):
    def test_listed_without_themselves_and_revoked_while_it_runs(self):
        for db in self.databases():
            before = int(time.time())
            tokens = {name: add_token(db, name) for name in ("north", "south", "west")}
            spare = add_token(db, "north")  # a router may hold two; a revoke ends both
            after = int(time.time())
            sent = stamp(int(time.time()) - 60)
            with Collector(db) as collector:
                ingest = collector.url + "/ingest?token="
                self.assertEqual(post(ingest + tokens["north"], DOCUMENT % (sent, 4), True), 200)
                code, listed = token_command(db, "list")
                self.assertEqual(code, 0)
                lines = [line.split("\t") for line in listed.splitlines()]
                self.assertEqual(lines[0], ["router", "created", "last document"])
                self.assertEqual([(r, last) for r, _, last in lines[1:]],
                                 [("north", sent)] * 2 + [("south", "none"), ("west", "none")])
                for _, created, _ in lines[1:]:
                    self.assertIn(created, {stamp(t) for t in range(before, after + 1)})
                for token in [*tokens.values(), spare]:
                    self.assertNotIn(token, listed)
                    self.assertNotIn(hashlib.sha256(token.encode()).hexdigest(), listed)

                revocations = [  # router, exit code, line
                    ("north", 0, "Revoked 2 tokens of north; its documents stay\n"),
                    ("north", 1, "No token of north\n"),
                    ("east", 1, "No token of east\n"),
                ]
                for router, code, line in revocations:
                    self.assertEqual(token_command(db, "revoke", router), (code, line))
                later = stamp(int(time.time()) - 30)
                # The running collector sees it at once.
                for token, status in ((tokens["north"], 401), (spare, 401), (tokens["south"], 200)):
                    self.assertEqual(post(ingest + token, DOCUMENT % (later, 5), True), status)
                status, _, series = request(collector.port, "/api/series?router=north")
                self.assertEqual((status, series.count('"time"')), (200, 1))  # its documents stay
                self.assertIn("HTTP 401 unknown token", collector.log())
            code, listed = token_command(db, "list")
            self.assertEqual([line.split("\t")[0] for line in listed.splitlines()],
                             ["router", "south", "west"])

    def test_a_wrong_token_command_says_how(self):
        for args in (["token"], ["token", "add"], ["token", "revoke"], ["token", "drop", "x"]):
            with self.subTest(args=args):
                result = subprocess.run([BINARY, *args], capture_output=True, text=True)
                self.assertEqual(result.returncode, 2)
                self.assertIn("token add NAME, token list or token revoke NAME", result.stderr)


class ReaderSecret(Engines):
    def test_reading_needs_the_secret_when_one_is_set_and_ingest_its_token_only(self):
        bearer = {"Authorization": "Bearer " + SECRET}
        credentials = [  # name, headers, right
            ("none", {}, False),
            ("bearer", bearer, True),
            ("bearer in other case and spaces", {"Authorization": "bEaReR   " + SECRET}, True),
            ("wrong bearer", {"Authorization": "Bearer " + SECRET[:-1]}, False),
            ("longer bearer", {"Authorization": "Bearer " + SECRET + "x"}, False),
            ("basic scheme", {"Authorization": "Basic " + SECRET}, False),
            ("cookie", {"Cookie": "pelmar_reader=" + SECRET}, True),
            ("cookie among others", {"Cookie": "a=1; pelmar_reader=" + SECRET + "; b=2"}, True),
            ("wrong cookie", {"Cookie": "pelmar_reader=x" + SECRET}, False),
            ("stale cookie, right bearer", dict(bearer, Cookie="pelmar_reader=old"), True),
            ("the secret as a token", {"Cookie": "token=" + SECRET}, False),
        ]
        for db in self.databases():
            token = add_token(db, "north")
            for secret in (True, False):
                self.read_and_ingest(db, token, credentials, secret)

    def read_and_ingest(self, db, token, credentials, secret):
        # Without a secret anyone reads as before, a key in the link setting no cookie.
        extra = ["--read-secret-file", self.secret_file] if secret else []
        routes = READING + ["/nowhere", "/?range=0"] + ([] if secret else ["/?key=" + SECRET])
        with Collector(db, extra=extra + ["--chart-js", self.chart]) as collector:
            for (name, headers, right), route in itertools.product(credentials, routes):
                with self.subTest(secret=secret, credentials=name, route=route):
                    status, answer, body = request(collector.port, route, "GET", headers)
                    wanted = 401 if secret and not right else 404 if route == "/nowhere" else 200
                    self.assertEqual(status, wanted, body)
                    if wanted == 401:
                        self.assertEqual(answer["WWW-Authenticate"], "Bearer")
                    if wanted == 401 or not secret:
                        self.assertIsNone(answer["Set-Cookie"])
            # Ingest stays the token's: no reader secret needed, and it is not a token.
            now = stamp(int(time.time()))
            self.assertEqual(post(f"{collector.url}/ingest?token={token}",
                                  DOCUMENT % (now, 1), True), 200)
            self.assertEqual(request(collector.port, "/ingest?token=" + SECRET, "POST",
                                     {"Authorization": "Bearer " + SECRET},
                                     DOCUMENT % (now, 1))[0], 401)
            log = collector.log()
        self.assertNotIn(SECRET, log)
        if not secret:
            self.assertNotIn("Reading needs", log)
            return
        self.assertIn("Reading needs the reader secret of ", log)
        self.assertIn("GET /api/routers from 127.0.0.1: HTTP 401 a reader secret is needed", log)
        self.assertIn("HTTP 401 wrong reader secret", log)

    def test_the_link_sets_the_cookie_that_reads_on(self):
        db = os.path.join(self.work.name, "c.db")
        token = add_token(db, "north")
        cookie = (f"pelmar_reader={SECRET}; Path=/; Max-Age=31536000; HttpOnly;"
                  " SameSite=Strict")
        links = [  # name, path, headers, status, Set-Cookie
            ("the link", f"/?key={SECRET}", {}, 200, cookie),
            ("with the page's own settings", f"/?range=0&key={SECRET}&filter=n", {}, 200, cookie),
            ("behind an HTTPS proxy", f"/?key={SECRET}", {"X-Forwarded-Proto": "https"}, 200,
             cookie + "; Secure"),
            ("a proxy that says it otherwise", f"/?key={SECRET}", {"X-Forwarded-Proto": "HTTPS"},
             200, cookie),
            ("wrong key", f"/?key={SECRET}x", {}, 401, None),
            ("empty key", "/?key=", {}, 401, None),
            ("a key is for the page only", f"/api/routers?key={SECRET}", {}, 401, None),
        ]
        with Collector(db, extra=["--read-secret-file", self.secret_file]) as collector:
            for name, path, headers, status, set_cookie in links:
                with self.subTest(name):
                    got, answer, body = request(collector.port, path, "GET", headers)
                    self.assertEqual((got, answer["Set-Cookie"]), (status, set_cookie), body)
                    if set_cookie:
                        self.assertIn("<html", body)
                        self.assertEqual(answer["Cache-Control"], "no-store")
                        self.assertEqual(answer["Referrer-Policy"], "no-referrer")
                        value = answer["Set-Cookie"].split(";")[0]
                        self.assertEqual(request(collector.port, "/api/routers", "GET",
                                                 {"Cookie": value})[0], 200)
            # Any route but ingest (a POST one too) is refused once the head came: a body of
            # 10 MB (within --max-body-kb) is never read.
            for path in ("/api/calibration?router=north", "/anything"):
                with self.subTest(path=path):
                    s = connect(collector.port)
                    s.sendall(f"POST {path} HTTP/1.1\r\nHost: x\r\nContent-Length: 10000000"
                              "\r\n\r\n".encode())
                    self.assertEqual(status_of(s), 401)
                    s.close()
            if CHROMIUM:  # a browser opened by the link draws the page, one without it is refused
                self.assertEqual(post(f"{collector.url}/ingest?token={token}",
                                      DOCUMENT % (stamp(int(time.time()) - 60), 7), True), 200)
                linked = chromium(os.path.join(self.work.name, "p1"), "--dump-dom",
                                  f"{collector.url}/?key={SECRET}")
                bare = chromium(os.path.join(self.work.name, "p2"), "--dump-dom",
                                collector.url + "/")
                self.assertRegex(linked, r"<tr><td>north</td><td>ap</td>")
                self.assertRegex(linked, r'<span id="status">updated ')
                self.assertIn("a reader secret is needed", bare)
                self.assertNotIn("<tr><td>north", bare)
            self.assertNotIn(SECRET, collector.log())
        # Told that it is reached by HTTPS only, it marks the cookie whatever a proxy says.
        with Collector(db, extra=["--read-secret-file", self.secret_file,
                                  "--secure-cookie"]) as collector:
            for headers in ({}, {"X-Forwarded-Proto": "HTTPS"}):
                self.assertEqual(request(collector.port, f"/?key={SECRET}", "GET",
                                         headers)[1]["Set-Cookie"], cookie + "; Secure")

    def test_a_weak_or_missing_secret_stops_the_start(self):
        db = os.path.join(self.work.name, "c.db")
        weak = "must be one line of 16 to 256"
        cases = [  # name, file's text (None: no file), line on standard error
            ("no file", None, "cannot read the reader secret in "), ("empty", "", weak),
            ("a file without end", "/dev/zero", weak), ("a folder", "/", weak),
            ("short", "0123456789abcde\n", weak), ("a space", "0123456789 abcdef\n", weak),
            ("a semicolon", "0123456789;abcdef\n", weak),
            ("two lines", "0123456789abcdef\n\n", None),  # the first line is the secret
        ]
        for name, text, line in cases:
            with self.subTest(name):
                path = os.path.join(self.work.name, "secret-" + name.replace(" ", "-"))
                if text and text.startswith("/"):
                    path = text
                elif text is not None:
                    with open(path, "w") as f:
                        f.write(text)
                if line is None:
                    with Collector(db, extra=["--read-secret-file", path]) as collector:
                        self.assertEqual(request(collector.port, "/", "GET", {
                            "Authorization": "Bearer 0123456789abcdef"})[0], 200)
                    continue
                result = subprocess.run([BINARY, "--db", db, "--listen", "127.0.0.1:1",
                                         "--read-secret-file", path], capture_output=True,
                                        text=True, timeout=10)
                self.assertEqual(result.returncode, 2)
                self.assertIn(line, result.stderr)


if __name__ == "__main__":
    unittest.main()
