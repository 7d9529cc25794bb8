"""A client that sends its whole body without waiting for an answer (as the daemon's curl does,
without "Expect: 100-continue") still reads the collector's refusal: the collector answers
before the body, then reads and throws away what still comes before it closes, up to a bound.
Beyond the bound the connection is closed as it comes, and may be reset."""
import os
import socket
import tempfile
import time
import unittest

from collector import Collector, add_token, stored

KIB, MIB = 1 << 10, 1 << 20
LINGER_BYTES = 4 * MIB  # what the collector reads and throws away after a refusal


def whole(answer):
    """Whether `answer` holds a whole response (the connection may stay open after it)."""
    head, _, body = answer.partition(b"\r\n\r\n")
    for line in head.split(b"\r\n")[1:] if _ else []:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return len(body) >= int(value)
    return False


def exchange(port, head, body, timeout=10):
    """The response the collector sent to `head` and `body`, sent whole before reading as the
    daemon's curl does (b"" when the connection was reset or closed without one), and the bytes
    of the request the kernel took."""
    s = socket.create_connection(("127.0.0.1", port))
    s.settimeout(timeout)
    data, sent, answer = memoryview(head + body), 0, b""
    try:
        while sent < len(data):
            sent += s.send(data[sent:sent + 256 * KIB])
        while not whole(answer):
            more = s.recv(65536)
            if not more:
                break
            answer += more
    except (ConnectionResetError, BrokenPipeError, socket.timeout):
        pass
    s.close()
    return answer, sent


def status(answer):
    parts = answer.split(b" ", 2)
    return int(parts[1]) if len(parts) > 2 and answer.startswith(b"HTTP/1.") else 0


def chunked(body):
    return b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)


class RefusedBeforeTheBody(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="pelmar-refusals-")
        self.addCleanup(self.work.cleanup)
        self.db = os.path.join(self.work.name, "collector.db")
        self.token = add_token(self.db, "north")
        self.collector = Collector(self.db, extra=["--max-body-kb", "64"])
        self.addCleanup(self.collector.stop)

    def head(self, query, framing):
        return (f"POST /ingest{query} HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                f"{framing}\r\n").encode()

    def test_the_refusal_reaches_a_client_that_sends_its_body_at_once(self):
        token = "?token=" + self.token
        cases = [  # name, query, body size, chunked, status, reason
            ("just over the limit", token, 64 * KIB + 1, False, 413, b"body larger than the limit"),
            ("a megabyte over", token, MIB, False, 413, b"body larger than the limit"),
            ("near the bound", token, LINGER_BYTES - 256 * KIB, False, 413,
             b"body larger than the limit"),
            ("chunked over the limit", token, MIB, True, 413, b"body larger than the limit"),
            ("no token, small", "", 200, False, 401, b"no token"),
            ("no token, at the limit", "", 64 * KIB, False, 401, b"no token"),
            ("no token, chunked near the bound", "", LINGER_BYTES - 256 * KIB, True, 401,
             b"no token"),
            ("unknown token", "?token=x", 64 * KIB, False, 401, b"unknown token"),
            ("unknown token, chunked", "?token=x", MIB, True, 401, b"unknown token"),
        ]
        for name, query, size, is_chunked, code, reason in cases:
            with self.subTest(name):
                body = b"[" * size
                framing = ("Transfer-Encoding: chunked\r\n" if is_chunked
                           else f"Content-Length: {size}\r\n")
                answer, _ = exchange(self.collector.port, self.head(query, framing),
                                     chunked(body) if is_chunked else body)
                self.assertEqual(status(answer), code, answer[:200])
                self.assertTrue(answer.endswith(reason + b"\n"), answer[:200])
        self.assertEqual(stored(self.db), [])

    def test_beyond_the_bound_the_body_is_not_read_whole(self):
        cases = [  # name, query, body size, chunked
            ("too large, past the bound", "?token=" + self.token, LINGER_BYTES + MIB, False),
            ("too large, far past", "?token=" + self.token, 64 * MIB, False),
            ("chunked too large, far past", "?token=" + self.token, 64 * MIB, True),
            ("no token, past the bound", "", LINGER_BYTES + MIB, True),
            ("no token, far past", "", 64 * MIB, True),
        ]
        for name, query, size, is_chunked in cases:
            with self.subTest(name):
                framing = ("Transfer-Encoding: chunked\r\n" if is_chunked
                           else f"Content-Length: {size}\r\n")
                answer, sent = exchange(self.collector.port, self.head(query, framing),
                                        b"%x\r\n" % size + b" " * size if is_chunked
                                        else b" " * size)
                self.assertIn(status(answer), (0, 401, 413))
                # The bound, the limit and what the kernel's buffers take.
                self.assertLess(sent, LINGER_BYTES + 12 * MIB)

    def test_a_client_that_waits_is_answered_at_once_and_let_go(self):
        s = socket.create_connection(("127.0.0.1", self.collector.port))
        s.sendall(self.head("", "Content-Length: 1000\r\n"))
        s.settimeout(5)
        began, answer = time.monotonic(), b""
        while True:  # the collector shuts its side once it answered
            more = s.recv(4096)
            if not more:
                break
            answer += more
        s.close()
        self.assertEqual(status(answer), 401)
        self.assertLess(time.monotonic() - began, 2)
        # The held connection is let go when the client closes: the server still answers.
        answer, _ = exchange(self.collector.port, self.head("", "Content-Length: 2\r\n"), b"[]")
        self.assertEqual(status(answer), 401)
