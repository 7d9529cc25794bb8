"""A stand-in for the router's web interface, for the status page (the settings page is tested on
the real LuCI): serves LuCI's browser files with the app's htdocs laid over them, renders the
page LuCI's server puts around a view, and answers ubus JSON-RPC deciding access from the app's
real menu and ACL files, as rpcd and LuCI's dispatcher do. `luci.pelmar getStatus` is answered
by the app's real plugin, run by ucode with stand-ins for ubus and uci."""
import fnmatch
import glob
import json
import mimetypes
import os
import subprocess
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.normpath(os.path.join(HERE, "../../packaging/openwrt/luci-app-pelmar"))
STANDINS = os.path.join(HERE, "standin")

PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{title} - LuCI</title>
<link rel="stylesheet" href="/luci-static/bootstrap/cascade.css">
<script src="/luci-static/resources/cbi.js"></script>
<script src="/luci-static/resources/promis.min.js"></script>
<script src="/luci-static/resources/luci.js"></script>
<script>L = new LuCI({env});</script>
</head><body class="lang_en">
<div id="maincontent" class="container"><div id="view"></div></div>
<script>L.require('ui').then(function(ui) {{ ui.instantiateView('{view}'); }});</script>
</body></html>
"""


def plugin_answer(ucode, work, uci, instances):
    """What the app's plugin answers to getStatus, run as rpcd would with these uci configurations
    and procd's instances of the service (None: the bus cannot be reached)."""
    env = dict(os.environ, PELMAR_TEST_UCI=os.path.join(work, "uci.json"))
    with open(env["PELMAR_TEST_UCI"], "w") as f:
        json.dump(uci, f)
    if instances is not None:
        env["PELMAR_TEST_SERVICES"] = os.path.join(work, "services.json")
        with open(env["PELMAR_TEST_SERVICES"], "w") as f:
            json.dump({"pelmar": {"instances": instances}}, f)
    plugin = os.path.join(APP, "root", "usr", "share", "rpcd", "ucode", "luci.pelmar")
    return json.loads(subprocess.run(
        [ucode, "-L", os.path.dirname(ucode), "-L", STANDINS, os.path.join(STANDINS, "call.uc"),
         plugin, "luci.pelmar", "getStatus"], env=env, capture_output=True, text=True,
        timeout=30, check=True).stdout)


def levels(session, group):
    """The levels a session, (read patterns, write patterns) as /etc/config/rpcd lists them for a
    user, holds of an access group."""
    return [level for level, patterns in zip(("read", "write"), session)
            if any(fnmatch.fnmatchcase(group, p) for p in patterns)]


