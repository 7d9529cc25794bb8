#!/usr/bin/env python3
"""How well the daemon counts phones through address randomisation (`count_devices`), on a
labelled set of recordings (one phone per file, label = file name before its first '_'), beside
a published baseline linker run on the same frames.

For each scene and channel asked for, builds what one router there would hear (bench/scenes.py:
today's scene, every phone starting together, and stress scenes), runs the daemon on it with
backups every --report-time seconds of recorded time, and scores its documents against the
labels: error of the per-window device counts, the whole recording's count (the daemon's own,
run again with one window over all of it), and the homogeneity, completeness and V-measure of
the addresses' groups. The baseline's groups are scored the same way; one table shows both.
Each document's records are recounted (recounts): the distinct "device" of those heard in its
window must give its "devices", or one fewer where an address moved to another group.
Exit status: 0, 1 when a daemon figure passes its threshold or the run fails, 77 when the set
is absent.
Usage: count_eval.py BINARY DATA_DIR --channel N [--channel N ...] [--scene NAME ...]
       [--report-time 300] [--set-local] [--keep DIR] [--thresholds FILE]
       [--max-window-error PCT] [--max-whole-error PCT] [--min-v X]"""
import argparse
import datetime
import glob
import json
import math
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
from collections import Counter, defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import count_baseline  # noqa: E402
import pcaps  # noqa: E402
import scenes  # noqa: E402

EPOCH = scenes.EPOCH
SKIP = 77


class Failure(Exception):
    pass


def load_set(directory):
    """{label: [[packets of one file]]}, the number of frames without a channel field, and the
    probe requests' captured sizes."""
    phones, unplaced, sizes = {}, 0, []
    for label, paths in pcaps.labelled_files(directory).items():
        for path in paths:
            link, packets, cut = pcaps.read_pcap(path)
            if link != pcaps.RADIOTAP:
                raise Failure(f"{path}: link type {link}, not radiotap ({pcaps.RADIOTAP})")
            if cut:
                print(f"{os.path.basename(path)}: last {cut} bytes are a cut record, left out")
            sizes += [len(p.data) for p in packets if pcaps.is_probe_request(p.data)]
            placed = [p for p in packets if pcaps.channel_frequency(p.data) is not None]
            unplaced += len(packets) - len(placed)
            phones.setdefault(label, []).append(placed)
    return phones, unplaced, sizes


def scene(phones, channel, set_local, name="today"):
    """The merged frames one router on `channel` hears, as (time, label, packet) in time order."""
    return scenes.build(phones, channel, name, set_local)


