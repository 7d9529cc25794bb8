"""Uploads over a misbehaving uplink through the real binary and real curl: an endpoint that
never answers, one that is down and comes back, HTTP errors, the spool's cap, a stop during a
hanging upload, and a reader of standard output that goes away."""
import os
import signal
import subprocess
import tempfile
import time
import unittest

from daemon import Daemon, Receiver, capture_line, free_port, processes_with, sizes, wait_for


def spool_files(path):
    return sorted(n for n in os.listdir(path) if n.endswith(".json"))


class Deadline(unittest.TestCase):
    def test_an_endpoint_that_never_answers_does_not_stop_the_reports(self):
        receiver = Receiver(hang=1)
        backups = tempfile.TemporaryDirectory(prefix="pelmar-bk-")
        open(os.path.join(backups.name, "writebackup"), "w").close()
        settings = {"report_time": 1, "upload_timeout": 2, "full_url": receiver.url,
                    "backup_dir": backups.name}
        try:
            with Daemon(settings) as d:
                d.feed(capture_line("aa:bb:cc:dd:ee:01"))
                self.assertTrue(wait_for(lambda: receiver.documents(), 15))
                self.assertTrue(wait_for(lambda: len(os.listdir(backups.name)) >= 4, 15))
                self.assertIn(b"Uploads failing: no answer within 2 s\n", d.output())
                self.assertIn(b"Uploads work again\n", d.output())
                d.process.terminate()
                d.process.wait(10)
            self.assertEqual(processes_with(receiver.url), [])
        finally:
            receiver.close()
            backups.cleanup()


class Outage(unittest.TestCase):
    def run_outage(self, spool, turns_down=4):
        """Uploads to a port where nothing listens for a few turns, then to a receiver there."""
        port = free_port()
        url = f"http://127.0.0.1:{port}/upload"
        settings = {"report_time": 1, "full_url": url}
        if spool:
            settings["spool_dir"] = spool
        with Daemon(settings) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01"))
            self.assertTrue(wait_for(lambda: b"Uploads failing" in d.output(), 10))
            time.sleep(turns_down)
            self.spooled = len(spool_files(spool)) if spool else 0
            receiver = Receiver(port=port)
            try:
                yield d, receiver
            finally:
                receiver.close()

    def test_with_a_spool_every_document_arrives_oldest_first_and_the_spool_empties(self):
        spool = tempfile.TemporaryDirectory(prefix="pelmar-spool-")
        for d, receiver in self.run_outage(spool.name):
            self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 7 and
                                     not spool_files(spool.name), 20))
            output = d.output()
            self.assertEqual(output.count(b"Uploads failing: curl exit status 7\n"), 1, output)
            self.assertEqual(output.count(b"Uploads work again\n"), 1, output)
            times = [doc["systemDateTime"] for doc in receiver.documents()]
            # The first is the turn's own document; then the spooled ones, oldest first.
            late = [t for t in times if t < times[0]]
            self.assertGreaterEqual(len(late), max(self.spooled, 3))
            self.assertEqual(times[1:1 + len(late)], sorted(late))
        spool.cleanup()

    def test_without_a_spool_documents_of_the_outage_are_lost_as_before(self):
        for d, receiver in self.run_outage(None):
            up = time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(time.time() - 1))
            self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 3, 10))
            self.assertTrue(all(doc["systemDateTime"] >= up for doc in receiver.documents()))

    def test_http_errors_are_failures_with_a_spool(self):
        spool = tempfile.TemporaryDirectory(prefix="pelmar-spool-")
        receiver = Receiver(fail=3)
        try:
            with Daemon({"report_time": 1, "full_url": receiver.url, "spool_dir": spool.name}) as d:
                self.assertTrue(wait_for(lambda: b"Uploads failing: curl exit status 22\n" in d.output(), 10))
                self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 4 and
                                         not spool_files(spool.name), 20))
        finally:
            receiver.close()
            spool.cleanup()

    def test_the_spool_keeps_to_its_cap_dropping_the_oldest(self):
        spool = tempfile.TemporaryDirectory(prefix="pelmar-spool-")
        url = f"http://127.0.0.1:{free_port()}/upload"
        with Daemon({"report_time": 0, "full_url": url, "spool_dir": spool.name,
                     "spool_max_kb": 1}) as d:
            self.assertTrue(wait_for(lambda: b"Spool full: dropped " in d.output(), 20))
            size = sum(sizes(spool.name, ".json").values())
            self.assertLessEqual(size, 1024)
            dropped = d.output().split(b"Spool full: dropped ")[1].split(b"\n")[0].decode()
            self.assertNotIn(dropped, spool_files(spool.name))
        spool.cleanup()