class Router:
    """The stand-in on 127.0.0.1, with its uci state, procd's run state and the calls it took."""

    def __init__(self, shared_luci, ucode, work):
        self.ucode, self.work, self.roots = ucode, work, [
            os.path.join(APP, "htdocs"), os.path.join(shared_luci, "modules/luci-base/htdocs"),
            os.path.join(shared_luci, "themes/luci-theme-bootstrap/htdocs")]
        self.groups = {}
        acl = "root/usr/share/rpcd/acl.d/"
        for path in glob.glob(os.path.join(APP, acl, "*.json")) + [
                os.path.join(shared_luci, "modules/luci-base", acl, "luci-base.json")]:
            with open(path) as f:
                self.groups.update(json.load(f))
        with open(os.path.join(APP, "root/usr/share/luci/menu.d/luci-app-pelmar.json")) as f:
            self.menu = json.load(f)
        self.sessions = {"admin": (["*"], ["*"]), "viewer": (["*"], []),
                         "stranger": (["luci-base", "unauthenticated"], [])}
        self.uci = {"pelmar": {"main": {".type": "pelmar"}}}
        self.running, self.plugin, self.lock = True, True, threading.Lock()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self.handler())
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def page(self, path, session):
        return "%s/cgi-bin/luci/%s?sid=%s" % (self.url, path, session)

    def allowed(self, sid, scope, obj, function):
        """Whether rpcd grants the session `function` on `obj` in `scope` ("ubus" or "uci")."""
        if sid not in self.sessions:
            return False
        if scope == "ubus" and obj == "session":
            return True  # rpcd's own default grant
        for name, group in self.groups.items():
            for level in levels(self.sessions[sid], name):
                grants = group.get(level, {}).get(scope, {})
                if isinstance(grants, list):  # "uci": [configs], checked against the level
                    grants = {config: [level] for config in grants}
                if any(fnmatch.fnmatchcase(obj, pattern) and (function in fns or "*" in fns)
                       for pattern, fns in grants.items()):
                    return True
        return False

    def call(self, sid, obj, method, args):
        """The result of a granted call, or None for an object rpcd does not know."""
        if obj == "session" and method == "access":
            return [0, {"access": self.allowed(sid, args["scope"], args["object"],
                                               args["function"])}]
        if obj == "luci" and method == "getFeatures":
            return [0, {}]
        if obj == "uci" and method == "changes":
            return [0, {"changes": {}}]
        with self.lock:  # also one plugin run at a time: they share their files
            if obj == "luci.pelmar" and self.plugin:
                return [0, plugin_answer(self.ucode, self.work, self.uci,
                                         {"i1": {"running": True}} if self.running else {})]
            if obj == "uci" and method == "get":
                return [0, {"values": {name: dict(options, **{".name": name, ".index": i,
                                                              ".anonymous": False})
                                       for i, (name, options) in enumerate(
                                           self.uci[args["config"]].items())}}]
        return [3] if obj == "uci" else None

    def rpc(self, message):
        reply = {"jsonrpc": "2.0", "id": message.get("id")}
        if message.get("method") == "list":
            return dict(reply, result={})
        sid, obj, method, args = message["params"]
        granted = self.allowed(sid, "ubus", obj, method)
        if granted and obj == "uci" and "config" in args:
            level = "read" if method in ("get", "changes") else "write"
            granted = self.allowed(sid, "uci", args["config"], level)
        if not granted:
            return dict(reply, error={"code": -32002, "message": "Access denied"})
        result = self.call(sid, obj, method, args)
        if result is None:
            return dict(reply, error={"code": -32000, "message": "Object not found"})
        return dict(reply, result=result)

    def view(self, path, sid):
        """The page LuCI's dispatcher serves at `path`: (HTTP status, body)."""
        node = self.menu.get(path)
        if node is None:
            return 404, "Page not found"
        session = self.sessions.get(sid, ([], []))
        needed = node.get("depends", {}).get("acl", [])
        if not all(levels(session, g) for g in needed):
            return 403, "<p>Access denied</p>"
        readonly = not all("write" in levels(session, g) for g in needed)
        env = {"media": "/luci-static/bootstrap", "resource": "/luci-static/resources",
               "scriptname": "/cgi-bin/luci", "requestpath": path.split("/"),
               "dispatchpath": path.split("/"), "pollinterval": 5, "ubuspath": "/ubus/",
               "sessionid": sid, "token": "t" + sid, "apply_rollback": 90, "apply_holdoff": 1,
               "apply_timeout": 5, "apply_display": 1, "cgi_base": "/cgi-bin",
               "nodespec": dict(node, satisfied=True, readonly=readonly)}
        return 200, PAGE.format(title=node.get("title", ""), env=json.dumps(env),
                                view=node["action"]["path"])

    def handler(self):
        router = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def send(self, code, body, kind="text/html"):
                data = body.encode() if isinstance(body, str) else body
                self.send_response(code)
                self.send_header("Content-Type", kind or "application/octet-stream")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                if url.path.startswith("/cgi-bin/luci/"):
                    sid = urllib.parse.parse_qs(url.query).get("sid", [""])[0]
                    return self.send(*router.view(url.path[len("/cgi-bin/luci/"):], sid))
                relative = os.path.normpath(urllib.parse.unquote(url.path)).lstrip("/")
                for root in router.roots:
                    full = os.path.join(root, relative)
                    if full.startswith(root + os.sep) and os.path.isfile(full):
                        with open(full, "rb") as f:
                            return self.send(200, f.read(), mimetypes.guess_type(full)[0])
                self.send(404, "not found")

            def do_POST(self):
                url = urllib.parse.urlsplit(self.path)
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                if url.path != "/ubus/":
                    return self.send(404, "not found")  # also the peer address helper
                request = json.loads(body)
                answer = ([router.rpc(m) for m in request] if isinstance(request, list)
                          else router.rpc(request))
                self.send(200, json.dumps(answer), "application/json")

        return Handler
