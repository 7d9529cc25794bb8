"""The status file of the real binary, read as the router's pages read it: live capture on a test
interface that goes and comes back, a recording to its end, uploads failing into the spool then
delivered through real curl, the clock marker, and never a half-written file."""
import json
import os
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from daemon import NO_LIVE_CAPTURE, Daemon, Receiver, capture_line, free_port, wait_for
from frames import probe_request, simple_radio
from test_native import RECORDING, can_make_interfaces, make_interface, send, station


class StatusReader:
    """Reads the status file over and over, as another process would, from the start of the
    daemon to its end: keeps every distinct state seen and every read that was not one whole
    JSON object."""

    def __init__(self, path):
        self.path = path
        self.broken = []
        self.states = []
        self.last = None
        self.reads = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.done.is_set():
            time.sleep(0.001)
            try:
                with open(self.path, "rb") as f:
                    text = f.read()
            except FileNotFoundError:
                continue
            self.reads += 1
            try:
                status = json.loads(text)
            except ValueError:
                self.broken.append(text)
                continue
            self.last = status
            state = status["capture"]["state"]
            if not self.states or self.states[-1] != state:
                self.states.append(state)

    def until(self, predicate, timeout=15):
        return wait_for(lambda: self.last is not None and predicate(self.last), timeout)

    def stop(self):
        self.done.set()
        self.thread.join()


class Watched(unittest.TestCase):
    """A daemon whose status file a StatusReader follows; every test ends with no broken read."""

    def start(self, settings, **options):
        self.work = tempfile.TemporaryDirectory(prefix="pelmar-status-")
        self.path = os.path.join(self.work.name, "status.json")
        self.reader = StatusReader(self.path)
        self.daemon = Daemon(dict(settings, status_file=self.path), **options)
        self.addCleanup(self.finish)
        return self.daemon, self.reader

    def finish(self):
        self.reader.stop()
        self.daemon.stop()
        self.assertEqual(self.reader.broken, [])
        self.assertGreater(self.reader.reads, 0)
        leftovers = [n for n in os.listdir(self.work.name) if n.startswith("status.json.")]
        self.assertEqual(leftovers, [])
        self.work.cleanup()


def recorded_frames(path):
    """Records in a classic pcap file."""
    with open(path, "rb") as f:
        data = f.read()
    count, at = 0, 24
    while at + 16 <= len(data):
        at += 16 + struct.unpack_from("<I", data, at + 8)[0]
        count += 1
    return count