def run_daemon(binary, recording, report_time, backups, timeout, extra="", config=None):
    """Replays `recording` with device counting, its documents in `backups`; `extra` adds lines
    to the configuration, written to `config` (absent: count.conf beside the recording)."""
    shutil.rmtree(backups, ignore_errors=True)  # no document of an earlier run
    os.makedirs(backups)
    open(os.path.join(backups, "writebackup"), "w").close()
    config = config or os.path.join(os.path.dirname(recording), "count.conf")
    with open(config, "w") as f:
        f.write(f"[pelmar]\ncapture_file = {recording}\nexit_at_end = 1\ncount_devices = 1\n"
                f"report_time = {report_time}\nbackup_dir = {backups}\n{extra}")
    command = shlex.split(os.environ.get("PELMAR_RUNNER", "")) + [binary]
    try:
        done = subprocess.run(command, env=dict(os.environ, PELMAR_CONFIG=config),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        raise Failure(f"the daemon did not end within {timeout} s: {tail(e.stdout)}")
    if done.returncode != 0:
        raise Failure(f"the daemon ended with status {done.returncode}: "
                      f"{tail(done.stdout + done.stderr)}")


def tail(output, lines=5):
    text = (output or b"").decode(errors="replace").strip().splitlines()
    return " | ".join(text[-lines:]) or "(no output)"


def documents(backups):
    """The backup documents, by the number in their names."""
    paths = glob.glob(os.path.join(backups, "*.dat"))
    stem = lambda p: os.path.basename(p)[:-4]
    paths.sort(key=lambda p: (int(stem(p)) if stem(p).isdigit() else math.inf, stem(p)))
    found = []
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                document = json.load(f)
        except (OSError, ValueError) as e:
            raise Failure(f"{os.path.basename(path)} is not a JSON document: {e}")
        if not isinstance(document, dict) or not isinstance(document.get("data", []), list):
            raise Failure(f"{os.path.basename(path)} has no list of records")
        found.append(document)
    return found


def records(document):
    """(address, device group) of each record; a record without a group is its own."""
    pairs = []
    for record in document.get("data", []):
        if isinstance(record, dict) and isinstance(record.get("mac"), str):
            mac = record["mac"].lower()
            pairs.append((mac, str(record.get("device", mac))))
    return pairs


def groups(docs):
    """Each address's device group: the last one a document named (a record names its group only
    while that counts as a device), else the address itself."""
    found = {}
    for document in docs:
        for record in document.get("data", []):
            if isinstance(record, dict) and isinstance(record.get("mac"), str):
                mac = record["mac"].lower()
                if "device" in record:
                    found[mac] = str(record["device"])
                else:
                    found.setdefault(mac, mac)
    return found


def document_time(document):
    """The document's "systemDateTime" in seconds since the epoch, None when it has none."""
    try:
        stamp = datetime.datetime.fromisoformat(document["systemDateTime"])
    except (KeyError, TypeError, ValueError):
        return None
    return int(stamp.timestamp())


def recounts(docs):
    """(time, "devices", recount) of each document: the recount is the distinct "device" among
    its records last heard in its window, from the previous document's time on (the first: all;
    frames of the second a document is stamped with come after it, but for a recording's last
    document and a day's closing one, which take the second of their last frames)."""
    found, start = [], -math.inf
    for document in docs:
        end = document_time(document)
        if end is None:
            raise Failure("a document without a time")
        named = {r["device"] for r in document.get("data", [])
                 if isinstance(r, dict) and "device" in r and isinstance(r.get("lastSeen"), int)
                 and start <= r["lastSeen"] <= end}
        found.append((end, document.get("devices"), len(named)))
        start = end
    return found


def recount_misses(docs):
    """The documents whose recount differs from their "devices", as text; Failure when one is
    above it or more than one below. One below is an address that moved to another group within
    the window: its record names the new one only."""
    misses = []
    for end, devices, recount in recounts(docs):
        if devices != recount:
            misses.append(f"document {end}: devices {devices}, its records name {recount}")
        if not isinstance(devices, int) or not devices - 1 <= recount <= devices:
            raise Failure(misses[-1])
    return misses


def devices(document):
    """The document's device count; without one, its distinct addresses."""
    count = document.get("devices")
    return count if isinstance(count, int) else len({mac for mac, _ in records(document)})


def window_truth(heard, report_time):
    """Labels heard in each window of report_time seconds from the first frame's second (the
    daemon's clock, like the capture tool's stamps, counts whole seconds)."""
    if not heard:
        return []
    first = heard[0][0] // 1_000_000
    windows = [set() for _ in range((heard[-1][0] // 1_000_000 - first) // report_time + 1)]
    for time, label, _ in heard:
        windows[(time // 1_000_000 - first) // report_time].add(label)
    return [len(w) for w in windows]


def entropy(counts):
    total = sum(counts)
    return -sum(c / total * math.log(c / total) for c in counts if c) if total else 0.0


def conditional_entropy(pairs):
    """H(first | second) over a list of (first, second) pairs."""
    by_second = defaultdict(Counter)
    for first, second in pairs:
        by_second[second][first] += 1
    total = len(pairs)
    return sum(sum(c.values()) / total * entropy(list(c.values())) for c in by_second.values())


def v_measure(pairs):
    """(homogeneity, completeness, V) of (class, cluster) pairs, beta 1."""
    classes = entropy(list(Counter(c for c, _ in pairs).values()))
    clusters = entropy(list(Counter(k for _, k in pairs).values()))
    h = 1.0 - conditional_entropy(pairs) / classes if classes else 1.0
    c = 1.0 - conditional_entropy([(k, c) for c, k in pairs]) / clusters if clusters else 1.0
    return h, c, (2 * h * c / (h + c) if h + c else 0.0)


def matched_windows(docs, truth, labels, report_time):
    """The truth to hold the documents against. A daemon without device counting (documents
    without "devices") reports on the wall clock: its one document spans the whole recording."""
    if len(docs) == len(truth):
        return truth
    if len(docs) == 1 and "devices" not in docs[0]:
        print(f"one document without a device count for {len(truth)} windows:"
              " scored as one window (a daemon without count_devices)")
        return [labels]
    raise Failure(f"{len(docs)} documents for {len(truth)} windows of {report_time} s")


def score(heard, docs, whole_docs, report_time):
    """The channel's figures from the documents of report_time windows and those of one window
    over the whole recording; Failure when the documents do not match the windows."""
    labels = len({label for _, label, _ in heard})
    truth = matched_windows(docs, window_truth(heard, report_time), labels, report_time)
    errors = [abs(devices(d) - t) for d, t in zip(docs, truth)]
    label_of = {pcaps.mac_text(pcaps.transmitter(p.data)): label for _, label, p in heard
                if pcaps.transmitter(p.data) is not None}
    group_of = groups(docs)
    pairs = [(label_of[mac], group) for mac, group in group_of.items() if mac in label_of]
    whole = sum(devices(d) for d in whole_docs)
    return {"windows": len(truth),
            "window": 100.0 * sum(errors) / sum(truth) if sum(truth) else 0.0,
            "mae": sum(errors) / len(truth) if truth else 0.0,
            "whole": whole, "labels": labels,
            "whole_error": 100.0 * (whole - labels) / labels if labels else 0.0,
            "addresses": len(pairs), "strangers": len(group_of) - len(pairs),
            "hcv": v_measure(pairs) if pairs else (0.0, 0.0, 0.0)}


def summary(where, f):
    h, c, v = f["hcv"]
    strangers = f", {f['strangers']} addresses not in the scene" if f["strangers"] else ""
    return (f"{where}: {f['windows']} windows, window error {f['window']:.1f} %"
            f" ({f['mae']:.1f} devices), whole count {f['whole']} of {f['labels']}"
            f" ({f['whole_error']:+.1f} %), {f['addresses']} addresses: homogeneity {h:.2f},"
            f" completeness {c:.2f}, V {v:.2f}{strangers}")


def read_thresholds(path):
    """{(scene, channel): (largest window error %, largest whole-count error % either way,
    smallest V)} from a table of lines `scene channel window whole V` ('#' starts a comment)."""
    limits = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fields = line.split("#")[0].split()
            if not fields:
                continue
            try:
                name, channel, window, whole, v = fields
                limits[name, int(channel)] = (float(window), float(whole), float(v))
            except ValueError:
                raise Failure(f"{path}:{number}: not `scene channel window whole V`")
            if name not in scenes.SCENES:
                raise Failure(f"{path}:{number}: no scene {name}")
    return limits


def regressions(where, f, limits):
    """What of the figures passes its limit (window %, whole %, V; None: no limit), compared as
    printed."""
    window, whole, v = limits
    found = []
    if window is not None and round(f["window"], 1) > window:
        found.append(f"window error {f['window']:.1f} % over {window} %")
    if whole is not None and abs(round(f["whole_error"], 1)) > whole:
        found.append(f"whole-count error {f['whole_error']:+.1f} % beyond {whole} %")
    if v is not None and round(f["hcv"][2], 2) < v:
        found.append(f"V-measure {f['hcv'][2]:.2f} under {v}")
    return [f"{where}: {text}" for text in found]


def tighter(given, table, choose):
    return table if given is None else given if table is None else choose(given, table)


def limits_for(args, thresholds, name, channel):
    """The tighter of the command line's limits and the table's for one scene and channel."""
    window, whole, v = thresholds.get((name, channel), (None, None, None))
    return (tighter(args.max_window_error, window, min),
            tighter(args.max_whole_error, whole, min), tighter(args.min_v, v, max))


def evaluate(args, phones, name, channel, work):
    """(the daemon's figures, the baseline's) on one scene and channel."""
    heard = scene(phones, channel, args.set_local, name)
    if not heard:
        raise Failure(f"no frames on channel {channel}")
    recording = os.path.join(work, f"{name}{channel}.pcap")
    pcaps.write_pcap(recording, [p for _, _, p in heard])
    backups = os.path.join(work, f"{name}{channel}")
    run_daemon(args.binary, recording, args.report_time, backups, args.timeout)
    windows = documents(backups)
    # The whole recording's count is the daemon's own, over one window that spans it.
    span = (heard[-1][0] - heard[0][0]) // 1_000_000 + 2
    whole_time = max(span, args.report_time)
    whole = backups + "-whole"
    run_daemon(args.binary, recording, whole_time, whole, args.timeout)
    whole_docs = documents(whole)
    daemon = score(heard, windows, whole_docs, args.report_time)
    daemon["recount"] = recount_misses(windows) + recount_misses(whole_docs)
    baseline = score(heard, count_baseline.documents(heard, args.report_time),
                     count_baseline.documents(heard, whole_time), args.report_time)
    return daemon, baseline


def table(rows):
    """One line per scene and channel: window error, whole count and V, daemon then baseline."""
    cell = lambda f: (f"{f['window']:6.1f} % {f['whole']:4d} ({f['whole_error']:+6.1f} %)"
                      f" {f['hcv'][2]:4.2f}")
    lines = [f"{'scene':<10} {'ch':>2} | {'daemon: window, whole count, V':<32}"
             f" | baseline: window, whole count, V"]
    for name, channel, daemon, baseline in rows:
        lines.append(f"{name:<10} {channel:>2} | {cell(daemon):<32} | {cell(baseline)}")
    return "\n".join(lines)


def scratch(prefix):
    """A new directory for scenes and documents: in memory where there is /dev/shm (the daemon
    syncs every backup it writes, which a disk makes the whole run's cost)."""
    memory = "/dev/shm"
    if os.path.isdir(memory) and os.access(memory, os.W_OK):
        return tempfile.mkdtemp(prefix=prefix, dir=memory)
    return tempfile.mkdtemp(prefix=prefix)


def probe_sizes(sizes, limit=256):
    fits = sum(1 for s in sizes if s <= limit)
    share = 100.0 * fits / len(sizes) if sizes else 0.0
    return (f"probe requests: {fits} of {len(sizes)} ({share:.1f} %) fit in {limit} bytes"
            f" with radiotap; largest {max(sizes, default=0)} bytes")


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("binary", type=os.path.abspath)
    parser.add_argument("data_dir")
    parser.add_argument("--channel", type=int, action="append", required=True)
    parser.add_argument("--scene", action="append", choices=list(scenes.SCENES),
                        help="score this scene (again for more); absent: every scene")
    parser.add_argument("--report-time", type=int, default=300)
    parser.add_argument("--set-local", action="store_true",
                        help="make every transmitter address locally administered unicast")
    parser.add_argument("--keep", help="build the scenes and documents here and keep them")
    parser.add_argument("--thresholds", help="limits per scene and channel (see count_thresholds)")
    parser.add_argument("--max-window-error", type=float)
    parser.add_argument("--max-whole-error", type=float)
    parser.add_argument("--min-v", type=float)
    parser.add_argument("--timeout", type=float, default=900, help="seconds per daemon run")
    args = parser.parse_args()
    if args.report_time < 1:
        parser.error("--report-time must be at least 1")
    args.scene = args.scene or list(scenes.SCENES)
    return args


def run(args, phones, work):
    """Scores every scene and channel asked for; returns what regressed."""
    thresholds = read_thresholds(args.thresholds) if args.thresholds else {}
    failed, rows = [], []
    for name in args.scene:
        for channel in args.channel:
            daemon, baseline = evaluate(args, phones, name, channel, work)
            where = f"{name} channel {channel}"
            print(summary(where, daemon), flush=True)
            print(summary(f"{where} baseline", baseline), flush=True)
            failed += regressions(where, daemon, limits_for(args, thresholds, name, channel))
            # A document's records say which count: recounting them gives its own count.
            for miss in daemon["recount"]:
                print(f"{where}: {miss}", flush=True)
            rows.append((name, channel, daemon, baseline))
    print(table(rows), flush=True)
    return failed


def main():
    args = arguments()
    if not os.path.isdir(args.data_dir):
        print(f"{args.data_dir} is absent: counting evaluation skipped")
        return SKIP
    try:
        phones, unplaced, sizes = load_set(args.data_dir)
        print(probe_sizes(sizes))
        if unplaced:
            print(f"{unplaced} frames without a radiotap channel field left out")
        work = args.keep or scratch("pelmar-count-eval-")
        os.makedirs(work, exist_ok=True)
        try:
            failed = run(args, phones, work)
        finally:
            if not args.keep:
                shutil.rmtree(work, ignore_errors=True)
    except (Failure, OSError, ValueError) as e:
        print(f"counting evaluation failed: {e}")
        return 1
    for line in failed:
        print(f"regressed: {line}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
