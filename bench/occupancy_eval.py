#!/usr/bin/env python3
"""How well the daemon's device count follows the people in a room: each day of a labelled
recording set (DAY.pcap with DAY.people.csv: `time,people` at each change) is replayed on its
own clock (capture_file, count_devices, backups every 300 s of recorded time), and each
document's "devices" is held against the people present at its window's middle (windows whose
middle comes before a day's first line are left out). Prints the Pearson correlation over all
windows, and the mean absolute error in people of one straight line (least squares, people =
a * devices + b) fitted on every window of alternate days (the 1st, 3rd, ... by date) and applied
to the occupied windows of the others, and the other way round (the errors pooled); the same for
the addresses heard in each window, for reference; for each signal floor (`min_signal`).
With --calibrate COLLECTOR, the days also go through the real collector, calibrated on counts
sampled as a site would count (see occupancy_calibration.py): r and error of its "people".
Exit status: 0, 1 when a figure passes its limit or a run fails, 77 when the set is absent.
Usage: occupancy_eval.py BINARY DATA_DIR [--floor none|DB ...] [--curve] [--jobs 2]
       [--limits FILE] [--calibrate COLLECTOR [--engine sqlite|postgres] [--sample-minutes 30]]"""
import argparse
import bisect
import concurrent.futures
import glob
import math
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcaps  # noqa: E402
from count_eval import Failure, documents, recount_misses, run_daemon, scratch  # noqa: E402

SKIP = 77
WINDOW = 300
CURVE = [None, -90, -85, -80, -75, -70, -65, -60]


def people_table(path):
    """(times, counts) of a day's people table, in time order; Failure when it is malformed."""
    rows = []
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if not lines or lines[0].strip() != "time,people":
        raise Failure(f"{path}: no `time,people` header")
    for number, line in enumerate(lines[1:], 2):
        try:
            time, people = line.split(",")
            rows.append((float(time), int(people)))
        except ValueError:
            raise Failure(f"{path}:{number}: not `time,people`")
    if not rows:
        raise Failure(f"{path}: no people counted")
    rows.sort()
    return [t for t, _ in rows], [p for _, p in rows]


def present(table, time):
    """People present at `time` (seconds), None before the table's first line."""
    times, counts = table
    at = bisect.bisect_right(times, time)
    return counts[at - 1] if at else None


def windows(docs, ends, first_second):
    """(start, end, devices, addresses) of each document; a document's window runs from the
    previous one's end (the first from the recording's first second) to the second its name
    gives; addresses are the records last heard inside it."""
    found, start = [], first_second
    for doc, end in zip(docs, ends):
        heard = sum(1 for r in doc.get("data", [])
                    if isinstance(r, dict) and isinstance(r.get("lastSeen"), int)
                    and r["lastSeen"] >= start)
        count = doc.get("devices")
        if not isinstance(count, int):
            raise Failure(f"document {end} has no device count")
        found.append((start, end, count, heard))
        start = end
    return found


def replay(binary, day_pcap, floor, work, timeout, keep_documents=False):
    """(start, end, devices, addresses) of each window of one day with one signal floor; with
    `keep_documents`, also the day's documents (in time order)."""
    name = os.path.basename(day_pcap)[:-5] + f"-floor{floor}"
    backups = os.path.join(work, name)
    extra = "" if floor is None else f"min_signal = {floor}\n"
    run_daemon(binary, day_pcap, WINDOW, backups, timeout, extra, backups + ".conf")
    docs = documents(backups)
    recount_misses(docs)  # what the records name is the count, give or take a moved address
    ends = sorted(int(os.path.basename(p)[:-4]) for p in glob.glob(os.path.join(backups, "*.dat")))
    shutil.rmtree(backups, ignore_errors=True)
    if not docs:
        raise Failure(f"{name}: no document")
    found = windows(docs, ends, first_frame_second(day_pcap))
    return (found, docs) if keep_documents else found


