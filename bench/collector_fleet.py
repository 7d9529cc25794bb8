#!/usr/bin/env python3
"""A fleet's day into PostgreSQL, then its page: ROUTERS routers (2,000 by default) each post a
document of RECORDS records every INTERVAL seconds of one day, every router's clock at its own
second, as fast as the collector takes them (the day compressed); then the page's own queries
(/api/routers, the day's sum from /api/total, the eight busiest routers' series) and the page
drawn in headless Chromium. Prints documents per second, each query's time and size, the
page's time to draw, and the collector's resident memory (idle, under load, serving the page).
Usage: collector_fleet.py COLLECTOR FLEET_LOADER [--routers N] [--interval S] [--records R]
       [--threads T]"""
import argparse
import hashlib
import json
import os
import re
import secrets
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "collector"))
import collector  # noqa: E402
import postgres  # noqa: E402
from collector_ingest import rss_kb  # noqa: E402
from test_page import CHROMIUM, chromium  # noqa: E402


def add_tokens(cluster, db, count, path):
    """`count` routers r0000... with tokens, written one a line to `path`."""
    tokens = [secrets.token_hex(24) for _ in range(count)]
    rows = "".join(f"{hashlib.sha256(t.encode()).hexdigest()}\tr{i:04d}\n"
                   for i, t in enumerate(tokens))
    subprocess.run([cluster.psql, db, "-qc", r"\copy tokens(hash, router) FROM STDIN"],
                   input=rows, text=True, check=True)
    with open(path, "w") as f:
        f.write("\n".join(tokens) + "\n")


def timed_get(url):
    began = time.monotonic()
    body = subprocess.run(["curl", "-sf", url], capture_output=True, check=True).stdout
    return time.monotonic() - began, body


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("collector")
    parser.add_argument("loader")
    parser.add_argument("--routers", type=int, default=2000)
    parser.add_argument("--interval", type=int, default=600)
    parser.add_argument("--records", type=int, default=20)
    parser.add_argument("--threads", type=int, default=4)
    args = parser.parse_args()
    if not postgres.binaries():
        print("PostgreSQL is not installed: nothing measured")
        return 0
    collector.BINARY = args.collector
    cluster = postgres.Cluster(durable=True)
    work = tempfile.TemporaryDirectory(prefix="pelmar-fleet-")
    try:
        db = cluster.create_database("fleet")
        collector.add_token(db, "schema")  # makes the schema
        cluster.query(db, "DELETE FROM tokens")
        tokens = os.path.join(work.name, "tokens")
        add_tokens(cluster, db, args.routers, tokens)
        now = int(time.time())
        start = (now - 86400) // args.interval * args.interval
        windows = (now - start - args.interval) // args.interval + 1
        with collector.Collector(db) as running:
            pid = running.process.pid
            idle = rss_kb(pid)
            peak, done = [idle], threading.Event()

            def sample():
                while not done.wait(0.5):
                    peak.append(rss_kb(pid))
            sampler = threading.Thread(target=sample)
            sampler.start()
            try:
                load = subprocess.run(
                    [args.loader, "127.0.0.1", str(running.port), tokens, str(start),
                     str(args.interval), str(windows), str(args.records), str(args.threads)],
                    capture_output=True, text=True)
                under_load = max(peak)
                print(f"{args.routers} routers, a document of {args.records} records every "
                      f"{args.interval} s for a day ({windows} windows): {load.stdout.strip()}")
                base = f"{running.url}/api"
                took, body = timed_get(f"{base}/routers")
                routers = json.loads(body)
                print(f"/api/routers: {took:.2f} s, {len(body)} bytes")
                took, body = timed_get(f"{base}/total?from={now - 86400}&to={now + 86400}"
                                       f"&step=86")
                print(f"/api/total (the day's sum): {took:.2f} s, {len(json.loads(body))} sums")
                busiest = sorted(routers, key=lambda r: -r["devices"])[:8]
                began = time.monotonic()
                for r in busiest:
                    timed_get(f"{base}/series?router={r['router']}&from={now - 86400}"
                              f"&to={now + 86400}")
                print(f"/api/series of the 8 busiest: {time.monotonic() - began:.2f} s")
                if CHROMIUM:
                    began = time.monotonic()
                    dom = chromium(os.path.join(work.name, "profile"), "--dump-dom",
                                   running.url + "/?range=86400")
                    drawn = re.search(r'data-drawn="(\w+)" data-lines="(\d+)" data-took="(\d+)"',
                                      dom)
                    print(f"page in Chromium: drawn {drawn.group(1) if drawn else 'no'}, "
                          f"{drawn.group(2) if drawn else 0} lines and the sum, "
                          f"{drawn.group(3) if drawn else '?'} ms from its first request to "
                          f"drawn ({time.monotonic() - began:.1f} s with Chromium's start)")
                else:
                    print("Chromium is not installed: the page was not drawn")
            finally:
                done.set()
                sampler.join()
            print(f"collector RSS: {idle} KiB idle, largest {under_load} KiB under load, "
                  f"largest {max(peak)} KiB with the page")
        size = int(cluster.query(db, "SELECT pg_database_size(current_database())"))
        print(f"database: {size / 2**20:.0f} MiB")
        return load.returncode
    finally:
        cluster.stop()
        work.cleanup()


if __name__ == "__main__":
    sys.exit(main())
