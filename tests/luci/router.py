"""A stand-in for the router's web interface: serves LuCI's browser files with the app's htdocs laid
over them, renders the page LuCI's server puts around a view, and answers ubus JSON-RPC deciding
access from the app's real menu and ACL files, as rpcd and LuCI's dispatcher do. `luci.pelmar
getStatus` is answered by the app's real plugin, run by ucode with stand-ins for ubus and uci."""
import fnmatch
import glob
import json
import os
import subprocess
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
APP = os.path.join(REPO, "packaging", "openwrt", "luci-app-pelmar")
PLUGIN = os.path.join(APP, "root", "usr", "share", "rpcd", "ucode", "luci.pelmar")
STANDINS = os.path.join(HERE, "standin")
TYPES = {".js": "application/javascript", ".css": "text/css", ".png": "image/png",
         ".svg": "image/svg+xml", ".gif": "image/gif", ".json": "application/json"}

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


def acl_groups(paths):
    """Every access group of the ACL files `paths`, by name."""
    groups = {}
    for path in paths:
        with open(path) as f:
            groups.update(json.load(f))
    return groups


class Session:
    """A login: the access groups' patterns granted for reading and for writing, as
    /etc/config/rpcd lists them for a user."""

    def __init__(self, read=("*",), write=("*",)):
        self.read, self.write = read, write

    def levels(self, group):
        levels = []
        if any(fnmatch.fnmatchcase(group, p) for p in self.read):
            levels.append("read")
        if any(fnmatch.fnmatchcase(group, p) for p in self.write):
            levels.append("write")
        return levels


