"""What the outside world can do to a running daemon, through the real binary: a wall clock
stepped either way (the reports and console tables go on at their pace), a start with SIGCHLD
ignored (a failed upload is still a failure), signals its parent left ignored (they stay so),
a reader of standard output that went away while curl's output is shown, and a start with
standard input closed (the files of an upload then take the standard descriptors' slots)."""
import os
import signal
import subprocess
import tempfile
import unittest

from daemon import NO_LIVE_CAPTURE, Daemon, Receiver, capture_line, free_port, wait_for

FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


def ignoring(*signals):
    return lambda: [signal.signal(s, signal.SIG_IGN) for s in signals]


class ClockStep(unittest.TestCase):
    def test_reports_and_console_tables_go_on_through_a_step_either_way(self):
        if not os.path.exists(FAKETIME) or "tsan" in os.environ.get("TSAN_OPTIONS", ""):
            self.skipTest("libfaketime is not usable here")
        for step in [-3600, 3600]:
            with self.subTest(step=step), tempfile.TemporaryDirectory() as scratch:
                offset = os.path.join(scratch, "offset")
                with open(offset, "w") as f:
                    f.write("+0\n")
                clock = {"LD_PRELOAD": FAKETIME, "FAKETIME_TIMESTAMP_FILE": offset,
                         "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                         "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") +
                         ":verify_asan_link_order=0"}
                receiver = Receiver()
                settings = {"report_time": 1, "display_time": 1, "show_stats": 1,
                            "full_url": receiver.url}
                try:
                    with Daemon(settings, env=clock) as d:
                        d.feed(capture_line("aa:bb:cc:dd:ee:01"))
                        self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 2, 10))
                        with open(offset, "w") as f:
                            f.write("%+d\n" % step)
                        before = len(receiver.documents())
                        tables = d.output().count(b"Report Date: ")
                        self.assertTrue(wait_for(lambda: len(receiver.documents()) >= before + 4, 10))
                        self.assertGreaterEqual(d.output().count(b"Report Date: "), tables + 3)
                        times = [x["systemDateTime"] for x in receiver.documents()]
                        # The step shows in the times written, and only there.
                        self.assertEqual(times[-1] < times[before - 1], step < 0)
                finally:
                    receiver.close()


class Signals(unittest.TestCase):
    def test_a_start_with_sigchld_ignored_still_tells_failure_from_success(self):
        for up in [False, True]:
            with self.subTest(endpoint_up=up):
                receiver = Receiver() if up else None
                url = receiver.url if up else f"http://127.0.0.1:{free_port()}/upload"
                try:
                    with Daemon({"report_time": 1, "full_url": url},
                                preexec_fn=ignoring(signal.SIGCHLD)) as d:
                        if up:
                            self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 2, 10))
                            self.assertNotIn(b"Uploads failing", d.output())
                        else:
                            self.assertTrue(wait_for(
                                lambda: b"Uploads failing: curl exit status 7\n" in d.output(), 10))
                finally:
                    if receiver:
                        receiver.close()

    def test_signals_left_ignored_by_the_parent_stay_ignored(self):
        for ignored in [signal.SIGHUP, signal.SIGINT]:
            with self.subTest(signal=ignored.name):
                receiver = Receiver()
                try:
                    with Daemon({"report_time": 1, "full_url": receiver.url},
                                preexec_fn=ignoring(ignored)) as d:
                        self.assertTrue(wait_for(lambda: receiver.documents(), 10))
                        d.process.send_signal(ignored)
                        count = len(receiver.documents())
                        self.assertTrue(wait_for(lambda: len(receiver.documents()) >= count + 2, 10))
                        d.process.send_signal(signal.SIGTERM)
                        self.assertEqual(d.process.wait(10), -signal.SIGTERM)
                finally:
                    receiver.close()


class ShownOutput(unittest.TestCase):
    def test_a_delivered_document_counts_when_the_reader_of_curls_output_went_away(self):
        receiver = Receiver()
        spool = tempfile.TemporaryDirectory(prefix="pelmar-spool-")
        try:
            with Daemon({"report_time": 1, "show_curl": 1, "full_url": receiver.url,
                         "spool_dir": spool.name}, stdout=subprocess.PIPE) as d:
                d.process.stdout.close()
                self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 3, 10))
                # A failed upload would have left its document in the spool.
                self.assertEqual(os.listdir(spool.name), [])
                times = [x["systemDateTime"] for x in receiver.documents()]
                self.assertEqual(len(times), len(set(times)))
        finally:
            receiver.close()
            spool.cleanup()


@unittest.skipIf(NO_LIVE_CAPTURE, NO_LIVE_CAPTURE)
class ClosedInput(unittest.TestCase):
    def test_a_delivered_document_counts_when_standard_input_was_closed_at_start(self):
        # Waiting for an interface that is not there, the daemon holds nothing at descriptor 0:
        # the first file of each upload lands there.
        receiver = Receiver()
        spool = tempfile.TemporaryDirectory(prefix="pelmar-spool-")
        settings = {"capture_interface": "pelmar-none0", "report_time": 1,
                    "full_url": receiver.url, "spool_dir": spool.name}
        try:
            with Daemon(settings, stdin=None, preexec_fn=lambda: os.close(0)) as d:
                self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 3, 15))
                self.assertNotIn(b"Uploads failing", d.output())
                # A delivery read as failed would have left its document in the spool, and sent
                # it again.
                self.assertEqual(os.listdir(spool.name), [])
                times = [x["systemDateTime"] for x in receiver.documents()]
                self.assertEqual(len(times), len(set(times)))
        finally:
            receiver.close()
            spool.cleanup()


if __name__ == "__main__":
    unittest.main()
