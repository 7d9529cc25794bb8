#!/usr/bin/env python3
"""CPU time (user + system of the child) of device counting on real probe requests: a recording
of the labelled set's probe requests (all channels, cycled, bytes as recorded) at a steady rate,
a share of them from a fresh random address never used before (locally administered, unicast),
the others from their phone's current address; then, each run --runs times in one invocation,
the median of:
  floor:    libpcap alone: the capture tool writing the filtered frames to /dev/null;
  native:   the daemon reading the file (capture_file, exit_at_end);
  counting: the same with count_devices = 1;
  aged:     native with max_entry_age = 300, as the router's configuration has it.
Usage: probe_bench.py PELMAR_BINARY [DATA_DIR] [--frames 300000] [--rate 3000] [--fresh 0.3]
       [--runs 3]
Exit status 77 when the set is absent."""
import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcaps  # noqa: E402

FILTER = "type mgt or (type data and (dir nods or dir tods))"
EPOCH = 1_700_000_000 * 1_000_000
DEFAULT_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                            "data", "probe-requests-11-phones")


def probe_requests(directory):
    """(label, frame) of every probe request of the set, the phones started together and merged
    by time, pauses over 1,000 s cut to 60 s."""
    merged = []
    for label, paths in pcaps.labelled_files(directory).items():
        packets = []
        for path in paths:
            packets += [p for p in pcaps.read_pcap(path)[1] if pcaps.is_probe_request(p.data)]
        moved, _ = pcaps.phone_timeline(packets, EPOCH, 1000 * 1_000_000, 60 * 1_000_000)
        merged += [(p.time, label, p) for p in moved if pcaps.transmitter(p.data) is not None]
    merged.sort(key=lambda m: m[0])
    return [(label, p) for _, label, p in merged]


def fresh_addresses(seed):
    """Random locally administered unicast addresses, each only once."""
    rng, used = random.Random(seed), set()
    while True:
        address = pcaps.local_unicast(rng.randbytes(6))
        if address not in used:
            used.add(address)
            yield address


def recording(sources, frames, rate, fresh_share, seed=1):
    rng, fresh, current, packets = random.Random(seed), fresh_addresses(seed), {}, []
    for i in range(frames):
        label, p = sources[i % len(sources)]
        if label not in current or rng.random() < fresh_share:
            current[label] = next(fresh)
        packets.append(pcaps.Packet(EPOCH + i * 1_000_000 // rate,
                                    pcaps.with_transmitter(p.data, current[label]), p.length))
    return packets


def cpu_of(command, **kwargs):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, **kwargs)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit(f"{command[0]} ended with status {done.returncode}: "
                 f"{done.stderr.decode(errors='replace').strip()[-300:]}")
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def write_config(path, recording_path, extra=""):
    with open(path, "w") as f:
        f.write(f"[pelmar]\ncapture_file = {recording_path}\nexit_at_end = 1\n{extra}")


def arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", type=os.path.abspath)
    parser.add_argument("data_dir", nargs="?", default=DEFAULT_DATA)
    parser.add_argument("--frames", type=int, default=300000)
    parser.add_argument("--rate", type=int, default=3000, help="frames per second")
    parser.add_argument("--fresh", type=float, default=0.3, help="share of fresh addresses")
    parser.add_argument("--runs", type=int, default=3)
    return parser.parse_args()


def main():
    args = arguments()
    if not os.path.isdir(args.data_dir):
        print(f"{args.data_dir} is absent: probe-request benchmark skipped")
        return 77
    tool = shutil.which("tcpdump")
    if not tool:
        sys.exit("tcpdump is not installed (scripts/install-deps.sh installs it)")
    sources = probe_requests(args.data_dir)
    with tempfile.TemporaryDirectory(prefix="pelmar-probe-bench-") as work:
        path = os.path.join(work, "probes.pcap")
        pcaps.write_pcap(path, recording(sources, args.frames, args.rate, args.fresh))
        native_conf, counting_conf, aged_conf = (os.path.join(work, n)
                                                 for n in ("native.conf", "count.conf", "aged.conf"))
        write_config(native_conf, path)
        write_config(counting_conf, path, "count_devices = 1\n")
        write_config(aged_conf, path, "max_entry_age = 300\n")
        ways = {"floor": ([tool, "-r", path, "-w", "/dev/null", "--", FILTER], None),
                "native": ([args.binary], native_conf),
                "counting": ([args.binary], counting_conf),
                "aged": ([args.binary], aged_conf)}
        times = {name: [] for name in ways}
        for _ in range(args.runs):
            for name, (command, conf) in ways.items():
                env = dict(os.environ, PELMAR_CONFIG=conf) if conf else None
                times[name].append(cpu_of(command, env=env))
    median = {name: statistics.median(values) for name, values in times.items()}
    print(f"{args.frames} probe requests from {len(sources)} recorded, {args.rate} frames/s,"
          f" {args.fresh:.0%} fresh addresses; median of {args.runs} runs, CPU seconds:")
    for name, value in median.items():
        print(f"  {name:8s} {value:6.3f}   runs: {' '.join(f'{v:.3f}' for v in times[name])}")
    print(f"counting / native: {median['counting'] / median['native']:.2f}x;"
          f" counting / floor: {median['counting'] / median['floor']:.2f}x;"
          f" aged / native: {median['aged'] / median['native']:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
