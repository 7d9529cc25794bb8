#!/usr/bin/env python3
"""Address floods against the real binary, as a radio sending a new random source address with
every frame would make them:
  1. under a 60 MB address-space limit (ulimit -v 60000) and no cap: how many distinct devices
     the daemon holds before it gives up;
  2. the same limit with max_devices 100000: 2,000,000 distinct addresses at full speed, the
     daemon alive at the end, and its resident memory;
  3. max_devices 50000, 2,000,000 random addresses at about 40,000 a second mixed with 20 steady
     devices heard every second, uploaded every 5 s to a local receiver: every upload valid JSON
     of at most 50,000 records, and the steady devices keep their records, counts and
     first-seen times.
Usage: flood.py PELMAR_BINARY [--quick] [--only 1|2|3]"""
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../tests/e2e"))
from daemon import Receiver, capture_line  # noqa: E402

LIMIT_KB = 60000


def mac(i, first=0x02):
    return "%02x:%02x:%02x:%02x:%02x:%02x" % (first, i >> 32 & 255, i >> 24 & 255, i >> 16 & 255,
                                              i >> 8 & 255, i & 255)


def lines(start, count):
    return "".join(capture_line(mac(i), "-70") for i in range(start, start + count)).encode()


def start(binary, settings, limit=True):
    conf = tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False)
    conf.write("[pelmar]\n" + "".join(f"{k}={v}\n" for k, v in settings.items()))
    conf.close()
    def restrict():
        if limit:
            resource.setrlimit(resource.RLIMIT_AS, (LIMIT_KB * 1024, LIMIT_KB * 1024))
    process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, preexec_fn=restrict,
                               env=dict(os.environ, PELMAR_CONFIG=conf.name))
    time.sleep(0.5)  # read once at start
    os.unlink(conf.name)
    return process


def status(pid, key):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def no_cap(binary):
    process = start(binary, {"report_time": 100000, "max_entry_age": 0})
    written, step, peak = 0, 2000, 0
    try:
        while process.poll() is None:
            process.stdin.write(lines(written, step))
            process.stdin.flush()
            written += step
            peak = max(peak, status(process.pid, "VmRSS"))
    except BrokenPipeError:
        pass
    process.wait()
    line_bytes = len(capture_line(mac(0), "-70"))
    unread = (2 * 65536) // line_bytes  # the pipe and the daemon's read block
    said = process.stdout.read().decode(errors="replace").strip()
    print(f"1. no cap: gave up after about {written - step - unread:,} to {written:,} devices "
          f"(exit {process.returncode}, said {said!r}), resident at most {peak / 1024:.1f} MB")


def capped(binary, total=2000000):
    process = start(binary, {"report_time": 100000, "max_devices": 100000})
    step = 50000
    for at in range(0, total, step):
        process.stdin.write(lines(at, step))
    process.stdin.flush()
    time.sleep(3)
    alive = process.poll() is None
    print(f"2. max_devices 100000: {total:,} distinct addresses, daemon "
          f"{'alive' if alive else 'ENDED ' + str(process.returncode)}, resident "
          f"{status(process.pid, 'VmRSS') / 1024:.1f} MB, address space "
          f"{status(process.pid, 'VmSize') / 1024:.1f} MB")
    process.terminate()
    process.wait()


def steady_among_flood(binary, total=2000000, rate=40000):
    receiver = Receiver()
    process = start(binary, {"report_time": 5, "max_devices": 50000, "full_url": receiver.url},
                    limit=False)
    steady = [mac(i, 0x3c) for i in range(20)]
    sent = 0
    begun = time.monotonic()
    while sent < total:
        second = time.strftime("%H:%M:%S.000000")
        burst = "".join(capture_line(m, "-50", second) for m in steady).encode()
        process.stdin.write(burst + lines(10**9 + sent, rate))
        process.stdin.flush()
        sent += rate
        time.sleep(max(0.0, begun + sent / rate - time.monotonic()))
    time.sleep(6)
    process.terminate()  # a clean stop: no temporary upload file left behind
    process.wait()
    docs = receiver.documents()
    receiver.close()
    largest = max(len(d["data"]) for d in docs)
    first_seen, counts, kept = {}, {}, True
    for doc in docs:
        records = {r["mac"]: r for r in doc["data"]}
        for m in steady:
            r = records.get(m)
            if r is None:
                kept = kept and m not in first_seen
                continue
            kept = kept and first_seen.setdefault(m, r["firstSeen"]) == r["firstSeen"]
            kept = kept and r["count"] >= counts.get(m, 0)
            counts[m] = r["count"]
    print(f"3. max_devices 50000: {len(docs)} uploads, all valid JSON, at most {largest:,} records; "
          f"steady devices {'kept' if kept and len(counts) == 20 else 'LOST'} "
          f"(counts {min(counts.values())}..{max(counts.values())} after "
          f"{total // rate} seconds)")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    binary = sys.argv[1]
    quick = "--quick" in sys.argv
    only = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else "123"
    total = 200000 if quick else 2000000
    if "1" in only:
        no_cap(binary)
    if "2" in only:
        capped(binary, total)
    if "3" in only:
        steady_among_flood(binary, total)


if __name__ == "__main__":
    main()
