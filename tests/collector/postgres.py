"""A private PostgreSQL cluster for tests and benchmarks: initdb into a temporary folder as
user postgres, the server on a loopback port, stopped by its own pid. Run as a script, starts
one, runs the given test binary with PELMAR_TEST_POSTGRES set to its connection string, stops
it; without PostgreSQL, runs the binary's other cases after one line saying so."""
import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def binaries():
    """The newest installed PostgreSQL's bin folder; None when PostgreSQL is not installed."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(found[-1]) if found else None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cluster:
    """Started on construction; `url` reaches its "postgres" database; `stop()` ends it and
    removes its files."""

    def __init__(self, durable=False):
        bin_dir = binaries()
        self.dir = tempfile.mkdtemp(prefix="pelmar-pg-")
        shutil.chown(self.dir, "postgres", "postgres")
        data = os.path.join(self.dir, "data")
        self.port = free_port()

        def as_postgres(*command):
            subprocess.run(["runuser", "-u", "postgres", "--", *command], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, cwd=self.dir)
        as_postgres(os.path.join(bin_dir, "initdb"), "-D", data, "-A", "trust", "-U", "postgres",
                    "-E", "UTF8", "--no-sync")
        settings = f"-p {self.port} -k {self.dir} -c listen_addresses=127.0.0.1"
        if not durable:  # tests need no crash safety; the benchmark keeps the defaults
            settings += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
        self.start = lambda: as_postgres(os.path.join(bin_dir, "pg_ctl"), "start", "-w", "-D",
                                         data, "-o", settings, "-l",
                                         os.path.join(self.dir, "log"))
        self.start()
        self.url = f"postgresql://postgres@127.0.0.1:{self.port}/postgres"
        self.psql = os.path.join(bin_dir, "psql")

    def create_database(self, name):
        """A new empty database; its connection string."""
        subprocess.run([self.psql, self.url, "-qc", f"CREATE DATABASE {name}"], check=True)
        return self.url.rsplit("/", 1)[0] + "/" + name

    def query(self, url, sql):
        return subprocess.run([self.psql, url, "-Atc", sql], check=True, capture_output=True,
                              text=True).stdout.strip()

    def halt(self):
        """Ends the server (a fast shutdown) by its pid; `start()` starts it again."""
        with open(os.path.join(self.dir, "data", "postmaster.pid")) as f:
            pid = int(f.readline())
        os.kill(pid, signal.SIGINT)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and os.path.exists(f"/proc/{pid}"):
            time.sleep(0.05)

    def stop(self):
        self.halt()
        shutil.rmtree(self.dir, ignore_errors=True)


if __name__ == "__main__":
    if not binaries():
        print("PostgreSQL is not installed: its cases are skipped")
        sys.exit(subprocess.run(sys.argv[1:] + ["--gtest_filter=-*postgres_*"]).returncode)
    cluster = Cluster()
    try:
        code = subprocess.run(sys.argv[1:], env=dict(os.environ, PELMAR_TEST_POSTGRES=cluster.url))
    finally:
        cluster.stop()
    sys.exit(code.returncode)
