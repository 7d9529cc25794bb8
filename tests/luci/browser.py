"""Headless Chromium driven over the DevTools protocol on a pipe (no port to collide with):
messages ended by NUL, written to the browser's fd 3 and read from its fd 4."""
import base64
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe", "--window-size=1200,1400"]


class BrowserError(Exception):
    pass


class Browser:
    """One Chromium with one page."""

    def __init__(self):
        self.profile = tempfile.TemporaryDirectory(prefix="pelmar-chromium-")
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()
        # The browser must find the pipes on fds 3 and 4. Either end may already be 3 or 4, and
        # dup2 onto itself keeps close-on-exec: move both above 10 first.
        high_r = os.dup2(to_browser_r, 20, inheritable=False)
        high_w = os.dup2(from_browser_w, 21, inheritable=False)
        os.close(to_browser_r)
        os.close(from_browser_w)

        def onto_3_and_4():
            os.dup2(high_r, 3)
            os.dup2(high_w, 4)

        self.process = subprocess.Popen(
            [CHROMIUM, *FLAGS, "--user-data-dir=" + self.profile.name, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # Python's own descriptors are close-on-exec: only 3 and 4 pass.
            preexec_fn=onto_3_and_4, close_fds=False)
        os.close(high_r)
        os.close(high_w)
        self.next_id = 0
        self.replies = {}
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        target = self.command("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.command("Target.attachToTarget", targetId=target,
                                    flatten=True)["sessionId"]
        self.send("Page.enable")
        self.send("Runtime.enable")
        # Each document keeps its own uncaught errors: one being left may still report some
        # (its requests are cut off) after the next has started.
        self.send("Page.addScriptToEvaluateOnNewDocument", source=(
            "window.pageErrors = [];"
            "addEventListener('error', e => pageErrors.push(String(e.message)));"
            "addEventListener('unhandledrejection', e => pageErrors.push("
            "String((e.reason && e.reason.message) || e.reason)));"))

    def _read(self):
        buffer = b""
        while True:
            chunk = os.read(self.from_browser, 65536)
            if not chunk:
                break
            buffer += chunk
            while b"\0" in buffer:
                raw, buffer = buffer.split(b"\0", 1)
                message = json.loads(raw)
                with self.cond:
                    if "id" in message:
                        self.replies[message["id"]] = message
                    self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def command(self, method, session=None, timeout=30, **params):
        with self.cond:
            self.next_id += 1
            number = self.next_id
        message = {"id": number, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self.cond:
            while number not in self.replies:
                left = deadline - time.monotonic()
                if left <= 0 or not self.reader.is_alive():
                    raise BrowserError("no answer to " + method)
                self.cond.wait(left)
            reply = self.replies.pop(number)
        if "error" in reply:
            raise BrowserError("%s: %s" % (method, reply["error"]))
        return reply.get("result", {})

    def send(self, method, **params):
        return self.command(method, session=self.session, **params)

    def close(self):
        try:
            self.command("Browser.close", timeout=10)
        except BrowserError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)
        self.profile.cleanup()

    # -- the page --

    def open(self, url):
        """Starts loading `url`; until it has, the old page answers with `window.oldPage`
        true (navigation returns before the new document replaces it)."""
        try:
            self.evaluate("window.oldPage = true")
        except BrowserError:
            pass
        self.send("Page.navigate", url=url)

    def evaluate(self, expression):
        """The value of a JavaScript expression (awaited), by value: return text or booleans."""
        result = self.send("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise BrowserError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait(self, expression, timeout=20, what=None):
        """Waits until the expression is true; fails saying what was awaited."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                if self.evaluate(expression):
                    return
            except BrowserError:
                pass  # the page is between two documents
            if time.monotonic() > deadline:
                raise BrowserError("waited %d s for %s" % (timeout, what or expression))
            time.sleep(0.1)

    def click(self, selector):
        """A real mouse click at the middle of the element."""
        box = self.evaluate("(() => { const r = document.querySelector(%s)"
                            ".getBoundingClientRect(); return [r.x + r.width / 2, "
                            "r.y + r.height / 2]; })()" % json.dumps(selector))
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1],
                      button="left", clickCount=1)

    def type(self, selector, text):
        """Replaces the field's text by typing, then leaves the field (LuCI validates on
        keyup and blur)."""
        self.evaluate("(() => { const e = document.querySelector(%s); e.focus(); e.select(); "
                      "return true; })()" % json.dumps(selector))
        self.send("Input.dispatchKeyEvent", type="keyDown", key="Delete", code="Delete",
                  windowsVirtualKeyCode=46)
        self.send("Input.dispatchKeyEvent", type="keyUp", key="Delete", code="Delete",
                  windowsVirtualKeyCode=46)
        if text:
            self.send("Input.insertText", text=text)
        self.evaluate("(() => { const e = document.querySelector(%s); "
                      "e.dispatchEvent(new KeyboardEvent('keyup', {bubbles: true})); e.blur(); "
                      "return true; })()" % json.dumps(selector))

    def page_errors(self):
        """The uncaught errors of the page shown now."""
        return self.evaluate("window.pageErrors")

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data["data"]))
