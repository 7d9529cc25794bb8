"""The real collector for end-to-end tests: started on a free loopback port over a database,
its log kept in a file, stopped by its pid; and curl posting as the daemon does."""
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from daemon import wait_for  # noqa: E402
from postgres import free_port  # noqa: E402  (released at once: the collector binds it itself)

BINARY = os.environ.get("PELMAR_COLLECTOR_BINARY",
                        os.path.join(os.path.dirname(__file__), "../../build/pelmar-collector"))


def add_token(db, router):
    return subprocess.run([BINARY, "token", "add", router, "--db", db], check=True,
                          capture_output=True, text=True).stdout.strip()


class Collector:
    def __init__(self, db, port=None, extra=()):
        self.db = db
        self.port = port or free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log_file = tempfile.NamedTemporaryFile(prefix="pelmar-collector-", suffix=".log")
        self.process = subprocess.Popen(
            [BINARY, "--db", db, "--listen", f"127.0.0.1:{self.port}", *extra],
            stdout=self.log_file, stderr=subprocess.STDOUT)
        if not wait_for(lambda: "Listening on" in self.log() or self.process.poll() is not None):
            raise RuntimeError("the collector did not start: " + self.log())

    def log(self):
        with open(self.log_file.name) as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=30)
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *args):
        self.stop()


def stored(db):
    """(router, hostname, time, devices, records) of every stored document, in time order."""
    with sqlite3.connect(db) as connection:
        return connection.execute("SELECT router, hostname, time, devices, records FROM documents"
                                  " ORDER BY at, router").fetchall()


def post(url, body, inline=False):
    """HTTP status of `body` posted with the daemon's own curl command line: on the command line
    for a short document, else streamed from standard input with its length."""
    if inline:
        command = ["curl", "-X", "POST", "-H", "Content-Type:application/json", "-d", body, url]
    else:
        command = ["curl", "-X", "POST", "-H", "Content-Type:application/json", "-H", "Expect:",
                   "-H", "Transfer-Encoding:", "-H", f"Content-Length: {len(body)}", "-T", "-",
                   url]
    result = subprocess.run(command + ["-s", "-o", "/dev/null", "-w", "%{http_code}"],
                            input=body if isinstance(body, bytes) else body.encode(),
                            capture_output=True)
    return int(result.stdout or 0)
