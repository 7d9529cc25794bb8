"""An address flood under a 60 MB address-space limit and no cap: every report arrives whole
(valid JSON, every record) up to the table's own limit, and a report at 100,000 devices takes
less than 1 MB of resident memory."""
import json
import subprocess
import time
import unittest

from daemon import BINARY, RUNNER, Daemon, Receiver, capture_line, wait_for

STEP = 100000


def lines(start, count):
    return "".join(capture_line("02:00:%02x:%02x:%02x:%02x" % (i >> 24 & 255, i >> 16 & 255,
                                                              i >> 8 & 255, i & 255), "-70")
                   for i in range(start, start + count)).encode()


def records(body):
    """The number of records in a document, or -1 when it is not valid JSON."""
    try:
        return len(json.loads(body)["data"])
    except ValueError:
        return -1


def peak_resident_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def sanitized():
    """True for a sanitizer build, whose shadow memory does not fit an address-space limit."""
    linked = subprocess.run(["ldd", BINARY], capture_output=True, text=True).stdout
    return "libasan" in linked or "libtsan" in linked


@unittest.skipIf(sanitized(), "an address-space limit needs a build without sanitizers")
@unittest.skipIf(RUNNER, "an emulator's own address space does not fit the limit")
class Flood(unittest.TestCase):
    def test_reports_arrive_whole_up_to_the_tables_limit(self):
        receiver = Receiver(keep=records)
        counts = lambda: [n for _, n in list(receiver.bodies)]
        try:
            with Daemon({"report_time": 4, "full_url": receiver.url}, address_space_kb=60000,
                        keep_output=False) as d:
                d.feed(lines(0, STEP))
                time.sleep(2)  # read in well before the first report
                before = peak_resident_kb(d.process.pid)
                self.assertTrue(wait_for(lambda: STEP in counts(), 20))
                self.assertLess(peak_resident_kb(d.process.pid) - before, 1024)
                fed, survived = STEP, [STEP]
                while d.running():  # until the table gives up
                    try:
                        d.feed(lines(fed, STEP))
                    except BrokenPipeError:
                        break
                    fed += STEP
                    if wait_for(lambda: fed in counts() or not d.running(), 30) and d.running():
                        survived.append(fed)
                # Every table the daemon lived to report arrived whole.
                self.assertEqual([n for n in survived if n in counts()], survived)
                self.assertGreaterEqual(max(counts()), 300000)
                self.assertNotIn(-1, counts())
        finally:
            receiver.close()


if __name__ == "__main__":
    unittest.main()
