#!/usr/bin/env python3
"""Ingest of the real collector: documents of 500 records posted one connection each from a few
threads (collector_load) into SQLite and into PostgreSQL (a private cluster with its default,
durable settings), documents per second and the collector's resident memory sampled along the
run (first, largest, last). Goals on a 2-core machine: 300/s SQLite, 150/s PostgreSQL.
Usage: collector_ingest.py COLLECTOR LOAD [--seconds S] [--threads T] [--engines sqlite,postgres]"""
import argparse
import os
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "collector"))
import collector  # noqa: E402
import postgres  # noqa: E402


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def measure(db, args):
    tokens = [collector.add_token(db, f"bench{t}") for t in range(args.threads)]
    with collector.Collector(db) as running:
        samples, done = [], threading.Event()

        def sample():
            while not done.wait(1):
                samples.append(rss_kb(running.process.pid))
        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            result = collector.subprocess.run(
                [args.load, "127.0.0.1", str(running.port), ",".join(tokens), str(args.seconds),
                 str(args.records)], capture_output=True, text=True)
        finally:
            done.set()
            sampler.join()
        samples = samples or [rss_kb(running.process.pid)]
        print(f"  {result.stdout.strip()}")
        print(f"  collector RSS: {samples[0]} KiB after 1 s, largest {max(samples)} KiB, "
              f"last {samples[-1]} KiB ({len(samples)} samples)")
    records = args.records * int(result.stdout.split()[0] or 0)
    print(f"  database: {database_bytes(db) / max(records, 1):.0f} bytes per record")
    return result.returncode


def database_bytes(db):
    """The database's size on disk: the SQLite file with its journal, or PostgreSQL's own."""
    if "://" in db:
        return int(collector.subprocess.run(
            [os.path.join(postgres.binaries(), "psql"), db, "-Atc",
             "SELECT pg_database_size(current_database())"], capture_output=True,
            text=True).stdout or 0)
    return sum(os.path.getsize(db + tail) for tail in ("", "-wal") if os.path.exists(db + tail))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("collector")
    parser.add_argument("load")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--records", type=int, default=500)
    parser.add_argument("--engines", default="sqlite,postgres")
    args = parser.parse_args()
    collector.BINARY = args.collector
    failed = 0
    for engine in args.engines.split(","):
        print(f"{engine}:")
        if engine == "sqlite":
            with tempfile.TemporaryDirectory(prefix="pelmar-bench-") as work:
                failed |= measure(os.path.join(work, "collector.db"), args)
        elif not postgres.binaries():
            print("  PostgreSQL is not installed: skipped")
        else:
            cluster = postgres.Cluster(durable=True)
            try:
                failed |= measure(cluster.create_database("bench"), args)
            finally:
                cluster.stop()
    return failed


if __name__ == "__main__":
    sys.exit(main())
