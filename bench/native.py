#!/usr/bin/env python3
"""CPU time (user + system, of every process involved) of three ways through one generated
recording of a busy channel (probe requests with their information elements, beacons, data to
and from the distribution system, acknowledgements), all with the packaged capture filter:
  text:   the capture tool printing text (-l -e -n -q) piped into the daemon on standard input;
  native: the daemon reading the file itself (capture_file, exit_at_end);
  aged:   the same with max_entry_age = 300, as the router's configuration has it (the
          recording spans about 9 minutes, so its first devices expire on the way);
  floor:  libpcap alone: the capture tool writing the filtered frames to /dev/null.
Each is run --runs times in the same invocation; the median is reported.
Usage: native.py PELMAR_BINARY [--frames 300000] [--runs 3]"""
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from frames import beacon, control, data, pcap, probe_request, simple_radio  # noqa: E402

FILTER = "type mgt or (type data and (dir nods or dir tods))"


def recording(count, seed=1):
    rng = random.Random(seed)
    address = lambda: "%02x:%02x:%02x:%02x:%02x:%02x" % tuple(rng.randrange(256) for _ in range(6))
    stations = [address() for _ in range(2000)]
    aps = [address() for _ in range(20)]
    kinds = [
        (25, lambda s, a: probe_request(s, b"home-network")),
        (20, lambda s, a: beacon(a)),
        (30, lambda s, a: data("tods", s, a, address()) + bytes(60)),
        (10, lambda s, a: data("fromds", a, s, address()) + bytes(60)),
        (15, lambda s, a: control(13, s)),
    ]
    weights = [w for w, _ in kinds]
    clock, packets = 1700000000.0, []
    for _ in range(count):
        clock += rng.choice([0.0002, 0.001, 0.004])
        _, make = rng.choices(kinds, weights)[0]
        radio = simple_radio(-rng.randrange(30, 90))
        packets.append((clock, radio + make(rng.choice(stations), rng.choice(aps)), None))
    return pcap(packets, snaplen=256)


def cpu_of(command, **kwargs):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   **kwargs)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    arguments = sys.argv[1:]
    binary = os.path.abspath(arguments[0])
    frames = int(arguments[arguments.index("--frames") + 1]) if "--frames" in arguments else 300000
    runs = int(arguments[arguments.index("--runs") + 1]) if "--runs" in arguments else 3
    tool = shutil.which("tcpdump")
    with tempfile.TemporaryDirectory(prefix="pelmar-native-bench-") as work:
        path = os.path.join(work, "busy.pcap")
        with open(path, "wb") as f:
            f.write(recording(frames))
        text_conf, native_conf, aged_conf = (os.path.join(work, n)
                                             for n in ("text.conf", "native.conf", "aged.conf"))
        with open(text_conf, "w") as f:
            f.write("[pelmar]\nexit_at_end = 1\n")
        with open(native_conf, "w") as f:
            f.write(f"[pelmar]\nexit_at_end = 1\ncapture_file = {path}\n")
        with open(aged_conf, "w") as f:
            f.write(f"[pelmar]\nexit_at_end = 1\ncapture_file = {path}\nmax_entry_age = 300\n")
        ways = {
            "text": (["sh", "-c", f'"$0" -r "$1" -l -e -n -q -- "$2" | "$3"', tool, path, FILTER,
                      binary], text_conf),
            "native": ([binary], native_conf),
            "aged": ([binary], aged_conf),
            "floor": ([tool, "-r", path, "-w", "/dev/null", "--", FILTER], None),
        }
        times = {name: [] for name in ways}
        for _ in range(runs):
            for name, (command, conf) in ways.items():
                env = dict(os.environ, PELMAR_CONFIG=conf) if conf else None
                times[name].append(cpu_of(command, env=env, stdin=subprocess.DEVNULL))
    median = {name: statistics.median(values) for name, values in times.items()}
    print(f"{frames} frames, median of {runs} runs, CPU seconds (user + system):")
    for name, value in median.items():
        print(f"  {name:7s} {value:6.3f}   runs: {' '.join(f'{v:.3f}' for v in times[name])}")
    print(f"text / native: {median['text'] / median['native']:.1f}x;"
          f" native / floor: {median['native'] / median['floor']:.2f}x;"
          f" aged / native: {median['aged'] / median['native']:.2f}x")


if __name__ == "__main__":
    main()
