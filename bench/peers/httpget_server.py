#!/usr/bin/env python3
"""The loopback server of the http benchmark: /1k answers 1 KB, /100m
answers 100 MB. Usage: http_server.py PORT-FILE; it writes its port there
and serves until killed (at most 600 s)."""
import sys

# The peers directory holds string.py and the like: keep it off the module
# path so the standard library is found.
sys.path.pop(0)

import http.server
import socketserver
import sys
import threading

SMALL = b"x" * 1024
BIG = b"y" * 100_000_000


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        body = BIG if self.path == "/100m" else SMALL
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


server = Server(("127.0.0.1", 0), Handler)
with open(sys.argv[1], "w") as f:
    f.write(str(server.server_address[1]))
threading.Timer(600, server.shutdown).start()
server.serve_forever()
