"""The spool through the real binary and real curl: files that are refused for good, too
large, links or cannot be removed do not block the rest; the order holds across a clock set
back; a stop keeps the last document for the next start, also as the first process of a pid
namespace, as in a jail."""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from daemon import BINARY, RUNNER, Daemon, Receiver, capture_line, free_port, wait_for

FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


def sanitized():
    """True for a sanitizer build, whose runtime does not start under libfaketime."""
    linked = subprocess.run(["ldd", BINARY], capture_output=True, text=True).stdout
    return "libasan" in linked or "libtsan" in linked


def spool_files(path):
    return sorted(n for n in os.listdir(path) if n.endswith(".json"))


def marked(receiver, key):
    """Values of `key` in the received documents that carry it, in order of arrival."""
    return [doc[key] for doc in receiver.documents() if key in doc]


class Poisoned(unittest.TestCase):
    def test_files_that_cannot_go_step_aside_and_the_rest_arrive_in_order(self):
        spool = tempfile.TemporaryDirectory(prefix="pelmar-spool-")
        elsewhere = tempfile.NamedTemporaryFile("w", suffix=".json")
        elsewhere.write('{"n":0}')
        elsewhere.flush()
        busy = []

        def answer(body):
            if b'"poison"' in body:
                return 400
            if b'"n":4' in body and not busy:
                busy.append(1)
                return 503  # a passing failure: kept and tried again
            return None
        files = {"1.json": '{"huge":"' + "x" * 2000000 + '"}', "2.json": '{"poison":1}',
                 "4.json": '{"n":4}', "5.json": '{"n":5}', "6.json": '{"n":6}'}
        for name, text in files.items():
            with open(os.path.join(spool.name, name), "w") as f:
                f.write(text)
        os.symlink(elsewhere.name, os.path.join(spool.name, "3.json"))
        receiver = Receiver(answer=answer)
        try:
            with Daemon({"report_time": 1, "full_url": receiver.url, "spool_dir": spool.name}) as d:
                self.assertTrue(wait_for(lambda: marked(receiver, "n") == [4, 5, 6], 20))
                cases = [("huge", b"Spool full: dropped 1.json\n"),
                         ("refused", b"Spool: rejected 2.json (HTTP 400), moved to rejected/\n"),
                         ("link", b"Spool: rejected 3.json (a symbolic link), moved to rejected/\n")]
                for name, line in cases:
                    with self.subTest(name):
                        self.assertEqual(d.output().count(line), 1)
                self.assertNotIn(b"Uploads failing", d.output())
                self.assertEqual(sorted(os.listdir(os.path.join(spool.name, "rejected"))),
                                 ["2.json", "3.json"])
                self.assertTrue(wait_for(lambda: not spool_files(spool.name), 5))
        finally:
            receiver.close()
            spool.cleanup()
            elsewhere.close()

    # Another user cannot reach an emulator's sysroot kept in root's home.
    @unittest.skipIf(RUNNER, "the daemon runs as another user")
    def test_a_delivered_file_that_cannot_be_removed_is_not_sent_twice(self):
        spool = tempfile.mkdtemp(prefix="pelmar-spool-")
        for n in (1, 2):
            with open(os.path.join(spool, f"{n}.json"), "w") as f:
                f.write(f'{{"n":{n}}}')
        shutil.chown(spool, "nobody")
        os.chmod(spool, 0o555)  # the daemon runs as nobody: it can read but not remove
        receiver = Receiver()
        try:
            with Daemon({"report_time": 1, "full_url": receiver.url, "spool_dir": spool},
                        user="nobody") as d:
                self.assertTrue(wait_for(lambda: b"Spool: cannot remove 1.json after it was sent; "
                                         b"the spool is off until it can be\n" in d.output(), 15))
                time.sleep(3)
                self.assertEqual(marked(receiver, "n"), [1])
                os.chmod(spool, 0o755)
                self.assertTrue(wait_for(lambda: marked(receiver, "n") == [1, 2], 15))
                self.assertIn(b"Spool: removed 1.json; the spool is in use again\n", d.output())
                self.assertTrue(wait_for(lambda: not spool_files(spool), 5))
        finally:
            receiver.close()
            os.chmod(spool, 0o755)
            shutil.rmtree(spool)


