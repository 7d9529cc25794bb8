#!/usr/bin/env python3
"""What a calibration costs: a month of one router's real documents (the occupancy lab's days,
replayed with no signal floor, laid on 30 consecutive days, the first ones again at the end),
posted to the real collector on SQLite and on PostgreSQL; then `calibrate` on a count every 30
minutes of the working day (06:00-18:00 UTC) over the month, and the month's series with its
"people" read once. Prints the seconds of each, per engine. Goal: a calibration under a minute.
Usage: calibration_month.py DAEMON COLLECTOR DATA_DIR [--engines sqlite,postgres]"""
import argparse
import concurrent.futures
import os
import shutil
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import occupancy_calibration  # noqa: E402
import occupancy_eval  # noqa: E402
from count_eval import scratch  # noqa: E402

DAYS = 30


def month_of_documents(args, work):
    """The documents of 30 consecutive days, in time order, each day one of the lab's."""
    days = occupancy_eval.list_days(args.data_dir)
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        runs = [pool.submit(occupancy_eval.replay, args.daemon, recording, None, work, 600, True)
                for recording, _ in days.values()]
        replayed = [run.result()[1] for run in runs]
    base = occupancy_calibration.document_time(replayed[0][0]) // 86400
    month = {}
    for i in range(DAYS):
        docs = replayed[i % len(replayed)]
        shift = (base + i - occupancy_calibration.document_time(docs[0]) // 86400) * 86400
        for doc in docs:
            at = occupancy_calibration.document_time(doc) + shift
            moved = dict(doc, systemDateTime=time.strftime("%Y-%m-%dT%H:%M:%S+00:00",
                                                           time.gmtime(at)))
            moved["data"] = [dict(r, firstSeen=r["firstSeen"] + shift,
                                  lastSeen=r["lastSeen"] + shift) for r in doc["data"]]
            month.setdefault(at, moved)
    return [month[at] for at in sorted(month)]


def measure(args, db, documents, work):
    from collector import Collector, add_token
    token = add_token(db, "lab")
    with Collector(db) as collector:
        began = time.monotonic()
        occupancy_calibration.post_all(collector.url, token, [documents])
        posted = time.monotonic() - began
        first = occupancy_calibration.document_time(documents[0])
        last = occupancy_calibration.document_time(documents[-1])
        step = 1800
        counts = [(t, (t // step) % 7) for t in range(first - first % step + step, last, step)
                  if 6 * 3600 <= t % 86400 < 18 * 3600]
        line, took = occupancy_calibration.calibrate(args.collector, db, counts,
                                                     os.path.join(work, "counts.csv"))
        began = time.monotonic()
        with urllib.request.urlopen(f"{collector.url}/api/series?router=lab&from={first}",
                                    timeout=600) as answer:
            points = answer.read().count(b'"people"')
        series = time.monotonic() - began
    records = sum(len(d["data"]) for d in documents)
    return (f"{len(documents)} documents, {records} records posted in {posted:.0f} s;"
            f" calibrate {took:.1f} s ({line.split(', ', 1)[1]}); the month's series with"
            f" people ({points} points) {series:.1f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("daemon", type=os.path.abspath)
    parser.add_argument("collector", type=os.path.abspath)
    parser.add_argument("data_dir")
    parser.add_argument("--engines", default="sqlite,postgres")
    args = parser.parse_args()
    os.environ["PELMAR_COLLECTOR_BINARY"] = args.collector
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "collector"))
    import postgres
    work = scratch("pelmar-calibration-month-")
    try:
        documents = month_of_documents(args, work)
        for engine in args.engines.split(","):
            if engine == "postgres":
                cluster = postgres.Cluster(durable=True)
                try:
                    print(f"postgres: {measure(args, cluster.create_database('month'), documents, work)}",
                          flush=True)
                finally:
                    cluster.stop()
            else:
                db = os.path.join(work, "month.db")
                print(f"sqlite: {measure(args, db, documents, work)}", flush=True)
    except (subprocess.CalledProcessError, RuntimeError, OSError) as e:
        print(f"failed: {e}")
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