def first_frame_second(path):
    """The second of a pcap file's first record (the daemon's windows start there)."""
    _, packets, _ = pcaps.read_pcap(path)
    if not packets:
        raise Failure(f"{path}: no frame")
    return packets[0].time // 1_000_000


def pearson(xs, ys):
    n = len(xs)
    if n < 2:
        return 0.0
    mx, my = sum(xs) / n, sum(ys) / n
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    sxx = sum((x - mx) ** 2 for x in xs)
    syy = sum((y - my) ** 2 for y in ys)
    return sxy / math.sqrt(sxx * syy) if sxx and syy else 0.0


def line_fit(xs, ys):
    """(a, b) of the least-squares line y = a * x + b (a flat line when x does not vary)."""
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    a = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx else 0.0
    return a, my - a * mx


def figures(days, column):
    """(r over all windows, MAE over occupied windows) of one column (2: devices, 3: addresses)
    of {day: [(window..., people)]}. Days alternate between two halves; a line fitted on every
    window of one half (empty rooms too: what a site sees most) predicts the other's occupied
    windows, both ways, and the errors are pooled."""
    every = [(w[column], w[4]) for rows in days.values() for w in rows]
    r = pearson([x for x, _ in every], [y for _, y in every])
    names = sorted(days)
    errors = []
    for fit_days, test_days in ((names[0::2], names[1::2]), (names[1::2], names[0::2])):
        fit = [(w[column], w[4]) for d in fit_days for w in days[d]]
        test = [(w[column], w[4]) for d in test_days for w in days[d] if w[4] > 0]
        if not fit or not test:
            raise Failure("too few occupied windows to fit a line and test it")
        a, b = line_fit([x for x, _ in fit], [y for _, y in fit])
        errors += [abs(a * x + b - y) for x, y in test]
    return r, sum(errors) / len(errors)


def labelled(rows, table):
    """The windows with the people present at each one's middle; those whose middle comes before
    the table's first line are left out."""
    found = []
    for start, end, count, heard in rows:
        people = present(table, (start + end) / 2)
        if people is not None:
            found.append((start, end, count, heard, people))
    return found


def list_days(directory):
    """{day: (pcap, people table)} of the days that have both."""
    days = {}
    for path in sorted(glob.glob(os.path.join(directory, "*.people.csv"))):
        day = os.path.basename(path)[:-len(".people.csv")]
        recording = os.path.join(directory, day + ".pcap")
        if os.path.isfile(recording):
            days[day] = (recording, path)
    return days


def floor_text(floor):
    return "none" if floor is None else str(floor)


def read_limits(path):
    """{floor: (smallest r, largest MAE)} from lines `floor r mae` ('none' for no floor,
    'calibrated' for the collector's calibration)."""
    limits = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fields = line.split("#")[0].split()
            if not fields:
                continue
            try:
                floor, r, mae = fields
                key = floor if floor == "calibrated" else None if floor == "none" else int(floor)
                limits[key] = (float(r), float(mae))
            except ValueError:
                raise Failure(f"{path}:{number}: not `floor r mae`")
    return limits


def evaluate(args, days, floors, work):
    """{floor: {day: labelled windows}}, the days replayed `args.jobs` at a time."""
    tables = {day: people_table(csv) for day, (_, csv) in days.items()}
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        runs = {(floor, day): pool.submit(replay, args.binary, recording, floor, work, args.timeout)
                for floor in floors for day, (recording, _) in days.items()}
        return {floor: {day: labelled(runs[floor, day].result(), tables[day]) for day in days}
                for floor in floors}