# (answer to the turn's document, None: nothing listens; spool; backups on; exit status; the
# one failure line; documents spooled after). A spooled earlier document is answered 301.
OUTCOMES = [(200, True, False, 0, None, 1), (301, False, False, 3, b"HTTP 301", 0),
            (301, True, False, 0, b"HTTP 301", 2), (404, False, False, 3, b"HTTP 404", 0),
            (404, True, False, 0, b"curl exit status 22", 2),
            (None, False, False, 3, b"curl exit status 7", 0),
            (None, False, True, 0, b"curl exit status 7", 0)]


class Outcomes(unittest.TestCase):
    def test_only_a_2xx_answer_delivers_and_a_lost_last_document_fails_the_run(self):
        for status, spooled, backed_up, code, line, left in OUTCOMES:
            with self.subTest(status=status, spooled=spooled, backed_up=backed_up), \
                    tempfile.TemporaryDirectory(prefix="pelmar-out-") as work:
                receiver = Receiver(answer=lambda body, s=status: 301 if b"earlier" in body else s)
                url = receiver.url if status else f"http://127.0.0.1:{free_port()}/"
                settings, spool = {"report_time": 3600, "exit_at_end": 1, "full_url": url}, work + "/spool"
                if spooled:
                    os.mkdir(spool)
                    with open(spool + "/1.json", "w") as f:
                        f.write('{"earlier":1}')
                    settings["spool_dir"] = spool
                if backed_up:
                    open(work + "/writebackup", "w").close()
                    settings["backup_dir"] = work
                # A killed run's temporary file goes at start; a running one's (fresh) stays.
                for name, age in [("pelmar-Ab12Z9", 3600), ("pelmar-fresh1", 0)]:
                    open(f"{work}/{name}", "w").close()
                    os.utime(f"{work}/{name}", (time.time() - age,) * 2)
                try:
                    with Daemon(settings, env={"TMPDIR": work}) as d:
                        d.feed(capture_line("aa:bb:cc:dd:ee:01"))
                        d.close_input()
                        self.assertEqual(d.process.wait(30), code)
                        failing = [l for l in d.output().split(b"\n") if b"Uploads failing" in l]
                    self.assertEqual(failing, [b"Uploads failing: " + line] if line else [])
                    self.assertEqual(len(spool_files(spool)) if spooled else 0, left)
                    self.assertEqual(len(receiver.documents()), 1 if status == 200 else 0)
                    self.assertEqual([n for n in os.listdir(work) if n.startswith("pelmar-")],
                                     ["pelmar-fresh1"])
                finally:
                    receiver.close()


class Stop(unittest.TestCase):
    def test_term_during_a_hanging_upload_leaves_no_process_and_no_file(self):
        receiver = Receiver(hang=100)
        scratch = tempfile.TemporaryDirectory(prefix="pelmar-tmp-")
        try:
            with Daemon({"report_time": 1, "upload_timeout": 0, "full_url": receiver.url},
                        env={"TMPDIR": scratch.name}) as d:
                # Enough devices for the document to travel in a temporary file.
                d.feed("".join(capture_line("02:00:00:00:%02x:%02x" % (i // 256, i % 256))
                               for i in range(1000)))
                self.assertTrue(wait_for(lambda: receiver.requests >= 1, 15))
                # The document travels in a file without a name: nothing to leave behind.
                self.assertEqual(os.listdir(scratch.name), [])
                d.process.send_signal(signal.SIGTERM)
                self.assertEqual(d.process.wait(10), -signal.SIGTERM)
                self.assertNotIn(b"Uploads failing", d.output())  # a stop is not the uplink's
            self.assertEqual(os.listdir(scratch.name), [])
            self.assertEqual(processes_with(receiver.url), [])
        finally:
            receiver.close()
            scratch.cleanup()


class Output(unittest.TestCase):
    def test_a_closed_standard_output_does_not_end_the_daemon(self):
        receiver = Receiver()
        try:
            with Daemon({"report_time": 1, "show_curl": 1, "debug": 3, "full_url": receiver.url},
                        stdout=subprocess.PIPE) as d:
                d.process.stdout.close()
                d.feed(capture_line("aa:bb:cc:dd:ee:01"))
                self.assertTrue(wait_for(lambda: len(receiver.documents()) >= 3, 15))
                self.assertTrue(d.running())
        finally:
            receiver.close()


if __name__ == "__main__":
    unittest.main()
