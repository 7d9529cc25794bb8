"""The occupancy lab's days through a real collector, calibrated as a site would: each day
replayed with no signal floor and its documents posted to `pelmar-collector`; people counted
every `--sample-minutes` during the day (06:00 to 18:00 UTC) on one half of the days (the 1st,
3rd, ... by date); `pelmar-collector calibrate` on those counts; and the collector's `"people"`
of every window of the other half held against the people present at the window's middle,
then the other way round (the predictions pooled). Used by occupancy_eval.py --calibrate."""
import calendar
import concurrent.futures
import json
import os
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "collector"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
DAY_START, DAY_END = 6 * 3600, 18 * 3600  # UTC: the lab's working day, give or take an hour


def document_time(document):
    return calendar.timegm(time.strptime(document["systemDateTime"], "%Y-%m-%dT%H:%M:%S+00:00"))


def sampled_counts(rows, table, present, minutes):
    """(time, people) every `minutes` within the day's working hours, where the day's windows
    and its people table reach."""
    if not rows:
        return []
    first, last = rows[0][0], rows[-1][1]
    step = minutes * 60
    counts = []
    for at in range(first - first % step + step, last + 1, step):
        people = present(table, at)
        if DAY_START <= at % 86400 < DAY_END and people is not None:
            counts.append((at, people))
    return counts


def post_all(url, token, days_documents):
    for documents in days_documents:
        for document in documents:
            body = json.dumps(document).encode()
            request = urllib.request.Request(f"{url}/ingest?token={token}", data=body,
                                             headers={"Content-Type": "application/json"})
            with urllib.request.urlopen(request, timeout=60) as answer:
                answer.read()


def people_series(url):
    with urllib.request.urlopen(f"{url}/api/series?router=lab", timeout=600) as answer:
        points = json.load(answer)
    return {calendar.timegm(time.strptime(p["time"], "%Y-%m-%dT%H:%M:%S+00:00")): p.get("people")
            for p in points}


def calibrate(collector_binary, db, counts, path):
    """Runs `calibrate` on `counts`; (its line, seconds it took)."""
    with open(path, "w") as f:
        f.write("time,people\n")
        f.writelines(f"{at},{people}\n" for at, people in counts)
    began = time.monotonic()
    done = subprocess.run([collector_binary, "calibrate", "lab", "--db", db, "--people", path],
                          capture_output=True, text=True)
    took = time.monotonic() - began
    if done.returncode != 0:
        raise RuntimeError(f"calibrate failed: {done.stdout}{done.stderr}")
    return done.stdout.strip(), took


def evaluate(args, days, tables, labelled, present, replay, work):
    """Prints the calibration's figures; returns (r, error in people over occupied windows)."""
    os.environ["PELMAR_COLLECTOR_BINARY"] = args.collector
    from collector import Collector, add_token
    cluster = None
    if args.engine == "postgres":
        from postgres import Cluster
        cluster = Cluster()
        db = cluster.create_database("lab")
    else:
        db = os.path.join(work, "collector.db")
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            runs = {day: pool.submit(replay, args.binary, recording, None, work, args.timeout, True)
                    for day, (recording, _) in days.items()}
            replayed = {day: runs[day].result() for day in days}
        names = sorted(days)
        token = add_token(db, "lab")
        with Collector(db) as collector:
            began = time.monotonic()
            post_all(collector.url, token, [replayed[d][1] for d in names])
            print(f"posted {sum(len(replayed[d][1]) for d in names)} documents of {len(names)}"
                  f" days in {time.monotonic() - began:.0f} s ({args.engine})", flush=True)
            scored = {}
            for fit_days, test_days in ((names[0::2], names[1::2]), (names[1::2], names[0::2])):
                counts = [c for d in fit_days for c in sampled_counts(
                    replayed[d][0], tables[d], present, args.sample_minutes)]
                line, took = calibrate(args.collector, db, counts, os.path.join(work, "counts.csv"))
                print(f"{line} ({took:.1f} s)", flush=True)
                people = people_series(collector.url)
                for d in test_days:
                    rows, docs = replayed[d]
                    at = [document_time(doc) for doc in docs]
                    estimate = {end: people.get(t) for (_, end, *_), t in zip(rows, at)}
                    found = [w[:2] + (estimate[w[1]], w[3]) for w in rows]
                    scored[d] = labelled(found, tables[d])
        missing = sum(1 for rows in scored.values() for w in rows if w[2] is None)
        if missing:
            raise RuntimeError(f"{missing} windows have no \"people\"")
        return figures_of(scored)
    finally:
        if cluster:
            cluster.stop()


def figures_of(scored):
    """(r over every window, mean error in people over the occupied ones) of the estimates."""
    from occupancy_eval import pearson
    rows = [w for d in scored.values() for w in d]
    r = pearson([w[2] for w in rows], [w[4] for w in rows])
    occupied = [abs(w[2] - w[4]) for w in rows if w[4] > 0]
    return r, sum(occupied) / len(occupied), len(rows), len(occupied)