class Router:
    """The stand-in on 127.0.0.1, with its uci state, procd's run state and the calls it took."""

    def __init__(self, shared_luci, ucode, work):
        self.luci = shared_luci
        self.ucode = ucode
        self.work = work
        self.roots = [os.path.join(APP, "htdocs"),
                      os.path.join(shared_luci, "modules", "luci-base", "htdocs"),
                      os.path.join(shared_luci, "themes", "luci-theme-bootstrap", "htdocs")]
        self.groups = acl_groups(
            glob.glob(os.path.join(APP, "root", "usr", "share", "rpcd", "acl.d", "*.json")) +
            [os.path.join(shared_luci, "modules", "luci-base", "root", "usr", "share", "rpcd",
                          "acl.d", "luci-base.json")])
        with open(os.path.join(APP, "root", "usr", "share", "luci", "menu.d",
                               "luci-app-pelmar.json")) as f:
            self.menu = json.load(f)
        self.sessions = {"admin": Session(), "viewer": Session(write=()),
                         "stranger": Session(read=("luci-base", "unauthenticated"), write=())}
        self.uci = {"pelmar": {"main": {".type": "pelmar"}}}
        self.running = True
        self.calls = []  # (session, object, method, args) of every call granted
        self.denied = []
        self.applied = 0
        self.lock = threading.Lock()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def page(self, path, session):
        return "%s/cgi-bin/luci/%s?sid=%s" % (self.url, path, session)

    # -- access, as rpcd decides it --

    def allowed(self, sid, scope, obj, function):
        session = self.sessions.get(sid)
        if session is None:
            return False
        if scope == "session" or (scope == "ubus" and obj == "session"):
            return True  # rpcd's own default grants
        for name, group in self.groups.items():
            for level in session.levels(name):
                grants = group.get(level, {}).get(scope)
                if isinstance(grants, list):  # "uci": [configs], checked against the level
                    if function == level and any(fnmatch.fnmatchcase(obj, g) for g in grants):
                        return True
                elif isinstance(grants, dict):
                    for pattern, functions in grants.items():
                        if fnmatch.fnmatchcase(obj, pattern) and (
                                function in functions or "*" in functions):
                            return True
        return False

    def node(self, path):
        """The app's menu node at `path`, or None."""
        return self.menu.get(path)

    def granted(self, sid, node):
        """Whether session `sid` holds every access group the node depends on, for reading and
        for writing (LuCI's dispatcher serves a page read-only without write)."""
        session = self.sessions.get(sid)
        needed = node.get("depends", {}).get("acl", [])
        read = session is not None and all(session.levels(g) for g in needed)
        write = read and all("write" in session.levels(g) for g in needed)
        return read, write

    # -- ubus --

    def status(self):
        """What the app's plugin answers now, run as rpcd would run it."""
        uci_file = os.path.join(self.work, "uci.json")
        services_file = os.path.join(self.work, "services.json")
        with self.lock:
            state = {c: {s: {k: v for k, v in o.items() if not k.startswith(".")}
                         for s, o in sections.items()} for c, sections in self.uci.items()}
            services = {"pelmar": {"instances": {"instance1": {"running": True, "pid": 4242}}}
                        if self.running else {}}
        with open(uci_file, "w") as f:
            json.dump(state, f)
        with open(services_file, "w") as f:
            json.dump(services, f)
        env = dict(os.environ, PELMAR_TEST_UCI=uci_file, PELMAR_TEST_SERVICES=services_file)
        lib = os.path.dirname(self.ucode)
        out = subprocess.run([self.ucode, "-L", lib, "-L", STANDINS,
                              os.path.join(STANDINS, "call.uc"), PLUGIN, "luci.pelmar",
                              "getStatus"], capture_output=True, text=True, env=env, timeout=30,
                             check=True).stdout
        return json.loads(out)

    def uci_call(self, method, args):
        config = args.get("config")
        with self.lock:
            sections = self.uci.get(config)
            if method == "get":
                if sections is None:
                    return [4]
                values = {}
                for index, (name, options) in enumerate(sections.items()):
                    values[name] = dict(options, **{".name": name, ".anonymous": False,
                                                    ".index": index})
                return [0, {"values": values}]
            if method == "changes":
                return [0, {"changes": {}}]
            if sections is None or args.get("section") not in sections:
                return [4]
            options = sections[args["section"]]
            if method == "set":
                for key, value in args.get("values", {}).items():
                    options[key] = value
                return [0]
            if method == "delete":
                for key in args.get("options") or [args.get("option")]:
                    options.pop(key, None)
                return [0]
        return [3]

    def call(self, sid, obj, method, args):
        if obj == "session" and method == "access":
            ok = self.allowed(sid, args.get("scope"), args.get("object"), args.get("function"))
            return [0, {"access": ok}]
        if obj == "luci" and method == "getFeatures":
            return [0, {}]
        if obj == "file" and method == "list":
            return [4]
        if obj == "luci.pelmar" and method == "getStatus":
            return [0, self.status()]
        if obj == "uci":
            return self.uci_call(method, args)
        return None

    def rpc(self, message):
        if message.get("method") == "list":
            return {"jsonrpc": "2.0", "id": message.get("id"), "result": {}}
        sid, obj, method, args = message["params"]
        reply = {"jsonrpc": "2.0", "id": message.get("id")}
        scope_ok = self.allowed(sid, "ubus", obj, method)
        # Without a config, `uci changes` lists those the session may read.
        if scope_ok and obj == "uci" and "config" in args:
            level = "read" if method in ("get", "changes") else "write"
            scope_ok = self.allowed(sid, "uci", args.get("config", ""), level)
        if not scope_ok:
            self.denied.append((sid, obj, method, args))
            reply["error"] = {"code": -32002, "message": "Access denied"}
            return reply
        result = self.call(sid, obj, method, args)
        if result is None:
            reply["error"] = {"code": -32000, "message": "Object not found"}
            return reply
        with self.lock:
            self.calls.append((sid, obj, method, args))
        reply["result"] = result
        return reply

    # -- HTTP --

    def _handler(self):
        router = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def send(self, code, body, kind="text/html"):
                data = body.encode() if isinstance(body, str) else body
                self.send_response(code)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(data)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                if url.path.startswith("/luci-static/"):
                    return self.static(url.path)
                if url.path.startswith("/cgi-bin/luci/"):
                    query = urllib.parse.parse_qs(url.query)
                    return self.view(url.path[len("/cgi-bin/luci/"):],
                                     query.get("sid", [""])[0])
                self.send(404, "not found")

            def static(self, path):
                relative = os.path.normpath(urllib.parse.unquote(path)).lstrip("/")
                for root in router.roots:
                    full = os.path.join(root, relative)
                    if full.startswith(root + os.sep) and os.path.isfile(full):
                        with open(full, "rb") as f:
                            return self.send(200, f.read(), TYPES.get(
                                os.path.splitext(full)[1], "application/octet-stream"))
                self.send(404, "not found")

            def view(self, path, sid):
                node = router.node(path)
                if node is None or node.get("action", {}).get("type") != "view":
                    return self.send(404, "Page not found")
                read, write = router.granted(sid, node)
                if not read:
                    return self.send(403, "<p id='denied'>Access denied</p>")
                env = {
                    "media": "/luci-static/bootstrap", "resource": "/luci-static/resources",
                    "scriptname": "/cgi-bin/luci", "pathinfo": "/" + path,
                    "documentroot": "/www", "requestpath": path.split("/"),
                    "dispatchpath": path.split("/"), "pollinterval": 5,
                    "ubuspath": "/ubus/", "sessionid": sid, "token": "token-" + sid,
                    "nodespec": dict(node, satisfied=True, readonly=not write),
                    "apply_rollback": 90, "apply_holdoff": 1, "apply_timeout": 5,
                    "apply_display": 1, "rollback_token": None, "rpctimeout": 20,
                    "cgi_base": "/cgi-bin", "resource_version": "1"}
                self.send(200, PAGE.format(title=node.get("title", ""), env=json.dumps(env),
                                           view=node["action"]["path"]))

            def do_POST(self):
                url = urllib.parse.urlsplit(self.path)
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                if url.path.rstrip("/") == "/ubus":
                    request = json.loads(body)
                    if isinstance(request, list):
                        answer = [router.rpc(m) for m in request]
                    else:
                        answer = router.rpc(request)
                    return self.send(200, json.dumps(answer), "application/json")
                form = urllib.parse.parse_qs(body.decode() + "&" + url.query)
                sid = form.get("sid", [""])[0]
                if url.path == "/cgi-bin/luci/admin/uci/apply_rollback":
                    if not router.allowed(sid, "ubus", "uci", "apply"):
                        return self.send(403, "denied")
                    with router.lock:
                        router.applied += 1
                    return self.send(200, json.dumps({"token": "confirm-" + sid}),
                                     "application/json")
                if url.path == "/cgi-bin/luci/admin/uci/confirm":
                    return self.send(200, "{}", "application/json")
                self.send(404, "not found")

        return Handler