class Order(unittest.TestCase):
    @unittest.skipUnless(os.path.exists(FAKETIME) and not sanitized(), "needs libfaketime")
    def test_documents_are_sent_in_the_order_made_though_the_clock_went_back(self):
        spool = tempfile.TemporaryDirectory(prefix="pelmar-spool-")
        down = f"http://127.0.0.1:{free_port()}/upload"
        made = []
        for start in ("@2030-01-01 12:00:00", "@2030-01-01 11:00:00"):
            env = {"LD_PRELOAD": FAKETIME, "FAKETIME": start}
            with Daemon({"report_time": 1, "full_url": down, "spool_dir": spool.name}, env=env) as d:
                count = len(spool_files(spool.name))
                self.assertTrue(wait_for(lambda: len(spool_files(spool.name)) >= count + 2, 15))
            for name in spool_files(spool.name)[len(made):]:
                with open(os.path.join(spool.name, name)) as f:
                    made.append(json.load(f)["systemDateTime"])
        self.assertTrue(made[-1] < made[0])  # the second run's clock was an hour behind
        receiver = Receiver()
        try:
            with Daemon({"report_time": 1, "full_url": receiver.url, "spool_dir": spool.name}):
                self.assertTrue(wait_for(lambda: not spool_files(spool.name), 20))
            sent = [t for t in marked(receiver, "systemDateTime") if t.startswith("2030")]
            self.assertEqual(sent, made)
        finally:
            receiver.close()
            spool.cleanup()


# As a jail runs it: the first process of a pid namespace of its own.
PID_NAMESPACE = ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child"]


def pid_namespaces():
    """True when this user can make pid namespaces (root, with unshare at hand) and the binary
    runs itself: an emulator as PID 1 ends itself by a signal, which there does nothing."""
    return not RUNNER and os.geteuid() == 0 and shutil.which("unshare") and subprocess.run(
        PID_NAMESPACE + ["true"], stderr=subprocess.DEVNULL).returncode == 0


def daemon_pid(process, namespaced):
    """The daemon's pid as seen here: `process` itself, or the child unshare made."""
    if not namespaced:
        return process.pid
    children = f"/proc/{process.pid}/task/{process.pid}/children"
    return int(wait_for(lambda: open(children).read().split())[0])


class LastDocument(unittest.TestCase):
    def test_a_stop_keeps_the_last_document_and_the_next_start_sends_it(self):
        cases = [(signal.SIGTERM, False), (signal.SIGINT, False), (signal.SIGHUP, False)]
        if pid_namespaces():
            cases.append((signal.SIGTERM, True))
        for number, (sig, namespaced) in enumerate(cases):
            with self.subTest(sig.name, pid_1=namespaced):
                spool = tempfile.TemporaryDirectory(prefix="pelmar-spool-")
                receiver = Receiver()
                mac = f"aa:bb:cc:dd:ee:{number:02x}"
                settings = {"report_time": 3600, "full_url": receiver.url, "spool_dir": spool.name}
                try:
                    with Daemon(settings, prefix=PID_NAMESPACE if namespaced else ()) as d:
                        d.feed(capture_line(mac))
                        time.sleep(1.5)
                        os.kill(daemon_pid(d.process, namespaced), sig)
                        # As PID 1 it ends itself with the status a shell gives that death.
                        self.assertEqual(d.process.wait(2), 128 + sig if namespaced else -sig)
                    self.assertEqual(receiver.documents(), [])
                    self.assertEqual(len(spool_files(spool.name)), 1)
                    settings["report_time"] = 1
                    with Daemon(settings):
                        self.assertTrue(wait_for(lambda: not spool_files(spool.name), 15))
                    macs = [r["mac"] for doc in receiver.documents() for r in doc["data"]]
                    self.assertEqual(macs, [mac])
                finally:
                    receiver.close()
                    spool.cleanup()


if __name__ == "__main__":
    unittest.main()
