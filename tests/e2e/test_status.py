"""The status file of the real binary, read as the router's pages read it: live capture on a test
interface that goes and comes back, a recording to its end and one read slowly, uploads failing
into the spool then delivered through real curl, the clock marker, and never a half-written
file."""
import json
import os
import subprocess
import tempfile
import threading
import time
import unittest

from daemon import NO_LIVE_CAPTURE, Daemon, Receiver, capture_line, free_port, wait_for
from frames import pcap, probe_request, simple_radio
from test_native import RECORDING, can_make_interfaces, make_interface, send, station


class Watched(unittest.TestCase):
    """A daemon whose status file another thread reads over and over, as the pages would,
    keeping each capture state seen in turn; every test ends with no read that was not whole."""

    def setUp(self):
        work = tempfile.TemporaryDirectory(prefix="pelmar-status-")
        self.addCleanup(work.cleanup)
        self.work = work.name

    def watch(self, settings, **options):
        path = os.path.join(self.work, "status.json")
        self.last, self.states, broken, done = None, [], [], threading.Event()

        def read():
            while not done.wait(0.001):
                try:
                    with open(path, "rb") as f:
                        text = f.read()
                    self.last = json.loads(text)
                except FileNotFoundError:
                    continue
                except ValueError:
                    broken.append(text)
                    continue
                if self.states[-1:] != [self.last["capture"]["state"]]:
                    self.states.append(self.last["capture"]["state"])
        reader = threading.Thread(target=read)
        reader.start()
        daemon = Daemon(dict(settings, status_file=path), **options)

        def finish():
            done.set()
            reader.join()
            daemon.stop()
            self.assertEqual(broken, [])
            self.assertEqual([n for n in os.listdir(self.work) if n.startswith("status.json.")], [])
        self.addCleanup(finish)
        return daemon

    def until(self, predicate, timeout=15):
        self.assertTrue(wait_for(lambda: self.last and predicate(self.last), timeout), self.last)
        return self.last

    def until_state(self, state):
        return self.until(lambda s: s["capture"]["state"] == state)


