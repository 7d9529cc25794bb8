"""Runs the real binary for end-to-end tests: a private configuration, real pipes on
standard input, its output captured in files, and a local HTTP receiver."""
import http.server
import json
import os
import shlex
import pwd
import resource
import socket
import ssl
import subprocess
import tempfile
import threading
import time

BINARY = os.environ.get("PELMAR_BINARY", os.path.join(os.path.dirname(__file__), "../../build/pelmar"))
# What runs the binary, such as "qemu-mips -L SYSROOT" for a cross-built one; empty: itself.
RUNNER = shlex.split(os.environ.get("PELMAR_RUNNER", ""))
COMMAND = RUNNER + [BINARY]
# Opening an interface through libpcap needs an ioctl (SIOCETHTOOL) that qemu-user does not
# translate, so live capture is tested on the machine's own build only.
NO_LIVE_CAPTURE = "qemu-user cannot open an interface for libpcap" if RUNNER else ""


def install_command(directory):
    """Puts a `pelmar` into `directory` that runs the binary (through the runner, if any)."""
    path = os.path.join(directory, "pelmar")
    if not RUNNER:
        os.symlink(os.path.abspath(BINARY), path)
        return
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\nexec {shlex.join(RUNNER + [os.path.abspath(BINARY)])} \"$@\"\n")
    os.chmod(path, 0o755)


def capture_line(mac, signal="-67", clock="19:17:20.322896", unit="dBm"):
    """A line as today's capture tool prints it for a probe request."""
    return (f"{clock} 1.0 Mb/s 2412 MHz 11b {signal}{unit} signal antenna 1 "
            f"BSSID:ff:ff:ff:ff:ff:ff DA:ff:ff:ff:ff:ff:ff SA:{mac} Probe Request ()\n")


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Receiver:
    """HTTP server on 127.0.0.1 that keeps every POSTed body; `delay` holds each answer, the
    first `hang` requests get no answer at all and the next `fail` get HTTP 500. `answer(body)`
    may pick another status for a body (None: as above); `keep(body)` what is kept of it."""

    def __init__(self, delay=0.0, port=0, hang=0, fail=0, tls=None, answer=None, keep=None):
        self.bodies = []
        self.delay = delay
        self.hang = hang
        self.fail = fail
        self.requests = 0
        self.released = threading.Event()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                body = self.rfile.read(length)
                owner.requests += 1
                number = owner.requests
                if number <= owner.hang:
                    owner.released.wait(3600)
                    return
                time.sleep(owner.delay)
                status = answer(body) if answer else None
                if status is None and number <= owner.hang + owner.fail:
                    status = 500
                if status is not None and status != 200:
                    self.send_response(status)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                owner.bodies.append((self.headers.get("Content-Type"), keep(body) if keep else body))
                self.send_response(200)
                self.send_header("Content-Length", "2")
                self.end_headers()
                self.wfile.write(b"ok")

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        scheme = "http"
        if tls:  # (certificate file, key file): HTTPS
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
            scheme = "https"
        self.url = f"{scheme}://127.0.0.1:{self.server.server_address[1]}/upload"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def documents(self):
        return [json.loads(body) for _, body in list(self.bodies)]

    def close(self):
        self.released.set()
        self.server.shutdown()
        self.server.server_close()


# Sockets that hold the ports free_port gave out, for the life of the test process.
_HELD_PORTS = []


def free_port():
    """A port on 127.0.0.1 that nothing listens on until a Receiver of this process is started
    on it: the port stays bound, without listening, so that connections to it are refused and no
    other socket is given it as its own port (a receiver of a test running beside, or the local
    end of a connection, which would then answer in place of a refusal)."""
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # a Receiver may bind it too
    holder.bind(("127.0.0.1", 0))
    _HELD_PORTS.append(holder)
    return holder.getsockname()[1]


def sizes(directory, suffix=""):
    """Size of each file in `directory` whose name ends with `suffix`, as they stand: a file that
    goes between the listing and the look (the daemon keeping to a cap) is left out."""
    found = {}
    for name in os.listdir(directory):
        if name.endswith(suffix):
            try:
                found[name] = os.path.getsize(os.path.join(directory, name))
            except FileNotFoundError:
                pass
    return found


def processes_with(text):
    """Pids of the processes whose command line holds `text`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


class Daemon:
    """The binary with `settings` as its configuration file, fed through a pipe."""

    def __init__(self, settings, env=None, config_text=None, stdin=subprocess.PIPE, keep_output=True,
                 stdout=None, preexec_fn=None, user=None, address_space_kb=None, pass_fds=(),
                 prefix=()):
        self.dir = tempfile.TemporaryDirectory(prefix="pelmar-e2e-")
        self.config_path = os.path.join(self.dir.name, "pelmar.conf")
        if config_text is None:
            config_text = "[pelmar]\n" + "".join(f"{k}={v}\n" for k, v in settings.items())
        with open(self.config_path, "wb") as f:
            f.write(config_text.encode() if isinstance(config_text, str) else config_text)
        self.out_path = os.path.join(self.dir.name, "stdout")
        self.err_path = os.path.join(self.dir.name, "stderr")
        environment = dict(os.environ, PELMAR_CONFIG=self.config_path, TERM="dumb")
        environment.update(env or {})
        command = [*prefix, *RUNNER, os.path.abspath(BINARY)]  # prefix: such as `unshare`
        if user:  # run as this unprivileged user, who must be able to read the configuration
            os.chmod(self.dir.name, 0o755)
            os.chmod(self.config_path, 0o644)
            ids = pwd.getpwnam(user)
            command = ["setpriv", f"--reuid={ids.pw_uid}", f"--regid={ids.pw_gid}",
                       "--clear-groups"] + command

        def restrict():
            if preexec_fn:
                preexec_fn()
            if address_space_kb:
                limit = address_space_kb * 1024
                resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        with open(self.out_path if keep_output else os.devnull, "wb") as out, \
                open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(command, stdin=stdin, stdout=stdout or out, stderr=err,
                                            env=environment, cwd=self.dir.name, preexec_fn=restrict,
                                            pass_fds=pass_fds)

    def feed(self, text):
        self.process.stdin.write(text.encode() if isinstance(text, str) else text)
        self.process.stdin.flush()

    def close_input(self):
        self.process.stdin.close()

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read()

    def traces(self):
        """Standard output after the start-up lines: a line of the file not taken whole, and
        uploads off."""
        out = self.output()
        for prefix in (b"Line ", b"No full_url in "):
            if out.startswith(prefix):
                out = out[out.find(b"\n") + 1:]
        return out

    def errors(self):
        with open(self.err_path, "rb") as f:
            return f.read()

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.running():
            self.process.kill()
        self.process.wait()
        if self.process.stdin:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        self.dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
