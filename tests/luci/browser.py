"""Headless Chromium driven over the DevTools protocol on a pipe (no port to collide with):
messages ended by NUL, written to the browser's fd 3 and read from its fd 4."""
import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe", "--window-size=1200,1400"]


def in_net(pid):
    """The command prefix that runs a host program in process `pid`'s network namespace."""
    return ["nsenter", "--target", str(pid), "--net", "--"]


def add_viewer(userland, user, password):
    """Adds the rpcd login `user`, which may read everything and write nothing."""
    hashed = subprocess.run(["openssl", "passwd", "-5", password], capture_output=True,
                            text=True, check=True).stdout.strip()
    status, out = userland.sh(
        "uci add rpcd login >/dev/null; uci set rpcd.@login[-1].username=%s; uci set "
        "rpcd.@login[-1].password='%s'; uci add_list rpcd.@login[-1].read='*'; uci commit rpcd"
        % (user, hashed))
    if status:
        raise RuntimeError(out)


class Browser:
    """One Chromium with one page; each document keeps its uncaught errors in `pageErrors`."""

    def __init__(self, prefix=()):
        """`prefix`: a command that runs Chromium, e.g. nsenter into a network namespace."""
        self.profile = tempfile.TemporaryDirectory(prefix="pelmar-chromium-")
        to_r, self.to_browser = os.pipe()
        self.from_browser, from_w = os.pipe()
        # Either end may already be 3 or 4: go through fds no pipe end holds.
        onto_3_and_4 = lambda: [os.dup2(to_r, 100, False), os.dup2(from_w, 101, False),
                                os.dup2(100, 3), os.dup2(101, 4)]
        self.process = subprocess.Popen(  # Python's own fds are close-on-exec: only 3, 4 pass
            [*prefix, CHROMIUM, *FLAGS, "--user-data-dir=" + self.profile.name, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=onto_3_and_4,
            close_fds=False)
        os.close(to_r), os.close(from_w)
        self.buffer, self.next_id, self.session = b"", 0, None
        target = self.command("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.command("Target.attachToTarget", targetId=target,
                                    flatten=True)["sessionId"]
        self.command("Page.enable")  # without it, no script for new documents
        self.command("Page.addScriptToEvaluateOnNewDocument", source=(
            "window.pageErrors = [];"
            "addEventListener('error', e => pageErrors.push(String(e.message)));"
            "addEventListener('unhandledrejection', e => pageErrors.push("
            "String((e.reason && e.reason.message) || e.reason)));"))

    def command(self, method, timeout=30, **params):
        """The result of a command to the page (to the browser before one is attached)."""
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:  # events and late replies are skipped
            while b"\0" not in self.buffer:
                left = deadline - time.monotonic()
                chunk = (os.read(self.from_browser, 65536) if left > 0 and
                         select.select([self.from_browser], [], [], left)[0] else b"")
                if not chunk:
                    raise RuntimeError("no answer to " + method)
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self.next_id:
                break
        if "error" in reply:
            raise RuntimeError("%s: %s" % (method, reply["error"]))
        return reply.get("result", {})

    def close(self):
        try:
            self.session = None
            self.command("Browser.close", timeout=10)
            self.process.wait(timeout=10)
        except (RuntimeError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser), os.close(self.from_browser)
        self.profile.cleanup()

    def open(self, url):
        """Starts loading `url`; until it has, the old page answers with `window.oldPage`."""
        try:
            self.evaluate("window.oldPage = true")
        except RuntimeError:
            pass  # the old page is itself between two documents (a reload after applying)
        self.command("Page.navigate", url=url)

    def evaluate(self, expression):
        """The value of a JavaScript expression (awaited), by value."""
        result = self.command("Runtime.evaluate", expression=expression, awaitPromise=True,
                              returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait(self, expression, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                if self.evaluate(expression):
                    return
            except RuntimeError:
                pass  # the page is between two documents
            time.sleep(0.1)
        raise RuntimeError("waited %d s for %s" % (timeout, expression))

    def click(self, selector):
        """A real mouse click at the middle of the element."""
        x, y = self.evaluate("{ const r = document.querySelector(%s).getBoundingClientRect(); "
                             "[r.x + r.width / 2, r.y + r.height / 2]; }" % json.dumps(selector))
        for kind in ("mousePressed", "mouseReleased"):
            self.command("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                         clickCount=1)

    def type(self, selector, text):
        """Types `text` over the field's, then leaves it (LuCI validates on keyup and blur)."""
        element = "document.querySelector(%s)" % json.dumps(selector)
        self.evaluate("%s.focus(); %s.select()" % (element, element))
        self.command("Input.insertText", text=text)
        self.evaluate("%s.dispatchEvent(new KeyboardEvent('keyup', {bubbles: true})); %s.blur()"
                      % (element, element))

    def log_in(self, user, password, pages, timeout=20):
        """Opens `pages` in turn, each until LuCI's login form shows; posts it on the last."""
        for page in pages:
            self.open(page)
            self.wait("!window.oldPage && !!document.querySelector('.modal #luci_password')",
                      timeout)
        self.evaluate("{ const m = document.querySelector('.modal'); m.querySelector("
                      "'#luci_username').value = %s; m.querySelector('#luci_password').value = %s;"
                      " m.querySelector('.cbi-button-positive').click(); }"
                      % (json.dumps(user), json.dumps(password)))

    def shoot(self, name, directory, check):
        """At desktop then phone width: `check(width)`, then a screenshot into `directory` (if
        one is given); then back to the window's own size, settled before the next click."""
        for width in (1280, 375):
            self.command("Emulation.setDeviceMetricsOverride", width=width, height=900,
                         deviceScaleFactor=1, mobile=width < 600)
            self.wait("innerWidth == %d" % width)
            check(width)
            if directory:
                self.screenshot(os.path.join(directory, "%s-%d.png" % (name, width)))
        self.command("Emulation.setDeviceMetricsOverride", width=1200, height=1400,
                     deviceScaleFactor=1, mobile=False)
        self.wait("innerWidth == 1200")

    def screenshot(self, path):
        data = self.command("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data["data"]))
