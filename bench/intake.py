#!/usr/bin/env python3
"""Times the real binary's intake: 1,000,000 generated capture lines (10,000 addresses, bursts,
"dBm signal" and "dB signal" tokens, max_entry_age 300) piped into it, from the first byte
written until the last line has been consumed; `wc -l` over the same bytes is the reference.
Several binaries (a previous build beside this one) are timed in the same run, and
--devices A,B,... repeats the whole for each number of distinct addresses.
Usage: intake.py PELMAR_BINARY... [--lines N] [--devices 100,10000,100000]"""
import fcntl
import os
import random
import subprocess
import sys
import tempfile
import termios
import time

KINDS = [
    "{t} 1.0 Mb/s 2412 MHz 11b {s}{u} signal antenna 1 BSSID:ff:ff:ff:ff:ff:ff "
    "DA:ff:ff:ff:ff:ff:ff SA:{m} Probe Request () [1.0* 2.0* 5.5* 11.0* Mbit]\n",
    "{t} 24.0 Mb/s 2437 MHz 11g {s}{u} signal antenna 1 BSSID:3c:22:fb:11:20:01 SA:{m} "
    "DA:3c:22:fb:11:20:01 Data IV:  1 Pad 0 KeyID 0\n",
    "{t} 24.0 Mb/s 2437 MHz 11g {s}{u} signal antenna 1 RA:{m} Acknowledgment\n",
]


def generate(count, seed=1, devices=10000):
    rng = random.Random(seed)
    macs = [("%02x:%02x:%02x:%02x:%02x:%02x" % tuple([rng.choice([0x02, 0x3c, 0xda])] +
                                                     [rng.randrange(256) for _ in range(5)]))
            for _ in range(devices)]
    levels = {m: -rng.randrange(30, 90) for m in macs}
    clock = 8 * 3600.0
    out = []
    while len(out) < count:
        mac = rng.choice(macs)
        for _ in range(rng.randrange(1, 6)):  # a burst: frames within a couple of seconds
            clock = (clock + rng.choice([0.0004, 0.002, 0.05, 0.7])) % 86400
            stamp = "%02d:%02d:%09.6f" % (clock // 3600, clock % 3600 // 60, clock % 60)
            out.append(rng.choice(KINDS).format(
                t=stamp, s=levels[mac] + rng.randrange(-3, 4), m=mac,
                u="dB" if rng.random() < 0.2 else "dBm"))
    return "".join(out[:count]).encode()


def pending_bytes(fd):
    buf = bytearray(4)
    fcntl.ioctl(fd, termios.FIONREAD, buf)
    return int.from_bytes(buf, sys.byteorder)


def main_thread_waiting(pid):
    with open(f"/proc/{pid}/task/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "S"


def time_feed(argv, data, env=None, daemon=False):
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env)
    time.sleep(0.3)  # let it start before the clock runs
    started = time.perf_counter()
    for at in range(0, len(data), 1 << 20):
        process.stdin.write(data[at:at + (1 << 20)])
    process.stdin.flush()
    if daemon:
        # Consumed: the pipe is empty and the capture loop waits for more input.
        while pending_bytes(process.stdin.fileno()) or not main_thread_waiting(process.pid):
            pass
        elapsed = time.perf_counter() - started
        process.kill()
    else:
        process.stdin.close()
        process.wait()
        elapsed = time.perf_counter() - started
    process.wait()
    return elapsed


def main():
    args = sys.argv[1:]
    count, devices = 1000000, [10000]
    if "--lines" in args:
        at = args.index("--lines")
        count = int(args[at + 1])
        del args[at:at + 2]
    if "--devices" in args:
        at = args.index("--devices")
        devices = [int(n) for n in args[at + 1].split(",")]
        del args[at:at + 2]
    if not args:
        sys.exit(__doc__)
    with tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False) as conf:
        conf.write("[pelmar]\nmax_entry_age=300\nreport_time=100000\ndisplay_time=100000\n")
    env = dict(os.environ, PELMAR_CONFIG=conf.name)
    try:
        for addresses in devices:
            data = generate(count, devices=addresses)
            wc = min(time_feed(["wc", "-l"], data) for _ in range(3))
            print(f"{count} lines, {len(data) / 1e6:.1f} MB, {addresses} addresses")
            print(f"  wc -l: {wc:.3f} s, {count / wc:,.0f} lines/s")
            for binary in args:
                pelmar = min(time_feed([binary], data, env, daemon=True) for _ in range(3))
                print(f"  {binary}: {pelmar:.3f} s, {count / pelmar:,.0f} lines/s, "
                      f"{pelmar / wc:.2f}x the time of wc -l ({wc / pelmar:.2f} of its speed)")
    finally:
        os.unlink(conf.name)


if __name__ == "__main__":
    main()
