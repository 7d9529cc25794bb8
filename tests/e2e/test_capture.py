"""The capture spine of the real binary: start-up, traces, idle turns, end of input."""
import os
import subprocess
import tempfile
import time
import unittest

from daemon import COMMAND, Daemon, Receiver, capture_line, wait_for


class StartUp(unittest.TestCase):
    def test_missing_configuration_names_the_path_and_exits_255(self):
        path = "/nonexistent/dir/pelmar.conf"
        result = subprocess.run(COMMAND, env=dict(os.environ, PELMAR_CONFIG=path),
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
        self.assertEqual(result.returncode, 255)
        self.assertEqual(result.stdout, f"Cannot load {path}!\n".encode())

    def test_arguments_are_ignored(self):
        result = subprocess.run(COMMAND + ["--help", "x"], capture_output=True, timeout=10,
                                env=dict(os.environ, PELMAR_CONFIG="/nonexistent.conf"))
        self.assertEqual(result.stdout, b"Cannot load /nonexistent.conf!\n")

    def test_rejected_lines_do_not_stop_start_up(self):
        with Daemon({}, config_text="junk\n[other]\ndebug=9\n[pelmar]\ndebug=3\n") as d:
            self.assertTrue(wait_for(lambda: b"Reading..." in d.output()))
            self.assertTrue(d.running())

    def test_only_a_cut_line_is_named_and_skipped_lines_are_silent(self):
        receiver = Receiver()
        head = f"[pelmar]\nfull_url={receiver.url}\nreport_time=3600\nexit_at_end=1\n"
        cut = "url=" + "t" * 300 + "\n"
        for name, text, line in [
                ("all_taken", head, None),
                ("pair_before_section", "debug=3\n" + head, None),
                ("other_section", head + "[other]\ndebug=3\n", None),
                ("unknown_and_misspelt_keys", head + "colour=red\nDebug=3\n", None),
                ("malformed", head + "no pair here\n", None),
                ("exactly_199_characters", head + "url=" + "t" * 195 + "\n", None),
                ("cut", head + cut, 5),
                ("cut_after_skipped_lines_named_once", "junk\n" + head + "x=1\n" + cut + cut, 7)]:
            with self.subTest(name), tempfile.TemporaryDirectory(prefix="pelmar-e2e-") as work:
                path = os.path.join(work, "pelmar.conf")
                with open(path, "w") as f:
                    f.write(text)
                result = subprocess.run(COMMAND, stdin=subprocess.DEVNULL, capture_output=True,
                                        env=dict(os.environ, PELMAR_CONFIG=path), timeout=30)
                expected = (f"Line {line} of {path} was not taken whole: longer than 199 "
                            "characters.\n" if line else "")
                self.assertEqual((result.returncode, result.stdout.decode()), (0, expected))
        receiver.close()

    def test_version_is_one_line(self):
        for args in (["-V"], ["--version"], ["x", "--version"]):
            result = subprocess.run([*COMMAND, *args], capture_output=True, timeout=10,
                                    env=dict(os.environ, PELMAR_CONFIG="/nonexistent.conf"))
            self.assertEqual(result.returncode, 0)
            self.assertRegex(result.stdout.decode(), r"^pelmar \d+\.\d+\.\d+\n$")


class Traces(unittest.TestCase):
    def test_idle_turn_prints_three_trace_lines(self):
        with Daemon({"debug": 3}) as d:
            self.assertTrue(wait_for(lambda: d.output().count(b"Sleeping....") >= 1, 5))
            self.assertTrue(d.traces().startswith(b"Reading...\nReaded Line: \nSleeping....\n"))

    def test_capture_line_traces_echo_reading_and_table(self):
        line = capture_line("aa:bb:cc:dd:ee:01")
        with Daemon({"debug": 3}) as d:
            d.feed(line)
            d.feed(capture_line("aa:bb:cc:dd:ee:02", "-80", "00:01:02.5", "dB"))
            self.assertTrue(wait_for(lambda: d.output().count(b"In list MAC After") >= 3))
            expected = (
                "Reading...\n" + line[:-1] + "Readed Line: " + line +
                "Readed MAC: aa:bb:cc:dd:ee:01\nReaded Signal: -67\nReaded seconds: 69440\n"
                "In list MAC After: aa:bb:cc:dd:ee:01\n"
                "Reading...\n" + capture_line("aa:bb:cc:dd:ee:02", "-80", "00:01:02.5", "dB")[:-1] +
                "Readed Line: " + capture_line("aa:bb:cc:dd:ee:02", "-80", "00:01:02.5", "dB") +
                "Readed MAC: aa:bb:cc:dd:ee:02\nReaded Signal: -80\nReaded seconds: 62\n"
                "In list MAC Previous: aa:bb:cc:dd:ee:01\n"
                "In list MAC After: aa:bb:cc:dd:ee:01\nIn list MAC After: aa:bb:cc:dd:ee:02\n"
                "Reading...\n")
            self.assertEqual(d.traces()[:len(expected)].decode(), expected)

    def test_line_without_marker_sleeps(self):
        with Daemon({"debug": 3}) as d:
            d.feed("19:17:20.3 BSSID:aa TA:bb Power Save-Poll\n")
            self.assertTrue(wait_for(lambda: b"Sleeping" in d.output()))
            self.assertIn(b"Power Save-PollReaded Line: 19:17:20.3 BSSID:aa TA:bb Power Save-Poll\n"
                          b"Sleeping....\n", d.output())


class EndOfInput(unittest.TestCase):
    def test_end_of_input_does_not_end_the_process(self):
        with Daemon({"debug": 3}) as d:
            d.feed(capture_line("aa:bb:cc:dd:ee:01") + "last line without end")
            d.close_input()
            time.sleep(3)
            self.assertTrue(d.running())
            out = d.output()
            self.assertIn(b"Readed Line: last line without end\nSleeping....\n", out)
            # Afterwards every turn gets an empty line at once and sleeps one second.
            self.assertGreaterEqual(out.count(b"Readed Line: \nSleeping....\n"), 1)

    def test_input_from_dev_null_keeps_running(self):
        with Daemon({}, stdin=subprocess.DEVNULL) as d:
            time.sleep(2)
            self.assertTrue(d.running())


if __name__ == "__main__":
    unittest.main()
