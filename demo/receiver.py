"""A tiny HTTP endpoint on 127.0.0.1 that prints every JSON document POSTed to it.
Usage: receiver.py PORTFILE (the chosen port is written there)."""
import http.server
import json
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        document = json.loads(body)
        print(f"POST {self.path} ({len(body)} bytes, {len(document['data'])} devices)")
        print(json.dumps(document, indent=2), flush=True)
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(sys.argv[1], "w") as f:
    f.write(str(server.server_address[1]))
server.serve_forever()