class Status(Watched):
    def test_a_recording_is_replaying_then_ended_with_every_frame_counted(self):
        d = self.watch({"capture_file": RECORDING, "capture_filter": "", "report_time": 60},
                       stdin=subprocess.DEVNULL)
        status = self.until_state("ended")
        # The end is written a second after the start at the earliest, unless the recording's
        # reading crossed into the next second.
        self.assertIn(self.states, (["replaying", "ended"], ["ended"]))
        self.assertEqual(status["capture"], {"state": "ended", "source": RECORDING,
                                             "frames": 24, "dropped": 0})  # the recording's 24
        self.assertEqual((status["pid"], status["clock"], status["upload"]),
                         (d.process.pid, {"synced": None}, {"last": None, "ok": None,
                          "status": None, "error": None, "failures": 0}))
        self.assertEqual(set(status), {"version", "updated", "started", "pid", "capture",
                                       "window", "table", "upload", "spool", "clock"})

    def test_a_recording_read_slowly_shows_its_frames_at_each_report(self):
        fifo = os.path.join(self.work, "slow.pcap")
        os.mkfifo(fifo)
        frames = [(1700000000 + t, simple_radio(-50) + probe_request(station(t)), None)
                  for t in (0, 1, 2, 3, 4, 61)]
        backups = os.path.join(self.work, "backups")  # a document is made: the window is known
        os.mkdir(backups)
        open(os.path.join(backups, "writebackup"), "w").close()
        self.watch({"capture_file": fifo, "report_time": 60, "backup_dir": backups},
                   stdin=subprocess.DEVNULL)
        with open(fifo, "wb", buffering=0) as writer:  # as the daemon opens it
            writer.write(pcap(frames[:5]))
            self.until_state("replaying")
            # The next write goes out at once: no write in its second of the machine's clock.
            written = os.stat(os.path.join(self.work, "status.json")).st_mtime
            self.assertTrue(wait_for(lambda: time.time() > written + 1.05, 3))
            writer.write(pcap(frames[5:])[len(pcap([])):])  # its time makes the first report
            # Read up to the frame that moved the clock on, while the reader waits for more.
            self.assertEqual(self.until(lambda s: s["window"]["end"])["capture"]["frames"], 6)
        self.assertEqual(self.until_state("ended")["capture"]["frames"], 6)

    def test_uploads_failing_fill_the_spool_then_are_delivered(self):
        port = free_port()
        d = self.watch({"report_time": 1, "full_url": f"http://127.0.0.1:{port}/upload",
                        "spool_dir": os.path.join(self.work, "spool")})
        d.feed(capture_line("aa:bb:cc:dd:ee:01") + capture_line("aa:bb:cc:dd:ee:02"))
        s = self.until(lambda s: s["upload"]["failures"] >= 3 and s["spool"]["files"] >= 2, 20)
        self.assertEqual((s["upload"]["ok"], s["upload"]["status"], s["upload"]["error"]),
                         (False, None, "curl exit status 7"))
        self.assertGreater(s["spool"]["bytes"], 0)
        self.assertEqual((s["window"]["addresses"], s["table"]["records"],
                          s["capture"]["frames"]), (2, 2, 2))
        self.addCleanup(Receiver(port=port).close)
        s = self.until(lambda s: s["upload"]["ok"] and s["spool"] == {"files": 0, "bytes": 0}, 20)
        self.assertEqual((s["upload"]["failures"], s["upload"]["status"], s["upload"]["error"]),
                         (0, 200, None))
        d.close_input()
        self.until_state("ended")
        self.assertEqual(self.states, ["capturing", "ended"])

    def test_documents_say_the_clock_is_not_synced_until_the_marker_exists(self):
        receiver = Receiver()
        self.addCleanup(receiver.close)
        marker = os.path.join(self.work, "clock-synced")
        d = self.watch({"report_time": 1, "full_url": receiver.url, "clock_synced_file": marker})
        d.feed(capture_line("aa:bb:cc:dd:ee:01"))
        self.assertEqual(self.until(lambda s: s["upload"]["ok"])["clock"], {"synced": False})
        open(marker, "w").close()
        before = len(receiver.bodies)
        self.until(lambda s: s["clock"]["synced"])
        self.assertTrue(wait_for(lambda: len(receiver.bodies) > before + 1, 15))
        bodies = [body for _, body in receiver.bodies]
        unsynced = [b for b in bodies if b"clockSynced" in b]
        self.assertTrue(unsynced)
        self.assertEqual(bodies[:len(unsynced)], unsynced)
        self.assertNotIn(b"clockSynced", bodies[-1])
        for body in unsynced:  # right after the time
            self.assertRegex(body, rb'^\{"hostname":"[^"]*","systemDateTime":"[^"]*",'
                                   rb'"clockSynced":false,"data":\[')


@unittest.skipIf(NO_LIVE_CAPTURE, NO_LIVE_CAPTURE)
@unittest.skipUnless(can_make_interfaces(), "no tun device or no right to make interfaces")
class LiveStatus(Watched):
    def test_capturing_then_waiting_when_the_interface_goes_then_capturing_again(self):
        name = f"psta{os.getpid() % 10000}"
        self.watch({"capture_interface": name, "report_time": 1}, stdin=subprocess.DEVNULL)
        self.assertEqual(self.until_state("waiting")["capture"]["source"], name)
        # (frames and devices heard so far, the stations heard this time)
        for frames, records, stations in ((3, 1, (1, 1, 1)), (4, 2, (2,))):
            fd = make_interface(name)
            try:
                self.until_state("capturing")
                for n in stations:
                    send(fd, simple_radio(-50) + probe_request(station(n)))
                self.until(lambda s: s["capture"]["frames"] == frames)
                self.until(lambda s: s["table"]["records"] == records)
            finally:
                os.close(fd)  # the "wifi reload"
            self.until_state("waiting")
        self.assertEqual(self.states, ["waiting", "capturing"] * 2 + ["waiting"])
        self.assertEqual(self.last["capture"]["dropped"], 0)


if __name__ == "__main__":
    unittest.main()