def report(results, limits):
    """Prints one line per floor; returns what passes its limit."""
    print("floor | devices: r  MAE | addresses: r  MAE | windows, occupied (MAE in people)")
    failed = []
    for floor, days in results.items():
        r, mae = figures(days, 2)
        r_heard, mae_heard = figures(days, 3)
        rows = [w for d in days.values() for w in d]
        occupied = sum(1 for w in rows if w[4] > 0)
        print(f"{floor_text(floor):>5} |     {r:5.3f} {mae:4.2f} |"
              f"       {r_heard:5.3f} {mae_heard:4.2f} | {len(rows)}, {occupied}", flush=True)
        low_r, high_mae = limits.get(floor, (None, None))
        if low_r is not None and round(r, 3) < low_r:
            failed.append(f"floor {floor_text(floor)}: r {r:.3f} under {low_r}")
        if high_mae is not None and round(mae, 2) > high_mae:
            failed.append(f"floor {floor_text(floor)}: MAE {mae:.2f} over {high_mae}")
    return failed


def report_calibration(args, days, work, limits):
    """Runs the calibration through the collector and prints its figures; returns what passes
    its limit."""
    import occupancy_calibration
    tables = {day: people_table(csv) for day, (_, csv) in days.items()}
    r, mae, count, occupied = occupancy_calibration.evaluate(args, days, tables, labelled, present,
                                                             replay, work)
    print(f"calibrated ({args.engine}, a count every {args.sample_minutes} min): r {r:.3f},"
          f" error {mae:.2f} people | windows {count}, occupied {occupied}", flush=True)
    low_r, high_mae = limits.get("calibrated", (None, None))
    failed = []
    if low_r is not None and round(r, 3) < low_r:
        failed.append(f"calibrated: r {r:.3f} under {low_r}")
    if high_mae is not None and round(mae, 2) > high_mae:
        failed.append(f"calibrated: error {mae:.2f} over {high_mae}")
    return failed


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("binary", type=os.path.abspath)
    parser.add_argument("data_dir")
    parser.add_argument("--floor", action="append",
                        help="a signal floor in dB, or none (again for more); absent: none, -70")
    parser.add_argument("--curve", action="store_true", help="every floor from none to -60")
    parser.add_argument("--jobs", type=int, default=2, help="days replayed at once")
    parser.add_argument("--limits", help="lines `floor r mae`: the smallest r, largest MAE")
    parser.add_argument("--keep", help="write the configurations and documents here")
    parser.add_argument("--timeout", type=float, default=600, help="seconds per daemon run")
    parser.add_argument("--calibrate", metavar="COLLECTOR", type=os.path.abspath,
                        help="also calibrate through this pelmar-collector and score its people")
    parser.add_argument("--engine", choices=["sqlite", "postgres"], default="sqlite")
    parser.add_argument("--sample-minutes", type=int, default=30,
                        help="minutes between the sampled counts of people")
    parser.add_argument("--no-floors", action="store_true", help="only the calibration")
    args = parser.parse_args()
    try:
        floors = [None if f == "none" else int(f) for f in args.floor or ["none", "-70"]]
    except ValueError:
        parser.error("--floor takes a number of dB or none")
    args.floors = CURVE if args.curve else list(dict.fromkeys(floors))
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    return args


def main():
    args = arguments()
    days = list_days(args.data_dir) if os.path.isdir(args.data_dir) else {}
    if not days:
        print(f"{args.data_dir} has no days to replay: occupancy evaluation skipped")
        return SKIP
    work = args.keep or scratch("pelmar-occupancy-")
    os.makedirs(work, exist_ok=True)
    try:
        limits = read_limits(args.limits) if args.limits else {}
        print(f"{len(days)} days, windows of {WINDOW} s, people at each window's middle; a line"
              f" fitted on days 1, 3, 5... tested on days 2, 4, 6... and the other way round")
        failed = [] if args.no_floors else report(evaluate(args, days, args.floors, work), limits)
        if args.calibrate:
            args.collector = args.calibrate
            failed += report_calibration(args, days, work, limits)
    except (Failure, OSError, ValueError, RuntimeError) as e:
        print(f"occupancy evaluation failed: {e}")
        return 1
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    for line in failed:
        print(f"regressed: {line}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