class Status(Watched):
    def test_a_recording_is_replaying_then_ended_with_every_frame_counted(self):
        d, reader = self.start({"capture_file": RECORDING, "capture_filter": "", "report_time": 60},
                               stdin=subprocess.DEVNULL)
        self.assertTrue(reader.until(lambda s: s["capture"]["state"] == "ended"), reader.last)
        # The end is written a second after the start at the earliest, unless the recording's
        # reading crossed into the next second.
        self.assertIn(reader.states, (["replaying", "ended"], ["ended"]))
        status = reader.last
        self.assertEqual(status["capture"], {"state": "ended", "source": RECORDING,
                                             "frames": recorded_frames(RECORDING), "dropped": 0})
        self.assertEqual(status["pid"], d.process.pid)
        self.assertEqual(status["clock"], {"synced": None})
        self.assertEqual(status["upload"], {"last": None, "ok": None, "status": None,
                                            "error": None, "failures": 0})
        self.assertEqual(set(status), {"version", "updated", "started", "pid", "capture", "window",
                                       "table", "upload", "spool", "clock"})

    def test_uploads_failing_fill_the_spool_then_are_delivered(self):
        port = free_port()
        spool = os.path.join(tempfile.mkdtemp(prefix="pelmar-status-spool-"), "spool")
        d, reader = self.start({"report_time": 1, "full_url": f"http://127.0.0.1:{port}/upload",
                                "spool_dir": spool})
        d.feed(capture_line("aa:bb:cc:dd:ee:01") + capture_line("aa:bb:cc:dd:ee:02"))
        failing = lambda s: s["upload"]["failures"] >= 3 and s["spool"]["files"] >= 2
        self.assertTrue(reader.until(failing, 20), reader.last)
        upload = reader.last["upload"]
        self.assertEqual((upload["ok"], upload["status"], upload["error"]),
                         (False, None, "curl exit status 7"))
        self.assertGreater(reader.last["spool"]["bytes"], 0)
        self.assertEqual(reader.last["window"]["addresses"], 2)
        self.assertEqual(reader.last["table"]["records"], 2)
        self.assertEqual(reader.last["capture"]["frames"], 2)
        receiver = Receiver(port=port)
        try:
            delivered = lambda s: s["upload"]["ok"] and s["spool"] == {"files": 0, "bytes": 0}
            self.assertTrue(reader.until(delivered, 20), reader.last)
            self.assertEqual(reader.last["upload"]["failures"], 0)
            self.assertEqual(reader.last["upload"]["status"], 200)
            self.assertIsNone(reader.last["upload"]["error"])
        finally:
            receiver.close()
        d.close_input()
        self.assertTrue(reader.until(lambda s: s["capture"]["state"] == "ended"))
        self.assertEqual(reader.states, ["capturing", "ended"])

    def test_documents_say_the_clock_is_not_synced_until_the_marker_exists(self):
        receiver = Receiver()
        self.addCleanup(receiver.close)
        marker = os.path.join(tempfile.mkdtemp(prefix="pelmar-status-clock-"), "clock-synced")
        d, reader = self.start({"report_time": 1, "full_url": receiver.url,
                                "clock_synced_file": marker})
        d.feed(capture_line("aa:bb:cc:dd:ee:01"))
        self.assertTrue(wait_for(lambda: receiver.bodies, 15))
        self.assertTrue(reader.until(lambda s: s["upload"]["ok"]))
        self.assertEqual(reader.last["clock"], {"synced": False})
        open(marker, "w").close()
        before = len(receiver.bodies)
        self.assertTrue(reader.until(lambda s: s["clock"]["synced"]))
        self.assertTrue(wait_for(lambda: len(receiver.bodies) > before + 1, 15))
        bodies = [body for _, body in receiver.bodies]
        unsynced = [b for b in bodies if b"clockSynced" in b]
        self.assertTrue(unsynced)
        for body in unsynced:  # right after the time
            self.assertRegex(body, rb'^\{"hostname":"[^"]*","systemDateTime":"[^"]*",'
                                   rb'"clockSynced":false,"data":\[')
        self.assertNotIn(b"clockSynced", bodies[-1])
        self.assertEqual(bodies[:len(unsynced)], unsynced)


@unittest.skipIf(NO_LIVE_CAPTURE, NO_LIVE_CAPTURE)
@unittest.skipUnless(can_make_interfaces(), "no tun device or no right to make interfaces")
class LiveStatus(Watched):
    def test_capturing_then_waiting_when_the_interface_goes_then_capturing_again(self):
        name = f"psta{os.getpid() % 10000}"
        d, reader = self.start({"capture_interface": name, "report_time": 1},
                               stdin=subprocess.DEVNULL)
        fd = None
        try:
            self.assertTrue(reader.until(lambda s: s["capture"]["state"] == "waiting"))
            self.assertEqual(reader.last["capture"]["source"], name)
            fd = make_interface(name)
            self.assertTrue(reader.until(lambda s: s["capture"]["state"] == "capturing"))
            for _ in range(3):
                send(fd, simple_radio(-50) + probe_request(station(1)))
            self.assertTrue(reader.until(lambda s: s["capture"]["frames"] == 3), reader.last)
            self.assertTrue(reader.until(lambda s: s["table"]["records"] == 1))
            os.close(fd)  # the "wifi reload"
            fd = None
            self.assertTrue(reader.until(lambda s: s["capture"]["state"] == "waiting"))
            fd = make_interface(name)
            self.assertTrue(reader.until(lambda s: s["capture"]["state"] == "capturing"))
            send(fd, simple_radio(-50) + probe_request(station(2)))
            self.assertTrue(reader.until(lambda s: s["capture"]["frames"] == 4), reader.last)
            self.assertEqual(reader.states, ["waiting", "capturing", "waiting", "capturing"])
            self.assertEqual(reader.last["capture"]["dropped"], 0)
        finally:
            if fd is not None:
                os.close(fd)


if __name__ == "__main__":
    unittest.main()
